"""The installed daemon's 20 connection slots under clients that hold them:
downloads that stall (a slot is taken back from the one that has moved no
byte for longest, never from one that moves), a slow upload among clients
that trickle header bytes, and HTTPS over a link with a 4-s round trip
(a TCP proxy here that delays each direction by 2 s)."""
import collections
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import test_web as web  # noqa: E402

HTTP, HTTPS, PROXY = 8080, 8443, 9443
BIG = harness.INSTALL + "/httpd/htdocs/big.bin"


def connect(port=HTTP, rcvbuf=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", port))
    return s


def ask(request):
    """Seconds from connect to the whole answer, and the answer."""
    t = time.monotonic()
    reply = web.raw(request, timeout=20.0)
    return time.monotonic() - t, reply


class DelayProxy:
    """Forwards 127.0.0.1:PROXY to a local port, each direction's bytes
    delayed by `delay` seconds, in order."""

    def __init__(self, target, delay):
        self.target, self.delay = target, delay
        self.listener = socket.create_server(("127.0.0.1", PROXY))
        self.sockets = [self.listener]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target))
            self.sockets += [client, server]
            for a, b in ((client, server), (server, client)):
                queue = collections.deque()
                ready = threading.Condition()
                threading.Thread(target=self._read, args=(a, queue, ready), daemon=True).start()
                threading.Thread(target=self._write, args=(b, queue, ready), daemon=True).start()

    def _read(self, s, queue, ready):
        while True:
            try:
                data = s.recv(65536)
            except OSError:
                data = b""
            with ready:
                queue.append((time.monotonic() + self.delay, data))
                ready.notify()
            if not data:
                return

    def _write(self, s, queue, ready):
        while True:
            with ready:
                while not queue:
                    ready.wait()
                due, data = queue.popleft()
            time.sleep(max(0.0, due - time.monotonic()))
            try:
                if not data:
                    s.shutdown(socket.SHUT_WR)
                    return
                s.sendall(data)
            except OSError:
                return

    def close(self):
        for s in self.sockets:
            s.close()


class Slots(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        harness.ensure_config()
        harness.config_set({"Web": {"HTTP Port=": HTTP, "HTTPS Port=": HTTPS, "Force HTTPS=": "No"}})
        with open(BIG, "wb") as f:
            f.write(b"z" * (64 << 20))
        self.held = []
        self.addCleanup(self.close_held)
        self.start_daemon()
        for port in (HTTP, HTTPS):
            harness.wait_for(lambda: harness.listening(port), 15, 0.1, what="port %d" % port)

    def close_held(self):
        for s in self.held:
            s.close()

    def test_stalled_downloads_give_way_to_new_clients_but_a_moving_one_never(self):
        # Twenty downloads fill every slot; nineteen are never read, one
        # is read slowly but steadily.
        for _ in range(20):
            s = connect(rcvbuf=4096)
            s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: h\r\n\r\n")
            self.held.append(s)
        slow = self.held[-1]
        slow.settimeout(5)
        received = [0, time.monotonic()]  # bytes, time of the last
        stop = threading.Event()

        def read_slowly():
            while not stop.wait(0.25):
                try:
                    n = len(slow.recv(16384))
                except OSError:
                    return
                if not n:
                    return
                received[0] += n
                received[1] = time.monotonic()
        reader = threading.Thread(target=read_slowly, daemon=True)
        reader.start()
        self.addCleanup(reader.join)
        self.addCleanup(stop.set)
        time.sleep(6)  # the stalled ones have moved nothing for seconds
        # New clients over more than the 20-s idle limit: each answered at
        # once, in the slot of a stalled download.
        waits = []
        for _ in range(12):
            waited, reply = ask(b"GET /style.css HTTP/1.1\r\nHost: h\r\n\r\n")
            self.assertTrue(reply.startswith(b"HTTP/1.1 200 OK"), reply[:100])
            waits.append(waited)
            time.sleep(2)
        self.assertLess(max(waits), 1.0, waits)
        # The slow download is still going.
        self.assertGreater(received[0], 256 << 10)
        self.assertLess(time.monotonic() - received[1], 2.0)

    def test_slow_upload_among_trickling_clients(self):
        # 25 clients send one header byte a second, more than the slots,
        # and come back as soon as they are dropped.
        stop = threading.Event()
        trickle = b"GET /style.css HTTP/1.1\r\nX: " + b"x" * 4000

        def trickling():
            sent = {}
            while not stop.is_set():
                for s in list(sent):
                    try:
                        s.send(trickle[sent[s]:sent[s] + 1])
                        sent[s] += 1
                    except OSError:
                        del sent[s]
                        s.close()
                while len(sent) < 25:
                    s = connect()
                    s.setblocking(False)
                    sent[s] = 0
                stop.wait(1.0)
            for s in sent:
                s.close()
        feeder = threading.Thread(target=trickling, daemon=True)
        feeder.start()
        self.addCleanup(feeder.join)
        self.addCleanup(stop.set)
        time.sleep(3)
        # A 20-kB form post whose body takes 15 s.
        body = b"F=" + b"v" * (20 * 1024 - 2)
        s = connect()
        self.held.append(s)
        t0 = time.monotonic()
        s.sendall(b"POST /en/upload_form HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n"
                  % (HTTP, len(body)))
        reply = b""
        try:
            for i in range(20):
                s.sendall(body[i * 1024:(i + 1) * 1024])
                time.sleep(0.75)
            s.settimeout(30)
            reply = s.recv(4096)
        except (socket.timeout, ConnectionError):
            pass
        self.assertTrue(reply.startswith(b"HTTP/1.1 302 Redirect"),
                        "no answer, %.1f s after the post began" % (time.monotonic() - t0))
        self.assertIn(b"Location: http://127.0.0.1:%d/message.asp" % HTTP, reply)

    def test_https_over_a_four_second_round_trip(self):
        proxy = DelayProxy(HTTPS, 2.0)
        self.addCleanup(proxy.close)
        for path, want in (("/style.css", b"body"), ("/login.asp", b'id="challenge"')):
            with self.subTest(path):
                t = time.monotonic()
                r = subprocess.run(["curl", "-sS", "-k", "--max-time", "60", "-o", "-", "-w", "\n%{http_code}",
                                    "https://127.0.0.1:%d%s" % (PROXY, path)], capture_output=True, timeout=90)
                took = time.monotonic() - t
                self.assertTrue(r.stdout.endswith(b"\n200"), (r.stdout[-200:], r.stderr, took))
                self.assertIn(want, r.stdout)
                # Two round trips of handshake and one of the request at least.
                self.assertGreater(took, 10.0)


if __name__ == "__main__":
    harness.main()
