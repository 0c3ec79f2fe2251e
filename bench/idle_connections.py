"""CPU of the daemon while more connections than its 20 slots stay open, and
how long a new client waits meanwhile: idle first; then 25 connections that
never finish a request (each sends a header byte every second and is opened
anew when the daemon drops it); then 20 clients that never read a large
download, holding every slot in the sending state, with 5 more waiting in
the listen backlog; last a 20-kB form post whose body takes 15 s, sent
while the 25 connections trickle their header bytes."""
import os
import socket
import sys
import threading
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
        with socket.create_connection(("127.0.0.1", PORT), timeout=30) as s:
            s.sendall(b"GET /style.css HTTP/1.1\r\nHost: h\r\n\r\n")
            ok = s.recv(12) == b"HTTP/1.1 200"
    except OSError:
        ok = False
    return "answered in %.2f s" % (time.monotonic() - t) if ok else "not answered within 30 s"


held = []
notes = []


def trickle(stop):
    """Keeps count connections trickling header bytes until stop is set."""
    while not stop.is_set():
        for s in list(held):
            try:
                s.send(b"G")
            except OSError:
                held.remove(s)
                s.close()
        while len(held) < count:
            held.append(connect())
        stop.wait(1.0)


def trickling():
    stop = threading.Event()
    feeder = threading.Thread(target=trickle, args=(stop,), daemon=True)
    feeder.start()
    time.sleep(secs / 2)
    notes.append("  a new client meanwhile: %s" % probe())
    time.sleep(secs / 2)
    stop.set()
    feeder.join()


stalled = []


def downloads():
    t0 = time.monotonic()
    for _ in range(20):
        s = connect(rcvbuf=4096)
        s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: h\r\n\r\n")
        stalled.append(s)
    time.sleep(1.0)
    for _ in range(count - 20):
        stalled.append(connect())  # waits in the backlog
    time.sleep(5.0)  # the downloads have moved nothing for some seconds
    notes.append("  a new client meanwhile: %s" % probe())
    time.sleep(max(0.0, secs - (time.monotonic() - t0)))


def slow_post():
    stop = threading.Event()
    feeder = threading.Thread(target=trickle, args=(stop,), daemon=True)
    feeder.start()
    time.sleep(3.0)
    body = b"F=" + b"v" * (20 * 1024 - 2)
    t = time.monotonic()
    outcome = "no answer"
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=30) as s:
            s.sendall(b"POST /en/upload_form HTTP/1.1\r\nHost: h\r\nContent-Length: %d\r\n\r\n" % len(body))
            for i in range(20):
                s.sendall(body[i * 1024:(i + 1) * 1024])
                time.sleep(0.75)
            if s.recv(12) == b"HTTP/1.1 302":
                outcome = "answered"
    except OSError:
        outcome = "cut"
    notes.append("  the post: %s %.1f s after it began" % (outcome, time.monotonic() - t))
    stop.set()
    feeder.join()


def show_notes():
    for line in notes:
        print(line)
    notes.clear()


measure("idle daemon", lambda: time.sleep(secs))
measure("%d connections trickling header bytes" % count, trickling)
show_notes()
for s in held:
    s.close()
held.clear()
measure("20 stalled downloads and %d connections in the backlog" % (count - 20), downloads)
show_notes()
for s in stalled:
    s.close()
time.sleep(1.0)
measure("a 20-kB post over 15 s among %d connections trickling header bytes" % count, slow_post)
show_notes()
for s in held:
    s.close()
d.stop()
