"""Poll cadence of the serial link: the daemon polls the UPS simulator for a
fixed period; the gaps between successive frames it sends come from the
simulator's frame log. Detection passes do not probe a linked port, so the
period after identification has no probe in it.

With --silent-mail, "Server=" names a loopback port that accepts connections
and never says a word, and the simulated UPS fails and recovers every 15 s:
each 5-second mail pass with a spool then waits out the reply bound."""
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
