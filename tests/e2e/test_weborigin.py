"""Requests that change something, sent to the installed daemon on behalf of
a page of another origin: headless Chromium logged in as the administrator
opens a page served on another port of the same host name (same site, so
the SameSite=Strict cookie goes along) whose forms post to the daemon, and
curl sends the administrator's cookie with a foreign Origin, or without
Origin a foreign Referer. Nothing may change; the same requests from the
daemon's own origin, and from clients that send neither header, work."""
import hashlib
import http.server
import os
import re
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import test_web_browser as browser  # noqa: E402
from test_webaccess import ACCOUNTS, Session, curl, use_accounts  # noqa: E402

HTTP, HTTPS, OTHER = 8080, 8443, 8081
BASE = "http://127.0.0.1:%d" % HTTP
FOREIGN = "http://127.0.0.1:%d" % OTHER
TRACE = harness.PRIVATE + "/comm_data.txt"
REFUSED = "HTTP/1.1 403 Forbidden"


def language():
    return harness.config_get("Configuration", "Language=")


def location():
    return harness.config_get("System", "Location=")


class OtherOrigin:
    """A plain web server on another port of the host: its pages post to
    the daemon as soon as they load."""

    def __init__(self, pages):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                text = pages.get(self.path)
                self.send_response(200 if text else 404)
                self.send_header("Content-Type", "text/html")
                self.end_headers()
                self.wfile.write((text or "").encode())

            def log_message(self, *args):
                pass
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", OTHER), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def wait_left(b, url):
    """Waits until the browser has left url for another page, loaded; its URL."""
    def shown():
        try:
            return b.eval("location.href !== %r && document.readyState === 'complete' && location.href" % url)
        except AssertionError:
            return False  # between two documents
    return harness.wait_for(shown, 20, 0.05, what="the page after " + url)


def auto_post(action, fields):
    inputs = "".join('<input name="%s" value="%s">' % kv for kv in fields)
    return ('<!DOCTYPE html><html><body><form id="f" method="post" action="%s%s">%s</form>'
            '<script>document.getElementById("f").submit()</script></body></html>' % (BASE, action, inputs))


class Origin(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        use_accounts()
        harness.config_set({"Configuration": {"Language=": 0}})
        self.start_daemon()
        for port in (HTTP, HTTPS):
            harness.wait_for(lambda: harness.listening(port), 15, 0.1, what="port %d" % port)

    def test_chromium_on_another_port_changes_nothing(self):
        other = OtherOrigin({"/lang.html": auto_post("/en/language", [("LANG", "3")]),
                             "/trace.html": auto_post("/en/debug", [("DBG_STARTLOG", "1")])})
        self.addCleanup(other.close)
        b = browser.Browser()
        self.addCleanup(b.close)
        browser.log_in(b, BASE, *ACCOUNTS[0])
        self.assertEqual(b.eval("location.pathname"), "/home.asp")
        for page, target in (("/lang.html", "/en/language"), ("/trace.html", "/en/debug")):
            with self.subTest(page):
                b.navigate(FOREIGN + page)
                # The page's script posts its form at once.
                shown = wait_left(b, FOREIGN + page)
                time.sleep(0.3)
                self.assertEqual(language(), "0")
                self.assertFalse(os.path.exists(TRACE))
                self.assertEqual(shown, BASE + target)
                self.assertIn("another origin", b.eval("document.body.innerText"))
        # The session is still the administrator's, and the daemon's own
        # pages post as before (Chromium sends their Origin).
        b.navigate(BASE + "/en/sys_lang.asp")
        b.submit_and_wait("document.getElementById('LANG').value = '1';"
                          "document.querySelector('main form').submit(); true")
        harness.wait_for(lambda: language() == "1", 5, what="the language posted from the daemon's own page")
        b.navigate(BASE + "/en/sys_info.asp")
        status = b.eval("fetch('/en/debug', {method: 'POST', body: new URLSearchParams({DBG_STARTLOG: '1', "
                        "SYS_UCTOKEN: document.querySelector('[name=SYS_UCTOKEN]').value})}).then(r => r.status)")
        self.assertEqual(status, 200)  # the redirect to the debug page, followed
        harness.wait_for(lambda: os.path.exists(TRACE), 5, what="the serial trace")

    def test_foreign_origin_or_referer_is_refused_before_the_form(self):
        admin = Session(0)
        token = admin.token("/en/sys_info.asp")

        def post(form, fields, *headers, base=BASE, session=admin):
            args = ["-i"] + session.args()
            for h in headers:
                args += ["-H", h]
            for name, value in fields:
                args += ["--data-urlencode", "%s=%s" % (name, value)]
            return curl(*args, base + "/en/" + form)

        foreign = [("another port", "Origin: " + FOREIGN),
                   ("another scheme", "Origin: https://127.0.0.1:%d" % HTTP),
                   ("another host name", "Origin: http://localhost:%d" % HTTP),
                   ("an opaque origin", "Origin: null"),
                   ("a Referer of another port", "Referer: %s/x.html" % FOREIGN),
                   ("a Referer without an origin", "Referer: nowhere"),
                   ("Origin wins over a Referer of this server",
                    "Origin: " + FOREIGN, "Referer: %s/en/sys_info.asp" % BASE)]
        for name, *headers in foreign:
            with self.subTest(name):
                for form, fields, changed in (
                        ("language", [("LANG", "2")], lambda: language() != "0"),
                        ("debug", [("DBG_STARTLOG", "1")], lambda: os.path.exists(TRACE)),
                        # With the session's own valid token: the check comes first.
                        ("sys_info", [("SYS_UCTOKEN", token), ("INF_LOCATION", "crossed")],
                         lambda: location() == "crossed")):
                    reply = post(form, fields, *headers)
                    self.assertTrue(reply.startswith(REFUSED), reply[:200])
                    self.assertIn("another origin", reply)
                    self.assertFalse(changed(), form)
        # The login form too: no session is made for another origin.
        page = curl(BASE + "/login.asp")
        challenge = re.search(r'id="challenge" value="([^"]*)"', page).group(1)
        response = hashlib.md5(("admin" + ACCOUNTS[0][1] + challenge).encode()).hexdigest()
        reply = curl("-i", "-H", "Origin: " + FOREIGN, BASE + "/varno/login",
                     "-d", "Username=admin&Response=" + response)
        self.assertTrue(reply.startswith(REFUSED), reply[:200])
        self.assertNotIn("Set-Cookie", reply)

        # This server's own origin, over HTTP, HTTPS and IPv6, and clients
        # that send neither header: the posts work as before.
        own = [("HTTP", BASE, "Origin: " + BASE),
               ("HTTPS", "https://127.0.0.1:%d" % HTTPS, "Origin: https://127.0.0.1:%d" % HTTPS),
               ("IPv6", "http://[::1]:%d" % HTTP, "Referer: http://[::1]:%d/en/sys_info.asp" % HTTP),
               ("upper-case scheme and host", BASE, "Origin: HTTP://127.0.0.1:%d" % HTTP),
               ("neither header", BASE, None)]
        for name, base, header in own:
            with self.subTest(name):
                web = Session(0, base=base)
                text = "own " + name
                reply = post("sys_info", [("SYS_UCTOKEN", web.token("/en/sys_info.asp")), ("INF_LOCATION", text)],
                             *([header] if header else []), base=base, session=web)
                self.assertIn("HTTP/1.1 302 Redirect", reply)
                self.assertEqual(location(), text)
        reply = post("language", [("SYS_UCTOKEN", admin.token("/en/sys_info.asp")), ("LANG", "3")], "Origin: " + BASE)
        self.assertIn("HTTP/1.1 302 Redirect", reply)
        self.assertEqual(language(), "3")

    def test_gets_that_change_something(self):
        admin = Session(0)
        referer = "Referer: %s/x.html" % FOREIGN
        # The configuration download, served once: not to another origin,
        # not without the link's token, and still there for the
        # administrator afterwards.
        reply = admin.post("sys_batch", [("DL_SYSTEM", "1")])
        link = re.search(r"Location: %s(/tempage/config\.ini\?token=\S+)\r\n" % re.escape(BASE), reply).group(1)
        for headers, path in (([referer], link), (["Sec-Fetch-Site: same-site"], link), ([], "/tempage/config.ini")):
            got = curl("-i", *sum((["-H", h] for h in headers), []), *admin.args(), BASE + path)
            self.assertTrue(got.startswith(REFUSED), got[:200])
            self.assertTrue(os.path.exists(harness.PRIVATE + "/config.ini"))
        self.assertIn("[Web]", admin.get(link))
        # A page's query only chooses what the session's pages show: the
        # data-log range, asked from a page of another origin, is answered.
        query = "/en/hist_data.asp?DATA_SELBY=1&DATA_FROM=01%2F02%2F2031&DATA_TO=01%2F03%2F2031"
        got = curl("-i", "-H", referer, *admin.args(), BASE + query)
        self.assertIn("HTTP/1.1 200 OK", got)
        self.assertIn("01/02/2031", got)
        self.assertIn("01/02/2031", admin.get("/en/hist_data.asp"))
        # Logging out: not from another origin, nor without the link's token.
        logout = admin.logout_link()
        for headers, path in (([referer], logout), (["Sec-Fetch-Site: cross-site"], logout), ([], "/logout.asp")):
            got = curl("-i", *sum((["-H", h] for h in headers), []), *admin.args(), BASE + path)
            self.assertTrue(got.startswith(REFUSED), got[:200])
            self.assertIn('id="home"', admin.get("/home.asp"))
        # Pages that change nothing are served whatever the Referer says.
        self.assertIn('id="home"', curl("-H", referer, *admin.args(), BASE + "/home.asp"))
        self.assertIn('id="challenge"', curl("-H", referer, BASE + "/login.asp"))
        self.assertIn("Logged out", admin.get(logout))
        self.assertNotIn('id="home"', admin.get("/home.asp"))

    def test_images_without_a_referrer_change_nothing(self):
        # A page on another port of this host, as the administrator's
        # Chromium opens it: images with referrerpolicy="no-referrer" that
        # point at the logout and at the one-time download (the browser sends
        # the cookie, and neither Origin nor Referer), and a link to the
        # data-log page with a range.
        query = "/en/hist_data.asp?DATA_SELBY=1&DATA_FROM=01%2F02%2F2031&DATA_TO=01%2F03%2F2031"

        def images(*paths):
            return ('<!DOCTYPE html><html><body><script>var n = 0; function seen() { n++; }</script>%s</body></html>'
                    % "".join('<img referrerpolicy="no-referrer" src="%s%s" onload="seen()" onerror="seen()">'
                              % (BASE, p) for p in paths))
        other = OtherOrigin({"/download.html": images("/tempage/config.ini", "/tempage/config.ini?token="),
                             "/logout.html": images("/logout.asp", "/logout.asp?token=x"),
                             "/range.html": '<!DOCTYPE html><a id="range" href="%s%s">data log</a>' % (BASE, query)})
        self.addCleanup(other.close)
        b = browser.Browser()
        self.addCleanup(b.close)
        browser.log_in(b, BASE, *ACCOUNTS[0])
        # The download copy waits for the administrator's link.
        b.navigate(BASE + "/en/sys_batch.asp")
        link = b.eval("fetch('/en/sys_batch', {method: 'POST', redirect: 'manual', body: new URLSearchParams("
                      "{DL_SYSTEM: '1', SYS_UCTOKEN: document.querySelector('[name=SYS_UCTOKEN]').value})})"
                      ".then(r => r.type)")
        self.assertEqual(link, "opaqueredirect")
        copy = harness.PRIVATE + "/config.ini"
        self.assertTrue(os.path.exists(copy))
        for page in ("/download.html", "/logout.html"):
            b.navigate(FOREIGN + page)
            harness.wait_for(lambda: b.eval("n") == 2, 20, what="the images of " + page + " tried")
            time.sleep(0.3)
            self.assertTrue(os.path.exists(copy), "the download used up by " + page)
        b.navigate(BASE + "/home.asp")
        self.assertEqual(b.eval("location.pathname"), "/home.asp")
        self.assertTrue(b.eval("document.getElementById('home') !== null"), "logged out by an image")
        # The link to a page with a query is followed as any link.
        b.navigate(FOREIGN + "/range.html")
        b.submit_and_wait("document.getElementById('range').click(); true")
        self.assertEqual(b.eval("location.pathname"), "/en/hist_data.asp")
        self.assertIn("01/02/2031", b.eval("document.body.innerHTML"))
        # The administrator's own links still work: the download, then the logout.
        b.navigate(BASE + "/en/sys_batch.asp")
        text = b.eval("fetch('/en/sys_batch', {method: 'POST', body: new URLSearchParams({DL_SYSTEM: '1', "
                      "SYS_UCTOKEN: document.querySelector('[name=SYS_UCTOKEN]').value})}).then(r => r.text())")
        self.assertIn("[Web]", text)
        self.assertFalse(os.path.exists(copy))
        browser.log_out(b, BASE)
        self.assertIn("Logged out", b.eval("document.body.innerText"))
        b.navigate(BASE + "/home.asp")
        self.assertTrue(b.eval("document.getElementById('challenge') !== null"))


PROXY = 9443
PROXIED = "https://127.0.0.1:%d" % PROXY


class Lighttpd:
    """lighttpd ending HTTPS on PROXY in front of the daemon's HTTP listener
    with mod_proxy, as the README shows it: the Host passed as the browser
    sent it, and the scheme in X-Forwarded-Proto (both by default)."""

    def __init__(self, directory):
        pem = directory + "/ups.pem"  # key and certificate in one file
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pem, "-out",
                        pem + ".crt", "-days", "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
        harness.write(pem, harness.read(pem) + harness.read(pem + ".crt"))
        conf = directory + "/lighttpd.conf"
        # The README's lines, with this test's addresses and ports.
        harness.write(conf, "\n".join([
            'server.document-root = "%s"' % directory,
            'server.bind = "127.0.0.1"',
            'server.port = %d' % harness.free_port(),
            'server.errorlog = "%s/error.log"' % directory,
            'server.modules += ("mod_openssl", "mod_proxy")',
            '$SERVER["socket"] == "127.0.0.1:%d" {' % PROXY,
            '  ssl.engine = "enable"',
            '  ssl.pemfile = "%s"' % pem,
            '  proxy.server = ("" => (("host" => "127.0.0.1", "port" => %d)))' % HTTP,
            '}', ""]))
        self.proc = subprocess.Popen(["lighttpd", "-D", "-f", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        harness.wait_for(lambda: harness.listening(PROXY), 15, 0.1, what="lighttpd on %d" % PROXY)

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)


class ReverseProxy(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        use_accounts()
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(HTTP), 15, 0.1, what="port %d" % HTTP)
        os.makedirs("/tmp/proxy", exist_ok=True)
        proxy = Lighttpd("/tmp/proxy")
        self.addCleanup(proxy.close)

    def test_https_ended_at_the_proxy(self):
        # Chromium at the proxy: the login, the summary, a form posted from
        # its page and the logout link, all over HTTPS.
        b = browser.Browser()
        self.addCleanup(b.close)
        browser.log_in(b, PROXIED, *ACCOUNTS[0])
        self.assertEqual(b.eval("location.href"), PROXIED + "/home.asp")
        self.assertTrue(b.eval("document.getElementById('home') !== null"))
        cookie = next(c for c in b.call("Network.getCookies", session=True, urls=[PROXIED + "/"])["cookies"]
                      if c["name"] == "QuenchRelayer")
        self.assertTrue(cookie["secure"])
        b.navigate(PROXIED + "/en/sys_info.asp")
        b.fill({"INF_LOCATION": "behind the proxy"})
        b.submit_and_wait("document.querySelector('main button[type=submit]').click(); true")
        self.assertEqual(location(), "behind the proxy")
        self.assertEqual(b.eval("location.href"), PROXIED + "/message.asp")
        self.assertIn("Updated successfully.", b.eval("document.body.innerText"))
        # A page of another origin is still refused through the proxy.
        web = Session(0, base=PROXIED)
        reply = curl("-i", "-H", "Origin: https://127.0.0.1:9444", *web.args(), PROXIED + "/en/sys_info",
                     "--data-urlencode", "SYS_UCTOKEN=" + web.token("/en/sys_info.asp"),
                     "--data-urlencode", "INF_LOCATION=crossed")
        self.assertIn("403", reply.splitlines()[0])
        self.assertIn("another origin than https://127.0.0.1:%d." % PROXY, reply)
        self.assertEqual(location(), "behind the proxy")
        browser.log_out(b, PROXIED)
        self.assertIn("Logged out", b.eval("document.body.innerText"))
        b.navigate(PROXIED + "/home.asp")
        self.assertTrue(b.eval("document.getElementById('challenge') !== null"))


if __name__ == "__main__":
    harness.main()
