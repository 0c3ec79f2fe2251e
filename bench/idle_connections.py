"""CPU of the daemon while more connections than its 20 slots stay open:
idle first; then 25 connections that never finish a request (each sends a
header byte every second and is opened anew when the daemon drops it);
then 20 clients that never read a large download, holding every slot in
the sending state, with 5 more waiting in the listen backlog."""
import os
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
import harness  # noqa: E402

harness.require_namespace()
secs = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
count = int(sys.argv[2]) if len(sys.argv) > 2 else 25
PORT = 8080

harness.ensure_config()
harness.config_set({"Web": {"HTTP Port=": PORT, "Force HTTPS=": "No"}})
with open(harness.INSTALL + "/httpd/htdocs/big.bin", "wb") as f:
    f.write(b"z" * (64 << 20))
d = harness.Daemon().start()
time.sleep(6)  # past start-up: listeners open after 5 s
hz = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    fields = harness.read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def measure(name, during):
    t0, c0 = time.monotonic(), cpu_ticks(d.pid)
    during()
    t1, c1 = time.monotonic(), cpu_ticks(d.pid)
    print("%s: %.3f %% of one core over %.0f s" % (name, 100.0 * (c1 - c0) / hz / (t1 - t0), t1 - t0))


def connect(rcvbuf=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", PORT))
    return s


def probe():
    t = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=15) as s:
            s.sendall(b"GET /style.css HTTP/1.1\r\nHost: h\r\n\r\n")
            ok = s.recv(12) == b"HTTP/1.1 200"
    except OSError:
        ok = False
    return "answered in %.2f s" % (time.monotonic() - t) if ok else "not answered within 15 s"


held = []


def trickling():
    deadline = time.monotonic() + secs
    while time.monotonic() < deadline:
        for s in list(held):
            try:
                s.send(b"G")
            except OSError:
                held.remove(s)
                s.close()
        while len(held) < count:
            held.append(connect())
        time.sleep(1.0)


stalled = []


def downloads():
    for _ in range(20):
        s = connect(rcvbuf=4096)
        s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: h\r\n\r\n")
        stalled.append(s)
    time.sleep(1.0)
    for _ in range(count - 20):
        stalled.append(connect())  # waits in the backlog
    # Within the 20 s after which a reply that does not move is dropped.
    time.sleep(min(secs, 15.0))


measure("idle daemon", lambda: time.sleep(secs))
measure("%d connections trickling header bytes" % count, trickling)
print("  a new client meanwhile: %s" % probe())
for s in held:
    s.close()
measure("20 stalled downloads and %d connections in the backlog" % (count - 20), downloads)
for s in stalled:
    s.close()
d.stop()
