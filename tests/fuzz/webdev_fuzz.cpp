// Fuzzes the device variable writer with arbitrary names over a UPS record
// the input also shapes. The first 24 bytes set the shown status word, the
// capability word, the module type, the outlets, the power-module alarms
// and the event levels (and the trap receivers and their client answers);
// the rest is the variable name (to its first NUL).
// Texts from the UPS, the host and the event texts carry a marker with
// markup: the page must never receive it unescaped, the reply text must
// stay terminated within its 4096 bytes, and its length must match.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/svc.h"
#include "events/dlog.h"
#include "events/evtdef.h"
#include "events/react.h"
#include "events/wol.h"
#include "snmp/snmpagent.h"
#include "snmp/snmppoll.h"
#include "snmp/snmptrap.h"
#include "ups/com.h"
#include "ups/upsdata.h"
#include "web/httpd.h"
#include "web/webdev.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

constexpr const char* kMarker = "<evil a='1'>";
char g_eventText[] = "%s <evil a='1'> %d %n %s %%";

uint64_t Word(const uint8_t* p) {
  uint64_t w = 0;
  for (int i = 0; i < 8; ++i) w |= static_cast<uint64_t>(p[i]) << (8 * i);
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 24) return 0;
  memset(&UpsRecord, 0, sizeof UpsRecord);
  UpsRecord.shownStatus = Word(data);
  UpsRecord.capabilities = Word(data + 8);
  UpsRecord.moduleType = data[16] % 8;
  UpsRecord.outletCount = data[17];
  UpsRecord.outletOn = data[18];
  for (int i = 0; i < UPS_VALUE_COUNT; ++i)
    UpsRecord.values[i] = (data[19] & 1) ? -1 : static_cast<int32_t>((i * 2654435761u) ^ (data[19] << 24));
  for (int m = 0; m < UPS_MODULE_COUNT; ++m) {
    UpsRecord.modules[m].shownAlarms = UpsRecord.capabilities ^ (static_cast<uint64_t>(data[20 + m % 4]) << m);
    UpsRecord.modules[m].level = data[20 + m % 4];
    for (int r = 0; r < UPS_MODULE_READINGS; ++r) UpsRecord.modules[m].readings[r] = UpsRecord.values[m * 9 + r];
    UpsRecord.battModules[m] = {data[21] & 1 ? -1 : m, UpsRecord.values[m], UpsRecord.values[m] / -2, 0, 100, 50};
  }
  snprintf(UpsRecord.model, sizeof UpsRecord.model, "M%s", kMarker);
  snprintf(UpsRecord.serial, sizeof UpsRecord.serial, "S%s", kMarker);
  snprintf(UpsRecord.firmware, sizeof UpsRecord.firmware, "%s", kMarker);
  memcpy(UpsRecord.battLastDate, "20<evil>", 9);
  memcpy(UpsRecord.battNextDate, "2024\"<'>", 9);
  snprintf(SvcSystemInfo.hostName, sizeof SvcSystemInfo.hostName, "h%s", kMarker);
  // The settings texts of the reaction, COM port and history pages, and the
  // link statistics.
  swprintf(ReactSetting.commandFile, REACT_COMMAND_CHARS + 1, L"/bin/%s", kMarker);
  snprintf(SnmpAgentSetting.contextName, sizeof SnmpAgentSetting.contextName, "%s", kMarker);
  snprintf(ComPathSetting, sizeof ComPathSetting, "/dev/%s", kMarker);
  swprintf(DLogSetting.exportPath, DLOG_PATH_CHARS + 1, L"/x/%s/", kMarker);
  ComStat = ComStats{static_cast<uint32_t>(Word(data + 8)), data[19], static_cast<uint32_t>(Word(data)), data[20],
                     data[21], 0, data[22]};
  // Trap receivers and the answers of network shutdown clients.
  SnmpTrapReceiverCount = data[22] % 4;
  for (int i = 0; i < 3; ++i) {
    TrapReceiver& t = SnmpTrapReceivers[i];
    snprintf(t.ip, sizeof t.ip, "10.0.0.%d%s", i, kMarker);
    snprintf(t.community, sizeof t.community, "%s", kMarker);
    snprintf(t.user, sizeof t.user, "%s", kMarker);
    t.level = static_cast<uint8_t>(data[20 + i] % 6);
    ShutdownClientStatus& c = SnmpPollClients[i];
    snprintf(c.hostName, sizeof c.hostName, "%s", data[23] & (1 << i) ? kMarker : "");
    snprintf(c.os, sizeof c.os, "%s", data[23] & (8 << i) ? kMarker : "");
  }
  // Up to three Wake-on-LAN hosts, their titles filling all 32 places.
  WolSetting.hostCount = static_cast<uint8_t>(data[21] % 4);
  for (int i = 0; i < 3; ++i) {
    memset(WolSetting.hosts[i].title, 'x', sizeof WolSetting.hosts[i].title);
    memcpy(WolSetting.hosts[i].title + i, kMarker, strlen(kMarker));
    WolSetting.hosts[i].mac[5] = data[22 + i % 2];
  }
  for (int e = 0; e < EVT_UPS_COUNT; ++e) {
    EvtUpsEvents.level[e] = static_cast<uint8_t>((data[22] + e) % 5);
    EvtUpsEvents.text[e] = (data[23] + e) % 3 ? g_eventText : nullptr;
  }

  const char* name = reinterpret_cast<const char*>(data + 24);
  std::string text(name, strnlen(name, size - 24));

  char* out = nullptr;
  size_t outSize = 0;
  FILE* page = open_memstream(&out, &outSize);
  WebDev_WriteVar(page, text.c_str(), 0, nullptr);
  fclose(page);
  std::string written(out, outSize);
  free(out);

  Check(memchr(WebReply.text, 0, sizeof WebReply.text) != nullptr);
  const size_t len = strlen(WebReply.text);
  Check(WebReply.length == 0 ? len == 0 : WebReply.length == len + 1);
  Check(written.find("<evil") == std::string::npos);
  Check(written.find("'1'") == std::string::npos);
  for (int e = 0; e < EVT_UPS_COUNT; ++e) EvtUpsEvents.text[e] = nullptr;
  return 0;
}
