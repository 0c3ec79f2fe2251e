"""Poll cadence of the serial link: the daemon polls the UPS simulator for a
fixed period; the gaps between successive frames it sends come from the
simulator's frame log. Detection passes do not probe a linked port, so the
period after identification has no probe in it.

With --silent-mail, "Server=" names a loopback port that accepts connections
and never says a word, and the simulated UPS fails and recovers every 15 s:
each 5-second mail pass with a spool then waits out the reply bound.

With --usb-kept the UPS is the hiddev simulator (USB, family 2): five
load-bank outlets are to go off 6 s after a power failure, the device is
pulled before that and plugged in again 9 s after the failure, still on
battery; the five kept outlet commands then go out, and the gaps are those
between the daemon's successive report requests from the return until a
second after the last write."""
import os
import socket
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

harness.require_namespace()
secs = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
silent_mail = "--silent-mail" in sys.argv[2:]


def usb_kept():
    """Five commands kept over a pulled USB device: the poll gaps while they go out."""
    import test_usb as usb
    for path in (usb.CONTROL, usb.LOG):
        if os.path.exists(path):
            os.unlink(path)
    harness.write(usb.CONTROL, "online\n")
    harness.ensure_config()
    config = {"COM": {"COM Port=": 1, "COM Path=": ""},
              "Shutdown": {"Power Fail Enable=": "No", "Battery Low Enable=": "No", "Overload Enable=": "No",
                           "Bypass Enable=": "No"},
              "Reaction": {"Execute Command Enable=": "No", "Notify Message Period=": 0}, "UPS": {}}
    for n in range(1, 6):
        config["UPS"].update({"Load Bank PF Enable%d=" % n: "Yes", "Load Bank PF Delay%d=" % n: 6})
    harness.config_set(config)
    env = dict(os.environ, LD_PRELOAD=usb.SHIM, HIDDEVSIM_PATH=usb.DEVICE, HIDDEVSIM_FAMILY="2",
               HIDDEVSIM_CONTROL=usb.CONTROL, HIDDEVSIM_LOG=usb.LOG)
    d = harness.Daemon(env=env).start()
    harness.wait_for(lambda: len(usb.reads()) > 100, 20, what="the USB link")
    t_fail = time.time()
    usb.set_state("powerfail")
    harness.wait_for(lambda: 102 in usb.codes() and 174 in usb.codes(), 20, what="the power failure")
    t_edge = time.time()
    usb.set_state("silent")
    harness.wait_for(lambda: 192 in usb.codes(), 10, what="the lost link")
    time.sleep(max(0.0, t_edge + 9 - time.time()))
    t_back = time.time()
    usb.set_state("powerfail")
    harness.wait_for(lambda: len(usb.writes(t_back)) >= 5, 40, what="the five writes")
    sent = usb.writes(t_back)
    end = sent[-1][0] + 1.0
    harness.wait_for(lambda: usb.reads(end), 20, what="reads after the writes")
    d.stop()
    times = [t for t, _ in usb.reads(t_back) if t <= end] + [usb.reads(end)[0][0]]
    gaps = [1000.0 * (b - a) for a, b in zip(times, times[1:])]
    ticks = sorted({round(t, 2) for t in times})
    tick_gaps = [1000.0 * (b - a) for a, b in zip(ticks, ticks[1:])]
    print("power failure +0.00 s, events 102/174 seen +%.2f s, device pulled, back +%.2f s" % (
        t_edge - t_fail, t_back - t_fail))
    print("writes at the UPS: %s s after the return" % ", ".join("%.2f" % (t - t_back) for t, _, _ in sent))
    print("report requests from the return to a second after the last write: %d" % len(times))
    print("longest gap between successive report requests: %.0f ms (median between ticks %.0f ms)" % (
        max(gaps), statistics.median(tick_gaps) if tick_gaps else float("nan")))


if "--usb-kept" in sys.argv[2:]:
    usb_kept()
    sys.exit(0)
sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
harness.ensure_config()
changes = {"COM": {"COM Port=": 2, "COM Path=": sim.slave_path}}
sessions = []
if silent_mail:
    # Accepts every connection and holds it without a word.
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def hold():
        while True:
            conn, _ = listener.accept()
            sessions.append((time.time(), conn))
    threading.Thread(target=hold, daemon=True).start()
    changes["Mail"] = {"Server=": "127.0.0.1", "Port=": listener.getsockname()[1], "Receive Num=": 1,
                       "Receiver1=": "ops@example.org", "Level1=": 1, "Mail Sender=": "ups@example.org"}
harness.config_set(changes)
d = harness.Daemon().start()
# Past detection and identification: the periodic cycle has begun.
harness.wait_for(lambda: any(f["mnemonic"] == "STB" for f in sim.frames()), 20, what="the poll cycle")
t0 = time.time()
if silent_mail:
    state = "online"
    while time.time() < t0 + secs:
        time.sleep(min(15.0, max(0.0, t0 + secs - time.time())))
        state = "powerfail" if state == "online" else "online"
        sim.set_state(state)
else:
    time.sleep(secs)
t1 = time.time()
d.stop()
sim.stop()
times = [f["t"] for f in sim.frames() if t0 <= f["t"] <= t1]
gaps = [1000.0 * (b - a) for a, b in zip(times, times[1:])]
if not gaps:
    print("no frames received")
    sys.exit(1)
if silent_mail:
    print("mail server: accepts and never answers; %d mail sessions during the run" %
          sum(1 for t, _ in sessions if t0 <= t <= t1))
print("frames: %d over %.0f s" % (len(times), t1 - t0))
print("gap between successive frames: median %.1f ms, maximum %.1f ms" % (statistics.median(gaps), max(gaps)))
print("gaps over 150 ms: %d" % sum(1 for g in gaps if g > 150.0))
