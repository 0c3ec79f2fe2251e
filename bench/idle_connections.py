"""CPU of the daemon while more connections than its 20 slots stay open, and
how long a new client (curl asking for the login page, by turns over HTTP
and HTTPS) waits meanwhile: idle first; then 25 connections that never
finish a request (each sends a header byte every second and is opened anew
when the daemon drops it); then 20 clients that never read a large
download, holding every slot in the sending state, with 5 more waiting in
the listen backlog; a 20-kB form post whose body takes 15 s, sent while the
25 connections trickle their header bytes; then clients that hold slots and
connect again whenever the daemon drops them: 20 slow bodies (a byte every
2 s), 20 keep-alive connections (a small GET every 3 s), and both at once,
over HTTP, then over HTTPS."""
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
import harness  # noqa: E402
import test_webslots as slots  # noqa: E402

harness.require_namespace()
secs = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
count = int(sys.argv[2]) if len(sys.argv) > 2 else 25
PORT = slots.HTTP

harness.ensure_config()
harness.config_set({"Web": {"HTTP Port=": PORT, "HTTPS Port=": slots.HTTPS, "Force HTTPS=": "No"}})
with open(harness.INSTALL + "/httpd/htdocs/big.bin", "wb") as f:
    f.write(b"z" * (64 << 20))
d = harness.Daemon().start()
for port in (PORT, slots.HTTPS):
    harness.wait_for(lambda: harness.listening(port), 15, 0.1, what="port %d" % port)
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


probes = 0


def probe():
    global probes
    port = (slots.HTTP, slots.HTTPS)[probes % 2]
    probes += 1
    waited, status = slots.new_client(port)
    name = "https" if port == slots.HTTPS else "http"
    if status == "200":
        return "%s %.2f s" % (name, waited)
    return "%s not answered within %.0f s" % (name, waited)


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
    out = []
    slots.slow_post(PORT, out)
    reply, took = out[0]
    outcome = "answered" if reply.startswith(b"HTTP/1.1 302") else "cut"
    notes.append("  the post: %s %.1f s after it began" % (outcome, took))
    stop.set()
    feeder.join()


def holding(kinds, tls):
    """Clients of the kinds (kind, number) hold slots for the whole time; a
    new client every secs / 6 seconds meanwhile."""
    def run():
        holders = [slots.Holders(None, kind, n, tls) for kind, n in kinds]
        t0 = time.monotonic()
        time.sleep(3.0)  # every slot taken
        waits = []
        while time.monotonic() - t0 < secs:
            waits.append(probe())
            time.sleep(secs / 6)
        for h in holders:
            h.close()
        notes.append("  new clients meanwhile: %s" % ", ".join(waits))
    return run


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
time.sleep(1.0)
for tls in (False, True):
    scheme = "HTTPS" if tls else "HTTP"
    for name, kinds in (("20 slow bodies", [("body", 20)]), ("20 keep-alive connections", [("kept", 20)]),
                        ("20 slow bodies and 20 keep-alive connections", [("body", 20), ("kept", 20)])):
        measure("%s over %s, connecting again when dropped" % (name, scheme), holding(kinds, tls))
        show_notes()
        time.sleep(25.0)  # whatever is left has run out of time
d.stop()
