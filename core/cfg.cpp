// Configuration store: reading and writing config.ini, the migrations of
// older files, the password encodings and the import of an uploaded file.
#include "core/cfg.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "core/crypt.h"
#include "core/svc.h"
#include "core/util.h"
#include "events/mail.h"
#include "snmp/snmpagent.h"
#include "web/websess.h"

int32_t CfgVersion;
int32_t CfgRestart;
uint8_t CfgStopService;
uint8_t CfgLanguage;

namespace {

void ConfigPath(char* out, size_t size) { snprintf(out, size, "%s/config.ini", SvcInstallDir); }

// Older files kept weaker password encodings and no login lock. Passwords
// were decoded with the encoding the file named, so saving converts them.
void Migrate() {
  bool applied = false;
  if (CfgVersion <= 4) {
    SnmpAgentSetting.passwordEncrypt = CFG_PW_ADVANCED;
    applied = true;
  }
  if (CfgVersion <= 3) {
    MailSetting.passwordEncrypt = CFG_PW_ADVANCED;
    WebLock.enable = 1;
    WebLock.retryLimit = 5;
    WebLock.lockMinutes = 10;
  }
  if (CfgVersion <= 2 && (WebPasswordEncrypt == CFG_PW_NO || WebPasswordEncrypt == CFG_PW_YES))
    WebPasswordEncrypt = CFG_PW_ADVANCED;
  if (applied) Cfg_Save();
}

// Removes one line end: LF, CR or CR LF (and LF CR).
void StripLineEnd(char* line, size_t* length) {
  for (int i = 0; i < 2 && *length > 0; ++i) {
    char c = line[*length - 1];
    if (c != '\n' && c != '\r') break;
    line[--*length] = 0;
  }
}

// Section index of a section line "[name]", -1 for another name, -2 when the
// line holds no "]".
int SectionOf(const char* line) {
  const char* close = strchr(line, ']');
  if (!close) return -2;
  size_t n = static_cast<size_t>(close - (line + 1));
  for (int s = 0; s < CFG_SECTION_COUNT; ++s) {
    const char* name = CfgKeyTable[CFG_SECTION_NAMES + s];
    if (strlen(name) == n && strncmp(line + 1, name, n) == 0) return s;
  }
  return -1;
}

struct LineReader {
  char* line = nullptr;
  size_t capacity = 0;
  ~LineReader() { free(line); }
  // Next whole line, whatever its length; -1 at the end or on an error.
  ssize_t Next(FILE* f) { return getline(&line, &capacity, f); }
};

}  // namespace

int Cfg_LoadStream(FILE* f) {
  rewind(f);
  int section = CFG_SEC_FORMAT;
  LineReader r;
  ssize_t got;
  while ((got = r.Next(f)) >= 0) {
    size_t length = static_cast<size_t>(got);
    StripLineEnd(r.line, &length);
    if (r.line[0] == ';') continue;
    if (r.line[0] == '[') {
      int s = SectionOf(r.line);
      if (s == CFG_SEC_END) break;
      if (s >= 0) section = s;
      continue;
    }
    Cfg_ParseLine(section, r.line);
  }
  // A read error leaves what was read so far, and nothing is rewritten.
  if (ferror(f)) return 0;
  Migrate();
  return 1;
}

int Cfg_Load(const char* path) {
  char own[300];
  if (!path) {
    ConfigPath(own, sizeof own);
  }
  FILE* f = fopen(path ? path : own, "r");
  if (!f) {
    // Only a config.ini that does not exist is created from the factory
    // defaults; any other failure keeps the settings in memory.
    if (!path && errno == ENOENT) {
      Cfg_SetDefaults();
      Cfg_Save();
    }
    return 0;
  }
  int ok = Cfg_LoadStream(f);
  fclose(f);
  return ok;
}

int Cfg_Save() {
  char path[300];
  ConfigPath(path, sizeof path);
  FILE* f = UF_ReplaceBegin(path, 0600);
  if (!f) return 0;
  int ok = Cfg_WriteSections(f);
  return UF_ReplaceCommit(f, path, ok);
}

int Cfg_HasEndSection(FILE* f) {
  LineReader r;
  while (r.Next(f) >= 0)
    if (strncmp(r.line, "[End]", 5) == 0) return 1;
  clearerr(f);
  rewind(f);
  return 0;
}

int Cfg_ImportUpload(const char* value, size_t length) {
  char path[300];
  Svc_TmpPath(path, sizeof path, "config_tmp.ini");
  int imported = 0;
  // Created fresh, without following a link planted at the fixed name.
  int fd = UF_OpenNoFollow(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    bool written = true;
    for (size_t done = 0; done < length && written;) {
      ssize_t n = write(fd, value + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) written = false;
      else done += static_cast<size_t>(n);
    }
    FILE* f = written ? fdopen(fd, "r") : nullptr;
    if (f) {
      rewind(f);
      if (Cfg_HasEndSection(f) && Cfg_LoadStream(f)) {
        Cfg_Save();
        imported = 1;
      }
      fclose(f);
    } else {
      close(fd);
    }
  }
  unlink(path);
  return imported;
}

// ---- passwords -----------------------------------------------------------------

bool Cfg_EncodePassword(uint8_t encoding, const char* password, std::string* stored) {
  size_t length = strlen(password);
  if (length > INT_MAX / 2) return false;
  if (encoding != CFG_PW_YES && encoding != CFG_PW_ADVANCED) {
    *stored = password;
    return true;
  }
  std::vector<uint8_t> bytes(password, password + length);
  if (encoding == CFG_PW_ADVANCED) {
    // Zero-padded to whole blocks (an empty password gives none), each
    // block encrypted in place under the configuration key.
    size_t blocks = (length + 15) / 16;
    bytes.resize(blocks * 16, 0);
    for (size_t b = 0; b < blocks; ++b) CryptOps.Aes_EncryptBlock(&bytes[b * 16], CryptOps.configKey);
  }
  if (bytes.empty()) {
    stored->clear();
    return true;
  }
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = CryptOps.Radix64_Encode(text.data(), bytes.data(), static_cast<int>(bytes.size()));
  if (n <= 0) return false;
  text.resize(static_cast<size_t>(n));
  *stored = std::move(text);
  return true;
}

std::string Cfg_DecodePassword(uint8_t encoding, const char* stored) {
  if (encoding != CFG_PW_YES && encoding != CFG_PW_ADVANCED) return stored;
  size_t length = strlen(stored);
  if (length > INT_MAX / 2) return std::string();
  // Sized from the text: 3 bytes per 4 characters.
  std::vector<uint8_t> bytes(3 * (length / 4) + 1, 0);
  int n = CryptOps.Radix64_Decode(bytes.data(), stored, static_cast<int>(length), static_cast<int>(bytes.size()));
  if (n < 0) n = 0;
  bytes.resize(static_cast<size_t>(n));
  if (encoding == CFG_PW_ADVANCED)
    for (size_t b = 0; b + 16 <= bytes.size(); b += 16) CryptOps.Aes_DecryptBlock(&bytes[b], CryptOps.configKey);
  // The text ends at the decoded length or at its first zero byte.
  std::string text(bytes.begin(), bytes.end());
  text.resize(strnlen(text.c_str(), text.size()));
  if (encoding == CFG_PW_YES && !text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// ---- locale conversions ----------------------------------------------------------

size_t Cfg_TextToWide(wchar_t* out, size_t cap, const char* text, size_t maxBytes) {
  if (cap == 0) return 0;
  mbstate_t state{};
  size_t chars = 0, used = 0;
  while (chars + 1 < cap && used < maxBytes && text[used]) {
    wchar_t wc;
    size_t n = mbrtowc(&wc, text + used, maxBytes - used, &state);
    // Invalid, or a character cut by the byte limit: the prefix stays.
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) break;
    out[chars++] = wc;
    used += n;
  }
  out[chars] = 0;
  return chars;
}

size_t Cfg_WideToText(char* out, size_t cap, const wchar_t* text) {
  if (cap == 0) return 0;
  mbstate_t state{};
  size_t used = 0;
  char buf[MB_LEN_MAX];
  for (const wchar_t* p = text; *p; ++p) {
    size_t n = wcrtomb(buf, *p, &state);
    if (n == static_cast<size_t>(-1) || used + n + 1 > cap) break;
    memcpy(out + used, buf, n);
    used += n;
  }
  out[used] = 0;
  return used;
}
