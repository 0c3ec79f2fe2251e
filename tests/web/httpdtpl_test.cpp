// Templates, MIME types and form parsing.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "webfixture.h"

using namespace webtest;

namespace {

TEST(Mime, Table) {
  struct Case {
    const char* path;
    const char* type;
    int row;
  } cases[] = {
      {"/a/login.asp", "text/html", 0},
      {"/a/status.xml", "text/xml", 1},
      {"/x.HTM", "text/html", 4},           // case-insensitive
      {"/x.shtml", "text/html", 6},
      {"/x.css", "text/css", 7},
      {"/x.js", "application/x-javascript", 8},
      {"/favicon.ico", "image/x-icon", 9},
      {"/x.jpeg", "image/jpeg", 12},
      {"/x.svg", "image/svg+xml", 14},
      {"/x.ra", "audio/x-pn-realaudio", 21},
      {"/x.tgz", "application/x-tar-gz", 26},
      {"/x.tar.gz", "application/x-gunzip", 28},
      {"/x.mib", "text/plain", 40},
      {"/README", "text/plain", 40},        // no extension: the last row
      {".asp", "text/plain", 40},           // the extension alone is not a match
      {"/x.asp.txt", "text/plain", 39},
  };
  for (const Case& c : cases) {
    const HttpMimeRow* row = Httpd_FindMime(c.path);
    EXPECT_STREQ(row->type, c.type) << c.path;
    EXPECT_EQ(row - HttpMimeTable, c.row) << c.path;
    EXPECT_EQ(row->header, 1);
    EXPECT_EQ(row->typeLength, static_cast<int>(strlen(row->type)));
  }
}

class Template : public WebTest {
 protected:
  // Expands text as the template at page (under the document root) with
  // the query; the page written.
  std::string Expand(const std::string& text, const char* query = nullptr, int message = 0,
                     const std::string& at = "t.asp") {
    std::filesystem::create_directories(std::filesystem::path(Path("httpd/htdocs/" + at)).parent_path());
    Page(at, text);
    std::string q = query ? query : "";
    size_t size = 0;
    char* out = Httpd_ExpandTemplate(Path("httpd/htdocs/" + at).c_str(), &size, message, query ? q.data() : nullptr);
    EXPECT_NE(out, nullptr);
    if (!out) return "";
    EXPECT_EQ(out[size], 0);
    std::string page(out, size);
    free(out);
    return page;
  }
};

TEST_F(Template, Syntax) {
  struct Case {
    std::string text;
    const char* query;
    std::string page;
  } cases[] = {
      {"a<% DEV_X %>b", nullptr, "a[DEV_X]b"},
      {"<%DEV_X %>", nullptr, "<%DEV_X %>"},                        // both blanks needed
      {"<% DEV_X%>", nullptr, "<% DEV_X%>"},
      {"<% DEV_X%> <% B %>", nullptr, "[DEV_X%> <% B]"},            // the next closing ends the tag
      {"open <% DEV_X", nullptr, "open <% DEV_X"},                  // no closing
      {"<% <% DEV_X %>", nullptr, "[<% DEV_X]"},
      {"<% INF_NAME %>.", nullptr, "."},                            // a system group's unknown name: empty
      {std::string("bin\0ary<% DEV_X %>", 18), nullptr, std::string("bin\0ary[DEV_X]", 14)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Expand(c.text, c.query), c.page);
  }
}

TEST_F(Template, QueryFillsOnlyThePagesOwnTags) {
  // Only the data-log page takes its range from the query; every other tag
  // of every page comes from its writer, whatever the query names.
  const std::string data = "en/hist_data.asp";
  struct Case {
    std::string at;
    std::string text;
    const char* query;
    std::string page;
  } cases[] = {
      {data, "<% DATA_FROM %>|<% DATA_TO %>", "DATA_FROM=01/02/2026&DATA_TO=x", "01/02/2026|x"},  // query values win
      {data, "<% DATA_FROM %>", "DATA_FROM=<script>'\"", "&lt;script&gt;&#39;&quot;"},  // escaped
      {data, "<% DATA_PAGE %>|<% LOG_PAGE %>", "DATA_PAGE=x&LOG_PAGE=y", "[DATA_PAGE]|[LOG_PAGE]"},
      {data, "<% ROW#DATA_TO# %>", "DATA_TO=5", "[ROW5]"},            // '#' substitution
      {data, "<% ROW#n# %>", "n=5", "[ROW#n#]"},                      // with the page's own names only
      {data, "<% ROW#DATA_TO #  %>", "DATA_TO=5", "[ROW#DATA_TO # ]"},  // a word ending in a blank is kept
      {data, "<% A#DATA_TO %>", "DATA_TO=1", "[A#DATA_TO]"},          // the text after the last '#' is not looked up
      {data, "<% DATA_TO %>", "=1&DATA_TO=&y", "[DATA_TO]"},          // pairs need a name and a value
      {"t.asp", "<% account %>/<% password %>", "account=a&password=b", "[account]/[password]"},
      {"en/net_mail.asp", "<body onload=\"<% DEV_LOAD %>\">", "DEV_LOAD=alert(1)", "<body onload=\"[DEV_LOAD]\">"},
      {"en/sys_web.asp", "<input <% DEV_EN %>>", "DEV_EN=autofocus/onfocus=alert(1)", "<input [DEV_EN]>"},
      {"en/device/hist_data.asp", "<% DATA_FROM %>", "DATA_FROM=1", "[DATA_FROM]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at + " " + c.text);
    EXPECT_EQ(Expand(c.text, c.query, 0, c.at), c.page);
  }
}

TEST_F(Template, LongExpressionIsCopied) {
  std::string expr(513, 'E');
  EXPECT_EQ(Expand("<% " + expr + " %>"), "<% " + expr + " %>");
  std::string fits(512, 'E');
  EXPECT_EQ(Expand("<% " + fits + " %>"), "[" + fits + "]");
}

TEST_F(Template, SeventeenPairs) {
  std::string query;
  for (int i = 1; i <= 15; ++i) query += "k" + std::to_string(i) + "=" + std::to_string(i) + "&";
  query += "DATA_FROM=16&DATA_TO=17";
  // The 16th word keeps the rest of the query.
  EXPECT_EQ(Expand("<% DATA_FROM %>|<% DATA_TO %>", query.c_str(), 0, "en/hist_data.asp"),
            "16&amp;DATA_TO=17|[DATA_TO]");
}

TEST_F(Template, MessagePage) {
  snprintf(WebErrTitle, sizeof WebErrTitle, "Title");
  snprintf(WebErrMsg, sizeof WebErrMsg, "<font color=#008000>Done</font>");
  snprintf(WebErrPath, sizeof WebErrPath, "window.history.back()");
  EXPECT_EQ(Expand("<% ERR_TITLE %>|<% ERR_MSG %>|<% ERR_PATH %>", nullptr, 1),
            "Title|<font color=#008000>Done</font>|window.history.back()");
  EXPECT_EQ(WebReply.length, strlen("window.history.back()") + 1);
  // A query cannot stand in for them: the button script is run by the browser.
  EXPECT_EQ(Expand("<% ERR_PATH %>|<% ERR_TITLE %>|<% other %>", "ERR_PATH=alert(1)&ERR_TITLE=<b>&other=o", 1),
            "window.history.back()|Title|[other]");
  // Elsewhere the names go to the writers.
  EXPECT_EQ(Expand("<% ERR_TITLE %>", nullptr, 0), "[ERR_TITLE]");
  EXPECT_EQ(Expand("<% ERR_TITLE %>", "ERR_TITLE=<b>", 0), "[ERR_TITLE]");
}

TEST_F(Template, ChallengeVariable) {
  WebReply.clientFamily = AF_INET;
  uint8_t addr[16] = {192, 0, 2, 9};
  memcpy(WebReply.clientAddress, addr, 16);
  std::string page = Expand("<% LIN_CHALLENGE_VALUE %>");
  ASSERT_EQ(page.size(), size_t(WEB_CHALLENGE_CHARS));
  const char* live = WebSess_GetChallenge(AF_INET, addr);
  ASSERT_NE(live, nullptr);
  EXPECT_EQ(page, live);
  EXPECT_EQ(WebReply.length, WEB_CHALLENGE_CHARS + 1);
}

TEST_F(Template, PagesAreMadeInMemoryOnly) {
  // Nothing is written for a page: not into the private directory, not
  // anywhere; so a page is made whatever state that directory is in.
  Page("t.asp", "x<% DEV_X %>");
  auto names = [&] {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) out.push_back(e.path().string());
    for (const auto& e : std::filesystem::directory_iterator(tmp)) out.push_back(e.path().string());
    return out;
  };
  const auto before = names();
  EXPECT_EQ(Expand("x<% DEV_X %>"), "x[DEV_X]");
  EXPECT_EQ(names(), before);
  Svc_SetDirs(nullptr, Path("no/such/directory").c_str());
  EXPECT_EQ(Expand("y<% DEV_X %>"), "y[DEV_X]");
  // An empty page, and a missing template.
  EXPECT_EQ(Expand(""), "");
  size_t size = 7;
  EXPECT_EQ(Httpd_ExpandTemplate(Path("httpd/htdocs/none.asp").c_str(), &size, 0, nullptr), nullptr);
  EXPECT_EQ(size, 7u);
}

TEST(SubstArgs, Bounds) {
  HttpQueryPair pairs[1];
  char n[] = "n", v[] = "12345";
  pairs[0] = {n, v};
  char out[512];
  EXPECT_EQ(Httpd_SubstArgs("ROW#n#", 512, out, 1, pairs), 8);
  EXPECT_STREQ(out, "ROW12345");
  EXPECT_EQ(Httpd_SubstArgs("ROW#m#", 512, out, 1, pairs), 0);  // nothing replaced
  EXPECT_EQ(Httpd_SubstArgs("ROW#n#", 8, out, 1, pairs), 0);    // value reaches the bound
  EXPECT_EQ(Httpd_SubstArgs("ROW#n#", 9, out, 1, pairs), 8);
  EXPECT_EQ(Httpd_SubstArgs("ABCDEFGH#n#", 8, out, 1, pairs), 0);  // word reaches the bound
}

TEST(Split, Tokens) {
  char a[] = "&&a&b&&c&";
  char* t[4];
  ASSERT_EQ(Httpd_Split(a, "&", 4, t), 3);
  EXPECT_STREQ(t[0], "a");
  EXPECT_STREQ(t[1], "b");
  EXPECT_STREQ(t[2], "c");
  char b[] = "x=y=z";
  ASSERT_EQ(Httpd_Split(b, "=", 2, t), 2);
  EXPECT_STREQ(t[1], "y=z");
  char c[] = "whole";
  EXPECT_EQ(Httpd_Split(c, "", 3, t), 1);
  EXPECT_EQ(Httpd_Split(c, "&", 0, t), 0);
}

// ---- form parsing ---------------------------------------------------------------

struct Field {
  std::string name, file, value;
  bool operator==(const Field& o) const { return name == o.name && file == o.file && value == o.value; }
};
std::ostream& operator<<(std::ostream& os, const Field& f) {
  return os << "{" << f.name << "," << f.file << "," << f.value << "}";
}

std::vector<Field> Parse(std::string body, const char* boundary = nullptr) {
  std::vector<char> buf(body.begin(), body.end());
  buf.push_back(0);
  Httpd_ParseForm(buf.data(), static_cast<int>(body.size()), boundary);
  std::vector<Field> out;
  for (int i = 0; i < WebFormFieldCount; ++i) {
    const WebFormField& f = WebFormFields[i];
    Field x{f.name ? f.name : "", f.fileName ? f.fileName : "", ""};
    if (f.valueEnd)
      x.value.assign(f.valueStart, static_cast<size_t>(f.valueEnd - f.valueStart + 1));
    else if (f.valueStart)
      x.value = f.valueStart;
    out.push_back(x);
  }
  return out;
}

TEST(UrlEncoded, Fields) {
  struct Case {
    const char* body;
    std::vector<Field> fields;
  } cases[] = {
      {"a=1&b=two+words", {{"a", "", "1"}, {"b", "", "two words"}}},
      {"p=%2B&q=%2b", {{"p", "", "+"}, {"q", "", "%2b"}}},      // only upper-case escapes
      {"a=1&last=x%3Dy", {{"a", "", "1"}, {"last", "", "x=y"}}},  // decoded once
      {"last=x=y", {{"last", "", "x=y"}}},
      {"a=1&\r\nb=2\r\n", {{"a", "", "1"}, {"b", "", "2"}}},
      {"a=1&\r", {{"a", "", "1"}}},                              // a cut line break at the end
      {"a%41=1", {{"a%41", "", "1"}}},                           // names are not decoded
      {"novalue", {}},
      {"a=1&junk", {{"a", "", "1"}}},
      {"%", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.body), c.fields) << c.body;
}

TEST(UrlEncoded, Limits) {
  std::string body;
  for (int i = 0; i < 301; ++i) body += (i ? "&f" : "f") + std::to_string(i) + "=v";
  auto fields = Parse(body);
  ASSERT_EQ(fields.size(), 300u);
  EXPECT_EQ(fields[299], (Field{"f299", "", "v"}));
  // A value of 2048 or more characters stays undecoded.
  std::string big(2048, 'a');
  big[0] = '%';
  big[1] = '4';
  big[2] = '1';
  EXPECT_EQ(Parse("k=" + big)[0].value, big);
  EXPECT_EQ(Parse("k=" + big.substr(0, 2047))[0].value, "A" + big.substr(3, 2044));
}

TEST(UrlEncoded, EmptyBodyEmptiesTheTable) {
  Parse("a=1&b=2");
  ASSERT_EQ(WebFormFieldCount, 2);
  char empty[1] = {0};
  Httpd_ParseForm(empty, 0, nullptr);
  EXPECT_EQ(WebFormFieldCount, 0);
}

std::string Part(const std::string& disposition, const std::string& value, const std::string& extra = "") {
  return "--XyZ\r\nContent-Disposition: " + disposition + "\r\n" + extra + "\r\n" + value + "\r\n";
}

TEST(Multipart, Fields) {
  const std::string binary("\x00\r\n--Xy\n\r\n\xff", 11);
  struct Case {
    const char* name;
    std::string body;
    std::vector<Field> fields;
  } cases[] = {
      {"two parts", Part("form-data; name=\"a\"", "1") + Part("form-data; name=\"b\"", "x y") + "--XyZ--\r\n",
       {{"a", "", "1"}, {"b", "", "x y"}}},
      {"a file with binary bytes", Part("form-data; name=\"f\"; filename=\"c.pem\"", binary, "Content-Type: x\r\n") +
                                       "--XyZ--\r\n",
       {{"f", "c.pem", binary}}},
      {"unquoted attributes", Part("form-data; name=u; filename=v", "z") + "--XyZ--", {{"u", "v", "z"}}},
      {"empty value", Part("form-data; name=\"e\"", "") + "--XyZ--", {{"e", "", ""}}},
      {"values are not decoded", Part("form-data; name=\"p\"", "a+b%41") + "--XyZ--", {{"p", "", "a+b%41"}}},
      {"no closing delimiter: the part is not stored", Part("form-data; name=\"a\"", "1") + "--XyZ\r\n" +
                                                           "Content-Disposition: form-data; name=\"b\"\r\n\r\n2",
       {{"a", "", "1"}}},
      {"no blank line ends the parse", "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n1\r\n--XyZ--", {}},
      {"another header first ends the parse", "--XyZ\r\nContent-Type: x\r\n\r\n1\r\n--XyZ--", {}},
      {"a delimiter inside a value without its line break", Part("form-data; name=\"a\"", "x--XyZy") + "--XyZ--",
       {{"a", "", "x--XyZy"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Parse(c.body, " boundary=XyZ"), c.fields);
  }
}

TEST(Multipart, MimeHeaderAndBoundaries) {
  std::string body = Part("form-data; name=\"a\"", "1") + "--XyZ--";
  EXPECT_EQ(Parse("MIME: Boundary=XyZ\r\n" + body), (std::vector<Field>{{"a", "", "1"}}));
  EXPECT_EQ(Parse("MIME: Other=XyZ\r\n" + body), std::vector<Field>{});
  EXPECT_EQ(Parse(body, " boundary"), std::vector<Field>{});  // no '='
  EXPECT_EQ(Parse(body, " boundary="), std::vector<Field>{});  // empty boundary
  std::string many;
  for (int i = 0; i < 301; ++i) many += Part("form-data; name=\"f" + std::to_string(i) + "\"", "v");
  EXPECT_EQ(Parse(many + "--XyZ--", "boundary=XyZ").size(), 300u);
}

}  // namespace
