// Fuzzes the template expansion. The input up to its first 0xFF byte is
// the query (none without that byte), the rest the template. The expansion
// must succeed, and a template without a tag comes out unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "core/crypt.h"
#include "core/svc.h"
#include "web/httpd.h"
#include "fuzz_support.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::string g_dir;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_dir.empty()) {
    g_dir = Fuzz_ScratchDir("upsd-fuzz-tpl");
    std::filesystem::create_directories(g_dir + "/httpd/htdocs/tempage");
    Svc_SetDirs(g_dir.c_str(), (g_dir + "/httpd/htdocs/tempage").c_str());
    Crypt_Init();
    Httpd_Init(g_dir.c_str(), nullptr, nullptr);
  }
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\xff');
  bool hasQuery = cut != std::string::npos;
  std::string query = hasQuery ? input.substr(0, cut) : "";
  std::string text = hasQuery ? input.substr(cut + 1) : input;
  if (query.find('\0') != std::string::npos) return 0;

  std::string tpl = g_dir + "/httpd/htdocs/t.asp";
  FILE* f = fopen(tpl.c_str(), "wb");
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  std::string q = query;
  size_t length = 0;
  char* page = Httpd_ExpandTemplate(tpl.c_str(), &length, data[0] & 1, hasQuery ? q.data() : nullptr);
  Check(page != nullptr);
  std::string out(page, length);
  free(page);
  if (text.find("<% ") == std::string::npos) Check(out == text);
  return 0;
}
