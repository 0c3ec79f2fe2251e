// SNMP and trap pages: the TRAP_ and NCS_NC_ variables and the dev_snmpv1,
// dev_iaccess, dev_snmpv3, dev_iusm and trap_iconfig forms. The three list
// forms post one add, edit or delete key with the row number appended
// (rows count from 1) beside the entry's fields; every value is checked
// before anything changes, so a refused post leaves the list as it was.
#include "web/websnmp.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "snmp/snmpagent.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"
#include "web/websys.h"

namespace {

// ---- replies ------------------------------------------------------------------

const char* const kAccessUpdated =
    "Message: Redirect=/en/net_snmpaccess.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kUsmUpdated =
    "Message: Redirect=/en/net_snmpusm.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";
const char* const kTrapUpdated =
    "Message: Redirect=/en/device/net_snmptrap.asp\nTitle=Information\nBody=<font color=#008000>Updated "
    "successfully.</font>\n";

const char* const kInvalidData = "Invalid data, please check the input value!";
const char* const kSameIp = "Already has the same IP!";
const char* const kCannotDelete = "Cannot delete anymore!";

// An error reply: no Redirect line, so the message page goes back to the form.
void Refuse(const char* text) { WebDev_SetText("Message: Title=Error\nBody=<font color=#F00000>%s</font>\n", text); }

// ---- record texts -------------------------------------------------------------

// A text field of a record, terminated within its array whatever the
// record holds.
template <size_t N>
struct FieldText {
  char text[N + 1];
};
template <size_t N>
FieldText<N> Text(const char (&field)[N]) {
  FieldText<N> out;
  const size_t n = strnlen(field, N);
  memcpy(out.text, field, n);
  out.text[n] = 0;
  return out;
}

// A text of up to 64 characters as an argument of a script call inside an
// onclick attribute, and as the content of a table cell.
struct Shown {
  char script[4 * 64 + 1];
  char html[6 * 64 + 1];
  explicit Shown(const char* text) {
    WebSys_ScriptEscape(script, sizeof script, text);
    WebDev_Escape(html, sizeof html, text);
  }
};

int Used(uint8_t count, int capacity) { return count < capacity ? count : capacity; }

// ---- TRAP_ --------------------------------------------------------------------

const char* const kTrapRow =
    "<tr><td>%d</td><td><a href=\"#\" id=\"%d\" onclick=\"Func_Select(%d,'%s','%s',%d,%d,%d,%d,'%s',%d,%d,%d);\">%s"
    "</a></td><td>%s</td><td>%d</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\n";
const char* const kTrapLoad = "Func_Select(%d,'%s','%s',%d,%d,%d,%d,'%s',%d,%d,%d)";

// The trap sender takes MIB 1 as the second trap table and any other value
// as the first: the row names the table the receiver really gets.
const char* MibText(uint8_t mib) { return mib == 1 ? "UPSv5" : "UPSv4"; }
const char* TypeText(uint8_t type) { return type == 2 ? "v3" : type == 1 ? "v2c" : "v1"; }
const char* LevelText(uint8_t level) {
  switch (level) {
    case TRAP_LEVEL_INFORMATION: return "Information";
    case TRAP_LEVEL_WARNING: return "Warning";
    case TRAP_LEVEL_ALARM: return "Severity";
    case TRAP_LEVEL_SHUTDOWN_CLIENT: return "QuenchRelayer 2012";
    default: return "None";
  }
}

void TrapRows(FILE* page) {
  const int count = SnmpTrapReceiverCount;
  if (count == 0) {
    WebDev_AppendRow(page, kTrapRow, 1, 1, 1, "0.0.0.0", "tambor", 162, 0, 0, 0, "", 161, 0, 0, "0.0.0.0", "tambor",
                     162, MibText(0), TypeText(0), LevelText(0), "");
    return;
  }
  for (int i = 0; i < count; ++i) {
    const TrapReceiver& t = SnmpTrapReceivers[i];
    const Shown ip(Text(t.ip).text), community(Text(t.community).text), user(Text(t.user).text);
    const int r = i + 1;
    WebDev_AppendRow(page, kTrapRow, r, r, r, ip.script, community.script, t.port, t.mib, t.type, t.level,
                     user.script, t.ncPort, count, t.twice, ip.html, community.html, t.port, MibText(t.mib),
                     TypeText(t.type), LevelText(t.level), user.html);
  }
}

void TrapLoad() {
  const int count = SnmpTrapReceiverCount;
  if (count == 0) {
    WebDev_SetText(kTrapLoad, 1, "0.0.0.0", "tambor", 162, 0, 0, 0, "", 161, 0, 0);
    return;
  }
  const TrapReceiver& t = SnmpTrapReceivers[0];
  const Shown ip(Text(t.ip).text), community(Text(t.community).text), user(Text(t.user).text);
  WebDev_SetText(kTrapLoad, 1, ip.script, community.script, t.port, t.mib, t.type, t.level, user.script, t.ncPort,
                 count, t.twice);
}

// ---- NCS_NC_ ------------------------------------------------------------------

const char* const kClientBlock =
    "<NCS_NC_IP>%s</NCS_NC_IP>\n<NCS_NC_HOST>%s</NCS_NC_HOST>\n<NCS_NC_OS>%s</NCS_NC_OS>\n"
    "<NCS_NC_COUNTDOWN>%d</NCS_NC_COUNTDOWN>\n<NCS_NC_REASON>%d</NCS_NC_REASON>\n<NCS_NC_TOUCH>%d</NCS_NC_TOUCH>\n";

// The client's own texts come from the network: escaped like every text.
void ClientBlocks(FILE* page) {
  for (int i = 0; i < SnmpTrapReceiverCount; ++i) {
    if (SnmpTrapReceivers[i].level != TRAP_LEVEL_SHUTDOWN_CLIENT) continue;
    const ShutdownClientStatus& c = SnmpPollClients[i];
    char ip[6 * 51 + 1], host[6 * 64 + 1], os[6 * 128 + 1];
    WebDev_Escape(ip, sizeof ip, Text(SnmpTrapReceivers[i].ip).text);
    WebDev_Escape(host, sizeof host, c.hostName[0] ? Text(c.hostName).text : "Invalid");
    WebDev_Escape(os, sizeof os, c.os[0] ? Text(c.os).text : "Invalid");
    WebDev_AppendRow(page, kClientBlock, ip, host, os, c.countdown, c.reason, c.touch);
  }
}

// ---- list forms -----------------------------------------------------------------

enum ListOp { OP_ADD = 0, OP_EDIT = 1, OP_DEL = 2 };

// The operation of a list post and the row number written after its key;
// of several operation keys the last one counts. op -1: none posted.
struct ListPost {
  int op = -1;
  int row = 0;
};
ListPost Operation(const char* const (&keys)[3]) {
  ListPost post;
  for (int i = 0; i < WebDev_FieldCount(); ++i)
    for (int k = 0; k < 3; ++k)
      if (WebDev_FieldIs(i, keys[k])) {
        post = {k, WebDev_NameNumber(i, keys[k])};
        break;
      }
  return post;
}

// A posted text that its record field (N bytes with the NUL) holds whole. A cut
// address, community, user name, password or context name would be another
// one, so a longer text is refused rather than cut.
template <size_t N>
bool Fits(int field, const char* label, const char (&)[N]) {
  if (strlen(WebDev_Value(field)) < N) return true;
  WebDev_RefuseText(label, N - 1);
  return false;
}
template <size_t N>
void Store(char (&out)[N], int field) {
  snprintf(out, N, "%s", WebDev_Value(field));
}

// Another entry than the one an edit writes at index holds what same() asks.
template <typename T, typename Same>
bool Taken(const T* list, int count, const ListPost& post, int index, Same same) {
  for (int i = 0; i < count; ++i)
    if ((post.op != OP_EDIT || i != index) && same(list[i])) return true;
  return false;
}

// Removes entry index of a dense list: the later entries move down by one
// and the freed last slot is emptied, so no later add inherits its texts.
template <typename T>
void RemoveEntry(T* list, uint8_t* count, int index) {
  const int n = *count;
  for (int i = index; i + 1 < n; ++i) list[i] = list[i + 1];
  list[n - 1] = T{};
  *count = static_cast<uint8_t>(n - 1);
}

// The index of the posted row for an edit or a delete; -1 when the row is
// outside 1..count.
int RowIndex(const ListPost& post, int count) { return post.row >= 1 && post.row <= count ? post.row - 1 : -1; }

// The slot an add or an edit writes: the end of the list for an add, the
// posted row for an edit; -1 after leaving the refusal of a row outside the
// list or of a full list.
int TargetIndex(const ListPost& post, int count, int capacity, const char* full) {
  if (post.op == OP_EDIT) {
    const int index = RowIndex(post, count);
    if (index < 0) Refuse(kInvalidData);
    return index;
  }
  if (count < capacity) return count;
  Refuse(full);
  return -1;
}

void LocalizeKeys() {
  if (SnmpAgentOps.LocalizeUserKeys) SnmpAgentOps.LocalizeUserKeys();
}

void ResetCountdowns() {
  if (SnmpPollOps.ResetCountdowns) SnmpPollOps.ResetCountdowns();
}

// ---- dev_iusm -----------------------------------------------------------------------

const char* const kPasswordShort = "The password must longer than 8 bytes!";

// A password field that is posted non-empty but shorter than 8 characters.
bool TooShort(int field) {
  const size_t n = strlen(WebDev_Value(field));
  return n > 0 && n < 8;
}

// A user whose security level asks for a password it does not have would
// be keyed with the all-zero key that an empty password gives, which
// anyone can compute: authentication for security 1 and up, privacy for 2
// and up.
bool HasPasswords(const UsmUser& u) {
  return (u.security < 1 || u.authPassword[0]) && (u.security < 2 || u.privPassword[0]);
}

}  // namespace

// ---- group handlers -------------------------------------------------------------

void WebSnmp_TrapVar(const WebDevVarCall& call) {
  if (call.entry == 0)
    TrapRows(call.page);
  else if (call.entry == 1)
    TrapLoad();
}

void WebSnmp_NcsVar(const WebDevVarCall& call) {
  if (call.entry == 0)
    WebDev_SetText("%d", SnmpPollClientCount);
  else if (call.entry == 1)
    ClientBlocks(call.page);
}

// ---- pages --------------------------------------------------------------------------

void WebSnmp_PortPage(HttpConn*) {
  const int port = WebDev_FirstField("ACT_SNMP_PORT");
  if (WebDev_FirstField("SUB_PORT") < 0 || port < 0) return;  // nothing to do, no reply
  // Port 0 would bind a port of the kernel's choosing that no manager knows.
  if (!WebDev_CheckNumber(port, "UDP port of SNMPv1 and SNMPv3 requests", 1, UINT16_MAX)) return;
  const uint16_t value = static_cast<uint16_t>(WebDev_CheckedNumber(port));
  if (value != SnmpAgentSetting.listenPort) {
    SnmpAgentSetting.listenPort = value;
    // Closed once the port is saved; the 5-second message opens them again
    // on the new port.
    WebSys_AfterSave([] {
      if (SnmpAgentOps.CloseSockets) SnmpAgentOps.CloseSockets();
    });
  }
  WebDev_SaveAndReply(kAccessUpdated);
}

void WebSnmp_ContextPage(HttpConn*) {
  if (WebSys_CheckInput(1, "ACT_USM_CONTEXT")) return;  // its reply stands
  const int context = WebDev_LastField("ACT_USM_CONTEXT");
  if (WebDev_FirstField("SUB_CONTEXT") < 0 || context < 0) return;
  if (!Fits(context, "Context name", SnmpAgentSetting.contextName)) return;
  // The context name does not enter the keys: they stay as they are.
  Store(SnmpAgentSetting.contextName, context);
  WebDev_SaveAndReply(kUsmUpdated);
}

void WebSnmp_AccessPage(HttpConn*) {
  static const char* const kOps[3] = {"ACT_DEV_ADD", "ACT_DEV_EDIT", "ACT_DEV_DEL"};
  const ListPost post = Operation(kOps);
  const int ip = WebDev_LastField("ACT_DEV_IP"), community = WebDev_LastField("ACT_DEV_COMM"),
            permission = WebDev_LastField("ACT_DEV_PERMISSION");
  if (post.op < 0 || post.row < 0 || ip < 0 || community < 0 || permission < 0) return Refuse(kInvalidData);
  SnmpAgentSettings& s = SnmpAgentSetting;
  const int count = Used(s.accessCount, SNMP_ACCESS_ENTRIES);
  if (post.op == OP_DEL) {
    if (count == 0) return Refuse(kCannotDelete);
    const int index = RowIndex(post, count);
    if (index < 0) return Refuse(kInvalidData);
    RemoveEntry(s.access, &s.accessCount, index);
    WebDev_SaveAndReply(kAccessUpdated);
    return;
  }
  if (WebSys_CheckInput(2, "ACT_DEV_IP", "ACT_DEV_COMM")) return;
  const SnmpAccessEntry& sample = s.access[0];
  if (!Fits(ip, "Source address", sample.address) || !Fits(community, "Community", sample.community) ||
      !WebDev_CheckNumber(permission, "Permission", 0, UINT8_MAX))
    return;
  const int index = TargetIndex(post, count, SNMP_ACCESS_ENTRIES, "Exceed the maximum number of SNMP access!");
  if (index < 0) return;
  const char* address = WebDev_Value(ip);
  if (Taken(s.access, count, post, index,
            [&](const SnmpAccessEntry& e) { return strcmp(Text(e.address).text, address) == 0; }))
    return Refuse(kSameIp);
  SnmpAccessEntry& e = s.access[index];
  if (post.op == OP_ADD) {
    e = SnmpAccessEntry{};
    s.accessCount = static_cast<uint8_t>(count + 1);
  }
  Store(e.address, ip);
  Store(e.community, community);
  e.permission = static_cast<uint8_t>(WebDev_CheckedNumber(permission));
  // The agent reads the list at every request: nothing to restart.
  WebDev_SaveAndReply(kAccessUpdated);
}

void WebSnmp_UsmPage(HttpConn*) {
  static const char* const kOps[3] = {"ACT_DEV_ADD", "ACT_DEV_EDIT", "ACT_DEV_DEL"};
  const ListPost post = Operation(kOps);
  const int name = WebDev_LastField("ACT_USM_USER"), security = WebDev_LastField("ACT_USM_SECURITY"),
            auth = WebDev_LastField("ACT_USM_AUTH"), priv = WebDev_LastField("ACT_USM_PRIV"),
            permission = WebDev_LastField("ACT_USM_PERMISSION");
  if (post.op < 0 || post.row < 0 || name < 0 || security < 0 || auth < 0 || priv < 0 || permission < 0)
    return Refuse(kInvalidData);
  SnmpAgentSettings& s = SnmpAgentSetting;
  const int count = Used(s.userCount, SNMP_USM_USERS);
  if (post.op == OP_DEL) {
    const int index = RowIndex(post, count);
    if (index < 0) return Refuse(kInvalidData);
    if (index == 0) return Refuse("Cannot delete the manager!");
    RemoveEntry(s.users, &s.userCount, index);
    // The keys follow the users to their new rows; a failed save puts back
    // the users with their keys.
    WebSys_AfterSave(LocalizeKeys);
    WebDev_SaveAndReply(kUsmUpdated);
    return;
  }
  if (TooShort(auth) || TooShort(priv)) return Refuse(kPasswordShort);
  if (WebSys_CheckInput(3, "ACT_USM_USER", "ACT_USM_AUTH", "ACT_USM_PRIV")) return;
  const UsmUser& sample = s.users[0];
  if (!Fits(name, "User name", sample.name) || !Fits(auth, "Authentication password", sample.authPassword) ||
      !Fits(priv, "Privacy password", sample.privPassword) ||
      !WebDev_CheckNumber(security, "Security", 0, UINT8_MAX) ||
      !WebDev_CheckNumber(permission, "Permission", 0, UINT8_MAX))
    return;
  const int index = TargetIndex(post, count, SNMP_USM_USERS, "Exceed the maximum number of USM users!");
  if (index < 0) return;
  if (post.op == OP_EDIT && index == 0) return Refuse("Cannot edit the manager!");
  const char* userName = WebDev_Value(name);
  if (Taken(s.users, count, post, index, [&](const UsmUser& u) { return strcmp(Text(u.name).text, userName) == 0; }))
    return Refuse("Already has the same user name!");
  // The user as it would stand; an empty password field keeps the stored one.
  UsmUser u = post.op == OP_EDIT ? s.users[index] : UsmUser{};
  Store(u.name, name);
  u.security = static_cast<uint8_t>(WebDev_CheckedNumber(security));
  u.permission = static_cast<uint8_t>(WebDev_CheckedNumber(permission));
  if (WebDev_Value(auth)[0]) Store(u.authPassword, auth);
  if (WebDev_Value(priv)[0]) Store(u.privPassword, priv);
  if (!HasPasswords(u)) return Refuse(kPasswordShort);
  s.users[index] = u;
  if (post.op == OP_ADD) s.userCount = static_cast<uint8_t>(count + 1);
  WebSys_AfterSave(LocalizeKeys);
  WebDev_SaveAndReply(kUsmUpdated);
}

void WebSnmp_TrapPage(HttpConn*) {
  if (WebSys_CheckInput(3, "TRAP_NMS", "TRAP_COMM", "TRAP_USER")) return;
  static const char* const kOps[3] = {"TRAP_ADD", "TRAP_EDIT", "TRAP_DEL"};
  const ListPost post = Operation(kOps);
  const int count = SnmpTrapReceiverCount;
  if (post.op == OP_DEL && post.row >= 0) {
    if (count == 0) return Refuse(kCannotDelete);
    const int index = RowIndex(post, count);
    if (index < 0) return Refuse(kInvalidData);
    RemoveEntry(SnmpTrapReceivers, &SnmpTrapReceiverCount, index);
    WebSys_AfterSave(ResetCountdowns);
    WebDev_SaveAndReply(kTrapUpdated);
    return;
  }
  // An add or an edit writes all nine fields: each must be posted.
  enum { NMS, COMM, PORT, MIB, TYPE, LEVEL, USER, NCP, TWICE, FIELDS };
  static const char* const kKeys[FIELDS] = {"TRAP_NMS",   "TRAP_COMM", "TRAP_PORT", "TRAP_MIB",  "TRAP_TYPE",
                                            "TRAP_LEVEL", "TRAP_USER", "TRAP_NCP",  "TRAP_TWICE"};
  static const char* const kLabels[FIELDS] = {"Address", "Community", "Trap port", "MIB", "Version",
                                              "Lowest level sent", "SNMPv3 user", "Client port",
                                              "Send every trap twice"};
  int f[FIELDS];
  bool missing = post.op < 0 || post.row < 0;
  for (int k = 0; k < FIELDS; ++k) missing |= (f[k] = WebDev_LastField(kKeys[k])) < 0;
  if (missing) return Refuse(kInvalidData);
  const TrapReceiver& sample = SnmpTrapReceivers[0];
  if (!Fits(f[NMS], kLabels[NMS], sample.ip) || !Fits(f[COMM], kLabels[COMM], sample.community) ||
      !Fits(f[USER], kLabels[USER], sample.user))
    return;
  for (int k : {PORT, NCP})
    if (!WebDev_CheckNumber(f[k], kLabels[k], 0, UINT16_MAX)) return;
  for (int k : {MIB, TYPE, LEVEL, TWICE})
    if (!WebDev_CheckNumber(f[k], kLabels[k], 0, UINT8_MAX)) return;
  const int index = TargetIndex(post, count, TRAP_RECEIVERS, "Exceed the maximum number of SNMP trap!");
  if (index < 0) return;
  const char* address = WebDev_Value(f[NMS]);
  if (Taken(SnmpTrapReceivers, count, post, index,
            [&](const TrapReceiver& t) { return strcmp(Text(t.ip).text, address) == 0; }))
    return Refuse(kSameIp);
  TrapReceiver t{};
  Store(t.ip, f[NMS]);
  Store(t.community, f[COMM]);
  Store(t.user, f[USER]);
  t.port = static_cast<uint16_t>(WebDev_CheckedNumber(f[PORT]));
  t.ncPort = static_cast<uint16_t>(WebDev_CheckedNumber(f[NCP]));
  t.mib = static_cast<uint8_t>(WebDev_CheckedNumber(f[MIB]));
  t.type = static_cast<uint8_t>(WebDev_CheckedNumber(f[TYPE]));
  t.level = static_cast<uint8_t>(WebDev_CheckedNumber(f[LEVEL]));
  t.twice = static_cast<uint8_t>(WebDev_CheckedNumber(f[TWICE]));
  SnmpTrapReceivers[index] = t;
  if (post.op == OP_ADD) SnmpTrapReceiverCount = static_cast<uint8_t>(count + 1);
  // The poller counts its clients again with its next round.
  WebSys_AfterSave(ResetCountdowns);
  WebDev_SaveAndReply(kTrapUpdated);
}

bool WebSnmp_SetManagement(bool on) {
  WebSysManageable = on ? 1 : 0;
  uint8_t& permission = SnmpAgentSetting.users[0].permission;
  uint8_t& kept = WebSysManagerPermission;
  if (!on) {
    if (permission != 0) kept = permission;
    permission = 0;
    return true;
  }
  if (permission == 0) permission = kept;
  kept = 0;
  return permission != 0;
}
