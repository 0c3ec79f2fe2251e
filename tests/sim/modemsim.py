"""GSM modem simulator on a pseudo-terminal, for the daemon's SMS sender.

The host's side opens the pseudo-terminal's slave as its serial port. The
simulator answers the AT commands a sender of short messages uses:

    AT            -> OK
    AT+CMGF=0|1   -> OK (PDU or text mode)
    AT+CMGS=...   -> the "> " prompt; the message follows up to Ctrl-Z,
                     then "+CMGS: <reference>" and OK
    anything else -> ERROR

It logs every command and every message body it receives as JSON lines
({"t": time, "kind": "command" or "body", "data": text}), and decodes
SMS-SUBMIT PDUs with UCS-2 text (decode_submit).

    sim = ModemSim(log_path="/tmp/modem.log").start()
    sim.slave_path          # the device to open
    sim.bodies()            # message bodies received, in order
    sim.stop()

Run as a program it prints the slave path and serves until interrupted.
"""
import json
import os
import pty
import select
import sys
import threading
import time
import tty


def _swapped_digits(semi_octets, count):
    digits = ""
    for i in range(0, len(semi_octets), 2):
        digits += semi_octets[i + 1] + semi_octets[i]
    return digits[:count]


def decode_submit(hex_text):
    """Fields of an SMS-SUBMIT PDU (hex text, service-centre octet first):
    smsc_length, first_octet, reference, number ("+" for international),
    address_type, pid, dcs, validity, udl, text (UCS-2 decoded), octets
    (the length AT+CMGS announces)."""
    b = bytes.fromhex(hex_text)
    i = 0
    smsc = b[i]
    i += 1 + smsc
    first, ref = b[i], b[i + 1]
    i += 2
    ndigits, atype = b[i], b[i + 1]
    i += 2
    nbytes = (ndigits + 1) // 2
    number = _swapped_digits(b[i:i + nbytes].hex().upper(), ndigits)
    i += nbytes
    pid, dcs = b[i], b[i + 1]
    i += 2
    validity = None
    if first & 0x18 == 0x10:  # relative validity period
        validity = b[i]
        i += 1
    udl = b[i]
    i += 1
    data = b[i:]
    text = data.decode("utf-16-be") if dcs == 0x08 else data.hex()
    return {"smsc_length": smsc, "first_octet": first, "reference": ref,
            "number": ("+" if atype == 0x91 else "") + number, "address_type": atype,
            "pid": pid, "dcs": dcs, "validity": validity, "udl": udl, "text": text,
            "octets": len(b) - 1 - smsc, "user_data_bytes": len(data)}


class ModemSim:
    def __init__(self, log_path=None, reference=1, answer_ok=True):
        self.log_path = log_path
        self.reference = reference
        self.answer_ok = answer_ok   # False: messages are never confirmed
        self.master = self.slave = None
        self.slave_path = None
        self._stop = threading.Event()
        self._thread = None
        self._lock = threading.Lock()
        self._log = []

    def start(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        # The slave stays open here so the line survives the host's closes.
        self.slave_path = os.ttyname(self.slave)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread:
            self._thread.join(2)
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None

    def entries(self):
        with self._lock:
            return list(self._log)

    def commands(self):
        return [e["data"] for e in self.entries() if e["kind"] == "command"]

    def bodies(self):
        return [e["data"] for e in self.entries() if e["kind"] == "body"]

    def _record(self, kind, data):
        entry = {"t": time.time(), "kind": kind, "data": data}
        with self._lock:
            self._log.append(entry)
        if self.log_path:
            with open(self.log_path, "a") as f:
                f.write(json.dumps(entry) + "\n")

    def _answer(self, text):
        os.write(self.master, text.encode())

    def _run(self):
        buf = b""
        in_body = False
        while not self._stop.is_set():
            r, _, _ = select.select([self.master], [], [], 0.1)
            if not r:
                continue
            try:
                chunk = os.read(self.master, 1024)
            except OSError:
                time.sleep(0.05)  # no host side open at the moment
                continue
            buf += chunk
            while True:
                if in_body:
                    end = buf.find(b"\x1a")
                    if end < 0:
                        break
                    self._record("body", buf[:end].decode("utf-8", "replace"))
                    buf = buf[end + 1:]
                    in_body = False
                    if self.answer_ok:
                        self._answer("\r\n+CMGS: %d\r\n\r\nOK\r\n" % self.reference)
                        self.reference = (self.reference + 1) % 256
                    continue
                end = buf.find(b"\r")
                if end < 0:
                    break
                line = buf[:end].decode("ascii", "replace").strip("\n")
                buf = buf[end + 1:]
                self._record("command", line)
                upper = line.upper()
                if upper == "AT" or upper in ("AT+CMGF=0", "AT+CMGF=1"):
                    self._answer("\r\nOK\r\n")
                elif upper.startswith("AT+CMGS="):
                    self._answer("\r\n> ")
                    in_body = True
                else:
                    self._answer("\r\nERROR\r\n")


if __name__ == "__main__":
    sim = ModemSim(log_path=sys.argv[1] if len(sys.argv) > 1 else None).start()
    print(sim.slave_path, flush=True)
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        sim.stop()
