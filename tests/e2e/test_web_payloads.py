"""No page of the installed daemon reflects script: headless Chromium,
logged in as the administrator, opens every template page with every one
of its tags set by the query to each payload of a table (a script element,
breaks out of double- and single-quoted attributes, an unquoted-attribute
handler, a javascript: URL, bare script for an event handler). Each payload
goes once as the browser sends it (percent-encoding what it encodes) and
once as raw bytes on a socket, whose answer Chromium then renders. A page
passes when no payload ran and it has no script, event handler or
javascript: URL that the same page without a query lacks."""
import base64
import os
import re
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import test_web_browser as browser  # noqa: E402

HTTP = 8080
BASE = "http://127.0.0.1:%d" % HTTP
HTDOCS = harness.INSTALL + "/httpd/htdocs"
# No blank in any of them: a raw request line ends at the first blank.
PAYLOADS = [
    "<script>__xss=1</script>",
    "\"><script>__xss=1</script>",
    "'><img/src=x/onerror=__xss=1>",
    "\"/autofocus/onfocus=\"__xss=1",
    "'/autofocus/onfocus='__xss=1",
    "autofocus/onfocus=__xss=1//",
    "javascript:__xss=1",
    "__xss=1",
]
PAIRS_PER_QUERY = 15  # the server takes 16 words of a query; the 16th keeps the rest

# Scripts, event handlers and javascript: URLs of the page, and whether a
# payload ran.
SIGNATURE = """(() => {
  const out = [];
  for (const e of document.querySelectorAll('*')) {
    for (const a of e.attributes) {
      const n = a.name.toLowerCase(), v = a.value.trim().toLowerCase();
      const url = ['href', 'src', 'action', 'formaction', 'data', 'xlink:href'].includes(n);
      if (n.startsWith('on') || (url && v.startsWith('javascript:'))) out.push(e.tagName + ' ' + n + '=' + a.value);
    }
    if (e.tagName === 'SCRIPT') out.push('SCRIPT ' + (e.getAttribute('src') || e.textContent));
  }
  return {items: out, ran: typeof window.__xss !== 'undefined'};
})()"""


def template_pages():
    """(path, tag names) of every installed template."""
    out = []
    for root, _, files in os.walk(HTDOCS):
        if os.path.islink(root) or "/tempage" in root:
            continue
        for name in sorted(files):
            if name.endswith((".asp", ".xml")):
                full = os.path.join(root, name)
                tags = sorted(set(re.findall(r"<% ([^%]*?) %>", harness.read(full, "rb").decode("utf-8", "replace"))))
                if tags:
                    out.append((full[len(HTDOCS):], tags))
    return sorted(out)


def raw_get(target, cookie):
    """The body of the daemon's answer to a GET sent byte for byte."""
    with socket.create_connection(("127.0.0.1", HTTP), timeout=10) as s:
        s.sendall(b"GET " + target.encode("latin-1") + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: QuenchRelayer="
                  + cookie.encode() + b"\r\n\r\n")
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return data.partition(b"\r\n\r\n")[2]


class Payloads(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.reinstall()
        harness.ensure_config()
        harness.config_set({"Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                                    "Password0=": "admin-pass", "Enable Login Lock=": "Disable"}})
        cls.daemon = harness.Daemon().start()
        browser.wait_listening(HTTP)

    @classmethod
    def tearDownClass(cls):
        cls.daemon.kill()

    def test_no_tag_of_any_page_takes_script_from_the_query(self):
        b = browser.Browser()
        self.addCleanup(b.close)
        browser.log_in(b, BASE, "admin", "admin-pass")
        cookies = b.call("Network.getCookies", session=True, urls=[BASE + "/"])["cookies"]
        cookie = next(c["value"] for c in cookies if c["name"] == "QuenchRelayer")
        pages = template_pages()
        self.assertGreater(len(pages), 20)

        def rendered(html):
            b.navigate("data:text/html;base64," + base64.b64encode(html).decode())
            return b.eval(SIGNATURE)

        for path, tags in pages:
            with self.subTest(path):
                b.navigate(BASE + path)
                live = b.eval(SIGNATURE)
                offline = rendered(raw_get(path, cookie))
                self.assertFalse(live["ran"] or offline["ran"])
                for start in range(0, len(tags), PAIRS_PER_QUERY):
                    chunk = tags[start:start + PAIRS_PER_QUERY]
                    for turn in range(len(PAYLOADS)):
                        query = "&".join("%s=%s" % (tag, PAYLOADS[(i + turn) % len(PAYLOADS)])
                                         for i, tag in enumerate(chunk))
                        b.navigate(BASE + path + "?" + query)
                        got = b.eval(SIGNATURE)
                        self.assertFalse(got["ran"], query)
                        self.assertEqual(set(got["items"]) - set(live["items"]), set(), query)
                        got = rendered(raw_get(path + "?" + query, cookie))
                        self.assertFalse(got["ran"], query)
                        self.assertEqual(set(got["items"]) - set(offline["items"]), set(), query)
                dialogs = [e for e in b.events if e.get("method") == "Page.javascriptDialogOpening"]
                self.assertEqual(dialogs, [])


if __name__ == "__main__":
    harness.main()
