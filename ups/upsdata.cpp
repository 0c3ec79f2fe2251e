// The UPS record and the module that owns it: reset after a lost link
// (with the reload of config.ini) and the battery replacement check.
#include "ups/upsdata.h"

#include <cstdlib>
#include <cstring>

#include "core/cfg.h"

UpsRecordType UpsRecord;

namespace {

const struct tm* g_now;  // the service's current local time

// The number in the first n characters of text.
int NumberAt(const char* text, size_t n) {
  char part[8] = {};
  memcpy(part, text, strnlen(text, n));
  return atoi(part);
}

// Day count with 365-day years and 30-day months.
long DayCount(long year, long month, long day) { return (year - 2000) * 365 + (month - 1) * 30 + day; }

// The [UPS] settings of config.ini besides the battery dates.
void KeepSettings(const UpsRecordType& from) {
  UpsRecord.lowBattCheck = from.lowBattCheck;
  UpsRecord.lowBattLevel = from.lowBattLevel;
  UpsRecord.replaceNotice = from.replaceNotice;
  UpsRecord.replaceNoticeDays = from.replaceNoticeDays;
  UpsRecord.pfOutletMask = from.pfOutletMask;
  UpsRecord.blOutletMask = from.blOutletMask;
  memcpy(UpsRecord.pfOutletDelay, from.pfOutletDelay, sizeof UpsRecord.pfOutletDelay);
  memcpy(UpsRecord.blOutletDelay, from.blOutletDelay, sizeof UpsRecord.blOutletDelay);
}

}  // namespace

int32_t UpsData_Reading(int index) {
  if (index < 0 || index >= UPS_VALUE_COUNT) return -1;
  if (UpsRecord.shownStatus & UpsBit(UPS_ST_COMMLOST)) return -1;
  return UpsRecord.values[index];
}

void UpsData_Init(const struct tm* now) {
  g_now = now;
  UpsData_Reset(0);
}

void UpsData_Reset(int keep) {
  const UpsRecordType saved = UpsRecord;
  memset(&UpsRecord, 0, sizeof UpsRecord);
  // No outlet message pending (0 is a valid message id).
  memset(UpsRecord.pfOutletMsg, 255, sizeof UpsRecord.pfOutletMsg);
  memset(UpsRecord.blOutletMsg, 255, sizeof UpsRecord.blOutletMsg);
  // The [UPS] settings in use stand until the file is read, and then what
  // it holds replaces them, as in every other section: a hand edit takes
  // effect here, and the next save keeps it. A key the file lacks keeps
  // its value; the reload at a lost link that cannot read config.ini keeps
  // them all, one that finds it missing writes them back.
  KeepSettings(saved);
  memcpy(UpsRecord.battLastDate, saved.battLastDate, sizeof UpsRecord.battLastDate);
  memcpy(UpsRecord.battNextDate, saved.battNextDate, sizeof UpsRecord.battNextDate);
  if (keep) Cfg_Reload();
  else Cfg_Load(nullptr);

  if (keep) {
    // The link was lost: what the web still shows and the service's own
    // state about this UPS (pending outlet messages, the seconds on
    // battery, the replacement notice) survive.
    UpsRecord.capabilities = saved.capabilities;
    UpsRecord.shownStatus = saved.shownStatus;
    UpsRecord.liveStatus = saved.liveStatus;
    for (int m = 0; m < UPS_MODULE_COUNT; ++m) {
      UpsRecord.modules[m].shownAlarms = saved.modules[m].shownAlarms;
      UpsRecord.modules[m].liveAlarms = saved.modules[m].liveAlarms;
    }
    memcpy(UpsRecord.pfOutletMsg, saved.pfOutletMsg, sizeof UpsRecord.pfOutletMsg);
    memcpy(UpsRecord.blOutletMsg, saved.blOutletMsg, sizeof UpsRecord.blOutletMsg);
    UpsRecord.replaceDue = saved.replaceDue;
  }

  for (int32_t& v : UpsRecord.values) v = -1;
  for (UpsPowerModule& m : UpsRecord.modules)
    for (int32_t& r : m.readings) r = -1;
  if (keep) UpsRecord.values[VAL_ONBATTTIME] = saved.values[VAL_ONBATTTIME];
  // No battery module is known: the first entry ends the list.
  for (UpsBatteryModule& b : UpsRecord.battModules) b.id = -1;

  UpsRecord.CheckBattReplace = UpsData_CheckBattReplace;
  UpsRecord.Reset = UpsData_Reset;
}

void UpsData_CheckBattReplace() {
  if (!UpsRecord.replaceNotice) return;
  UpsRecord.replaceDue = 0;
  const char* date = UpsRecord.battNextDate;
  size_t length = strnlen(date, sizeof UpsRecord.battNextDate);
  int year = NumberAt(date, 4);
  int month = length > 4 ? NumberAt(date + 4, 2) : 0;
  int day = length > 6 ? NumberAt(date + 6, 2) : 0;
  if (year <= 2000 || month <= 0 || day <= 0 || !g_now) return;
  long next = DayCount(year, month, day);
  long today = DayCount(g_now->tm_year + 1900L, g_now->tm_mon + 1L, g_now->tm_mday);
  // A date already past counts as due.
  if (next - today <= static_cast<long>(UpsRecord.replaceNoticeDays)) UpsRecord.replaceDue = 1;
}

void UpsData_Exit() {}
