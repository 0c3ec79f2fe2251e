"""The web server of the installed daemon against real clients: curl,
openssl s_client and raw sockets, over IPv4 and IPv6, HTTP and HTTPS."""
import hashlib
import os
import re
import socket
import ssl
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

HTTP, HTTPS = 8080, 8443
HTDOCS = harness.INSTALL + "/httpd/htdocs"


def wait_listening(port, family=socket.AF_INET, timeout=15.0):
    host = "127.0.0.1" if family == socket.AF_INET else "::1"

    def up():
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            return False
    harness.wait_for(up, timeout, 0.1, what="port %d listening" % port)


def raw(request, port=HTTP, host="127.0.0.1", timeout=5.0, tls=False):
    """Sends request bytes and reads until the server closes; the reply."""
    s = socket.create_connection((host, port), timeout=timeout)
    if tls:
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        s = ctx.wrap_socket(s)
    with s:
        s.sendall(request if isinstance(request, bytes) else request.encode("latin-1"))
        data = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        except (socket.timeout, ssl.SSLError, ConnectionResetError):
            pass
    return data


def read_reply(s, timeout=5.0):
    """One reply with its Content-Length body from a kept connection."""
    s.settimeout(timeout)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    m = re.search(rb"Content-Length: (\d+)", head)
    want = int(m.group(1)) if m else 0
    while len(body) < want:
        chunk = s.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def closed_without_reply(s, timeout):
    """True when the server closes s within timeout without sending."""
    s.settimeout(timeout)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def header(reply, name):
    m = re.search(rb"\r\n" + name.encode() + rb": ([^\r\n]*)", reply)
    return m.group(1).decode() if m else None


def body(reply):
    return reply.partition(b"\r\n\r\n")[2]


def curl(*args, check=True):
    r = subprocess.run(["curl", "-sS", "--max-time", "10"] + list(args), capture_output=True, timeout=30)
    if check:
        assert r.returncode == 0, r.stderr.decode()
    return r


def challenge_of(page):
    m = re.search(rb'id="challenge" value="([^"]*)"', page)
    assert m, page[:400]
    return m.group(1).decode()


def event_records():
    """(code, level, text, line) of every event log record but the free-text ones."""
    out = []
    for line in (harness.read(harness.INSTALL + "/_FILE_LOG.TXT") or "").splitlines():
        parts = line.split(" ", 4)
        if len(parts) == 5 and parts[0] != "-1":
            out.append((int(parts[0]), int(parts[1]), parts[4], line))
    return out


def response_for(user, password, challenge):
    return hashlib.md5((user + password + challenge).encode("utf-8")).hexdigest()


class Web(unittest.TestCase):
    """One daemon for the whole file: HTTP on 8080, HTTPS on 8443, Force
    HTTPS on, plain passwords known to the test, and the UPS simulator on
    its serial link, so the UPS polling runs beside the web traffic."""

    @classmethod
    def setUpClass(cls):
        harness.reinstall()
        harness.ensure_config()
        cls.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        harness.config_set({"COM": {"COM Port=": 2, "COM Path=": cls.sim.slave_path},
                            "Web": {"HTTP Port=": HTTP, "HTTPS Port=": HTTPS, "Force HTTPS=": "Yes",
                                    "Password Encrypt=": "No", "Password0=": "admin-pass",
                                    "Enable Login Lock=": "Disable"}})
        cls.daemon = harness.Daemon().start()
        for port in (HTTP, HTTPS):
            wait_listening(port)
            wait_listening(port, socket.AF_INET6)

    @classmethod
    def tearDownClass(cls):
        cls.daemon.kill()
        cls.sim.stop()

    def poll_gaps(self, t0, t1):
        """Gaps in seconds between the UPS queries the simulator received."""
        times = [f["t"] for f in self.sim.frames() if f.get("type") == "P" and t0 <= f["t"] <= t1]
        return [b - a for a, b in zip(times, times[1:])]

    def login(self, base, extra=(), user="admin", password="admin-pass"):
        """Logs in with curl; (the login reply with its headers, the cookie value or None)."""
        page = curl("-k", "-g", base + "/login.asp").stdout
        ch = challenge_of(page)
        r = curl("-k", "-g", "-i", base + "/varno/login",
                 "-d", "Username=%s&Response=%s" % (user, response_for(user, password, ch)), *extra)
        cookie = re.search(rb"QuenchRelayer=([^;]*);", r.stdout)
        return r.stdout, cookie.group(1).decode() if cookie else None

    @staticmethod
    def logout(base, cookie):
        """Follows the Log out link of the summary page (it carries the
        session's token); the page it answers."""
        opts = ["-k", "-g", "-b", "QuenchRelayer=" + cookie]
        link = re.search(rb'href="(/logout\.asp\?token=[^"]*)"', curl(*opts, base + "/home.asp").stdout)
        return curl(*opts, base + link.group(1).decode()).stdout

    # ---- listeners, files, errors -------------------------------------------

    def test_listeners_on_both_families_and_protocols(self):
        # IPv6 listeners are IPv6-only: both families bind the same port.
        out = subprocess.run(["ss", "-ltnH"], capture_output=True, text=True).stdout
        for want in ("0.0.0.0:%d" % HTTP, "[::]:%d" % HTTP, "0.0.0.0:%d" % HTTPS, "[::]:%d" % HTTPS):
            self.assertIn(want, out)
        for url in ("http://127.0.0.1:%d/style.css" % HTTP, "http://[::1]:%d/style.css" % HTTP,
                    "https://127.0.0.1:%d/style.css" % HTTPS, "https://[::1]:%d/style.css" % HTTPS,
                    "http://192.0.2.1:%d/style.css" % HTTP, "http://[2001:db8::1]:%d/style.css" % HTTP):
            with self.subTest(url=url):
                r = curl("-k", "-o", "/dev/null", "-w", "%{http_code} %{content_type}", url)
                self.assertEqual(r.stdout.decode(), "200 text/css")

    def test_files_templates_and_heads(self):
        css = raw("GET /style.css HTTP/1.1\r\nHost: x\r\n\r\n")
        size = os.path.getsize(HTDOCS + "/style.css")
        self.assertTrue(css.startswith(b"HTTP/1.1 200 OK\r\n"))
        self.assertEqual(header(css, "Content-Length"), str(size))
        self.assertEqual(header(css, "Connection"), "close")
        self.assertIsNone(header(css, "Cache-Control"))
        self.assertEqual(len(body(css)), size)
        icon = curl("-o", "/dev/null", "-w", "%{http_code} %{content_type}", "http://127.0.0.1:%d/favicon.ico" % HTTP)
        self.assertEqual(icon.stdout.decode(), "200 image/x-icon")
        # A template: expanded, not cached.
        page = raw("GET /login.asp HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(header(page, "Cache-Control"), "private, no-store, no-cache")
        self.assertEqual(len(challenge_of(page)), 8)
        self.assertNotIn(b"<%", body(page))
        # HEAD of a template: the raw template's size, no body.
        head = curl("-I", "http://127.0.0.1:%d/login.asp" % HTTP).stdout
        self.assertIn(b"HTTP/1.1 200 OK", head)
        self.assertEqual(header(head, "Content-Length"), str(os.path.getsize(HTDOCS + "/login.asp")))
        self.assertEqual(body(head), b"")
        # No temporary page is left behind.
        time.sleep(0.2)
        self.assertEqual([n for n in os.listdir(harness.PRIVATE) if n.startswith("tmp_web_")], [])

    def test_error_answers(self):
        cases = [
            ("lower-case method", ["-X", "get"], "400"),
            ("unknown method", ["-X", "DELETE"], "400"),
            ("HTTP/1.0", ["--http1.0"], "200"),
        ]
        for name, args, code in cases:
            with self.subTest(name):
                r = curl("-o", "/dev/null", "-w", "%{http_code}", *args, "http://127.0.0.1:%d/style.css" % HTTP)
                self.assertEqual(r.stdout.decode(), code)
        for version in (b"HTTP/2.0", b"HTTP/1.2", b"FOO"):
            with self.subTest(version=version):
                r = raw(b"GET /style.css " + version + b"\r\nHost: x\r\n\r\n")
                self.assertTrue(r.startswith(b"HTTP/1.1 505 HTTP version not supported\r\n"), r)
                self.assertEqual(body(r), b"Error 505: HTTP version not supported\nCan't support HTTP version")
        # No 404: a missing file is the login page over HTTPS, and a redirect
        # to HTTPS over plain HTTP (Force HTTPS).
        missing = curl("-k", "-i", "https://127.0.0.1:%d/no/such/file.txt" % HTTPS).stdout
        self.assertIn(b"HTTP/1.1 200 OK", missing)
        self.assertIn(b'id="challenge"', missing)
        # Pages are expanded in memory: without the private directory the
        # login page is answered all the same.
        os.rename(HTDOCS + "/tempage", HTDOCS + "/tempage.off")
        try:
            r = curl("-i", "http://127.0.0.1:%d/login.asp" % HTTP).stdout
        finally:
            os.rename(HTDOCS + "/tempage.off", HTDOCS + "/tempage")
        self.assertIn(b"HTTP/1.1 200 OK", r)
        self.assertEqual(len(challenge_of(r)), 8)

    def test_force_https_redirect(self):
        for host, location in (("127.0.0.1:%d" % HTTP, "https://127.0.0.1:%d/?a=1" % HTTPS),
                               ("[::1]:%d" % HTTP, "https://[::1]:%d/?a=1" % HTTPS)):
            with self.subTest(host=host):
                r = curl("-i", "-g", "http://%s/missing?a=1" % host).stdout
                self.assertIn(b"HTTP/1.1 302 Redirect", r)
                self.assertEqual(header(r, "Location"), location)
        # An existing file is served over plain HTTP all the same.
        self.assertEqual(curl("-o", "/dev/null", "-w", "%{http_code}", "http://127.0.0.1:%d/style.css" % HTTP).stdout,
                         b"200")
        # On a kept-alive connection the redirect closes it, as it says.
        with socket.create_connection(("127.0.0.1", HTTP), timeout=5) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: h\r\nConnection: Keep-Alive\r\n\r\n")
            r = read_reply(s)
            self.assertIn(b"302 Redirect", r)
            self.assertEqual(header(r, "Connection"), "close")
            self.assertTrue(closed_without_reply(s, 2))

    def test_control_characters_never_reach_a_header(self):
        for req in (b"GET /x HTTP/1.1\r\nHost: a\nSet-Cookie: evil=1\r\n\r\n",
                    b"GET /?q=1\rSet-Cookie:evil=1 HTTP/1.1\r\nHost: h\r\n\r\n",
                    b"POST /varno/login HTTP/1.1\r\nHost: h\r\nReferer: http://x\x0bSet-Cookie: evil=1/\r\n"
                    b"Content-Length: 0\r\n\r\n"):
            with self.subTest(req=req):
                r = raw(req)
                self.assertTrue(r.startswith(b"HTTP/1.1 400 Bad Request"), r)
                self.assertNotIn(b"evil", r)

    def test_reflected_script_is_impossible(self):
        probes = [b"/message.asp?ERR_TITLE=<script>alert(1)</script>",
                  b"/message.asp?ERR_PATH=alert(1)",
                  b"/login.asp?LIN_CHALLENGE_VALUE=\"><script>alert(1)</script>"]
        for target in probes:
            with self.subTest(target=target):
                page = body(raw(b"GET " + target + b" HTTP/1.1\r\nHost: h\r\n\r\n", tls=True, port=HTTPS))
                self.assertNotIn(b"<script>alert", page)
                self.assertNotIn(b"alert(1)\"", page)
                self.assertNotIn(b"onclick=\"alert", page)

    def test_tempage_needs_a_session_and_regular_files(self):
        exported, linked = harness.PRIVATE + "/event_log.csv", harness.PRIVATE + "/iframe_data.htm"
        harness.write(exported, "EXPORTED")
        os.symlink("/usr/local/brisvane/config.ini", linked)
        try:
            base = "https://127.0.0.1:%d" % HTTPS
            self.assertNotIn(b"EXPORTED", curl("-k", base + "/tempage/event_log.csv").stdout)
            _, cookie = self.login(base)
            got = curl("-k", "-b", "QuenchRelayer=" + cookie, base + "/tempage/event_log.csv").stdout
            self.assertEqual(got, b"EXPORTED")
            page = curl("-k", "-b", "QuenchRelayer=" + cookie, base + "/tempage/iframe_data.htm").stdout
            self.assertNotIn(b"[Web]", page)
            self.assertIn(b'id="challenge"', page)
        finally:
            os.unlink(exported)
            os.unlink(linked)

    # ---- login, cookies, redirects ---------------------------------------------

    def test_login_session_and_logout(self):
        cases = [
            ("HTTP, no Referer: this server's host and port", "http://127.0.0.1:%d" % HTTP, [],
             "http://127.0.0.1:%d/home.asp" % HTTP, "SameSite=Strict; HttpOnly"),
            ("HTTP over IPv6", "http://[::1]:%d" % HTTP, [], "http://[::1]:%d/home.asp" % HTTP,
             "SameSite=Strict; HttpOnly"),
            ("HTTP with Referer, through a proxy that keeps the Host", "http://127.0.0.1:%d" % HTTP,
             ["-H", "Host: ups.example:81", "-H", "Referer: http://ups.example:81/login.asp"],
             "http://ups.example:81/home.asp", "SameSite=Strict; HttpOnly"),
            ("HTTPS", "https://127.0.0.1:%d" % HTTPS, [], "https://127.0.0.1:%d/home.asp" % HTTPS,
             "Secure; SameSite=Strict; HttpOnly"),
        ]
        for name, base, extra, location, flags in cases:
            with self.subTest(name):
                r, cookie = self.login(base, extra)
                self.assertIn(b"HTTP/1.1 302 Redirect", r)
                self.assertEqual(header(r, "Location"), location)
                self.assertEqual(header(r, "Set-Cookie"), "QuenchRelayer=%s;path=/; %s" % (cookie, flags))
                self.assertEqual(len(cookie), 24)
                opts = ["-k", "-g", "-b", "QuenchRelayer=" + cookie]
                self.assertIn(b'id="home"', curl(*opts, base + "/home.asp").stdout)
                self.assertIn(b"Logged out", self.logout(base, cookie))
                self.assertNotIn(b'id="home"', curl(*opts, base + "/home.asp").stdout)

    def test_wrong_password_shows_the_message_page(self):
        base = "https://127.0.0.1:%d" % HTTPS
        r, cookie = self.login(base, password="wrong")
        self.assertIsNone(cookie)
        self.assertEqual(header(r, "Location"), base + "/message.asp")
        msg = curl("-k", base + "/message.asp").stdout
        self.assertIn(b"Login Error", msg)
        self.assertIn(b"Please check the account and password.", msg)
        self.assertIn(b'onclick="window.location=&#39;/login.asp&#39;"', msg)
        # A client that never loaded the login page has no challenge.
        other = "https://192.0.2.1:%d" % HTTPS
        r = curl("-k", "-i", other + "/varno/login", "-d", "Username=admin&Response=" + "0" * 32).stdout
        self.assertEqual(header(r, "Location"), other + "/message.asp")
        self.assertIn(b"Challenge Not Found", curl("-k", other + "/message.asp").stdout)

    def test_logins_and_logout_reach_the_event_log(self):
        before = len(event_records())
        v6 = "https://[::1]:%d" % HTTPS
        _, cookie = self.login(v6)
        self.assertIsNotNone(cookie)
        # A wrong password from the host's own veth0 address, and an account
        # that does not exist over plain HTTP (the login form is served there).
        _, refused = self.login("https://[2001:db8::1]:%d" % HTTPS, password="not-the-password")
        self.assertIsNone(refused)
        _, unknown = self.login("http://127.0.0.1:%d" % HTTP, user="nobody")
        self.assertIsNone(unknown)
        self.assertIn(b"Logged out", self.logout(v6, cookie))
        want = [
            (2, 0, "User admin logged in from ::1"),
            (37, 2, "Login failed for user admin from 2001:db8::1: wrong password"),
            (39, 2, "Login failed from 127.0.0.1: unknown user"),
            (3, 0, "User logged out from ::1"),
        ]
        harness.wait_for(lambda: len(event_records()) >= before + len(want), 5, what="the login records")
        self.assertEqual([r[:3] for r in event_records()[before:]], want)
        for r in event_records()[before:]:
            self.assertRegex(r[3], r"^\d+ \d \d\d/\d\d/\d{4} \d\d:\d\d:\d\d ")

    def test_multipart_login(self):
        base = "https://127.0.0.1:%d" % HTTPS
        ch = challenge_of(curl("-k", base + "/login.asp").stdout)
        r = curl("-k", "-i", base + "/varno/login", "-F", "Username=admin",
                 "-F", "Response=" + response_for("admin", "admin-pass", ch)).stdout
        self.assertIn(b"Set-Cookie: QuenchRelayer=", r)
        # A large binary upload to a form the server does not know.
        with open("/tmp/upload.bin", "wb") as f:
            f.write(os.urandom(3 << 20))
        r = curl("-k", "-i", base + "/en/unknown_form", "-F", "file=@/tmp/upload.bin").stdout
        self.assertIn(b"HTTP/1.1 302 Redirect", r)
        self.assertEqual(header(r, "Location"), base + "/message.asp")
        os.unlink("/tmp/upload.bin")

    # ---- TLS ---------------------------------------------------------------------

    def test_openssl_s_client(self):
        req = b"GET /style.css HTTP/1.1\r\nHost: x\r\n\r\n"
        r = subprocess.run(["openssl", "s_client", "-tls1_2", "-connect", "127.0.0.1:%d" % HTTPS, "-ign_eof"],
                           input=req, capture_output=True, timeout=20)
        self.assertIn(b"Protocol  : TLSv1.2", r.stdout)
        self.assertIn(b"subject=CN = upsd", r.stdout)
        self.assertIn(b"HTTP/1.1 200 OK", r.stdout)
        self.assertIn(b"Content-Type: text/css", r.stdout)
        # Only TLS 1.2 is offered.
        for version in ("-tls1_3", "-tls1_1"):
            with self.subTest(version=version):
                r = subprocess.run(["openssl", "s_client", version, "-connect", "127.0.0.1:%d" % HTTPS],
                                   input=req, capture_output=True, timeout=20)
                self.assertNotIn(b"HTTP/1.1 200 OK", r.stdout)

    def test_silent_https_client_holds_nothing(self):
        # Clients that connect to HTTPS and send nothing (or half a
        # handshake) must not hold the loop: other clients are answered at
        # once, and the UPS keeps being polled every cycle.
        harness.wait_for(lambda: any(f.get("mnemonic") == "STB" for f in self.sim.frames()), 25,
                         what="the UPS poll cycle")
        silent = [socket.create_connection(("127.0.0.1", HTTPS)) for _ in range(3)]
        half = socket.create_connection(("127.0.0.1", HTTPS))
        half.sendall(b"\x16\x03\x01\x00\xff")  # a record header with no record
        try:
            time.sleep(0.3)
            worst = 0.0
            start, since = time.monotonic(), time.time()  # the simulator stamps frames with time.time()
            while time.monotonic() - start < 3.0:
                for url in ("http://127.0.0.1:%d/style.css" % HTTP, "https://127.0.0.1:%d/style.css" % HTTPS):
                    t = time.monotonic()
                    r = curl("-k", "-o", "/dev/null", "-w", "%{http_code}", url)
                    worst = max(worst, time.monotonic() - t)
                    self.assertEqual(r.stdout, b"200")
            self.assertLess(worst, 1.0)
            gaps = self.poll_gaps(since, time.time())
            self.assertGreater(len(gaps), 5)
            self.assertLess(max(gaps), 0.5, "a UPS poll waited for the web server")
            # The challenge follows the loop's seconds counter: it moves on.
            first = challenge_of(curl("http://127.0.0.1:%d/login.asp" % HTTP).stdout)
            time.sleep(1.2)
            second = challenge_of(curl("http://127.0.0.1:%d/login.asp" % HTTP).stdout)
            self.assertNotEqual(first, second)
        finally:
            for s in silent + [half]:
                s.close()

    # ---- raw sockets: reading, limits, connections ----------------------------------

    def test_header_split_over_reads(self):
        with socket.create_connection(("127.0.0.1", HTTP), timeout=5) as s:
            for piece in (b"GET /sty", b"le.css HTTP/1.1\r\nHo", b"st: x\r\n\r", b"\n"):
                s.sendall(piece)
                time.sleep(0.15)
            r = read_reply(s)
        self.assertIn(b"HTTP/1.1 200 OK", r)
        self.assertEqual(body(r), harness.read(HTDOCS + "/style.css", "rb"))

    def test_header_limit(self):
        head = b"GET /style.css HTTP/1.1\r\nX: "
        exact = head + b"x" * (4096 - len(head) - 4) + b"\r\n\r\n"
        self.assertEqual(len(exact), 4096)
        self.assertIn(b"200 OK", raw(exact))
        with socket.create_connection(("127.0.0.1", HTTP), timeout=5) as s:
            s.sendall(head + b"x" * (4096 - len(head)))
            self.assertTrue(closed_without_reply(s, 3))

    def test_body_limit(self):
        for length, answered in ((5 << 20, True), ((5 << 20) + 1, False)):
            with self.subTest(length=length):
                with socket.create_connection(("127.0.0.1", HTTP), timeout=10) as s:
                    s.sendall(b"POST /en/some_form HTTP/1.1\r\nHost: h\r\nContent-Length: %d\r\n\r\n" % length)
                    if not answered:
                        self.assertTrue(closed_without_reply(s, 3))
                        continue
                    s.sendall(b"\0" * length)
                    r = read_reply(s, 10)
                    self.assertIn(b"302 Redirect", r)

    def test_keep_alive(self):
        cases = [(b"Keep-Alive", True), (b"keep-alive", True), (b"keep-alive, Upgrade", False)]
        for value, kept in cases:
            with self.subTest(value=value):
                with socket.create_connection(("127.0.0.1", HTTP), timeout=5) as s:
                    req = b"GET /style.css HTTP/1.1\r\nHost: h\r\nConnection: " + value + b"\r\n\r\n"
                    s.sendall(req)
                    self.assertIn(b"200 OK", read_reply(s))
                    if kept:
                        s.sendall(req)
                        self.assertIn(b"200 OK", read_reply(s))
                    else:
                        self.assertTrue(closed_without_reply(s, 2))

    def test_idle_clients_and_the_21st_connection(self):
        idle = []
        try:
            for _ in range(20):
                s = socket.create_connection(("127.0.0.1", HTTP))
                s.sendall(b"GET /sty")  # never finished
                idle.append(s)
                time.sleep(0.02)
            # Once they have moved nothing for some seconds, the 21st takes
            # the slot of the one that has moved nothing for longest.
            time.sleep(5)
            t0 = time.monotonic()
            late = socket.create_connection(("127.0.0.1", HTTP), timeout=5)
            late.sendall(b"GET /style.css HTTP/1.1\r\nHost: h\r\n\r\n")
            self.assertIn(b"200 OK", read_reply(late))
            self.assertLess(time.monotonic() - t0, 1.0)
            late.close()
            self.assertTrue(closed_without_reply(idle[0], 2))
            # The others are closed 10 seconds after their accept, their
            # header still incomplete however its bytes trickle in.
            t0 = time.monotonic()
            idle[1].sendall(b"le.c")
            self.assertTrue(closed_without_reply(idle[1], 10))
            self.assertGreater(time.monotonic() - t0, 3.0)
            for s in idle[2:]:
                self.assertTrue(closed_without_reply(s, 2))
        finally:
            for s in idle:
                s.close()

if __name__ == "__main__":
    harness.main()
