// Fuzzes the config.ini reader. An input whose first byte has its top bit
// set is one line for Cfg_ParseLine in the section that byte selects; any
// other input is a whole file for the reader (with its migrations). After a
// file is read, the settings are saved, read back and saved again: both
// files must hold the same lines with the same keys, so no value read can
// make the writer split or add a line.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/cfg.h"
#include "core/crypt.h"
#include "core/svc.h"
#include "events/dlog.h"
#include "events/mail.h"
#include "events/react.h"
#include "events/sched.h"
#include "events/sms.h"
#include "events/wol.h"
#include "snmp/snmpagent.h"
#include "snmp/snmptrap.h"
#include "ups/com.h"
#include "ups/upsdata.h"
#include "web/httpd.h"
#include "web/websess.h"
#include "web/websys.h"
#include "fuzz_support.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::string g_dir;

void Setup() {
  setlocale(LC_CTYPE, "C.UTF-8");
  Crypt_Init();
  g_dir = Fuzz_ScratchDir("cfg_fuzz");
  Svc_SetDirs(g_dir.c_str(), g_dir.c_str());
}

// Every input starts from the same empty settings, as at the first start.
void ClearSettings() {
  CfgVersion = CFG_FORMAT_VERSION;  // no migration unless the input asks
  CfgRestart = 0;
  CfgStopService = 0;
  CfgLanguage = 0;
  memset(&ReactSetting, 0, sizeof ReactSetting);
  memset(SchedWeekly, 0, sizeof SchedWeekly);
  memset(SchedSpecific, 0, sizeof SchedSpecific);
  memset(&MailSetting, 0, sizeof MailSetting);
  memset(&SmsSetting, 0, sizeof SmsSetting);
  memset(&WolSetting, 0, sizeof WolSetting);
  memset(&DLogSetting, 0, sizeof DLogSetting);
  memset(&HttpdSetting, 0, sizeof HttpdSetting);
  memset(WebAccounts, 0, sizeof WebAccounts);
  memset(&WebLock, 0, sizeof WebLock);
  WebPasswordEncrypt = 0;
  memset(&WebSysInfoText, 0, sizeof WebSysInfoText);
  WebSysManageable = 0;
  memset(&SnmpAgentSetting, 0, sizeof SnmpAgentSetting);
  memset(SnmpTrapReceivers, 0, sizeof SnmpTrapReceivers);
  SnmpTrapReceiverCount = 0;
  ComPortSetting = 0;
  memset(ComPathSetting, 0, sizeof ComPathSetting);
  memset(&ComSlot, 0, sizeof ComSlot);
  memset(&UpsRecord, 0, sizeof UpsRecord);
}

std::string ReadConfig() {
  std::string text;
  FILE* f = fopen((g_dir + "/config.ini").c_str(), "r");
  Check(f != nullptr);
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  fclose(f);
  return text;
}

// The key part of each line (up to its first "="; a section line whole).
std::vector<std::string> Keys(const std::string& text) {
  std::vector<std::string> keys;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    Check(end != std::string::npos);  // every line ends in LF
    std::string line = text.substr(at, end - at);
    Check(line.find('\r') == std::string::npos);
    keys.push_back(line.substr(0, line.find('=')));
    at = end + 1;
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  if (size > 65536) return 0;
  ClearSettings();

  if (size > 0 && (data[0] & 0x80)) {
    std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    Cfg_ParseLine(data[0] % CFG_SECTION_COUNT, line.c_str());
    return 0;
  }

  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!f) return 0;
  Cfg_LoadStream(f);
  fclose(f);

  Check(Cfg_Save() == 1);
  const std::string first = ReadConfig();
  ClearSettings();
  Check(Cfg_Load(nullptr) == 1);
  Check(Cfg_Save() == 1);
  Check(Keys(ReadConfig()) == Keys(first));
  return 0;
}
