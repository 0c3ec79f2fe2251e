"""A real browser against the installed daemon: headless Chromium, driven
through its DevTools protocol over a pipe, logs in through login.asp over
HTTP and HTTPS and lands on home.asp with an HttpOnly session cookie."""
import hashlib
import json
import os
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import harness

HTTP, HTTPS = 8080, 8443
CHROMIUM = "/usr/bin/chromium"


class Browser:
    """Headless Chromium with --remote-debugging-pipe: commands go to its
    descriptor 3, answers and events come from its descriptor 4, each
    message a JSON text ended by a NUL byte."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="chromium-", dir="/tmp")
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()
        # The child sees the pipe ends as descriptors 3 and 4 (moved out of
        # the way first, in case one of them is 3 or 4 already).
        def child_fds():
            a, b = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(a, 3)
            os.dup2(b, 4)
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
             "--ignore-certificate-errors", "--user-data-dir=" + self.profile, "--remote-debugging-pipe",
             "about:blank"],
            preexec_fn=child_fds, pass_fds=(3, 4),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        page = next(t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]
        for domain in ("Page", "Network", "Runtime"):
            self.call(domain + ".enable", session=True)

    def close(self):
        try:
            self.call("Browser.close")
        except Exception:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)

    def _read(self, timeout):
        while b"\0" not in self.buffer:
            ready, _, _ = select.select([self.from_browser], [], [], timeout)
            if not ready:
                raise AssertionError("no answer from the browser")
            chunk = os.read(self.from_browser, 65536)
            if not chunk:
                raise AssertionError("the browser went away")
            self.buffer += chunk
        text, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(text)

    def send(self, method, session=True, **params):
        """Sends a command without waiting for its answer; its id."""
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params}
        if session:
            msg["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(msg).encode() + b"\0")
        return self.next_id

    def call(self, method, session=False, timeout=20, **params):
        wanted = self.send(method, session, **params)
        while True:
            m = self._read(timeout)
            if m.get("id") == wanted:
                if "error" in m:
                    raise AssertionError("%s: %s" % (method, m["error"]))
                return m.get("result", {})
            self.events.append(m)

    def wait_event(self, method, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            for i, e in enumerate(self.events):
                if e.get("method") == method:
                    return self.events.pop(i)
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %s event" % method)
            self.events.append(self._read(left))

    def look(self, expression):
        """The value of a script that only reads the page, asked again when
        the page went on to another document meanwhile (the status pages
        reload themselves)."""
        for _ in range(5):
            try:
                return self.eval(expression)
            except AssertionError as e:
                if "navigated or closed" not in str(e):
                    raise
                time.sleep(0.2)
        return self.eval(expression)

    def eval(self, expression):
        r = self.call("Runtime.evaluate", session=True, expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in r:
            raise AssertionError("%s: %s" % (expression, r["exceptionDetails"]))
        return r["result"].get("value")

    def eval_answering(self, expression, accept, timeout=20):
        """Runs a script as a user's click would (a page asks before it is
        left only after one) and answers the browser's own dialogs that it
        opens (a confirm, the question before leaving a page) with accept;
        returns the types of the dialogs answered."""
        answered = []

        def answer(event):
            answered.append(event["params"]["type"])
            self.send("Page.handleJavaScriptDialog", accept=accept)
        wanted = self.send("Runtime.evaluate", expression=expression, returnByValue=True, userGesture=True)
        deadline = time.monotonic() + timeout
        while True:
            m = self._read(max(0.1, deadline - time.monotonic()))
            if m.get("method") == "Page.javascriptDialogOpening":
                answer(m)
            elif m.get("id") == wanted:
                break
            else:
                self.events.append(m)
        # A navigation the script started asks once the script has ended.
        if not answered:
            try:
                answer(self.wait_event("Page.javascriptDialogOpening", 1.5))
            except AssertionError:
                pass
        return answered

    def navigate(self, url):
        self.events = [e for e in self.events if e.get("method") != "Page.loadEventFired"]
        started = time.time() * 1000
        self.call("Page.navigate", session=True, url=url)
        self.wait_event("Page.loadEventFired")
        # The load event of the page before (one a redirect led to) may come
        # in late: done only once a document begun after this navigation is.
        # A page that goes on at once (a refresh of 0 s) may take the
        # document away under a question.
        def loaded():
            try:
                return self.eval("document.readyState === 'complete' && performance.timeOrigin >= %f" % started)
            except AssertionError as e:
                if "navigated or closed" in str(e):
                    return False
                raise
        harness.wait_for(loaded, 20, 0.02, what="the page %s loaded" % url)

    def submit_and_wait(self, expression):
        """Runs a script that submits a form; waits for the next page."""
        self.events = [e for e in self.events if e.get("method") != "Page.loadEventFired"]
        self.eval(expression)
        self.wait_event("Page.loadEventFired")

    def viewport(self, width, height, mobile=False):
        """The page's viewport, as a desk or a phone browser has it."""
        self.call("Emulation.setDeviceMetricsOverride", session=True, width=width, height=height,
                  deviceScaleFactor=1, mobile=mobile)

    def screenshot(self, path):
        """The whole page as a PNG file."""
        import base64
        shot = self.call("Page.captureScreenshot", session=True, format="png", captureBeyondViewport=True)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def fill(self, fields):
        """Sets the page's form controls by name: a check box takes a bool,
        any other control a value; returns the names it found no control for."""
        return self.eval("""(function (fields) {
          var missing = [];
          Object.keys(fields).forEach(function (name) {
            var e = document.querySelector('[name="' + name + '"]');
            if (!e) { missing.push(name); return; }
            if (e.type === 'checkbox') e.checked = fields[name]; else e.value = fields[name];
            // As typing does: the page sees the change.
            e.dispatchEvent(new Event('input', {bubbles: true}));
            e.dispatchEvent(new Event('change', {bubbles: true}));
          });
          return missing;
        })(%s)""" % json.dumps(fields))

    def responses(self):
        """url -> status of every response seen so far."""
        out = {}
        for e in self.events:
            if e.get("method") == "Network.responseReceived":
                r = e["params"]["response"]
                out[r["url"]] = r["status"]
        return out

    def errors(self):
        """Script exceptions and error messages of the pages so far (the
        log's with Log.enable)."""
        return [e for e in self.events
                if e.get("method") == "Runtime.exceptionThrown"
                or (e.get("method") == "Runtime.consoleAPICalled" and e["params"]["type"] == "error")
                or (e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error")]


def walk_menu_pages(test, base, pages, each=None):
    """A browser logged in as admin (closed with the test) that has checked
    each page: listed by the menu in this order and marked there when
    shown, served under its own path, every template tag filled in, and
    each(b, path) when given."""
    b = Browser()
    test.addCleanup(b.close)
    b.call("Log.enable", session=True)
    log_in(b, base, "admin", "admin-pass")
    links = b.eval("Array.from(document.querySelectorAll('#menu a')).map(a => a.getAttribute('href'))")
    test.assertEqual([link for link in links if link in pages], pages)
    for path in pages:
        with test.subTest(path):
            b.navigate(base + path)
            test.assertEqual(b.eval("location.pathname"), path)
            test.assertEqual(b.eval("document.querySelector('#menu a[aria-current]').getAttribute('href')"), path)
            test.assertFalse(b.eval("document.body.innerHTML.includes('<' + '%')"))
            if each:
                each(b, path)
    return b


# Layout problems of the page in the browser's viewport: a page wider than
# the viewport (its width without a scroll bar: the page would scroll
# sideways), and text whose contrast with its
# background is below 4.5:1 (the background is the nearest one that is not
# transparent).
LAYOUT_PROBLEMS = """(function () {
  var problems = [];
  var doc = document.documentElement;
  if (doc.scrollWidth > doc.clientWidth)
    problems.push('page ' + doc.scrollWidth + ' px wide in a viewport of ' + doc.clientWidth);
  function rgb(text) {
    var m = /rgba?\\(([\\d.]+), ([\\d.]+), ([\\d.]+)(?:, ([\\d.]+))?\\)/.exec(text);
    return m ? {r: +m[1], g: +m[2], b: +m[3], a: m[4] === undefined ? 1 : +m[4]} : null;
  }
  function luminance(c) {
    return [c.r, c.g, c.b].map(function (v) {
      v /= 255;
      return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4);
    }).reduce(function (sum, v, i) { return sum + v * [0.2126, 0.7152, 0.0722][i]; }, 0);
  }
  function background(e) {
    for (; e && e.nodeType === 1; e = e.parentElement) {
      var c = rgb(getComputedStyle(e).backgroundColor);
      if (c && c.a > 0) return c;
    }
    return {r: 255, g: 255, b: 255, a: 1};
  }
  var seen = 0;
  document.querySelectorAll('body *').forEach(function (e) {
    if (e.closest('[hidden], template, noscript, script, style, option') || e.disabled) return;
    var own = Array.prototype.some.call(e.childNodes, function (n) {
      return n.nodeType === 3 && n.textContent.trim();
    });
    if (!own || !e.getClientRects().length || getComputedStyle(e).visibility === 'hidden') return;
    var fg = rgb(getComputedStyle(e).color), bg = background(e);
    var l1 = luminance(fg), l2 = luminance(bg);
    var ratio = (Math.max(l1, l2) + 0.05) / (Math.min(l1, l2) + 0.05);
    seen++;
    if (ratio < 4.5) problems.push('contrast ' + ratio.toFixed(2) + ' of "' + e.textContent.trim().slice(0, 40) + '"');
  });
  if (!seen) problems.push('no text');
  return problems;
})()"""


# Controls that cut their own text: a button or a field whose text is wider
# than its box, a select narrower than its chosen option. At a phone's
# width (narrow) a text field that takes the page's whole width may scroll
# a value longer than that inside it.
CUT_CONTROLS = """(function (narrow) {
  var problems = [];
  // The width a control may take: its cell's, its group's or the page's.
  function room(e) {
    var box = e.closest('td, th, fieldset, form, main') || document.body;
    var style = getComputedStyle(box);
    return box.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
  }
  function shown(e) { return e.getClientRects().length > 0 && !e.closest('[hidden], dialog:not([open])'); }
  function name(e) { return e.tagName.toLowerCase() + ' ' + (e.name || e.id || e.textContent.trim().slice(0, 30)); }
  document.querySelectorAll('button, a.button, input, select, textarea').forEach(function (e) {
    if (!shown(e) || e.type === 'hidden' || e.type === 'checkbox' || e.type === 'radio' || e.type === 'file') return;
    if (e.tagName === 'SELECT') {
      var option = e.options[e.selectedIndex];
      if (!option) return;
      var probe = e.cloneNode(false);
      probe.appendChild(new Option(option.text));
      probe.style.width = 'auto';
      probe.style.minWidth = '0';
      probe.style.maxWidth = 'none';
      probe.style.position = 'absolute';
      probe.style.visibility = 'hidden';
      e.parentNode.appendChild(probe);
      var needed = probe.offsetWidth;
      probe.remove();
      if (needed > e.offsetWidth + 1)
        problems.push(name(e) + ': "' + option.text + '" needs ' + needed + ' px, has ' + e.offsetWidth);
      return;
    }
    if (e.scrollWidth <= e.clientWidth + 1) return;
    var text = /^(text|password|email|url|search)$/.test(e.type) || e.tagName === 'TEXTAREA';
    if (narrow && text && e.getBoundingClientRect().width >= room(e) - 2) return;
    problems.push(name(e) + ': ' + e.scrollWidth + ' px of text in ' + e.clientWidth);
  });
  return problems;
})"""

# Table cells whose text is not on the screen without scrolling sideways:
# a cell that starts or ends past the viewport's right edge, or past the
# edge of a box that scrolls (or clips) sideways; the tables of the page's
# frames too, in the frame's own viewport.
HIDDEN_CELLS = """(function () {
  var problems = [];
  function check(doc, where) {
    var width = doc.documentElement.clientWidth;
    doc.querySelectorAll('td, th').forEach(function (c) {
      if (!c.getClientRects().length || c.closest('[hidden]') || !c.textContent.trim()) return;
      var r = c.getBoundingClientRect();
      var right = width;
      for (var a = c.parentElement; a && a !== doc.documentElement; a = a.parentElement) {
        var o = getComputedStyle(a).overflowX;
        if (o !== 'visible') right = Math.min(right, a.getBoundingClientRect().right);
      }
      if (r.right > right + 1 || c.scrollWidth > c.clientWidth + 1) {
        var table = c.closest('table');
        problems.push(where + (table && table.id ? '#' + table.id : '') + ' cell "' +
                      c.textContent.trim().slice(0, 30) + '" ' + Math.round(r.left) + '..' + Math.round(r.right) +
                      ' of ' + Math.round(right));
      }
    });
    doc.querySelectorAll('iframe').forEach(function (f) {
      if (f.getClientRects().length && !f.hidden && f.contentDocument && f.contentDocument.documentElement)
        check(f.contentDocument, (f.id || 'frame') + ': ');
    });
  }
  check(document, '');
  return problems.length > 12 ? problems.slice(0, 12).concat(['and ' + (problems.length - 12) + ' more']) : problems;
})()"""


def wait_listening(port):
    def up():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False
    harness.wait_for(up, 15, 0.1, what="port %d" % port)


def log_in(b, base, account, password):
    b.navigate(base + "/login.asp")
    b.submit_and_wait(
        "document.getElementById('account').value = %s;"
        "document.getElementById('password').value = %s;"
        "document.querySelector('#credentials button').click(); true" % (json.dumps(account), json.dumps(password)))


def log_out(b, base):
    """Logs out through the Log out link of a page (it carries the
    session's token), as a click on it does."""
    link = "document.querySelector('header a[href^=\"/logout.asp\"]')"
    if not b.look("!!" + link):
        b.navigate(base + "/home.asp")
    b.navigate(base + b.look(link + ".getAttribute('href')"))


class BrowserLogin(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.reinstall()
        harness.ensure_config()
        # Account 1 with a name and password outside ASCII: the page hashes
        # their UTF-8 bytes, the daemon its UTF-8 multibyte texts.
        harness.config_set({"Web": {"HTTP Port=": HTTP, "HTTPS Port=": HTTPS, "Force HTTPS=": "No",
                                    "Password Encrypt=": "No", "Password0=": "admin-pass",
                                    "User1=": "opérateur", "Password1=": "pässwörd€✓",
                                    "Enable Login Lock=": "Disable"}})
        cls.daemon = harness.Daemon().start()
        wait_listening(HTTP)
        wait_listening(HTTPS)

    @classmethod
    def tearDownClass(cls):
        cls.daemon.kill()

    def setUp(self):
        self.browser = Browser()

    def tearDown(self):
        self.browser.close()

    def session_cookie(self, url):
        cookies = self.browser.call("Network.getCookies", session=True, urls=[url])["cookies"]
        return next((c for c in cookies if c["name"] == "QuenchRelayer"), None)

    def test_admin_logs_in_over_http_and_https(self):
        b = self.browser
        for base, secure in (("http://127.0.0.1:%d" % HTTP, False), ("https://127.0.0.1:%d" % HTTPS, True)):
            with self.subTest(base=base):
                log_in(b, base, "admin", "admin-pass")
                self.assertEqual(b.eval("location.href"), base + "/home.asp")
                self.assertTrue(b.eval("document.getElementById('home') !== null"))
                cookie = self.session_cookie(base + "/")
                self.assertIsNotNone(cookie)
                self.assertEqual(len(cookie["value"]), 24)
                self.assertTrue(cookie["httpOnly"])
                self.assertEqual(cookie["secure"], secure)
                self.assertEqual(cookie["path"], "/")
                # HttpOnly: the page's scripts cannot read it.
                self.assertNotIn("QuenchRelayer", b.eval("document.cookie"))
                # Every asset of the login page came from the daemon.
                seen = b.responses()
                for asset in ("/login.asp", "/style.css", "/login.js", "/home.asp"):
                    self.assertEqual(seen.get(base + asset), 200, asset)
                self.assertEqual(b.eval("fetch('/favicon.ico').then(r => r.status + ' ' + r.headers.get('content-type'))"),
                                 "200 image/x-icon")
                # Logging out ends the session.
                log_out(b, base)
                self.assertIn("Logged out", b.eval("document.body.innerText"))
                b.navigate(base + "/home.asp")
                self.assertTrue(b.eval("document.getElementById('challenge') !== null"))
                b.call("Network.clearBrowserCookies", session=True)

    def test_account_outside_ascii(self):
        b = self.browser
        base = "http://127.0.0.1:%d" % HTTP
        log_in(b, base, "opérateur", "pässwörd€✓")
        self.assertEqual(b.eval("location.pathname"), "/home.asp")
        # The login page's digest is MD5 over UTF-8 bytes, in lower-case hex.
        b.navigate(base + "/login.asp")
        for parts in (("", "", ""), ("a", "b", "c"), ("opérateur", "pässwörd€✓", "x/.Yz09A"), ("k" * 40, "p" * 40, "c" * 8)):
            want = hashlib.md5("".join(parts).encode("utf-8")).hexdigest()
            self.assertEqual(b.eval("loginResponse(%s, %s, %s)" % tuple(json.dumps(p) for p in parts)), want)

    def test_wrong_password_and_the_message_page(self):
        b = self.browser
        base = "https://127.0.0.1:%d" % HTTPS
        log_in(b, base, "admin", "not-it")
        self.assertEqual(b.eval("location.pathname"), "/message.asp")
        self.assertEqual(b.eval("document.getElementById('title').textContent"), "Login Error")
        self.assertIn("Please check the account and password.", b.eval("document.getElementById('message').textContent"))
        self.assertIsNone(self.session_cookie(base + "/"))
        # Its button leads back to the login page.
        b.submit_and_wait("document.getElementById('ok').click(); true")
        self.assertEqual(b.eval("location.pathname"), "/login.asp")


if __name__ == "__main__":
    harness.main()
