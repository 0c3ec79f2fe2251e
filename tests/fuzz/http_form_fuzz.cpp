// Fuzzes the form parser. The first byte picks the body kind: urlencoded,
// multipart with a boundary parameter (the input's first line), or a body
// that announces its boundary itself ("MIME:"). The body lies in a buffer
// of exactly its length and a NUL, as the server keeps it; every field must
// point into it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "web/httpd.h"

namespace {
void Check(bool ok) {
  if (!ok) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int kind = data[0] % 3;
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string boundary;
  if (kind == 1) {
    size_t nl = rest.find('\n');
    if (nl == std::string::npos) return 0;
    boundary = rest.substr(0, nl);
    rest = rest.substr(nl + 1);
    if (boundary.find('\0') != std::string::npos) return 0;
  } else if (kind == 2) {
    rest = "MIME:" + rest;
  }
  std::vector<char> body(rest.begin(), rest.end());
  body.push_back(0);
  char* start = body.data();
  char* end = start + rest.size();
  Httpd_ParseForm(start, static_cast<int>(rest.size()), kind == 1 ? boundary.c_str() : nullptr);
  Check(WebFormFieldCount >= 0 && WebFormFieldCount <= WEB_FORM_FIELDS);
  auto inside = [&](const char* p) { return !p || (p >= start && p <= end); };
  for (int i = 0; i < WebFormFieldCount; ++i) {
    const WebFormField& f = WebFormFields[i];
    Check(inside(f.name) && inside(f.fileName) && inside(f.valueStart) && f.valueStart);
    if (f.name) Check(strlen(f.name) <= static_cast<size_t>(end - f.name));
    if (f.fileName) Check(strlen(f.fileName) <= static_cast<size_t>(end - f.fileName));
    if (f.valueEnd) {
      Check(f.valueEnd >= f.valueStart - 1 && f.valueEnd < end);
    } else {
      Check(strlen(f.valueStart) <= static_cast<size_t>(end - f.valueStart));
    }
  }
  return 0;
}
