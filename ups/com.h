// Serial port driver and link manager: two port slots (0 the UPS link,
// 1 the GSM modem), the port-present table, the link statistics, the
// serial trace, port scan and protocol detection, and COM_SendCommand.
#pragma once
#include <cstdint>
#include <sys/types.h>

#include "ups/upsdata.h"

constexpr int COM_SLOTS = 2;
enum ComLinkState : uint8_t { COM_LINK_NONE = 0, COM_LINK_TILDE = 1, COM_LINK_USB = 2, COM_LINK_CARET = 4 };

// The two port slots, stored field by field.
struct ComSlots {
  uint8_t port[COM_SLOTS];    // 0 none / USB on slot 0; k = "/dev/ttyS%d" with k - 1
  uint8_t scan[COM_SLOTS];    // automatic port search on
  int32_t fd[COM_SLOTS];      // -1 closed
  uint8_t link[COM_SLOTS];    // ComLinkState
  uint8_t detect[COM_SLOTS];  // the link manager may probe this slot
};
extern ComSlots ComSlot;
extern uint8_t ComPortPresent[256];

// Name of the numbered serial devices: port k is "<ComDevicePrefix><k - 1>".
// The daemon uses "/dev/ttyS"; tests point it at a scratch directory.
extern char ComDevicePrefix[64];

// The owner a device must have to be opened as the UPS port (slot 0): the
// port is opened as root, switched to raw mode and its input read, so only
// a character device of root's is taken (a logged-in user's terminal
// belongs to that user). Tests set another owner.
extern uid_t ComDeviceOwner;

// The "COM Port=" and "COM Path=" settings.
extern uint8_t ComPortSetting;
extern char ComPathSetting[65];

struct ComStats {
  uint32_t txOk;       // DBG_TX_OK
  uint16_t txErr;      // DBG_TX_ERR
  uint32_t rxOk;       // DBG_RX_OK
  uint16_t rxTimeout;  // DBG_RX_TIMEOUT
  uint16_t rxCsErr;    // DBG_RX_CSERR
  uint16_t rxOverflow; // DBG_RX_OVERFLOW
  uint16_t rxParseErr; // DBG_RX_PARSEERR
};
extern ComStats ComStat;

struct ComOpsTable {
  void (*ResetStats)();
  void (*TraceWrite)(const char* text);
  int (*Close)(uint8_t slot);
  int (*Open)(uint8_t slot, int baud, int parity, int dataBits, int stopBits, const char* path);
  int (*Write)(uint8_t slot, int length, const uint8_t* bytes);
  int (*Read)(uint8_t slot, int* length, uint8_t* buffer);
  void (*ClearRx)(uint8_t slot);
  uint8_t (*Poll)();
  void (*SetTrace)(uint8_t on);
  void (*ScanPorts)();
  UpsCommandFn SendCommand;
  void (*Detect)();
  // How many commands given to SendCommand the UPS has not answered yet
  // (accepted or rejected), those kept while no link stands included.
  int (*CommandsPending)();
  // Drops the kept commands whose code is in mask and that have not gone
  // out to the UPS yet (waiting for a link or for the UPS's status, back
  // from a lost link, or held by the driver with none of their frames on
  // the line), and logs one level-2 record naming them: "<why>: <names>
  // not sent to the UPS". Returns how many were dropped (0: nothing logged).
  int (*DropCommands)(uint64_t mask, const char* why);
  // The state an outlet must take for the UPS's condition (the alarm
  // processing's outlets on a power failure and its return): kept as the
  // outlet command with that delay, but not bounded by age, since it stands
  // as long as the condition; a later command for the outlet replaces it,
  // and it is not sent when the UPS reports the outlet so already.
  void (*SendOutletState)(int outlet, int on, int delay);
};
extern ComOpsTable ComOps;

// COM_SendCommand is the link manager's command entry: it keeps each
// command (code and arguments) until the UPS has answered it and hands it
// to the Command operation of the driver that detection found while a link
// stands, one command at a time and in the order given. Commands given
// while no link stands, and those a lost link left unanswered, go to the
// next link, whatever its protocol or port. On each link, a command other
// than the end of a countdown (restore, delayed shutdown) goes out only
// once the UPS's status is known (the driver's COM_StatusKnown) and the
// alarm processing has had time to act on it, so that it still applies.
// A later command for an outlet replaces one for the same outlet that has
// not gone out; the one that is left is not sent when the UPS reports the
// outlet in that state already. A command kept COM_KEPT_MS without going
// out is dropped, except the end of a countdown and an outlet's state for
// the UPS's condition (SendOutletState). Each drop is logged as a
// record naming the commands ("<why>: <names> not sent to the UPS").
#define COM_SendCommand (ComOps.SendCommand)

// At most this many commands wait; a new one beyond that drops the oldest
// that has not been handed to a driver yet, with its record.
constexpr int COM_KEPT_COMMANDS = 16;
// How long a command may wait to go out. A minute: the schedules plan in
// whole minutes, so a self-test later than that is no longer the one that
// was planned; an outlet or setting command given from a UPS state that is
// a minute old no longer follows from the state the UPS is in.
constexpr int64_t COM_KEPT_MS = 60000;
// Poll ticks (100 ms each) after COM_StatusKnown before the commands that
// wait for the status go out: the alarm processing runs once a second and
// its outlet messages follow a tick later.
constexpr int COM_STATUS_TICKS = 20;

// While the link manager hands a command to a driver, the tag of that
// command (0 otherwise): the driver keeps it with each frame of the command
// it queues and reports on those frames with COM_CommandFrame.
extern uint32_t ComCommandTag;
enum ComFrameReport : uint8_t {
  COM_FRAME_QUEUED,      // a frame of the command waits in the driver's queue
  COM_FRAME_SENT,        // a frame of it went on the line (or to the device)
  COM_FRAME_ANSWERED,    // the UPS accepted, rejected or answered a frame
  COM_FRAME_UNANSWERED,  // no sound reply came for a frame (time-out, garbled reply, failed write)
};
void COM_CommandFrame(uint32_t tag, ComFrameReport report);
// A driver heard the UPS: a complete reply, or a successful read of the
// USB device. A command left unanswered before it is then given up (the
// UPS is there and did not answer it); had the link been lost instead, the
// command would have gone to the next link.
void COM_UpsAnswered();
// The linked driver has read the UPS's status through its debounce: every
// status bit now stands as the UPS reports it.
void COM_StatusKnown();
// The linked driver read the states of these outlets (bit j: outlet j + 1)
// into UpsRecord.outletOn.
void COM_OutletsReported(uint8_t mask);
// The driver entry that detection found last (the tilde driver's at start).
UpsDriverCommandFn COM_DriverCommand();

// install directory, device path, port numbers ..., -1
void COM_Init(const char* installDir, const char* devicePath, ...);
void COM_CloseAll();
// 1 while the serial trace is on and its file is open (the web debug page
// shows it), else 0.
uint8_t COM_TraceActive();

// The trace file name under the temporary directory.
constexpr const char* COM_TRACE_NAME = "comm_data.txt";
