// Fuzzes the request reader and the request handling: the input (after its
// first byte, which sets the size of the pieces it is sent in) goes to the
// server over a local stream socket; every pass of the server runs between
// pieces. At most 16 pieces: a longer input is sent in larger ones, since
// each pass costs as much as a short request. Whatever the server answers
// must be an HTTP/1.1 reply, and no temporary page may outlive its
// connection.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/crypt.h"
#include "core/svc.h"
#include "web/httpd.h"
#include "fuzz_support.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::string g_dir, g_tmp;
int g_listener = -1;
struct sockaddr_un g_addr;
socklen_t g_addrLen;

void Write(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

void Setup() {
  g_dir = Fuzz_ScratchDir("upsd-fuzz-http");
  g_tmp = g_dir + "/tmp";
  std::filesystem::create_directories(g_dir + "/httpd/htdocs/sub");
  std::filesystem::create_directories(g_tmp);
  std::filesystem::create_symlink(g_tmp, g_dir + "/httpd/htdocs/tempage");
  Write(g_dir + "/httpd/htdocs/login.asp", "<form><% LIN_CHALLENGE_VALUE %><% account %></form>");
  Write(g_dir + "/httpd/htdocs/message.asp", "<% ERR_TITLE %>|<% ERR_MSG %>|<% ERR_PATH %>");
  Write(g_dir + "/httpd/htdocs/home.asp", "home <% SYS_TIME %> <% X#n# %>");
  Write(g_dir + "/httpd/htdocs/style.css", "body{}");
  Write(g_dir + "/httpd/htdocs/sub/a.txt", "a");
  Svc_SetDirs(g_dir.c_str(), g_tmp.c_str());
  Crypt_Init();
  static time_t now = 1000;
  HttpdClock = [] { return now; };
  Httpd_Init(g_dir.c_str(), nullptr, nullptr);
  HttpdSetting.forceHttps = 1;

  g_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  memset(&g_addr, 0, sizeof g_addr);
  g_addr.sun_family = AF_UNIX;
  // An abstract name: nothing on the file system.
  snprintf(g_addr.sun_path + 1, sizeof g_addr.sun_path - 1, "upsd-fuzz-http-%d", getpid());
  g_addrLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + strlen(g_addr.sun_path + 1));
  Check(bind(g_listener, reinterpret_cast<struct sockaddr*>(&g_addr), g_addrLen) == 0);
  Check(listen(g_listener, 8) == 0);
}

void Drain(int client, std::string* out) {
  static char buf[65536];  // static: a frame this large costs the sanitizer per call
  for (;;) {
    ssize_t n = recv(client, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) return;
    out->append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_listener < 0) Setup();
  if (size < 1) return 0;
  size_t piece = 1 + data[0] % 64 * 16;
  ++data;
  --size;
  if (piece < (size + 15) / 16) piece = (size + 15) / 16;

  int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Check(connect(client, reinterpret_cast<struct sockaddr*>(&g_addr), g_addrLen) == 0);
  HttpConn* c = Httpd_Accept(g_listener, 0);
  Check(c != nullptr);
  std::string reply;
  for (size_t done = 0; done < size;) {
    size_t n = size - done < piece ? size - done : piece;
    ssize_t w = send(client, data + done, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w > 0) done += static_cast<size_t>(w);
    Httpd_Poll();
    Drain(client, &reply);
    if (c->state == HTTP_FREE) break;
  }
  for (int i = 0; i < 4 && c->state != HTTP_FREE; ++i) {
    Httpd_Poll();
    Drain(client, &reply);
  }
  Check(c->headerCount <= HTTPD_HEADER_SIZE);
  if (!reply.empty()) Check(reply.compare(0, 9, "HTTP/1.1 ") == 0);
  close(client);
  if (c->state != HTTP_FREE) Httpd_CloseConn(c, 1);
  Check(c->body == nullptr && c->file == nullptr);
  for (const auto& e : std::filesystem::directory_iterator(g_tmp)) {
    (void)e;
    Check(false);  // a temporary page was left behind
  }
  return 0;
}
