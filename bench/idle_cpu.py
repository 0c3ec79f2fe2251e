"""Measures the idle daemon: CPU time over a fixed period, and peak RSS."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
import harness  # noqa: E402

harness.require_namespace()
secs = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
d = harness.Daemon().start()
time.sleep(6)  # past start-up: listeners open after 5 s


def cpu_ticks(pid):
    fields = harness.read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


hz = os.sysconf("SC_CLK_TCK")
t0, c0 = time.monotonic(), cpu_ticks(d.pid)
time.sleep(secs)
t1, c1 = time.monotonic(), cpu_ticks(d.pid)
status = harness.read("/proc/%d/status" % d.pid)
peak = next(line.split()[1] for line in status.splitlines() if line.startswith("VmHWM:"))
print("idle CPU: %.3f %% of one core over %.0f s" % (100.0 * (c1 - c0) / hz / (t1 - t0), t1 - t0))
print("peak RSS: %s kB" % peak)
d.stop()
