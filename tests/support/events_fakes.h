// Recording fakes for the operation tables the event modules call: the
// event log's add, the UPS command entry and Wake-on-LAN arming; and a view
// of the message queue's pending entries in queue order.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "core/msg.h"
#include "events/evtlog.h"
#include "events/wol.h"
#include "ups/com.h"

struct LoggedEvent {
  int code;
  std::vector<std::string> args;  // free text: level, text
  bool operator==(const LoggedEvent&) const = default;
};
inline std::vector<LoggedEvent> g_logged;

inline void RecordEvent(int code, ...) {
  va_list ap;
  va_start(ap, code);
  LoggedEvent e{code, {}};
  if (code == -1) {
    e.args.push_back(std::to_string(va_arg(ap, int)));
    e.args.push_back(va_arg(ap, const char*));
  } else {
    for (int i = 0; i < 6; ++i) {
      const char* a = va_arg(ap, const char*);
      if (!a) break;
      e.args.push_back(a);
    }
  }
  va_end(ap);
  g_logged.push_back(e);
}

inline std::vector<int> LoggedCodes() {
  std::vector<int> out;
  for (const LoggedEvent& e : g_logged) out.push_back(e.code);
  return out;
}

struct SentCommand {
  uint64_t code;
  std::vector<int> args;
  bool operator==(const SentCommand&) const = default;
};
inline std::vector<SentCommand> g_commands;

// Reads the arguments each command takes.
inline void RecordCommand(uint64_t code, ...) {
  va_list ap;
  va_start(ap, code);
  SentCommand c{code, {}};
  int n = (code == UPS_CMD_ROF || code == UPS_CMD_RON || code == UPS_CMD_SDA) ? 2 : 1;
  for (int i = 0; i < n; ++i) c.args.push_back(va_arg(ap, int));
  va_end(ap);
  g_commands.push_back(c);
}

inline std::vector<int> g_wolArms;
inline void RecordWolArm(int reason) { g_wolArms.push_back(reason); }

struct QueuedMessage {
  uint8_t id;
  uint8_t code;
  uint8_t p0, p1, p2;
  uint32_t countdown;  // ticks left; for repeating messages also the period
  bool operator==(const QueuedMessage& o) const {
    return code == o.code && p0 == o.p0 && p1 == o.p1 && p2 == o.p2 && countdown == o.countdown;
  }
};

inline std::ostream& operator<<(std::ostream& os, const QueuedMessage& m) {
  return os << "{code " << int(m.code) << ", p " << int(m.p0) << "/" << int(m.p1) << "/" << int(m.p2) << ", ticks "
            << m.countdown << "}";
}
inline std::ostream& operator<<(std::ostream& os, const SentCommand& c) {
  os << "{command bit " << __builtin_ctzll(c.code);
  for (int a : c.args) os << ", " << a;
  return os << "}";
}
inline std::ostream& operator<<(std::ostream& os, const LoggedEvent& e) {
  os << "{event " << e.code;
  for (const std::string& a : e.args) os << ", \"" << a << "\"";
  return os << "}";
}

inline std::vector<QueuedMessage> DelayedMessages() {
  MsgQueueView v = Msg_View();
  std::vector<QueuedMessage> out;
  for (int i = 0; i < v.delayedCount; ++i) {
    const MsgDelayedEntry& e = v.delayed[(v.delayedHead + i) % MSG_DELAYED_SIZE];
    out.push_back({e.id, e.code, e.p[0], e.p[1], e.p[2], e.countdown});
  }
  return out;
}

inline std::vector<QueuedMessage> RepeatingMessages() {
  MsgQueueView v = Msg_View();
  std::vector<QueuedMessage> out;
  for (int i = 0; i < v.repeatingCount; ++i) {
    const MsgRepeatingEntry& e = v.repeating[(v.repeatingHead + i) % MSG_REPEATING_SIZE];
    out.push_back({e.id, e.code, e.p[0], e.p[1], e.p[2], e.period});
  }
  return out;
}

// Installs the fakes and clears what they recorded.
inline void InstallEventFakes() {
  g_logged.clear();
  g_commands.clear();
  g_wolArms.clear();
  EvtLogOps.Add = RecordEvent;
  ComOps.SendCommand = RecordCommand;
  WolOps.Arm = RecordWolArm;
}
