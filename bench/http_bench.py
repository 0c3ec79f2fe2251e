"""Web server throughput: wrk against the daemon (a static file, and the
login page, which is a template) and against lighttpd serving the same file
from the same document root, in one run inside the namespace. The daemon's
UPS link polls the simulator meanwhile; the longest gap between its polls
shows whether the web traffic holds the main loop."""
import os
import re
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

harness.require_namespace()
secs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
UPSD_PORT, LIGHTTPD_PORT = 8080, 8081
DOCROOT = harness.INSTALL + "/httpd/htdocs"


def wait_port(port):
    def up():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False
    harness.wait_for(up, 20, 0.1, what="port %d" % port)


def wrk(port, path, extra=()):
    out = subprocess.run(["wrk", "-t2", "-c10", "-d%ds" % secs, "--latency", *extra,
                          "http://127.0.0.1:%d%s" % (port, path)],
                         capture_output=True, text=True, timeout=secs + 60).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    m = re.search(r"\s99%\s+([\d.]+)(us|ms|s)\b", out)
    p99 = float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]
    errors = re.search(r"Socket errors: (.*)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return rps, p99, (errors.group(1) if errors else ""), (int(non2xx.group(1)) if non2xx else 0)


def max_gap(sim, t0, t1):
    times = [f["t"] for f in sim.frames() if t0 <= f["t"] <= t1]
    gaps = [1000.0 * (b - a) for a, b in zip(times, times[1:])]
    return max(gaps) if gaps else float("nan")


sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
harness.ensure_config()
harness.config_set({"COM": {"COM Port=": 2, "COM Path=": sim.slave_path},
                    "Web": {"HTTP Port=": UPSD_PORT, "Force HTTPS=": "No"}})
d = harness.Daemon().start()
harness.wait_for(lambda: any(f["mnemonic"] == "STB" for f in sim.frames()), 20, what="the poll cycle")
wait_port(UPSD_PORT)
with open("/tmp/lighttpd.conf", "w") as f:
    f.write('server.document-root = "%s"\nserver.port = %d\nserver.bind = "127.0.0.1"\n'
            'server.errorlog = "/tmp/lighttpd.err"\nmimetype.assign = (".css" => "text/css")\n'
            % (DOCROOT, LIGHTTPD_PORT))
light = subprocess.Popen(["lighttpd", "-D", "-f", "/tmp/lighttpd.conf"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wait_port(LIGHTTPD_PORT)

runs = [
    ("upsd      static /style.css", UPSD_PORT, "/style.css", ()),
    ("upsd      template /login.asp", UPSD_PORT, "/login.asp", ()),
    ("lighttpd  static /style.css (keep-alive)", LIGHTTPD_PORT, "/style.css", ()),
    ("lighttpd  static /style.css (Connection: close)", LIGHTTPD_PORT, "/style.css", ("-H", "Connection: close")),
]
results = {}
print("wrk: 2 threads, 10 connections, %d s per run; %s, %d bytes" %
      (secs, "/style.css", os.path.getsize(DOCROOT + "/style.css")))
for name, port, path, extra in runs:
    t0 = time.time()
    rps, p99, errors, non2xx = wrk(port, path, extra)
    t1 = time.time()
    results[name] = (rps, p99)
    note = ("" if not errors else "  socket errors: " + errors) + ("" if not non2xx else "  non-2xx: %d" % non2xx)
    print("%-48s %9.0f req/s  p99 %7.2f ms  UPS poll gap max %6.1f ms%s" % (name, rps, p99, max_gap(sim, t0, t1), note))
light.terminate()
light.wait()
d.stop()
sim.stop()

u_static, u_tpl = results[runs[0][0]], results[runs[1][0]]
l_keep, l_close = results[runs[2][0]], results[runs[3][0]]
print("ratio upsd static / lighttpd keep-alive:       %.2f (req/s)" % (u_static[0] / l_keep[0]))
print("ratio upsd static / lighttpd Connection: close: %.2f (req/s)" % (u_static[0] / l_close[0]))
print("ratio upsd template / upsd static:             %.2f (req/s)" % (u_tpl[0] / u_static[0]))
print("(the daemon answers every request with Connection: close, so each of its requests is a new connection)")
