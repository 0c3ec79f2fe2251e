// Configuration store: reading and writing config.ini, the migrations of
// older files, the password encodings and the import of an uploaded file.
#include "core/cfg.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
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
CfgFileState CfgFile;
int (*CfgSaveStandIn)();

namespace {

// Notes for the event log: kept until a sink is set; each text once.
struct Note {
  int level;
  std::string text;
};
void (*g_noteSink)(int level, const char* text);
std::vector<Note> g_pendingNotes;
std::vector<std::string> g_notedTexts;
constexpr size_t kMaxNotes = 32;

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
  if (applied) Cfg_Rewrite();
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

// Reads that fail without an errno of their own.
constexpr int kNotRegular = -1;

const char* ReasonText(int error) { return error == kNotRegular ? "not a regular file" : strerror(error); }

// The whole of a stream from where it stands: 0, or the errno of the read
// that failed.
int ReadWhole(FILE* f, std::string* text) {
  text->clear();
  errno = 0;
  char buf[16384];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
  return ferror(f) ? (errno ? errno : EIO) : 0;
}

// The whole of a regular file: 0, or why not (an errno value, ENOENT when
// it does not exist). A directory, a FIFO or a device is never read: opened
// without blocking, it is refused before the first read.
int ReadWholeFile(const char* path, std::string* text) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st;
  int rc = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : !S_ISREG(st.st_mode) ? kNotRegular : 0;
  FILE* f = rc == 0 ? fdopen(fd, "r") : nullptr;
  if (!f) {
    if (rc == 0) rc = errno;
    close(fd);
    return rc;
  }
  rc = ReadWhole(f, text);
  fclose(f);
  return rc;
}

void UnreadableText(char* out, size_t size, const char* path, int error) {
  snprintf(out, size,
           "Cannot read %s: %s; running on the factory defaults, the file is left as it is until a setting "
           "is changed",
           path, ReasonText(error));
}

// Applies the text of a whole file, line by line, then the migrations.
void LoadText(const std::string& text) {
  int section = CFG_SEC_FORMAT;
  std::string line;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    line.assign(text, at, next - at);
    at = next;
    // Up to the first zero byte, as a line read as text.
    line.resize(strnlen(line.c_str(), line.size()));
    size_t length = line.size();
    StripLineEnd(line.data(), &length);
    line.resize(length);
    if (line[0] == ';') continue;
    if (line[0] == '[') {
      int s = SectionOf(line.c_str());
      if (s == CFG_SEC_END) break;
      if (s >= 0) section = s;
      continue;
    }
    Cfg_ParseLine(section, line.c_str());
  }
  Migrate();
}

// What the SNMPv3 users' keys are derived from: count, levels, passwords.
bool SameKeySources(const SnmpAgentSettings& a, const SnmpAgentSettings& b) {
  if (a.userCount != b.userCount) return false;
  const int count = a.userCount < SNMP_USM_USERS ? a.userCount : SNMP_USM_USERS;
  for (int i = 0; i < count; ++i) {
    const UsmUser& x = a.users[i];
    const UsmUser& y = b.users[i];
    if (x.security != y.security || strncmp(x.authPassword, y.authPassword, sizeof x.authPassword) != 0 ||
        strncmp(x.privPassword, y.privPassword, sizeof x.privPassword) != 0)
      return false;
  }
  return true;
}

// Applies a file's text; when that changed the SNMPv3 users, their keys are
// localised again at once (the agent's init does it for the reads at start).
void ApplyText(const std::string& text) {
  std::unique_ptr<SnmpAgentSettings> before = std::make_unique<SnmpAgentSettings>(SnmpAgentSetting);
  LoadText(text);
  if (!SameKeySources(*before, SnmpAgentSetting) && SnmpAgentOps.LocalizeUserKeys) SnmpAgentOps.LocalizeUserKeys();
}

}  // namespace

int Cfg_LoadStream(FILE* f) {
  rewind(f);
  std::string text;
  if (ReadWhole(f, &text) != 0) return 0;
  ApplyText(text);
  return 1;
}

namespace {

// Reads config.ini (or another file) and applies it. reload: the reload
// at a lost UPS link, over the settings in use; else a read at start (or
// of an imported file).
int Load(const char* path, bool reload) {
  char own[300];
  if (!path) ConfigPath(own, sizeof own);
  std::string text;
  const int error = ReadWholeFile(path ? path : own, &text);
  if (error == 0) {
    if (!path) CfgFile = CFG_FILE_READ;
    ApplyText(text);
    return 1;
  }
  if (path) return 0;  // another file: nothing applied
  if (error == ENOENT) {
    // A config.ini that does not exist is created: at start from the
    // factory defaults, at a reload from the settings in use.
    if (!reload) Cfg_SetDefaults();
    Cfg_Save();
  } else if (!reload && CfgFile != CFG_FILE_READ) {
    // Nothing read yet in this run (the settings are still empty, or what
    // the inits between the two reads at start cleared): the service runs
    // on the factory defaults, so the shutdown stays armed, and the file is
    // kept for the operator to look at.
    Cfg_SetDefaults();
    CfgFile = CFG_FILE_KEPT;
    char note[512];
    UnreadableText(note, sizeof note, own, error);
    Cfg_Note(3, note);
  }
  // Otherwise a read that fails keeps the settings in use.
  return 0;
}

}  // namespace

int Cfg_Load(const char* path) { return Load(path, false); }

int Cfg_Reload() { return Load(nullptr, true); }

int Cfg_Probe(char* reason, size_t size) {
  char path[300];
  ConfigPath(path, sizeof path);
  std::string text;
  const int error = ReadWholeFile(path, &text);
  if (error == 0 || error == ENOENT) return 1;
  UnreadableText(reason, size, path, error);
  return 0;
}

int Cfg_Save() {
  if (CfgSaveStandIn) return CfgSaveStandIn();
  char path[300];
  ConfigPath(path, sizeof path);
  FILE* f = UF_ReplaceBegin(path, 0600);
  if (!f) return 0;
  int ok = Cfg_WriteSections(f);
  if (!UF_ReplaceCommit(f, path, ok)) return 0;
  CfgFile = CFG_FILE_READ;  // the file now holds the settings
  return 1;
}

int Cfg_Rewrite() { return CfgFile == CFG_FILE_KEPT ? 0 : Cfg_Save(); }

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
      // Taken in memory, it is imported; saved or not, the caller says which.
      if (Cfg_HasEndSection(f) && Cfg_LoadStream(f)) imported = Cfg_Save() ? 1 : -1;
      fclose(f);
    } else {
      close(fd);
    }
  }
  unlink(path);
  return imported;
}

void Cfg_SetNoteSink(void (*sink)(int level, const char* text)) {
  g_noteSink = sink;
  g_notedTexts.clear();
  std::vector<Note> pending;
  pending.swap(g_pendingNotes);
  for (const Note& n : pending) Cfg_Note(n.level, n.text.c_str());
}

void Cfg_Note(int level, const char* text) {
  if (std::find(g_notedTexts.begin(), g_notedTexts.end(), text) != g_notedTexts.end()) return;
  if (g_notedTexts.size() < kMaxNotes) g_notedTexts.emplace_back(text);
  if (g_noteSink) g_noteSink(level, text);
  else if (g_pendingNotes.size() < kMaxNotes) g_pendingNotes.push_back(Note{level, text});
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

namespace {

// A text of the locale's multibyte encoding, whole characters only.
bool IsLocaleText(const std::string& text) {
  mbstate_t state{};
  for (size_t at = 0; at < text.size();) {
    wchar_t wc;
    size_t n = mbrtowc(&wc, text.data() + at, text.size() - at, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) return false;
    at += n;
  }
  return true;
}

// The password of a stored text when the text is one the writer makes under
// the encoding, i.e. the radix-64 of the bytes (a short last group completed
// with zero bytes) and, for "Advanced", exactly as many AES blocks as the
// password's length needs, zero-padded. Anything else is no encoded password.
bool DecodeStored(uint8_t encoding, const char* stored, std::string* password) {
  const size_t length = strlen(stored);
  password->clear();
  if (length == 0) return true;  // the empty password is written empty
  if (length % 4 != 0 || length > INT_MAX / 2) return false;
  std::vector<uint8_t> bytes(3 * (length / 4), 0);
  int n = CryptOps.Radix64_Decode(bytes.data(), stored, static_cast<int>(length), static_cast<int>(bytes.size()));
  if (n <= 0) return false;
  size_t size = static_cast<size_t>(n);
  size_t textEnd;
  if (encoding == CFG_PW_ADVANCED) {
    const size_t blocks = size / 16;
    // The writer's length for that many blocks, and zeros completing the last group.
    if (blocks == 0 || length != 4 * ((16 * blocks + 2) / 3)) return false;
    for (size_t i = 16 * blocks; i < size; ++i)
      if (bytes[i] != 0) return false;
    for (size_t b = 0; b < blocks; ++b) CryptOps.Aes_DecryptBlock(&bytes[16 * b], CryptOps.configKey);
    textEnd = strnlen(reinterpret_cast<const char*>(bytes.data()), 16 * blocks);
    // Only zeros after the text, and the text needs every block.
    if (textEnd <= 16 * (blocks - 1)) return false;
    for (size_t i = textEnd; i < 16 * blocks; ++i)
      if (bytes[i] != 0) return false;
  } else {
    // At most two zero bytes complete the last group; the text holds none.
    while (size > 0 && bytes[size - 1] == 0 && size + 2 > static_cast<size_t>(n)) --size;
    textEnd = strnlen(reinterpret_cast<const char*>(bytes.data()), size);
    if (textEnd != size || size == 0) return false;
  }
  password->assign(bytes.begin(), bytes.begin() + static_cast<long>(textEnd));
  if (encoding == CFG_PW_YES && !password->empty() && (password->back() == '\n' || password->back() == '\r'))
    password->pop_back();
  return IsLocaleText(*password);
}

}  // namespace

std::string Cfg_DecodePassword(uint8_t encoding, const char* stored) {
  if (encoding != CFG_PW_YES && encoding != CFG_PW_ADVANCED) return stored;
  std::string password;
  if (DecodeStored(encoding, stored, &password)) return password;
  // Not written by the store (a password an operator wrote in clear, so as
  // to reset one he forgot): the text is the password.
  return stored;
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
