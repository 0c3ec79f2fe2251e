// The agent's own objects and their handler.
#include "snmp/snmpmib.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "core/cfg.h"
#include "core/helpers.h"
#include "core/svc.h"
#include "events/react.h"
#include "web/websys.h"

const SnmpObjectRow SnmpObjectTable[SNMP_MIB_OBJECTS] = {
    {"1.3.6.1.4.1.32473.2.210.1.1.0", 1},   {"1.3.6.1.4.1.32473.2.210.1.2.0", 2},
    {"1.3.6.1.4.1.32473.2.210.1.3.0", 3},   {"1.3.6.1.4.1.32473.2.210.1.4.0", 4},
    {"1.3.6.1.4.1.32473.2.210.1.5.0", 5},   {"1.3.6.1.4.1.32473.2.210.1.6.0", 6},
    {"1.3.6.1.4.1.32473.2.210.2.1.0", 7},   {"1.3.6.1.4.1.32473.2.210.2.2.0", 8},
    {"1.3.6.1.4.1.32473.2.210.2.3.0", 9},   {"1.3.6.1.4.1.32473.2.210.2.4.0", 10},
    {"1.3.6.1.4.1.32473.2.210.2.5.0", 11},  {"1.3.6.1.4.1.32473.2.210.2.6.0", 12},
    {"1.3.6.1.4.1.32473.2.210.2.7.0", 13},  {"1.3.6.1.4.1.32473.2.210.2.8.0", 14},
    {"1.3.6.1.4.1.32473.2.210.2.9.0", 15},  {"1.3.6.1.4.1.32473.2.210.2.10.0", 16},
    {"1.3.6.1.4.1.32473.2.210.2.11.0", 17}, {"1.3.6.1.4.1.32473.2.210.3.1.0", 18},
    {"1.3.6.1.2.1.1.1.0", 19},              {"1.3.6.1.2.1.1.2.0", 20},
    {"1.3.6.1.2.1.1.3.0", 21},              {"1.3.6.1.2.1.1.4.0", 22},
    {"1.3.6.1.2.1.1.5.0", 23},              {"1.3.6.1.2.1.1.6.0", 24},
    {"1.3.6.1.2.1.1.7.0", 25},
};

namespace {

int32_t g_idleRemaining = -1;
uint8_t g_idleOwner = 0;
uint8_t g_idleCancel = 0;

const uint32_t kSysObjectId[] = {1, 3, 6, 1, 4, 1, 32473, 2, 210};

enum ObjectId : int32_t {
  OBJ_OS = 1,
  OBJ_VERSION = 2,
  OBJ_RUNNING = 3,
  OBJ_SECONDS = 4,
  OBJ_REASON = 5,
  OBJ_HOST = 6,
  OBJ_TYPE = 7,
  OBJ_REACTION_FIRST = 8,  // 8..17: enable and delay of each reaction in turn
  OBJ_REACTION_LAST = 17,
  OBJ_CANCEL = 18,
  OBJ_DESCR = 19,
  OBJ_OBJECT_ID = 20,
  OBJ_UPTIME = 21,
  OBJ_CONTACT = 22,
  OBJ_NAME = 23,
  OBJ_LOCATION = 24,
  OBJ_SERVICES = 25,
};

constexpr int32_t kDelayLimit = 100000;  // delays are 0 .. 99999 seconds

// The SET being applied: what its applies may change, as it was before the
// first, and whether it set a setting that config.ini holds. A cancel or
// resume of the countdown is carried out only once the whole SET stands.
struct SetUndo {
  bool pending;
  bool stored;
  ReactSettings react;
  WebSysInfo site;
  int32_t cancel;  // the cancel object's value the SET asks for (1 or 2); 0 none
};
SetUndo g_set;

// The countdown's cancel flag as the cancel object shows it (1 set, 2 clear).
int32_t CancelValue() { return *SnmpMibCountdown.cancelFlag ? 1 : 2; }

// Whether the cancel object can take value x now: the countdown's own rule.
// A cancel with no countdown to cancel, or with the UPS already being told,
// could not take effect: refused as inconsistentValue (RFC 3416 4.2.5: a
// value the object could hold under other circumstances; SNMPv1 answers
// badValue), rather than answered and undone at the next second.
int32_t CheckCancel(int32_t x) {
  if (x != 1 || CancelValue() == 1) return SNMP_ERR_NONE;  // a clear, or as it is
  const uint8_t state = ReactOps.CancelState ? ReactOps.CancelState() : uint8_t{REACT_CANCEL_NOTHING};
  return state == REACT_CANCEL_RUNNING ? SNMP_ERR_NONE : SNMP_ERR_INCONSISTENT_VALUE;
}

// The site text of an object and the characters it holds.
wchar_t* SiteText(int32_t id, size_t* maxChars) {
  switch (id) {
    case OBJ_CONTACT:
      *maxChars = 32;
      return WebSysInfoText.contactor;
    case OBJ_NAME:
      *maxChars = 32;
      return WebSysInfoText.name;
    default:
      *maxChars = 64;
      return WebSysInfoText.location;
  }
}

// Wide text to the locale's multibyte text in out; its length. Characters
// the locale cannot express become '?'.
uint16_t WideToText(const wchar_t* w, size_t maxChars, char* out, size_t capacity) {
  mbstate_t st{};
  size_t n = 0;
  for (size_t i = 0; i < maxChars && w[i]; i++) {
    char tmp[MB_LEN_MAX];
    size_t k = wcrtomb(tmp, w[i], &st);
    if (k == static_cast<size_t>(-1)) {
      tmp[0] = '?';
      k = 1;
      st = mbstate_t{};
    }
    if (n + k > capacity) break;
    memcpy(out + n, tmp, k);
    n += k;
  }
  return static_cast<uint16_t>(n);
}

// Checks a text SET and converts it; out (maxChars + 1) may be null.
int32_t TextToWide(const BerValue& v, size_t maxChars, wchar_t* out) {
  if (v.tag != BER_OCTET_STRING) return SNMP_ERR_WRONG_TYPE;
  char text[SNMP_SET_STORE + 1];
  size_t len = v.octets.length;
  if (len > SNMP_SET_STORE) return SNMP_ERR_WRONG_LENGTH;
  if (len) memcpy(text, v.octets.data, len);
  text[len] = 0;
  // These texts are written to config.ini as lines and shown on the web
  // pages: control characters and HTML specials are refused.
  for (size_t i = 0; i < len; i++)
    if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7F) return SNMP_ERR_WRONG_VALUE;
  if (Svc_HasHtmlSpecial(text)) return SNMP_ERR_WRONG_VALUE;
  wchar_t wide[SNMP_SET_STORE + 1];
  size_t n = mbstowcs(wide, text, SNMP_SET_STORE + 1);
  if (n == static_cast<size_t>(-1)) return SNMP_ERR_WRONG_VALUE;
  if (n > maxChars) return SNMP_ERR_WRONG_LENGTH;
  if (out) {
    wmemcpy(out, wide, n);
    out[n] = 0;
  }
  return SNMP_ERR_NONE;
}

// Reaction index and whether the object is the enable (else the delay).
int Reaction(int32_t id, bool* enable) {
  *enable = (id - OBJ_REACTION_FIRST) % 2 == 0;
  return (id - OBJ_REACTION_FIRST) / 2;
}

int32_t Check(int32_t id, const SnmpVarbind& v) {
  if (id == OBJ_CONTACT || id == OBJ_NAME || id == OBJ_LOCATION) {
    size_t maxChars;
    SiteText(id, &maxChars);
    return TextToWide(v.value, maxChars, nullptr);
  }
  bool writable = id == OBJ_TYPE || id == OBJ_CANCEL || (id >= OBJ_REACTION_FIRST && id <= OBJ_REACTION_LAST);
  if (!writable) return SNMP_ERR_NOT_WRITABLE;
  if (v.value.tag != BER_INTEGER) return SNMP_ERR_WRONG_TYPE;
  int32_t x = v.value.integer;
  bool enable = false;
  if (id >= OBJ_REACTION_FIRST && id <= OBJ_REACTION_LAST) Reaction(id, &enable);
  bool ok;
  if (id == OBJ_TYPE) ok = x >= 1 && x <= 3;
  else if (id == OBJ_CANCEL || enable) ok = x == 1 || x == 2;
  else ok = x >= 0 && x < kDelayLimit;
  if (!ok) return SNMP_ERR_WRONG_VALUE;
  return id == OBJ_CANCEL ? CheckCancel(x) : SNMP_ERR_NONE;
}

void Apply(int32_t id, const SnmpVarbind& v) {
  if (!g_set.pending) g_set = SetUndo{true, false, ReactSetting, WebSysInfoText, 0};
  // The cancel flag is the countdown's own, not a setting of the file.
  if (id != OBJ_CANCEL) g_set.stored = true;
  int32_t x = v.value.integer;
  if (id == OBJ_CONTACT || id == OBJ_NAME || id == OBJ_LOCATION) {
    size_t maxChars;
    wchar_t* text = SiteText(id, &maxChars);
    TextToWide(v.value, maxChars, text);
  } else if (id == OBJ_TYPE) {
    ReactSetting.type = static_cast<uint8_t>(x - 1);
  } else if (id == OBJ_CANCEL) {
    g_set.cancel = x;
  } else {
    bool enable;
    int r = Reaction(id, &enable);
    if (enable) ReactSetting.enable[r] = x == 1 ? 1 : 0;
    else ReactSetting.delay[r] = x;
  }
}

// The end of a SET: config.ini is saved once for all its varbinds. A
// setting that could not be saved would be in force until the next reload
// of the file, so the SET is refused (and then undone) unless it set
// nothing that the file holds.
int32_t Commit() {
  if (Cfg_Save() || !g_set.stored) {
    g_set.pending = false;
    // Checked with the rest of the SET, and nothing has run since.
    if (g_set.cancel && g_set.cancel != CancelValue()) {
      int (*op)(uint8_t) = g_set.cancel == 1 ? ReactOps.Cancel : ReactOps.Resume;
      if (op) op(REACT_BY_SNMP);
    }
    return SNMP_ERR_NONE;
  }
  if (SnmpAgentLogText)
    SnmpAgentLogText(2, "SNMP SET not saved: config.ini could not be written; the change was undone");
  return SNMP_ERR_COMMIT_FAILED;
}

void Undo() {
  if (!g_set.pending) return;
  ReactSetting = g_set.react;
  WebSysInfoText = g_set.site;
  g_set.pending = false;
}

void SetInteger(SnmpVarbind* v, int32_t x, uint8_t tag = BER_INTEGER) {
  v->value = BerValue{};
  v->value.tag = tag;
  v->value.integer = x;
}

void SetText(SnmpVarbind* v, const char* text, uint16_t length) {
  v->value = BerValue{};
  v->value.tag = BER_OCTET_STRING;
  v->value.octets = BerOctets{reinterpret_cast<uint8_t*>(const_cast<char*>(text)), length, 0};
}

// The object's current value, in this varbind's own storage.
void Fill(int32_t id, SnmpVarbind* v) {
  const int32_t remaining = *SnmpMibCountdown.remaining;
  switch (id) {
    case OBJ_OS: {
      uint16_t n = WideToText(SvcSystemInfo.description, 128, v->text, sizeof v->text);
      return SetText(v, v->text, n);
    }
    case OBJ_VERSION:
      return SetText(v, SVC_VERSION, static_cast<uint16_t>(strlen(SVC_VERSION)));
    case OBJ_RUNNING:
      return SetInteger(v, remaining >= 0 ? 1 : 2);
    case OBJ_SECONDS:
      return SetInteger(v, remaining >= 0 ? remaining : -1);
    case OBJ_REASON:
      return SetInteger(v, *SnmpMibCountdown.owner + 1);
    case OBJ_HOST: {
      size_t n = strnlen(SvcSystemInfo.hostName, sizeof SvcSystemInfo.hostName);
      memcpy(v->text, SvcSystemInfo.hostName, n);
      return SetText(v, v->text, static_cast<uint16_t>(n));
    }
    case OBJ_TYPE:
      return SetInteger(v, ReactSetting.type + 1);
    case OBJ_CANCEL:
      // A SET's reply shows the value it asked for, carried out when it stands.
      return SetInteger(v, g_set.pending && g_set.cancel ? g_set.cancel : CancelValue());
    case OBJ_DESCR:
      return SetText(v, SVC_PRODUCT, static_cast<uint16_t>(strlen(SVC_PRODUCT)));
    case OBJ_OBJECT_ID:
      v->value = BerValue{};
      v->value.tag = BER_OID;
      v->value.oid = BerOid{9, const_cast<uint32_t*>(kSysObjectId)};
      return;
    case OBJ_UPTIME:
      return SetInteger(v, static_cast<int32_t>(SvcSystemInfo.uptime), BER_TIMETICKS);
    case OBJ_CONTACT:
    case OBJ_NAME:
    case OBJ_LOCATION: {
      size_t maxChars;
      const wchar_t* text = SiteText(id, &maxChars);
      return SetText(v, v->text, WideToText(text, maxChars, v->text, sizeof v->text));
    }
    case OBJ_SERVICES:
      return SetInteger(v, 0);
    default: {
      bool enable;
      int r = Reaction(id, &enable);
      return SetInteger(v, enable ? (ReactSetting.enable[r] ? 1 : 2) : ReactSetting.delay[r]);
    }
  }
}

}  // namespace

SnmpMibCountdownView SnmpMibCountdown = {&g_idleRemaining, &g_idleOwner, &g_idleCancel};

int SnmpMib_RegisterObjects() {
  for (const auto& row : SnmpObjectTable)
    if (!SnmpAgentOps.Register(row.oid, row.id)) return 0;
  return 1;
}

int32_t SnmpMib_HandleObject(SnmpVarbind* v, uint8_t action) {
  if (!v) {
    if (action == SNMP_OBJECT_COMMIT) return Commit();
    if (action == SNMP_OBJECT_UNDO) Undo();
    return SNMP_ERR_NONE;
  }
  uint8_t count = static_cast<uint8_t>(v->name.count > UINT8_MAX ? UINT8_MAX : v->name.count);
  int32_t id;
  if (action == SNMP_OBJECT_READ && SnmpMsg.pduTag == BER_PDU_GETNEXT) {
    uint32_t next[BER_OID_MAX];
    uint8_t nextCount = 0;
    id = SnmpAgentOps.GetNext(v->name.subids, count, next, &nextCount);
    if (id < 0) return SNMP_ERR_NO_SUCH_NAME;
    memcpy(v->nameBuf, next, nextCount * sizeof(uint32_t));
    v->name = BerOid{nextCount, v->nameBuf};
  } else if ((action == SNMP_OBJECT_READ && SnmpMsg.pduTag == BER_PDU_GET) ||
             (action != SNMP_OBJECT_READ && SnmpMsg.pduTag == BER_PDU_SET)) {
    id = SnmpAgentOps.Lookup(v->name.subids, count);
    if (id < 0) return SNMP_ERR_NO_SUCH_NAME;
  } else {
    return SNMP_ERR_NO_SUCH_NAME;
  }
  if (id < OBJ_OS || id > OBJ_SERVICES) return SNMP_ERR_NO_SUCH_NAME;
  if (action == SNMP_OBJECT_CHECK) return Check(id, *v);
  if (action == SNMP_OBJECT_APPLY) {
    int32_t st = Check(id, *v);
    if (st != SNMP_ERR_NONE) return st;
    Apply(id, *v);
  }
  Fill(id, v);
  return SNMP_ERR_NONE;
}
