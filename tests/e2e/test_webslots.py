"""The installed daemon's 20 connection slots under clients that mean to
hold them, each opened again as soon as the daemon drops it: slow bodies,
keep-alive connections that ask for a small page every 3 s, header
tricklers, slow and stalled answer readers, over HTTP and HTTPS and from
several addresses. A new client (curl, openssl s_client) must be answered
within NEW_CLIENT_S throughout, while a real upload over a 1-kB/s link (a
tc shaper on the loopback) and a download read at a slow but sane rate
complete. Also: a slow upload among clients that trickle header bytes, and
HTTPS over a link with a 4-s round trip (a TCP proxy here that delays each
direction by 2 s)."""
import collections
import os
import re
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import test_web as web  # noqa: E402

HTTP, HTTPS, PROXY = 8080, 8443, 9443
BIG = harness.INSTALL + "/httpd/htdocs/big.bin"
SANE = harness.INSTALL + "/httpd/htdocs/sane.bin"
NEW_CLIENT_S = 3.0  # a new client's login page is answered within this
SLOW_LINK = {HTTP: 40000, HTTPS: 40001}  # client ports whose bytes go at 1 kB/s
TLS = ssl.create_default_context()
TLS.check_hostname = False
TLS.verify_mode = ssl.CERT_NONE
TCP_ESTABLISHED = 1


def established(s):
    """False once the daemon has closed or reset s (its TCP state)."""
    try:
        return s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0] == TCP_ESTABLISHED
    except OSError:
        return False


def ethernet_loopback():
    """Loopback with an Ethernet MTU (and no larger segments handed down),
    so that a slow link's bytes come in segments of a real link's size, and
    a shaper that sends what the client ports of SLOW_LINK send at 1 kB/s
    (8 kbit/s on the wire)."""
    def run(*args):
        subprocess.run(args, check=True, capture_output=True)
    run("ip", "link", "set", "lo", "mtu", "1500", "gso_max_size", "1500")
    run("tc", "qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb", "default", "10")
    run("tc", "class", "add", "dev", "lo", "parent", "1:", "classid", "1:10", "htb", "rate", "10gbit")
    run("tc", "class", "add", "dev", "lo", "parent", "1:", "classid", "1:20", "htb", "rate", "8kbit",
        "ceil", "8kbit", "burst", "1600")
    for port in SLOW_LINK.values():
        run("tc", "filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "u32",
            "match", "ip", "sport", str(port), "0xffff", "flowid", "1:20")


class Holders:
    """count clients that each hold a slot the way kind does, each in a
    thread of its own, connecting again as soon as the daemon drops it.
    kinds: "body" (a POST header with a large Content-Length, then one body
    byte every 2 s), "kept" (a small GET on a kept connection every 3 s),
    "header" (one header byte a second), "reader" (a large download read at
    100 bytes a second). Closed with the test, or by close() when test is
    None."""

    def __init__(self, test, kind, count, tls=False, source="127.0.0.1", again=True):
        self.kind, self.tls, self.source, self.again = kind, tls, source, again
        self.port = HTTPS if tls else HTTP
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.connected = 0  # connections made (TLS: handshake done)
        self.dropped = 0    # of them, closed by the daemon
        self.live = []
        self.threads = [threading.Thread(target=self._run, daemon=True) for _ in range(count)]
        for t in self.threads:
            t.start()
        if test:
            test.addCleanup(self.close)

    def close(self):
        self.stop.set()
        for t in self.threads:
            t.join(10)

    def alive(self):
        """How many of the connections are open now."""
        with self.lock:
            return sum(1 for s in self.live if established(s))

    def _run(self):
        while not self.stop.is_set():
            s = None
            try:
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.bind((self.source, 0))
                s.settimeout(5)
                s.connect(("127.0.0.1", self.port))
                if self.tls:
                    s = TLS.wrap_socket(s)  # times out while it waits in the backlog
                with self.lock:
                    self.connected += 1
                    self.live.append(s)
                getattr(self, "_" + self.kind)(s)
                if not self.stop.is_set():
                    with self.lock:
                        self.dropped += 1
            except (OSError, ssl.SSLError, ValueError):
                pass
            finally:
                if s is not None:
                    with self.lock:
                        if s in self.live:
                            self.live.remove(s)
                    s.close()
            if not self.again:
                return
            self.stop.wait(0.05)

    def _wait(self, s, seconds):
        """Waits seconds; False as soon as the daemon has dropped s."""
        end = time.monotonic() + seconds
        while not self.stop.is_set() and established(s):
            left = end - time.monotonic()
            if left <= 0:
                return True
            self.stop.wait(min(0.2, left))
        return False

    def _body(self, s):
        s.sendall(b"POST /en/upload_form HTTP/1.1\r\nHost: h\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1000000\r\n\r\nF=")
        while self._wait(s, 2.0):
            s.sendall(b"v")

    def _kept(self, s):
        while True:
            s.sendall(b"GET /style.css HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n")
            if not web.read_reply(s).startswith(b"HTTP/1.1 200") or not self._wait(s, 3.0):
                return

    def _header(self, s):
        for c in b"GET /style.css HTTP/1.1\r\nX: " + b"x" * 4000:
            if not self._wait(s, 1.0):
                return
            s.sendall(bytes([c]))

    def _reader(self, s):
        s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: h\r\n\r\n")
        while self._wait(s, 1.0):
            try:
                s.recv(100)
            except (socket.timeout, ssl.SSLWantReadError):
                pass


def new_client(port, tool="curl"):
    """A new client asking for the login page, curl or (over HTTPS) openssl
    s_client: (seconds, status)."""
    t = time.monotonic()
    if tool == "s_client":
        r = subprocess.run(["openssl", "s_client", "-quiet", "-connect", "127.0.0.1:%d" % port],
                           input=b"GET /login.asp HTTP/1.1\r\nHost: h\r\n\r\n", capture_output=True, timeout=60)
        m = re.match(rb"HTTP/1.1 (\d+)", r.stdout)
        return time.monotonic() - t, m.group(1).decode() if m else r.stderr.decode().strip()[-200:]
    scheme = "https" if port == HTTPS else "http"
    r = subprocess.run(["curl", "-sS", "-k", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "20",
                        "%s://127.0.0.1:%d/login.asp" % (scheme, port)], capture_output=True, timeout=60)
    return time.monotonic() - t, r.stdout.decode() or r.stderr.decode().strip()


class NewClients:
    """A new client every `every` seconds, by turns curl over HTTP, curl
    over HTTPS and openssl s_client, until stopped: what each waited and
    got."""

    TURNS = ((HTTP, "curl"), (HTTPS, "curl"), (HTTPS, "s_client"))

    def __init__(self, test, every=5.0):
        self.every, self.seen = every, []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        test.addCleanup(self.close)

    def _run(self):
        t0 = time.monotonic()
        while not self.stop.is_set():
            port, tool = self.TURNS[len(self.seen) % len(self.TURNS)]
            waited, status = new_client(port, tool)
            self.seen.append((round(time.monotonic() - t0, 1), port, tool, round(waited, 2), status))
            self.stop.wait(self.every)

    def close(self):
        self.stop.set()
        self.thread.join(30)
        return self.seen

    def check(self, test, least):
        seen = self.close()
        test.assertGreaterEqual(len(seen), least, seen)
        sys.stderr.write("new clients (at s, port, peer, waited, status): %s\n" % seen)
        late = [x for x in seen if x[4] != "200" or x[3] > NEW_CLIENT_S]
        test.assertEqual(late, [], "new clients late or unanswered (at s, port, peer, waited, status): %s" % seen)


def login(port):
    """The administrator's session cookie, logged in with curl."""
    base = "%s://127.0.0.1:%d" % ("https" if port == HTTPS else "http", port)
    page = web.curl("-k", base + "/login.asp").stdout
    ch = web.challenge_of(page)
    r = web.curl("-k", "-i", base + "/varno/login", "-d",
                 "Username=admin&Response=" + web.response_for("admin", "admin-pass", ch))
    m = re.search(rb"QuenchRelayer=([^;]*);", r.stdout)
    assert m, r.stdout[:300]
    return base, m.group(1).decode()


def slow_config_upload(port, cookie, size):
    """Starts curl uploading a config.ini of about size bytes (one that sets
    "Power Fail Delay=" 77) over the 1-kB/s link; the curl process."""
    base = "%s://127.0.0.1:%d" % ("https" if port == HTTPS else "http", port)
    page = web.curl("-k", "-b", "QuenchRelayer=" + cookie, base + "/en/sys_batch.asp").stdout.decode()
    token = re.search(r'name="SYS_UCTOKEN" value="([^"]*)"', page).group(1)
    text = harness.read(harness.CONFIG).replace("Power Fail Delay=300\n", "Power Fail Delay=77\n")
    padding = "".join("Line%05d=%s\n" % (i, "p" * 80) for i in range(size // 91))
    head, end, tail = text.partition("[End]")
    harness.write("/tmp/upload.ini", head + "[Padding]\n" + padding + end + tail)
    return subprocess.Popen(["curl", "-sS", "-k", "-i", "--max-time", "300", "--local-port", str(SLOW_LINK[port]),
                             "-b", "QuenchRelayer=" + cookie, base + "/en/sys_batch",
                             "--form-string", "SYS_UCTOKEN=" + token,
                             "-F", "UL_F_SYSTEM=@/tmp/upload.ini;filename=config.ini",
                             "--form-string", "UL_SYSTEM=Upload"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def slow_post(port, out):
    """A 20-kB form post whose body takes 15 s; out gets the first bytes of
    the answer (empty when none came) and when it came."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    if port == HTTPS:
        s = TLS.wrap_socket(s)
    body = b"F=" + b"v" * (20 * 1024 - 2)
    t0 = time.monotonic()
    reply = b""
    try:
        s.sendall(b"POST /en/upload_form HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n"
                  % (port, len(body)))
        for i in range(20):
            s.sendall(body[i * 1024:(i + 1) * 1024])
            time.sleep(0.75)
        reply = s.recv(4096)
    except (OSError, ssl.SSLError):
        pass
    finally:
        s.close()
    out.append((reply, time.monotonic() - t0))


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
        harness.config_set({"Web": {"HTTP Port=": HTTP, "HTTPS Port=": HTTPS, "Force HTTPS=": "No",
                                    "Password Encrypt=": "No", "Password0=": "admin-pass",
                                    "Enable Login Lock=": "Disable"}})
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
        Holders(self, "header", 25)
        time.sleep(3)
        post = []
        slow_post(HTTP, post)
        reply, took = post[0]
        self.assertTrue(reply.startswith(b"HTTP/1.1 302 Redirect"), "no answer, %.1f s after the post began" % took)
        self.assertIn(b"Location: http://127.0.0.1:%d/message.asp" % HTTP, reply)

    def slow_bodies_and_kept_connections(self, port):
        ethernet_loopback()
        tls = port == HTTPS
        bodies = Holders(self, "body", 20, tls)
        kept = Holders(self, "kept", 20, tls)
        time.sleep(5)  # every slot has been taken
        clients = NewClients(self)
        # Among them, an administrator uploads a 100-kB config.ini over the
        # slow link, and a 20-kB form post takes 15 s.
        try:
            base, cookie = login(port)
        except AssertionError as e:
            self.fail("no login (%s); new clients meanwhile (at s, port, peer, waited, status): %s"
                      % (e, clients.close()))
        upload = slow_config_upload(port, cookie, 100 * 1024)
        post = []
        poster = threading.Thread(target=slow_post, args=(port, post))
        poster.start()
        t = time.monotonic()
        out, err = upload.communicate(timeout=320)
        took = time.monotonic() - t
        poster.join(60)
        sys.stderr.write("the 100-kB upload answered after %.1f s, the 20-kB post after %s s\n"
                         % (took, post and round(post[0][1], 1)))
        self.assertIn(b"Location: %s/message.asp" % base.encode(), out, (out[-300:], err, took))
        self.assertGreater(took, 80)  # it came at the link's pace
        clients.check(self, 15)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "77")
        self.assertTrue(post and post[0][0].startswith(b"HTTP/1.1 302 Redirect"), post)
        # They were held, and dropped to make room.
        self.assertGreater(bodies.dropped + kept.dropped, 20, (bodies.dropped, kept.dropped))

    def test_slow_bodies_and_kept_connections_over_http(self):
        self.slow_bodies_and_kept_connections(HTTP)

    def test_slow_bodies_and_kept_connections_over_https(self):
        self.slow_bodies_and_kept_connections(HTTPS)

    def test_slow_readers_header_tricklers_and_a_mix(self):
        ethernet_loopback()
        with open(SANE, "wb") as f:
            f.write(os.urandom(256 << 10))
        holders = [Holders(self, "reader", 8), Holders(self, "header", 8), Holders(self, "reader", 4, True),
                   Holders(self, "body", 4, True), Holders(self, "kept", 4)]
        time.sleep(5)
        clients = NewClients(self)
        # A download read at 4 kB/s through a small window completes.
        s = connect(rcvbuf=8192)
        self.held.append(s)
        s.sendall(b"GET /sane.bin HTTP/1.1\r\nHost: h\r\n\r\n")
        got = b""
        s.settimeout(5)
        t0 = time.monotonic()
        while time.monotonic() - t0 < 150:
            try:
                chunk = s.recv(1024)
            except socket.timeout:
                continue
            if not chunk:
                break
            got += chunk
            time.sleep(0.25)
        took = time.monotonic() - t0
        clients.check(self, 10)
        self.assertEqual(web.body(got), harness.read(SANE, "rb"), "%d bytes in %.0f s" % (len(got), took))
        self.assertGreater(took, 50)  # it did take its time
        self.assertGreater(sum(h.dropped for h in holders), 16)

    def test_the_address_holding_the_most_gives_first(self):
        # 127.0.0.2 holds 4 slots with slow bodies, taken first; 127.0.0.3
        # holds the other 16 the same way and takes a slot again whenever it
        # loses one. New clients from 127.0.0.1 take slots of 127.0.0.3 only.
        few = Holders(self, "body", 4, source="127.0.0.2", again=False)
        harness.wait_for(lambda: few.connected == 4, 10, 0.1, what="the first 4 connections")
        t0 = time.monotonic()
        time.sleep(1)
        many = Holders(self, "body", 16, source="127.0.0.3")
        harness.wait_for(lambda: many.connected >= 16, 10, 0.1, what="the other 16")
        time.sleep(2.5)  # every one of them is behind by now
        # New clients until 16 s after the first bodies began (they run out
        # of time at 20 s).
        waits = []
        while len(waits) < 8 and time.monotonic() - t0 < 16 - NEW_CLIENT_S:
            waited, status = new_client((HTTP, HTTPS)[len(waits) % 2])
            waits.append((waited, status))
            time.sleep(0.5)
        alive, dropped = few.alive(), few.dropped
        self.assertGreaterEqual(len(waits), 3, waits)
        self.assertEqual([w for w in waits if w[1] != "200" or w[0] > NEW_CLIENT_S], [], waits)
        self.assertEqual((alive, dropped), (4, 0))
        self.assertGreaterEqual(many.dropped, len(waits))

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
