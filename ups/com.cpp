// Serial port driver and link manager: raw non-blocking serial ports in two
// slots, the port-present table, the link statistics, the serial trace, the
// 5-second port scan with protocol detection and the 100 ms poll dispatch.
#include "ups/com.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "core/svc.h"
#include "core/util.h"
#include "events/evtdef.h"
#include "events/evtlog.h"
#include "ups/caret.h"
#include "ups/protofields.h"
#include "ups/tilde.h"
#include "ups/usbhid.h"

ComSlots ComSlot = {{0, 0}, {0, 0}, {-1, -1}, {0, 0}, {0, 0}};
uint8_t ComPortPresent[256];
uint8_t ComPortSetting;
char ComPathSetting[65];
char ComDevicePrefix[64] = "/dev/ttyS";
uid_t ComDeviceOwner = 0;
ComStats ComStat;
ComOpsTable ComOps;
uint32_t ComCommandTag;

namespace {

const char* comDevicePath;  // the "COM Path=" text, read at each open

// ---- the commands given to COM_SendCommand ----

// How a caller passes a command's arguments to COM_SendCommand; the drivers
// take them as UpsCommandArgs.
enum class ArgShape : uint8_t { None, OneInt, TwoInts, TwoTexts, Words };

ArgShape ShapeOf(uint64_t code) {
  switch (code) {
    case UPS_CMD_ROF:
    case UPS_CMD_RON:
    case UPS_CMD_TXV:
    case UPS_CMD_BTV:
    case UPS_CMD_EVT: return ArgShape::TwoInts;
    case UPS_CMD_BRD: return ArgShape::TwoTexts;
    case UPS_CMD_SDC: return ArgShape::Words;
    case UPS_CMD_VSN:
    case UPS_CMD_TST:
    case UPS_CMD_SDT:
    case UPS_CMD_SDR:
    case UPS_CMD_SDA:
    case UPS_CMD_BUZ:
    case UPS_CMD_ARB:
    case UPS_CMD_ATT:
    case UPS_CMD_ECO:
    case UPS_CMD_TXF:
    case UPS_CMD_UBD:
    case UPS_CMD_ELS:
    case UPS_CMD_LOTXV:
    case UPS_CMD_HITXV:
    case UPS_CMD_BIT38:
    case UPS_CMD_GRE:
    case UPS_CMD_EDB:
    case UPS_CMD_BT2:
    case UPS_CMD_EBP: return ArgShape::OneInt;
    default: return ArgShape::None;  // no driver knows it
  }
}

enum class CommandState : uint8_t {
  Waiting,     // not handed to a driver yet (or back from a lost link)
  Handed,      // its frames are in the driver's queue or on the line
  Unanswered,  // a frame got no sound reply: done once the UPS is heard, sent again after a lost link
};

// One command with copies of its arguments (texts and words included, so
// the caller's buffers may be gone when it goes out).
struct KeptCommand {
  uint32_t tag;
  uint64_t code;
  int32_t number[2];
  bool textGiven[2];
  char text[2][32];
  bool wordsGiven;
  uint16_t words[6];
  int64_t givenMs;       // when it was given, on the monotonic clock
  uint64_t replaced;     // the code of the command for the same outlet it replaced, 0 none
  CommandState state;
  uint8_t frames;        // frames of it the driver holds
  bool onLine;           // a frame of it went on the line: it can no longer be taken back
  bool lasting;          // stands for the UPS's condition, not for a moment: not bounded by age

  UpsCommandArgs Args() const {
    UpsCommandArgs a(number[0], number[1]);
    for (int i = 0; i < 2; ++i) a.text[i] = textGiven[i] ? text[i] : nullptr;
    a.words = wordsGiven ? words : nullptr;
    return a;
  }
};

struct CommandQueue {
  // Oldest first; at most one is handed or unanswered at a time.
  std::array<KeptCommand, COM_KEPT_COMMANDS> entry;
  int count = 0;
  uint32_t lastTag = 0;
  UpsDriverCommandFn driver = nullptr;  // the Command of the driver detection found
  int (*withdraw)(uint32_t tag) = nullptr;  // ... and its Withdraw
};
CommandQueue comCommands;

// What the link manager knows of the UPS on the current link of slot 0.
struct LinkKnowledge {
  bool statusKnown = false;  // the driver read the status through its debounce
  int ticksSince = 0;        // poll ticks since then
  uint8_t outletsReported = 0;  // outlets whose state the driver read
};
LinkKnowledge comLink;

// The UPS's status is known and the alarm processing has acted on it.
bool StatusSettled() { return comLink.statusKnown && comLink.ticksSince >= COM_STATUS_TICKS; }

void DropCommand(int index) {
  for (int i = index; i + 1 < comCommands.count; ++i) comCommands.entry[i] = comCommands.entry[i + 1];
  --comCommands.count;
}

int IndexOf(const KeptCommand* c) { return static_cast<int>(c - &comCommands.entry[0]); }

KeptCommand* FindCommand(uint32_t tag) {
  for (int i = 0; tag && i < comCommands.count; ++i)
    if (comCommands.entry[i].tag == tag) return &comCommands.entry[i];
  return nullptr;
}

// The entry that is handed or unanswered; -1 when none is.
int OutIndex() {
  for (int i = 0; i < comCommands.count; ++i)
    if (comCommands.entry[i].state != CommandState::Waiting) return i;
  return -1;
}

void CopyText(bool* given, char* out, size_t size, const char* text) {
  *given = text != nullptr;
  snprintf(out, size, "%s", text ? text : "");
}

// The end of the shutdown road: the UPS is told when to restore its output
// and to switch it off. These never make room for other commands, wait for
// no status and have no age bound: whoever gave them drops them when the
// host no longer goes down.
bool OnShutdownRoad(uint64_t code) { return code == UPS_CMD_SDR || code == UPS_CMD_SDA; }

bool IsOutletCommand(uint64_t code) { return code == UPS_CMD_ROF || code == UPS_CMD_RON; }

// A kept command as the event log names it ("the delayed shutdown (60 s)").
void DescribeCommand(uint64_t code, int32_t number, char* out, size_t size) {
  switch (code) {
    case UPS_CMD_SDA: snprintf(out, size, "the delayed shutdown (%d s)", static_cast<int>(number)); return;
    case UPS_CMD_SDR: snprintf(out, size, "the restore (%d min)", static_cast<int>(number)); return;
    case UPS_CMD_ROF:
    case UPS_CMD_RON:
      snprintf(out, size, "outlet %d %s", static_cast<int>(number), code == UPS_CMD_ROF ? "off" : "on");
      return;
    case UPS_CMD_TST: snprintf(out, size, "the self-test"); return;
    default: snprintf(out, size, "UPS command %d", Proto_BitIndex(code)); return;
  }
}

// The names of the commands dropped at one time, logged in one record:
// "<why>: <names> not sent to the UPS".
class DroppedNames {
 public:
  void Add(uint64_t code, int32_t number) {
    char one[64];
    DescribeCommand(code, number, one, sizeof one);
    if (used_ < sizeof names_) {
      int n = snprintf(names_ + used_, sizeof names_ - used_, "%s%s", count_ ? ", " : "", one);
      if (n > 0) used_ += static_cast<size_t>(n);
    }
    ++count_;
  }
  void Add(const KeptCommand& c) {
    if (c.replaced) Add(c.replaced, c.number[0]);
    Add(c.code, c.number[0]);
  }
  // Logs the record when a name was added; how many were.
  int Log(const char* why, int level) const {
    if (count_ > 0 && EvtLogOps.Add) {
      char text[EVTLOG_TEXT_SIZE];
      // A long list is cut at the record's size; the count is returned all the same.
      if (snprintf(text, sizeof text, "%s: %s not sent to the UPS", why ? why : "Dropped", names_) > 0)
        EvtLogOps.Add(EVT_FREE_TEXT, level, text);
    }
    return count_;
  }

 private:
  char names_[EVTLOG_TEXT_SIZE] = "";
  size_t used_ = 0;
  int count_ = 0;
};

// Takes the command back before any of it went on the line: one that
// waits, or one whose frames the driver still holds all of. False when it
// is (partly) out.
bool TakeBack(int index) {
  KeptCommand& c = comCommands.entry[index];
  if (c.state == CommandState::Handed && !c.onLine && comCommands.withdraw) {
    const int taken = comCommands.withdraw(c.tag);
    c.frames = taken < c.frames ? static_cast<uint8_t>(c.frames - taken) : 0;
    if (c.frames > 0) return false;
    c.state = CommandState::Waiting;
  }
  if (c.state != CommandState::Waiting) return false;
  DropCommand(index);
  return true;
}

// The outlet command asks for the state the UPS reports the outlet in.
bool AlreadyReported(const KeptCommand& c) {
  const int32_t outlet = c.number[0];
  if (!IsOutletCommand(c.code) || outlet < 1 || outlet > UPS_OUTLETS) return false;
  const auto bit = static_cast<uint8_t>(1u << (outlet - 1));
  return (comLink.outletsReported & bit) && ((UpsRecord.outletOn & bit) != 0) == (c.code == UPS_CMD_RON);
}

// The next command that may go to the driver: the first that waits, of the
// end of a countdown or, once the UPS's status is settled, of any kind.
int NextToHand() {
  for (int i = 0; i < comCommands.count; ++i) {
    const KeptCommand& c = comCommands.entry[i];
    if (c.state == CommandState::Waiting && (OnShutdownRoad(c.code) || StatusSettled())) return i;
  }
  return -1;
}

// Hands the waiting commands to the linked driver, one at a time: the next
// goes only when the UPS has answered the one before, so the order holds
// across lost links and the driver's queue never overflows. A command the
// driver queued nothing for (its frame does not fit, or the driver has no
// frame for it) is done. An outlet command left by a replacement goes only
// when the UPS does not report that state already.
void HandWaiting() {
  if (ComSlot.link[0] == COM_LINK_NONE || !comCommands.driver) return;
  while (OutIndex() < 0) {
    const int next = NextToHand();
    if (next < 0) return;
    KeptCommand& c = comCommands.entry[next];
    if (c.replaced && AlreadyReported(c)) {
      char why[64];
      snprintf(why, sizeof why, "Outlet %d is %s at the UPS already", static_cast<int>(c.number[0]),
               c.code == UPS_CMD_RON ? "on" : "off");
      DroppedNames names;
      names.Add(c);
      DropCommand(next);
      names.Log(why, 1);
      continue;
    }
    c.state = CommandState::Handed;
    c.frames = 0;
    c.onLine = false;
    const uint32_t tag = c.tag;
    ComCommandTag = tag;
    comCommands.driver(c.code, c.Args());
    ComCommandTag = 0;
    KeptCommand* k = FindCommand(tag);
    if (!k) continue;
    if (k->state != CommandState::Handed || k->frames > 0) return;
    DropCommand(IndexOf(k));
  }
}

// Commands other than the end of a countdown that waited too long to go out.
void DropOldCommands() {
  const int64_t now = Svc_MonoMs();
  DroppedNames names;
  for (int i = 0; i < comCommands.count;) {
    const KeptCommand& c = comCommands.entry[i];
    if (OnShutdownRoad(c.code) || c.lasting || c.state != CommandState::Waiting || now - c.givenMs < COM_KEPT_MS) {
      ++i;
      continue;
    }
    names.Add(c);
    DropCommand(i);
  }
  char why[64];
  snprintf(why, sizeof why, "Kept for %d s", static_cast<int>(COM_KEPT_MS / 1000));
  names.Log(why, 2);
}

// The UPS slot's link began or ended: nothing is known of the UPS on the
// next one yet.
void NewLink() { comLink = LinkKnowledge{}; }

// The UPS slot's link ended: what the driver still held for it goes to the
// next link.
void LinkEnded() {
  NewLink();
  for (int i = 0; i < comCommands.count; ++i) {
    comCommands.entry[i].state = CommandState::Waiting;
    comCommands.entry[i].frames = 0;
    comCommands.entry[i].onLine = false;
  }
}

// The entry a full queue gives up for a new command: the oldest one that
// still waits, other than the shutdown road's while another waits; only a
// queue of nothing else loses its oldest waiting one.
int RoomFor() {
  int firstWaiting = -1;
  for (int i = 0; i < comCommands.count; ++i) {
    const KeptCommand& c = comCommands.entry[i];
    if (c.state != CommandState::Waiting) continue;
    if (!OnShutdownRoad(c.code)) return i;
    if (firstWaiting < 0) firstWaiting = i;
  }
  return firstWaiting;
}

// A new command for an outlet replaces the ones for that outlet that have
// not gone out; the code of the last one it replaced, 0 none.
uint64_t ReplaceForOutlet(const KeptCommand& newer) {
  uint64_t replaced = 0;
  for (int i = 0; i < comCommands.count;) {
    const KeptCommand& c = comCommands.entry[i];
    if (IsOutletCommand(c.code) && c.number[0] == newer.number[0]) {
      const uint64_t code = c.code;
      if (TakeBack(i)) {
        replaced = code;
        continue;
      }
    }
    ++i;
  }
  return replaced;
}

// Keeps a command given with its arguments and hands what may go out.
void Keep(KeptCommand c) {
  c.givenMs = Svc_MonoMs();
  if (IsOutletCommand(c.code)) c.replaced = ReplaceForOutlet(c);
  if (comCommands.count == COM_KEPT_COMMANDS) {
    const int room = RoomFor();
    if (room < 0) return;  // sixteen handed or unanswered cannot be: one at a time
    DroppedNames names;
    names.Add(comCommands.entry[room]);
    DropCommand(room);
    char why[64];
    snprintf(why, sizeof why, "%d commands kept already", COM_KEPT_COMMANDS);
    names.Log(why, 2);
  }
  if (++comCommands.lastTag == 0) comCommands.lastTag = 1;
  c.tag = comCommands.lastTag;
  c.state = CommandState::Waiting;
  comCommands.entry[comCommands.count++] = c;
  HandWaiting();
}

void COM_Command(uint64_t code, ...) {
  const ArgShape shape = ShapeOf(code);
  if (shape == ArgShape::None) return;
  KeptCommand c{};
  c.code = code;
  va_list ap;
  va_start(ap, code);
  switch (shape) {
    case ArgShape::TwoInts:
      c.number[0] = va_arg(ap, int);
      c.number[1] = va_arg(ap, int);
      break;
    case ArgShape::TwoTexts:
      for (int i = 0; i < 2; ++i) CopyText(&c.textGiven[i], c.text[i], sizeof c.text[i], va_arg(ap, const char*));
      break;
    case ArgShape::Words: {
      const uint16_t* words = va_arg(ap, const uint16_t*);
      c.wordsGiven = words != nullptr;
      if (words) memcpy(c.words, words, sizeof c.words);
      break;
    }
    default: c.number[0] = va_arg(ap, int); break;
  }
  va_end(ap);
  Keep(c);
}

void COM_SendOutletState(int outlet, int on, int delay) {
  KeptCommand c{};
  c.code = on ? UPS_CMD_RON : UPS_CMD_ROF;
  c.number[0] = outlet;
  c.number[1] = delay;
  c.lasting = true;
  Keep(c);
}

int COM_CommandsPending() { return comCommands.count; }

int COM_DropCommands(uint64_t mask, const char* why) {
  DroppedNames names;
  for (int i = 0; i < comCommands.count;) {
    const KeptCommand c = comCommands.entry[i];
    if ((c.code & mask) && TakeBack(i)) {
      names.Add(c);
      continue;
    }
    ++i;
  }
  return names.Log(why, 2);
}

enum class TraceDirection : uint8_t { None, Write, Read };

struct TraceState {
  uint8_t on = 0;
  FILE* file = nullptr;
  // The last traced transfer; none at the start of a trace, so that its
  // first transfer, either way, starts with its direction.
  TraceDirection last = TraceDirection::None;
};
TraceState comTrace;

// "MM/DD hh:mm:ss" of the current local time.
void StampNow(char* out, size_t size) {
  time_t now = Svc_Now();
  struct tm tmv {};
  localtime_r(&now, &tmv);
  snprintf(out, size, "%02d/%02d %02d:%02d:%02d", tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
           tmv.tm_sec);
}

void TraceText(const char* text) {
  if (!comTrace.on || !comTrace.file) return;
  fputs(text, comTrace.file);
  fflush(comTrace.file);
}

// A stamped event line: prefix, stamp, text.
void TraceEvent(const char* prefix, const char* text) {
  if (!comTrace.on || !comTrace.file) return;
  char stamp[32];
  StampNow(stamp, sizeof stamp);
  char line[160];
  snprintf(line, sizeof line, "%s%s %s", prefix, stamp, text);
  TraceText(line);
}

// The bytes of one transfer, after the direction header when it changes.
void TraceBytes(bool isRead, const uint8_t* bytes, int length) {
  if (!comTrace.on || !comTrace.file || length <= 0) return;
  const TraceDirection direction = isRead ? TraceDirection::Read : TraceDirection::Write;
  if (direction != comTrace.last) {
    comTrace.last = direction;
    TraceEvent("\n", isRead ? "Rx: " : "Tx: ");
  }
  // Written in pieces: each byte takes at most four characters.
  char piece[4 * 64 + 1];
  int used = 0;
  for (int i = 0; i < length; ++i) {
    uint8_t b = bytes[i];
    if (b >= 0x20 && b <= 0x7E) {
      piece[used++] = static_cast<char>(b);
    } else {
      snprintf(piece + used, sizeof piece - used, "<%02x>", b);
      used += 4;
    }
    if (used > static_cast<int>(sizeof piece) - 5) {
      piece[used] = 0;
      fputs(piece, comTrace.file);
      used = 0;
    }
  }
  piece[used] = 0;
  fputs(piece, comTrace.file);
  fflush(comTrace.file);
}

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 115200: return B115200;
    default: return B9600;
  }
}

// Modem-line requests; a device without modem lines (a pseudo-terminal, some
// USB adapters) answers ENOTTY or EINVAL, which is not a failure.
bool SetModemLines(int fd) {
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) < 0) return errno == ENOTTY || errno == EINVAL;
  lines &= ~TIOCM_DTR;
  lines |= TIOCM_RTS;
  if (ioctl(fd, TIOCMSET, &lines) < 0) return errno == ENOTTY || errno == EINVAL;
  return true;
}

int COM_Close(uint8_t slot);

// The last device refused as the UPS port: a refusal is logged once per
// path, not at every detection pass.
char comRefused[128];

bool OwnDevice(const struct stat& st) { return S_ISCHR(st.st_mode) && st.st_uid == ComDeviceOwner; }

void RefuseDevice(const char* name) {
  if (strcmp(comRefused, name) == 0) return;
  snprintf(comRefused, sizeof comRefused, "%s", name);
  char text[EVTLOG_TEXT_SIZE];
  snprintf(text, sizeof text, "UPS port %s not opened: not a character device owned by root", name);
  if (EvtLogOps.Add) EvtLogOps.Add(-1, 2, text);
}

int COM_Open(uint8_t slot, int baud, int parity, int dataBits, int stopBits, const char* path) {
  if (slot >= COM_SLOTS) return 0;
  char name[128];
  if (path && path[0]) {
    snprintf(name, sizeof name, "%s", path);
  } else {
    if (ComSlot.port[slot] == 0) return 0;
    snprintf(name, sizeof name, "%s%d", ComDevicePrefix, ComSlot.port[slot] - 1);
  }
  // An open slot is closed first whatever the name, so its descriptor never leaks.
  if (ComSlot.fd[slot] >= 0 && !COM_Close(slot)) return 0;

  // The UPS port only on a device of root's, checked before the open (which
  // may itself act on the line) and again on what was opened.
  struct stat before, opened;
  if (slot == 0) {
    if (stat(name, &before) != 0) return 0;
    if (!OwnDevice(before)) {
      RefuseDevice(name);
      return 0;
    }
  }
  // No controlling terminal: a hang-up on the line must not signal the daemon.
  int fd = open(name, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  if (slot == 0 && (fstat(fd, &opened) != 0 || !OwnDevice(opened) || opened.st_rdev != before.st_rdev)) {
    close(fd);
    RefuseDevice(name);
    return 0;
  }
  if (slot == 0) comRefused[0] = 0;
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) {
    close(fd);
    return 0;
  }
  tio.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE);
  // Also the input flags that would strip, drop or mark bytes: replies carry raw bytes.
  tio.c_iflag &= ~(INLCR | ICRNL | IXON | IXOFF | ISTRIP | IGNCR | INPCK | PARMRK);
  tio.c_oflag &= ~(OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET | OFILL);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  speed_t speed = SpeedOf(baud);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (parity == 1) {
    tio.c_cflag |= PARENB;
    tio.c_cflag &= ~PARODD;
  } else if (parity == 2) {
    tio.c_cflag |= PARENB | PARODD;
  } else {
    tio.c_cflag &= ~PARENB;
  }
  tio.c_cflag &= ~CSIZE;
  if (dataBits == 7) tio.c_cflag |= CS7;
  else if (dataBits == 8) tio.c_cflag |= CS8;
  if (stopBits == 1) tio.c_cflag &= ~CSTOPB;
  else if (stopBits == 2) tio.c_cflag |= CSTOPB;
  // Ignore the modem's carrier line and enable the receiver.
  tio.c_cflag |= CLOCAL | CREAD;

  if (tcflush(fd, TCIOFLUSH) != 0 || tcsetattr(fd, TCSANOW, &tio) != 0 || !SetModemLines(fd)) {
    close(fd);
    return 0;
  }
  if (comTrace.on) {
    char text[96];
    snprintf(text, sizeof text, "Open COM Port =%d, %d-%d-%d-%d Successful\n", ComSlot.port[slot], baud, parity,
             dataBits, stopBits);
    TraceEvent("", text);
  }
  ComSlot.fd[slot] = fd;
  ComSlot.link[slot] = COM_LINK_NONE;
  return 1;
}

int COM_Close(uint8_t slot) {
  if (slot >= COM_SLOTS || ComSlot.fd[slot] < 0) return 1;
  TraceEvent("", "Close COM Port\n");
  if (close(ComSlot.fd[slot]) != 0 && errno != EINTR) return 0;
  ComSlot.fd[slot] = -1;
  if (slot == 0 && ComSlot.link[slot] != COM_LINK_NONE) LinkEnded();
  ComSlot.link[slot] = COM_LINK_NONE;
  return 1;
}

int COM_Write(uint8_t slot, int length, const uint8_t* bytes) {
  if (slot >= COM_SLOTS || ComSlot.fd[slot] < 0) return 0;
  if (length <= 0) return 1;
  int done = 0;
  for (int attempt = 0; attempt < 10 && done < length; ++attempt) {
    ssize_t n = write(ComSlot.fd[slot], bytes + done, length - done);
    if (n > 0) done += static_cast<int>(n);
  }
  TraceBytes(false, bytes, done);
  return done >= length ? 1 : 0;
}

int COM_Read(uint8_t slot, int* length, uint8_t* buffer) {
  if (*length == 0) return 1;
  if (slot >= COM_SLOTS || ComSlot.fd[slot] < 0 || *length < 0) return 0;
  ssize_t n = read(ComSlot.fd[slot], buffer, *length);
  if (n < 0) return 0;
  *length = static_cast<int>(n);
  TraceBytes(true, buffer, *length);
  return 1;
}

void COM_ClearRx(uint8_t slot) {
  if (slot >= COM_SLOTS || ComSlot.fd[slot] < 0) return;
  tcflush(ComSlot.fd[slot], TCIFLUSH);
  uint8_t scratch[8];
  for (int i = 0; i < 10; ++i) {
    if (read(ComSlot.fd[slot], scratch, sizeof scratch) <= 0) break;
  }
  TraceEvent("\n", "Clear Rx\n");
}

void COM_SetTrace(uint8_t on) {
  comTrace.on = on;
  if (on && !comTrace.file) {
    char path[320];
    Svc_TmpPath(path, sizeof path, COM_TRACE_NAME);
    comTrace.file = UF_FOpenNoFollow(path, "w", 0644);
    comTrace.last = TraceDirection::None;
  } else if (!on && comTrace.file) {
    fclose(comTrace.file);
    comTrace.file = nullptr;
  }
}

void COM_TraceWrite(const char* text) { TraceText(text); }

void COM_ResetStats() { ComStat = ComStats{}; }

void COM_ScanPorts() {
  ComPortPresent[0] = 1;
  char name[96];
  for (int k = 1; k <= 255; ++k) {
    snprintf(name, sizeof name, "%s%d", ComDevicePrefix, k - 1);
    if (UF_FileExist(name)) ComPortPresent[k] = 1;
  }
}

uint8_t COM_Poll() {
  uint8_t result = COM_LINK_NONE;
  for (uint8_t slot = 0; slot < COM_SLOTS; ++slot) {
    void (*step)(uint8_t) = nullptr;
    switch (ComSlot.link[slot]) {
      case COM_LINK_TILDE: step = TildeOps.Poll; break;
      case COM_LINK_USB: step = UsbHidOps.Poll; break;
      case COM_LINK_CARET: step = CaretOps.Poll; break;
      default: break;
    }
    if (!step) continue;
    step(slot);
    // The state after the step: a link the step has just given up is not reported.
    result = ComSlot.link[slot];
  }
  if (comLink.statusKnown && comLink.ticksSince < COM_STATUS_TICKS) ++comLink.ticksSince;
  DropOldCommands();
  HandWaiting();
  return result;
}

// The UPS slot's automatic search never probes the GSM modem's port.
bool Probeable(uint8_t slot, int port) {
  if (!ComPortPresent[port]) return false;
  return !(slot == 0 && port != 0 && port == ComSlot.port[1]);
}

// The first port from..to that the slot's search may probe; -1 when none.
int FirstProbeable(uint8_t slot, int from, int to) {
  for (int p = from; p <= to; ++p)
    if (Probeable(slot, p)) return p;
  return -1;
}

void Linked(uint8_t slot, uint8_t state, UpsDriverCommandFn command, int (*withdraw)(uint32_t)) {
  ComSlot.link[slot] = state;
  ComSlot.scan[slot] = 0;
  if (slot != 0) return;
  comCommands.driver = command;
  comCommands.withdraw = withdraw;
  NewLink();
}

// Status bit 46: no UPS link could be made on the UPS slot.
void MarkLost(uint8_t slot) {
  if (slot == 0) UpsRecord.liveStatus |= UpsBit(UPS_ST_COMMLOST);
}

// What probing the slot's current port came to.
enum ProbeOutcome {
  PROBE_LINKED,   // a link is up (found now, or already standing)
  PROBE_FAILED,   // a serial probe ran (and waited for its answer) without a UPS
  PROBE_SKIPPED,  // nothing to wait for: no USB device found, or the port would not open
};

ProbeOutcome ProbePort(uint8_t j, const char* path) {
  if (ComSlot.port[j] == 0) {
    if (ComSlot.link[j] != COM_LINK_NONE) return PROBE_LINKED;
    // The USB driver opens its device itself, always in slot 0.
    if (j == 0 && UsbHidOps.Probe && UsbHidOps.Probe()) {
      Linked(j, COM_LINK_USB, UsbHidOps.Command, UsbHidOps.Withdraw);
      return PROBE_LINKED;
    }
    return PROBE_SKIPPED;
  }
  if (ComSlot.fd[j] < 0) {
    ComSlot.link[j] = COM_LINK_NONE;
    if (!COM_Open(j, 2400, 0, 8, 1, path)) return PROBE_SKIPPED;
  } else if (ComSlot.link[j] != COM_LINK_NONE) {
    return PROBE_LINKED;
  }
  if (TildeOps.Probe && TildeOps.Probe(j)) {
    Linked(j, COM_LINK_TILDE, TildeOps.Command, TildeOps.Withdraw);
    return PROBE_LINKED;
  }
  COM_Close(j);
  // The caret driver answers at 9600 baud; skipped when it is not built.
  if (CaretOps.Probe && COM_Open(j, 9600, 0, 8, 1, path) && CaretOps.Probe(j)) {
    Linked(j, COM_LINK_CARET, CaretOps.Command, CaretOps.Withdraw);
    return PROBE_LINKED;
  }
  COM_Close(j);
  return PROBE_FAILED;
}

// One detection pass of a slot. A fixed port is probed once (USB, or tilde
// then caret); the pass that finds nothing there marks the UPS link lost.
// The automatic search probes the ports in turn, going on at once past a
// port that costs no wait (no USB device, a serial port that will not open)
// and ending the pass after one serial port was probed; a search that
// passed the last port and found nothing marks the link lost. Bit 46 is
// set only at the end of the pass, so a caret UPS found after the tilde
// probe failed, or a port found later in the same pass, shows no loss.
void DetectSlot(uint8_t j) {
  const char* path = (comDevicePath && comDevicePath[0]) ? comDevicePath : nullptr;
  const int first = ComSlot.port[j];  // no port is visited twice in a pass
  bool passedLast = false;
  for (;;) {
    if (ComSlot.scan[j]) {
      int k = FirstProbeable(j, ComSlot.port[j], passedLast ? first - 1 : 255);
      if (k < 0) {
        if (passedLast) break;  // every port was passed over in this pass
        passedLast = true;
        k = FirstProbeable(j, 0, first - 1);
        if (k < 0) break;
      }
      ComSlot.port[j] = static_cast<uint8_t>(k);
    }
    const ProbeOutcome outcome = ProbePort(j, path);
    if (outcome == PROBE_LINKED) return;
    if (!ComSlot.scan[j]) {
      MarkLost(j);  // the one configured port: nothing found there
      return;
    }
    if (ComSlot.port[j] == 255) passedLast = true;  // wraps to USB
    ComSlot.port[j] = static_cast<uint8_t>(ComSlot.port[j] + 1);
    if (outcome == PROBE_FAILED) break;
  }
  if (passedLast) MarkLost(j);
}

void COM_Detect() {
  for (uint8_t j = 0; j < COM_SLOTS; ++j)
    if (ComSlot.detect[j]) DetectSlot(j);
}

}  // namespace

void COM_CommandFrame(uint32_t tag, ComFrameReport report) {
  KeptCommand* c = FindCommand(tag);
  if (!c || c->state == CommandState::Waiting) return;  // done, or back from a lost link
  switch (report) {
    case COM_FRAME_QUEUED: ++c->frames; break;
    case COM_FRAME_SENT: c->onLine = true; break;
    case COM_FRAME_ANSWERED:
      if (c->frames > 0) --c->frames;
      if (c->frames == 0 && c->state == CommandState::Handed) DropCommand(IndexOf(c));
      break;
    case COM_FRAME_UNANSWERED:
      if (c->frames > 0) --c->frames;
      c->state = CommandState::Unanswered;
      break;
  }
}

void COM_UpsAnswered() {
  const int out = OutIndex();
  if (out >= 0 && comCommands.entry[out].state == CommandState::Unanswered && comCommands.entry[out].frames == 0)
    DropCommand(out);
}

void COM_StatusKnown() {
  if (comLink.statusKnown) return;
  comLink.statusKnown = true;
  comLink.ticksSince = 0;
}

void COM_OutletsReported(uint8_t mask) { comLink.outletsReported |= mask; }

UpsDriverCommandFn COM_DriverCommand() { return comCommands.driver; }

uint8_t COM_TraceActive() { return comTrace.on && comTrace.file ? 1 : 0; }

void COM_Init(const char* /*installDir*/, const char* devicePath, ...) {
  comDevicePath = devicePath;
  for (int s = 0; s < COM_SLOTS; ++s) {
    ComSlot.fd[s] = -1;
    ComSlot.link[s] = COM_LINK_NONE;
  }
  if (comTrace.file) fclose(comTrace.file);
  comTrace = TraceState{};
  va_list ap;
  va_start(ap, devicePath);
  for (int s = 0; s < COM_SLOTS; ++s) {
    int port = va_arg(ap, int);
    if (port == -1) break;
    ComSlot.port[s] = static_cast<uint8_t>(port);
  }
  va_end(ap);
  ComSlot.detect[0] = 1;
  ComSlot.detect[1] = 0;
  COM_ScanPorts();
  ComOps.ResetStats = COM_ResetStats;
  ComOps.TraceWrite = COM_TraceWrite;
  ComOps.Close = COM_Close;
  ComOps.Open = COM_Open;
  ComOps.Write = COM_Write;
  ComOps.Read = COM_Read;
  ComOps.ClearRx = COM_ClearRx;
  ComOps.Poll = COM_Poll;
  ComOps.SetTrace = COM_SetTrace;
  ComOps.ScanPorts = COM_ScanPorts;
  ComOps.SendCommand = COM_Command;
  ComOps.Detect = COM_Detect;
  ComOps.CommandsPending = COM_CommandsPending;
  ComOps.DropCommands = COM_DropCommands;
  ComOps.SendOutletState = COM_SendOutletState;
  comCommands = CommandQueue{};
  comCommands.driver = TildeOps.Command;
  comCommands.withdraw = TildeOps.Withdraw;
  comLink = LinkKnowledge{};
}

void COM_CloseAll() {
  for (uint8_t s = 0; s < COM_SLOTS; ++s) COM_Close(s);
}
