#!/usr/bin/python3
"""UPS simulator on a pseudo-terminal.

It plays a UPS that speaks one of two serial protocols; the host's side
opens the pseudo-terminal's slave path as its serial port:
  tilde  2400 baud, frames "~00" + type + three length digits + data,
         optionally followed by two upper-case hex digits of the 8-bit sum;
  caret  9600 baud, frames "^" + type + three length digits + data, no
         checksum; the UPS answers "^D..." with data, "^1" (accepted) or
         "^0" (refused), and fields are separated by ','.
The UPS answers only frames that arrive at its own line speed.

Parts:
  TildeProtocol, CaretProtocol
                 host-frame readers and the UPS's replies (same interface)
  UpsModel       the simulated UPS: identity, ratings, a scriptable state
                 (online, powerfail, lowbatt, overload, silent, badsum,
                 garbage), rejected items; with full=True it also offers
                 every setting of the tilde protocol's settings page (outlet
                 switching, automatic test, economy mode, transfer frequency,
                 battery delay, bypass voltage, dry contacts, audible alarm,
                 battery packs)
  UpsSim         the pseudo-terminal, the frame log and the control socket

Frame log: one JSON object per line, {"t": epoch seconds, "dir": "rx" or
"tx", "type": "P"/"S"/..., "mnemonic": ..., "data": ..., "checksum":
"ok"/"bad"/"none", "raw": printable text with other bytes as <hh>, "baud":
the line speed when it was read}; bytes that belong to no frame of the
protocol are logged as {"dir": "rx", "type": "noise", "raw": ..., "baud":
...}; {"t": ..., "event": ...} for state changes.

Control socket (UNIX stream, one command per line, answered "ok ..." or
"error ..."): "state NAME [SECONDS]" (for that many seconds, then back to
the state before), "reject MN[,MN...]" ("reject" alone clears),
"checksum on|off", "status", "quit".

Python use:
    sim = UpsSim(state="online", checksum=True, log_path="frames.log")
    sim = UpsSim(protocol="caret", log_path="frames.log")
    sim = UpsSim(full=True)   # a UPS that offers every setting
    sim.start()            # serves in a background thread
    ... open sim.slave_path ...
    sim.set_state("powerfail")
    sim.set_state("silent", seconds=15)   # then powerfail again
    sim.stop()

Command line:
    upssim.py [--protocol tilde|caret] [--state S] [--checksum on|off]
              [--reject MN,..] [--log FILE] [--control SOCKET] [--path-file FILE]
prints "slave=<path>" on standard output and serves until "quit" or SIGTERM.
"""

import argparse
import datetime
import json
import os
import select
import signal
import socket
import sys
import termios
import threading
import time
import tty

# silent: no reply at all; badsum: tilde data replies whose checksum digits
# are wrong (caret replies, which have no checksum, whose length field is
# no number); garbage: bytes that are no frame of either protocol.
STATES = ("online", "powerfail", "lowbatt", "overload", "silent", "badsum", "garbage")
GARBAGE = b"\xff\x13#?garbage\r\n"
PROTOCOLS = ("tilde", "caret")
BAUD = {getattr(termios, "B%d" % b): b for b in (1200, 2400, 4800, 9600, 19200, 38400, 115200)}


def escape(data: bytes) -> str:
    return "".join(chr(b) if 0x20 <= b <= 0x7E else "<%02x>" % b for b in data)


def sum8(data: bytes) -> bytes:
    return ("%02X" % (sum(data) & 0xFF)).encode()


class UpsModel:
    """What the simulated UPS reports, by state."""

    def __init__(self, state="online", full=False):
        self.state = state
        self.full = full
        self.rejected = set()
        self.model = "SIMUPS 3000"
        self.module_type = 2
        self.firmware = "FW 02.13"
        self.serial = "SIM0012345"
        self.outlets = [True, True]
        self.packs = 0
        self.test_result = 1
        self.settings = {"VSN": 1, "TXV": (160, 280), "BTV": (30, 240), "ARB": 0, "BUZ": 0,
                         "ATT": 7, "UBD": 30, "TXF": 10, "BT2": 5, "EDB": 1, "ECO": 2}
        # Dry contacts: contact c enabled with event 10 + c (full model only).
        self.contacts = [(c << 8) | 0x80 | (10 + c) for c in range(1, 7)]
        # Battery dates (last, next replacement) relative to the day of the run:
        # a fixed next date would come within the host's replacement notice
        # as time goes by, and every run would then raise that alarm.
        today = datetime.date.today()
        self.dates = ((today - datetime.timedelta(days=365)).strftime("%Y%m%d"),
                      (today + datetime.timedelta(days=3 * 365)).strftime("%Y%m%d"))
        self.alarm = 1  # audible alarm state of the caret rating reply: 1 enabled, 2 muted, 3 off
        self.economy = 0

    # Availability: flag positions 0-21 of AVL, then the three alarm lists.
    # An item the UPS refuses is not listed either.
    def avl(self):
        flags = ["0"] * 22
        for position, mnemonic in ((3, "VSN"), (4, "TXV"), (7, "TSR"), (12, "BUZ"), (13, "ARB")):
            flags[position] = "0" if mnemonic in self.rejected else "1"
        if self.full:
            for position in (1, 2, 16, 17, 18, 19):  # ROF, RON, ATT, ECO, TXF, UBD
                flags[position] = "1"
        return "".join(flags)

    def al2(self):
        flags = ["0"] * 25
        if self.full:
            flags[9] = "1"  # dry contacts
        return "".join(flags)

    def al3(self):
        flags = ["0"] * 29
        if self.full:
            for position in (1, 13, 14):  # bypass voltage setting, audible alarm, battery packs
                flags[position] = "1"
        return "".join(flags)

    def al1(self):
        flags = ["0"] * 25
        for position in (16, 17):  # outlet count, outlet states
            flags[position] = "1"
        return "".join(flags)

    def rat(self):
        # Fields 20, 22 and 23 (bypass voltage: rated, most, least) offer the
        # bypass voltage setting.
        bypass = (230, -1, 250, 200) if self.full else (-1, -1, -1, -1)
        return ";".join(str(v) for v in (
            230, 500, 230, 500, 3000, 2700, 0, 160, 280, 155, 165, 275, 285, 1, 72,
            0, 0, 500, 600, 0) + bypass + (-1, -1))

    def stb(self):
        on_battery = self.state in ("powerfail", "lowbatt")
        low = self.state == "lowbatt"
        fields = [
            0,                           # battery condition: good
            1 if low else 0,             # battery status: low
            3 if on_battery else 1,      # charge state: discharging / charging
            "",                          # on-battery time (kept by the host)
            3 if low else (30 if on_battery else 120),  # remaining minutes
            0,
            700 if low else (780 if on_battery else 816),  # battery volts, tenths
            -150 if on_battery else 12,  # battery current, tenths
            27,                          # temperature
            15 if low else (80 if on_battery else 100),  # charge, percent
            self.packs,
            -1, -1, -1, -1, -1, -1,
            0 if on_battery else 5,      # charger reading
        ]
        return ";".join(str(f) for f in fields)

    def sti(self):
        if self.state in ("powerfail", "lowbatt"):
            return "1;0;0;0;0" + ";" * 11
        return "1;500;2301;31;690" + ";" * 11

    def sto(self):
        on_battery = self.state in ("powerfail", "lowbatt")
        load = 115 if self.state == "overload" else 25
        fields = [1 if on_battery else 0, 500, 1, 2300, load * 12 // 10, load * 27, load] + [""] * 14
        return ";".join(str(f) for f in fields)

    def stp(self):
        return "500;1;2302;0;0" + ";" * 10

    def sta(self):
        flags = ["0"] * 33
        if self.state in ("powerfail", "lowbatt"):
            flags[1] = "1"  # input failure
        if self.state == "overload":
            flags[3] = "1"
        return ";".join(flags)

    def query(self, mnemonic):
        """Data of a query reply, or None for an item this UPS does not know."""
        simple = {
            "MOD": lambda: "%s;%d" % (self.model, self.module_type),
            "AVL": self.avl, "CPU": lambda: "CPU 01.02", "AL1": self.al1,
            "AL2": self.al2, "AL3": self.al3, "RAT": self.rat,
            "VER": lambda: self.firmware, "LET": lambda: str(len(self.outlets)),
            "SER": lambda: self.serial, "STB": self.stb, "STI": self.sti,
            "STO": self.sto, "STP": self.stp, "STA": self.sta,
            "TSR": lambda: str(self.test_result),
            "VSN": lambda: str(self.settings["VSN"]),
            "ARB": lambda: str(self.settings["ARB"]),
            "TXV": lambda: "%d;%d" % self.settings["TXV"],
            "BTV": lambda: "%d;%d" % self.settings["BTV"],
            "BRD": lambda: "%s;%s" % self.dates,
            "TME": lambda: time.strftime("%H:%M:%S"),
        }
        if self.full:
            for m in ("ATT", "UBD", "TXF", "BT2"):
                simple[m] = (lambda m=m: str(self.settings[m]))
            # Six words, low byte first.
            simple["SDC"] = lambda: "".join(chr(w & 0xFF) + chr(w >> 8) for w in self.contacts)
        if mnemonic in simple:
            return simple[mnemonic]()
        if len(mnemonic) == 4 and mnemonic.startswith("SOL") and mnemonic[3].isdigit():
            n = int(mnemonic[3])
            if 1 <= n <= len(self.outlets):
                return "1" if self.outlets[n - 1] else "0"
        return None

    def command(self, mnemonic, data: bytes):
        """Carries out a set frame; False when this UPS refuses it."""
        text = data.decode("latin-1")
        args = text.split(";")
        try:
            if mnemonic in ("ROF", "RON"):
                n = int(args[0])
                if not 1 <= n <= len(self.outlets):
                    return False
                self.outlets[n - 1] = mnemonic == "RON"
            elif mnemonic == "TST":
                self.test_result = 2
            elif mnemonic == "EBP":
                self.packs = int(args[0])
            elif mnemonic in ("VSN", "ARB", "BUZ"):
                self.settings[mnemonic] = int(args[0])
            elif mnemonic == "TXV":
                self.settings["TXV"] = (int(args[0]), int(args[1]))
            elif mnemonic == "BTV":
                self.settings["BTV"] = (int(args[0]), int(args[1]) if len(args) > 1 else -1)
            elif mnemonic == "BRD":
                self.dates = (args[0], args[1])
            elif mnemonic in ("SDT", "SDR", "SDA", "ECO", "GRE", "EDB"):
                int(args[0])
            elif mnemonic == "SDC":
                if len(data) != 12:
                    return False
                if self.full:
                    self.contacts = [data[2 * i] | data[2 * i + 1] << 8 for i in range(6)]
            elif self.full and mnemonic in ("ATT", "UBD", "TXF", "BT2"):
                self.settings[mnemonic] = int(args[0])
            else:
                return False
        except (ValueError, IndexError):
            return False
        return True


    # ---- the caret protocol's view of the same UPS ----
    def on_battery(self):
        return self.state in ("powerfail", "lowbatt")

    def caret_nom(self):
        last, nxt = self.dates
        days = (datetime.date(int(nxt[:4]), int(nxt[4:6]), int(nxt[6:])) -
                datetime.date(int(last[:4]), int(last[4:6]), int(last[6:]))).days
        # ratings (in/out volts and frequency, VA, W), rating 6, alarm state,
        # transfer volts, last replacement date as MMDDYYYY, days to the next
        return "230,500,230,500,3000,2700,0,%d,160,280,%s%s,%d" % (self.alarm, last[4:], last[:4], max(days, 0))

    def caret_st1(self):
        low = self.state == "lowbatt"
        fields = [
            0,                                    # battery condition: good
            1 if low else 0,                      # battery status
            3 if self.on_battery() else 1,        # charge state: discharging / charging
            "",                                   # on-battery time (kept by the host)
            3 if low else (30 if self.on_battery() else 120),  # remaining minutes
            15 if low else (80 if self.on_battery() else 100),  # charge, percent
            700 if low else (780 if self.on_battery() else 816),  # battery volts, tenths
            -150 if self.on_battery() else 12,    # battery current, tenths
            27,                                   # temperature
            self.packs,
        ]
        return ",".join(str(f) for f in fields)

    def caret_st3(self):
        load = 115 if self.state == "overload" else 25
        return ",".join(str(f) for f in (1 if self.on_battery() else 0, 500, 1, 2300, load * 12 // 10, load * 27, load))

    def caret_st5(self):
        flags = ["0"] * 16
        if self.on_battery():
            flags[1] = "1"  # input failure
        if self.state == "overload":
            flags[3] = "1"
        return ",".join(flags)

    def caret_query(self, mnemonic):
        """Data of a caret query reply, or None for an item this UPS does not know."""
        simple = {
            "MOD": lambda: self.model, "VER": lambda: self.firmware,
            "AP1": lambda: "16,17,25",   # audible alarm, ARB setting, bypass readings
            "AP2": lambda: "57,82,83,84,88,90,92,93,94,96",  # dates, shutdowns, test, outlets, packs, economy
            "NOM": self.caret_nom, "LET": lambda: str(len(self.outlets)), "UID": lambda: self.serial,
            "ST1": self.caret_st1,
            "ST2": lambda: "0,1,0,0,0,0" if self.on_battery() else "0,1,500,2301,31,690",
            "ST3": self.caret_st3, "ST4": lambda: "500,1,2302,0,0", "ST5": self.caret_st5,
            "STR": lambda: str(self.test_result), "ATR": lambda: str(self.settings["ARB"]),
        }
        if mnemonic in simple:
            return simple[mnemonic]()
        if len(mnemonic) == 4 and mnemonic.startswith("SOL") and mnemonic[3].isdigit():
            n = int(mnemonic[3])
            if 1 <= n <= len(self.outlets):
                return "1" if self.outlets[n - 1] else "0"
        return None

    def caret_command(self, mnemonic, data: bytes):
        """Carries out a caret set frame; False when this UPS refuses it."""
        args = data.decode("latin-1").split(",")
        try:
            if mnemonic in ("ROF", "RON"):
                n = int(args[0])
                int(args[1])
                if not 1 <= n <= len(self.outlets):
                    return False
                self.outlets[n - 1] = mnemonic == "RON"
            elif mnemonic == "TST":
                self.test_result = 2
            elif mnemonic == "EBP":
                self.packs = int(args[0])
            elif mnemonic == "ATR":
                self.settings["ARB"] = int(args[0])
            elif mnemonic == "ECO":
                self.economy = int(args[0])
            elif mnemonic in ("SDA", "STD", "PSD"):
                int(args[0])
            elif mnemonic == "NOM":
                # The rating frame with only the fields to change filled in.
                if len(args) != 12 or any(args[i] for i in (0, 1, 2, 3, 4, 5, 6, 8, 9)):
                    return False
                if args[7]:
                    if args[7] not in ("1", "2", "3"):
                        return False
                    self.alarm = int(args[7])
                if args[10] or args[11]:
                    d = args[10]
                    last = datetime.date(int(d[4:8]), int(d[:2]), int(d[2:4]))
                    nxt = last + datetime.timedelta(days=int(args[11]))
                    self.dates = (last.strftime("%Y%m%d"), nxt.strftime("%Y%m%d"))
            else:
                return False
        except (ValueError, IndexError):
            return False
        return True


class TildeProtocol:
    """Reads host frames from a byte stream and answers them as the UPS."""

    name = "tilde"
    speed = termios.B2400

    def __init__(self, model: UpsModel, checksum=True):
        self.model = model
        self.checksum = checksum
        self.buffer = b""
        self.last_byte = 0.0
        self.noise = b""  # bytes that belong to no frame, until the simulator logs them

    def feed(self, data: bytes, now: float):
        self.buffer += data
        self.last_byte = now

    def frames(self, now: float):
        """Complete host frames: (raw, type, mnemonic, data, checksum state).
        Two trailing checksum digits are waited for briefly."""
        out = []
        while True:
            start = self.buffer.find(b"~00")
            if start < 0:
                keep = 2 if self.buffer.endswith(b"~0") else 1 if self.buffer.endswith(b"~") else 0
                self.noise += self.buffer[:len(self.buffer) - keep]
                self.buffer = self.buffer[len(self.buffer) - keep:]
                return out
            if start > 0:
                self.noise += self.buffer[:start]
                self.buffer = self.buffer[start:]
            if len(self.buffer) < 7:
                return out
            digits = self.buffer[4:7]
            if not digits.isdigit():
                self.noise += self.buffer[:1]
                self.buffer = self.buffer[1:]
                continue
            end = 7 + int(digits)
            if len(self.buffer) < end:
                return out
            tail = self.buffer[end:end + 2]
            hexdigits = b"0123456789ABCDEFabcdef"
            if len(tail) < 2 and all(c in hexdigits for c in tail) and now - self.last_byte < 0.03:
                return out  # maybe the checksum digits are still on their way
            frame = self.buffer[:end]
            if len(tail) == 2 and all(c in hexdigits for c in tail):
                state = "ok" if tail == sum8(frame) else "bad"
                raw = self.buffer[:end + 2]
                self.buffer = self.buffer[end + 2:]
            else:
                state = "none"
                raw = frame
                self.buffer = self.buffer[end:]
            kind = chr(frame[3])
            body = frame[7:]
            if kind == "P":
                mnemonic, data = body.decode("latin-1"), b""
                if mnemonic[:3] in ("EVT", "ELS"):
                    mnemonic, data = mnemonic[:3], body[3:]
            else:
                mnemonic, data = body[:3].decode("latin-1"), body[3:]
            out.append((raw, kind, mnemonic, data, state))

    def data_reply(self, text: str) -> bytes:
        body = text.encode("latin-1")
        frame = b"~00D%03d" % len(body) + body
        if self.model.state == "badsum":
            return frame + b"%02X" % ((sum(frame) + 1) & 0xFF)
        return frame + sum8(frame) if self.checksum else frame

    def answer(self, kind, mnemonic, data, state):
        """Reply bytes, or None for no reply."""
        if self.model.state == "silent":
            return None
        if self.model.state == "garbage":
            return GARBAGE
        if state == "bad" or mnemonic in self.model.rejected:
            return b"~00R"
        if kind == "P":
            text = self.model.query(mnemonic)
            return b"~00R" if text is None else self.data_reply(text)
        if kind == "S":
            return b"~00A" if self.model.command(mnemonic, data) else b"~00R"
        return None


class CaretProtocol:
    """Reads caret host frames ("^P"/"^S" + three length digits + mnemonic
    and data) and answers them as the UPS: "^D" + length + data, "^1", "^0"."""

    name = "caret"
    speed = termios.B9600

    def __init__(self, model: UpsModel, checksum=False):
        self.model = model
        self.checksum = False  # the protocol has none
        self.buffer = b""
        self.last_byte = 0.0
        self.noise = b""

    def feed(self, data: bytes, now: float):
        self.buffer += data
        self.last_byte = now

    def frames(self, now: float):
        """Complete host frames: (raw, type, mnemonic, data, "none")."""
        out = []
        while True:
            start = self.buffer.find(b"^")
            if start < 0:
                self.noise += self.buffer
                self.buffer = b""
                return out
            if start > 0:
                self.noise += self.buffer[:start]
                self.buffer = self.buffer[start:]
            if len(self.buffer) >= 2 and self.buffer[1:2] not in (b"P", b"S"):
                self.noise += self.buffer[:1]
                self.buffer = self.buffer[1:]
                continue
            if len(self.buffer) < 5:
                return out
            digits = self.buffer[2:5]
            if not digits.isdigit():
                self.noise += self.buffer[:1]
                self.buffer = self.buffer[1:]
                continue
            end = 5 + int(digits)
            if len(self.buffer) < end:
                return out
            frame, self.buffer = self.buffer[:end], self.buffer[end:]
            kind, body = chr(frame[1]), frame[5:]
            if kind == "P":
                mnemonic, data = body.decode("latin-1"), b""
            else:
                mnemonic, data = body[:3].decode("latin-1"), body[3:]
            out.append((frame, kind, mnemonic, data, "none"))

    def data_reply(self, text: str) -> bytes:
        body = text.encode("latin-1")
        if self.model.state == "badsum":
            return b"^D0x%d" % len(body) + body
        return b"^D%03d" % len(body) + body

    def answer(self, kind, mnemonic, data, state):
        """Reply bytes, or None for no reply."""
        if self.model.state == "silent":
            return None
        if self.model.state == "garbage":
            return GARBAGE
        if mnemonic in self.model.rejected:
            return b"^0"
        if kind == "P":
            text = self.model.caret_query(mnemonic)
            return b"^0" if text is None else self.data_reply(text)
        return b"^1" if self.model.caret_command(mnemonic, data) else b"^0"


class UpsSim:
    def __init__(self, state="online", checksum=True, log_path=None, control_path=None, rejected=(),
                 protocol="tilde", full=False):
        if state not in STATES:
            raise ValueError("unknown state %r" % state)
        if protocol not in PROTOCOLS:
            raise ValueError("unknown protocol %r" % protocol)
        self.model = UpsModel(state, full)
        self.model.rejected = set(rejected)
        self.protocol = (TildeProtocol if protocol == "tilde" else CaretProtocol)(self.model, checksum)
        self.log_path = log_path
        self.control_path = control_path
        self.received = []  # the frames received, as logged
        self.lock = threading.Lock()
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.slave_path = os.ttyname(self.slave)
        self.log = open(log_path, "a", buffering=1) if log_path else None
        self.control = None
        if control_path:
            if os.path.exists(control_path):
                os.unlink(control_path)
            self.control = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.control.bind(control_path)
            self.control.listen(4)
        self.clients = []
        self.running = False
        self.thread = None
        self.wake_r, self.wake_w = os.pipe()
        self.revert = None  # the timer that ends a state set for a while

    # ---- API ----
    def set_state(self, state, seconds=None):
        """The UPS's state from now on; with seconds, only for that long,
        then the state it had before comes back (logged as a state event)."""
        if state not in STATES:
            raise ValueError("unknown state %r" % state)
        with self.lock:
            if self.revert:
                self.revert.cancel()
                self.revert = None
            before = self.model.state
            self.model.state = state
            if seconds is not None:
                self.revert = threading.Timer(float(seconds), self._revert, (state, before))
                self.revert.daemon = True
                self.revert.start()
        self._log(dict({"event": "state", "state": state}, **({"seconds": seconds} if seconds is not None else {})))

    def _revert(self, state, before):
        with self.lock:
            if self.model.state != state:
                return
            self.model.state = before
            self.revert = None
        self._log({"event": "state", "state": before})

    def state_changes(self):
        """(time, state) of every state change logged, in order."""
        return [(e["t"], e["state"]) for e in read_log(self.log_path) if e.get("event") == "state"] \
            if self.log_path else []

    def reject(self, mnemonics):
        with self.lock:
            self.model.rejected = set(mnemonics)
        self._log({"event": "reject", "items": sorted(self.model.rejected)})

    def set_checksum(self, on):
        with self.lock:
            self.protocol.checksum = bool(on)
        self._log({"event": "checksum", "on": bool(on)})

    def frames(self):
        with self.lock:
            return list(self.received)

    def start(self):
        self.running = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.running = False
        if self.revert:
            self.revert.cancel()
        os.write(self.wake_w, b"x")
        if self.thread:
            self.thread.join(5)
        self.close()

    def close(self):
        for fd in (self.master, self.slave, self.wake_r, self.wake_w):
            try:
                os.close(fd)
            except OSError:
                pass
        for c in self.clients:
            c.close()
        if self.control:
            self.control.close()
            try:
                os.unlink(self.control_path)
            except OSError:
                pass
        if self.log:
            self.log.close()
            self.log = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ---- serving ----
    def _log(self, entry):
        entry = dict(entry, t=time.time())
        with self.lock:
            if entry.get("dir") == "rx":
                self.received.append(entry)
            if self.log:
                self.log.write(json.dumps(entry) + "\n")

    def _line_speed(self):
        try:
            return termios.tcgetattr(self.master)[5]
        except termios.error:
            return None

    def _serve_line(self, data, now):
        with self.lock:
            self.protocol.feed(data, now)
        self._answer_frames(now)

    def _answer_frames(self, now):
        with self.lock:
            frames = self.protocol.frames(now)
            noise, self.protocol.noise = self.protocol.noise, b""
        if noise:
            self._log({"dir": "rx", "type": "noise", "raw": escape(noise), "baud": BAUD.get(self._line_speed())})
        for raw, kind, mnemonic, data, state in frames:
            speed = self._line_speed()
            entry = {"dir": "rx", "type": kind, "mnemonic": mnemonic, "data": escape(data),
                     "checksum": state, "raw": escape(raw), "baud": BAUD.get(speed)}
            # The UPS reads frames sent at another speed than its own as noise.
            if speed is not None and speed != self.protocol.speed:
                entry["speed_mismatch"] = True
                self._log(entry)
                continue
            self._log(entry)
            with self.lock:
                reply = self.protocol.answer(kind, mnemonic, data, state)
            if reply:
                try:
                    os.write(self.master, reply)
                except OSError:
                    pass
                self._log({"dir": "tx", "raw": escape(reply)})

    def _control_command(self, line):
        words = line.strip().split()
        if not words:
            return "error empty"
        cmd, args = words[0], words[1:]
        try:
            if cmd == "state" and len(args) in (1, 2):
                self.set_state(args[0], float(args[1]) if len(args) == 2 else None)
            elif cmd == "reject":
                self.reject([m for a in args for m in a.split(",") if m])
            elif cmd == "checksum" and args in (["on"], ["off"]):
                self.set_checksum(args[0] == "on")
            elif cmd == "status":
                return "ok " + json.dumps({"protocol": self.protocol.name, "state": self.model.state,
                                           "checksum": self.protocol.checksum,
                                           "rejected": sorted(self.model.rejected),
                                           "frames": len(self.received), "slave": self.slave_path})
            elif cmd == "quit":
                self.running = False
            else:
                return "error unknown command"
        except ValueError as e:
            return "error %s" % e
        return "ok"

    def serve(self):
        self.running = True
        pending = {}
        while self.running:
            fds = [self.master, self.wake_r] + ([self.control] if self.control else []) + self.clients
            try:
                ready, _, _ = select.select(fds, [], [], 0.01)
            except (OSError, ValueError):
                break
            now = time.time()
            for r in ready:
                if r == self.master:
                    try:
                        data = os.read(self.master, 4096)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError:
                        data = b""
                    if data:
                        self._serve_line(data, now)
                elif r == self.wake_r:
                    os.read(self.wake_r, 16)
                elif r is self.control:
                    conn, _ = self.control.accept()
                    self.clients.append(conn)
                    pending[conn] = b""
                else:
                    chunk = r.recv(1024)
                    if not chunk:
                        self.clients.remove(r)
                        pending.pop(r, None)
                        r.close()
                        continue
                    pending[r] += chunk
                    while b"\n" in pending[r]:
                        line, pending[r] = pending[r].split(b"\n", 1)
                        reply = self._control_command(line.decode("utf-8", "replace"))
                        try:
                            r.sendall(reply.encode() + b"\n")
                        except OSError:
                            pass
            # Frames whose checksum digits did not follow are taken as they are.
            self._answer_frames(time.time())


def control(path, command, timeout=5.0):
    """Sends one command to a running simulator's control socket."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(command.encode() + b"\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
        return reply.decode().strip()


def read_log(path):
    """The entries of a frame log."""
    entries = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line:
                entries.append(json.loads(line))
    return entries


def main(argv=None):
    p = argparse.ArgumentParser(description="UPS simulator on a pseudo-terminal (tilde or caret protocol)")
    p.add_argument("--protocol", default="tilde", choices=PROTOCOLS)
    p.add_argument("--state", default="online", choices=STATES)
    p.add_argument("--checksum", default="on", choices=("on", "off"))
    p.add_argument("--reject", default="", help="comma-separated mnemonics the UPS refuses")
    p.add_argument("--log", help="frame log file (JSON lines)")
    p.add_argument("--control", help="UNIX socket path for commands")
    p.add_argument("--path-file", help="file that receives the slave path")
    a = p.parse_args(argv)
    sim = UpsSim(state=a.state, checksum=a.checksum == "on", log_path=a.log, control_path=a.control,
                 rejected=[m for m in a.reject.split(",") if m], protocol=a.protocol)
    signal.signal(signal.SIGTERM, lambda *_: setattr(sim, "running", False))
    signal.signal(signal.SIGINT, lambda *_: setattr(sim, "running", False))
    if a.path_file:
        with open(a.path_file + ".tmp", "w") as f:
            f.write(sim.slave_path + "\n")
        os.rename(a.path_file + ".tmp", a.path_file)
    print("slave=%s" % sim.slave_path, flush=True)
    try:
        sim.serve()
    finally:
        sim.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
