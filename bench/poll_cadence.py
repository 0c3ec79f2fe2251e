"""Poll cadence of the serial link: the daemon polls the UPS simulator for a
fixed period; the gaps between successive frames it sends come from the
simulator's frame log. Detection passes do not probe a linked port, so the
period after identification has no probe in it."""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

harness.require_namespace()
secs = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
harness.ensure_config()
harness.config_set({"COM": {"COM Port=": 2, "COM Path=": sim.slave_path}})
d = harness.Daemon().start()
# Past detection and identification: the periodic cycle has begun.
harness.wait_for(lambda: any(f["mnemonic"] == "STB" for f in sim.frames()), 20, what="the poll cycle")
t0 = time.time()
time.sleep(secs)
t1 = time.time()
d.stop()
sim.stop()
times = [f["t"] for f in sim.frames() if t0 <= f["t"] <= t1]
gaps = [1000.0 * (b - a) for a, b in zip(times, times[1:])]
if not gaps:
    print("no frames received")
    sys.exit(1)
print("frames: %d over %.0f s (idle daemon; the web and SNMP listeners are not built yet)" % (len(times), t1 - t0))
print("gap between successive frames: median %.1f ms, maximum %.1f ms" % (statistics.median(gaps), max(gaps)))
print("gaps over 150 ms: %d" % sum(1 for g in gaps if g > 150.0))
