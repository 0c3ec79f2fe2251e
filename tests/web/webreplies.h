// The answers of a form refused before it runs: no session, a level that
// may not post it, or a token not of the session's recent pages.
#pragma once
#include <string>

namespace webreplies {

inline const std::string kDenied =
    "Message: Title=Access Denied\nBody=<font color=#F00000>This account may not make this change.</font>\n";
inline const std::string kLoginRequired =
    "Message: Redirect=/login.asp\nTitle=Login Required\nBody=<font color=#F00000>Please log in again.</font>\n";
// The out-of-date answer, which leads back to the form's page.
inline std::string Stale(const std::string& page) {
  return "Message: Redirect=" + page +
         "\nTitle=Page Out of Date\nBody=<font color=#F00000>This page was out of date, so nothing was changed. "
         "Please make the change again on the page as it is now.</font>\n";
}

}  // namespace webreplies
