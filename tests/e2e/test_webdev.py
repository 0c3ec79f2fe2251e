"""The device pages of the installed daemon while it polls the UPS
simulator: status, measurement and identity values as the simulated UPS
reports them, a power failure on the status page, the control page's
outlet switch and battery test reaching the UPS (the simulator's frame
log), the settings form refused without a valid form token, and headless
Chromium rendering the summary page and every page of its menu without
script errors. Logged in with curl: the page's challenge answered with
the MD5 of account, password and challenge."""
import hashlib
import html
import os
import re
import socket
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

HTTP = 8080
BASE = "http://127.0.0.1:%d" % HTTP
PAGES = ["/home.asp", "/en/device/ups_status.asp", "/en/device/ups_measure.asp", "/en/device/ups_module.asp",
         "/en/device/ups_info.asp", "/en/device/ups_config.asp", "/en/device/mgnt_control.asp"]


def curl(*args):
    r = subprocess.run(["curl", "-sS", "--max-time", "10"] + list(args), capture_output=True, timeout=30)
    assert r.returncode == 0, r.stderr.decode()
    return r.stdout.decode("utf-8", "replace")


def wait_listening(port):
    def up():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False
    harness.wait_for(up, 15, 0.1, what="port %d" % port)


def cell(page, ident):
    """Text of the element with this id (markup removed, references decoded)."""
    m = re.search(r'id="%s"[^>]*>(.*?)</' % re.escape(ident), page, re.S)
    assert m, "no element %s in the page" % ident
    return html.unescape(re.sub(r"<[^>]*>", "", m.group(1))).strip()


def alarm_level(page, name):
    m = re.search(r'<div class="alarm lvl(\d*)" id="%s">' % name.lower(), page)
    assert m, name
    return int(m.group(1) or 0)


class DevicePages(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        harness.config_set({"COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
                            "Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                                    "Password0=": "admin-pass", "Enable Login Lock=": "Disable"}})
        self.daemon = self.start_daemon()
        wait_listening(HTTP)
        self.cookie = self.login()
        # The identity is polled once the link stands.
        harness.wait_for(lambda: "SIM0012345" in self.get("/en/device/ups_info.asp"), 40, 0.5,
                         what="the UPS identity on the identity page")

    def login(self):
        page = curl(BASE + "/login.asp")
        challenge = re.search(r'id="challenge" value="([^"]*)"', page).group(1)
        response = hashlib.md5(("admin" + "admin-pass" + challenge).encode()).hexdigest()
        reply = curl("-i", BASE + "/varno/login", "-d", "Username=admin&Response=" + response)
        m = re.search(r"QuenchRelayer=([^;]*);", reply)
        self.assertIsNotNone(m, reply)
        return m.group(1)

    def get(self, path):
        return curl("-b", "QuenchRelayer=" + self.cookie, BASE + path)

    def token(self, path="/en/device/mgnt_control.asp"):
        m = re.search(r'name="SYS_UCTOKEN" value="([^"]*)"', self.get(path))
        self.assertIsNotNone(m)
        self.assertEqual(len(m.group(1)), 24)
        return m.group(1)

    def post(self, form, fields):
        """Posts a form; the message page the answer leads to (title, body)."""
        reply = curl("-i", "-b", "QuenchRelayer=" + self.cookie, BASE + "/en/device/" + form,
                     "-d", urllib.parse.urlencode(fields))
        self.assertTrue(reply.startswith("HTTP/1.1 302"), reply[:200])
        location = re.search(r"\r\nLocation: ([^\r\n]*)", reply).group(1)
        self.assertEqual(location, BASE + "/message.asp")
        msg = self.get("/message.asp")
        return cell(msg, "title"), cell(msg, "message")

    def commands(self, mnemonic):
        return [f["data"] for f in self.sim.frames() if f.get("type") == "S" and f.get("mnemonic") == mnemonic]

    # ---- values --------------------------------------------------------------

    def test_status_measurement_and_identity_pages_show_the_ups(self):
        # The identity and rating replies come in separate turns of the poll
        # cycle; the serial number the set-up waited for may come first.
        def identified():
            page = self.get("/en/device/ups_info.asp")
            return page if cell(page, "ratpower") == "2700" and cell(page, "swver") == "03.01.22" else None
        info = harness.wait_for(identified, 30, 0.5, what="the whole identity")
        self.assertEqual(cell(info, "model"), "SIMUPS 3000")
        self.assertEqual(cell(info, "serial"), "SIM0012345")
        self.assertEqual(cell(info, "firmware"), "FW 02.13")
        self.assertEqual(cell(info, "ratva"), "3000")
        self.assertEqual(cell(info, "ratpower"), "2700")
        self.assertEqual(cell(info, "swver"), "03.01.22")
        self.assertNotIn("<%", info)

        # The readings arrive with the poll cycle's measurement replies, the
        # input, output and battery ones in separate turns.
        def measured():
            page = self.get("/en/device/ups_measure.asp")
            arrived = cell(page, "battlevel") == "100" and ">230.1</td>" in page and ">230.0</td>" in page
            return page if arrived else None
        page = harness.wait_for(measured, 30, 0.5, what="the battery and input readings")
        self.assertIn(">230.1</td>", page)  # input voltage, phase 1 (tenths from the UPS)
        self.assertIn(">50.0</td>", page)   # input frequency
        self.assertIn(">230.0</td>", page)  # output voltage
        self.assertEqual(cell(page, "battvolt"), "81.6")

        home = self.get("/home.asp")
        self.assertIn('id="home"', home)
        self.assertEqual(cell(home, "model"), "SIMUPS 3000")
        self.assertEqual(cell(home, "comm"), "0")  # the link stands
        self.assertIn('id="port" data-port="2"', home)  # "COM Port=" 2, shown as its device
        self.assertIn("<SUM_SLOG_EVENT>", home)  # the service's own events are listed
        self.assertEqual(cell(home, "countdown"), "-1")

    def test_power_failure_shows_on_the_status_page(self):
        harness.wait_for(lambda: cell(self.get("/en/device/ups_status.asp"), "outsrc") == "0", 30, 0.5,
                         what="the output source")
        self.assertEqual(alarm_level(self.get("/en/device/ups_status.asp"), "IMG_STS_ACFAIL"), 0)
        self.sim.set_state("powerfail")

        def failed():
            p = self.get("/en/device/ups_status.asp")
            return p if alarm_level(p, "IMG_STS_ACFAIL") > 0 else None
        page = harness.wait_for(failed, 30, 0.5, what="the power failure on the status page")
        self.assertEqual(alarm_level(page, "IMG_STS_ACFAIL"), 2)  # the event's level in the language file
        harness.wait_for(lambda: cell(self.get("/en/device/ups_status.asp"), "battcharge") == "2", 20, 0.5,
                         what="discharging")
        page = self.get("/en/device/ups_status.asp")
        self.assertEqual(cell(page, "outsrc"), "1")  # on battery
        self.assertEqual(alarm_level(page, "IMG_STS_COMMERR"), 0)
        self.sim.set_state("online")
        harness.wait_for(lambda: alarm_level(self.get("/en/device/ups_status.asp"), "IMG_STS_ACFAIL") == 0, 30, 0.5,
                         what="the power back")

    # ---- forms ---------------------------------------------------------------

    def test_control_page_switches_an_outlet_and_starts_a_test(self):
        harness.wait_for(lambda: 'data-states="11"' in self.get("/en/device/mgnt_control.asp"), 30, 0.5,
                         what="the outlet states on the control page")
        title, body = self.post("dev_icontrol", {"SYS_UCTOKEN": self.token(), "CTL_LETDL1": "1", "CTL_LETDL2": "1",
                                                 "CTL_BLETOFF2": "Off"})
        self.assertEqual((title, body), ("Information", "Updated successfully."))
        harness.wait_for(lambda: self.commands("ROF"), 15, what="the outlet command at the UPS")
        self.assertEqual(self.commands("ROF"), ["2;1"])
        harness.wait_for(lambda: 'data-states="10"' in self.get("/en/device/mgnt_control.asp"), 30, 0.5,
                         what="outlet 2 off on the control page")

        self.assertEqual(self.commands("TST"), [])
        self.assertEqual(self.post("dev_icontrol", {"SYS_UCTOKEN": self.token(), "CTL_TST": "3"}),
                         ("Information", "Updated successfully."))
        harness.wait_for(lambda: self.commands("TST"), 15, what="the test command at the UPS")
        self.assertEqual(self.commands("TST"), ["3"])

        # The service's own controls answer with their redirect message.
        self.assertEqual(self.post("mgnt_control", {"SYS_UCTOKEN": self.token(), "PAUSE_BROAD": "1"}),
                         ("Information", "Submit command OK."))
        msg = self.get("/message.asp")
        self.assertIn('onclick="window.location=&#39;/en/device/mgnt_control.asp&#39;"', msg)

    def test_settings_form_needs_a_valid_token(self):
        fields = {"CFG_VSN": "2", "CFG_BVSN": "1"}
        refused = ("Page Out of Date", "This page was out of date, so nothing was changed. "
                   "Please make the change again on the page as it is now.")
        stale = self.token("/en/device/ups_config.asp")
        for _ in range(8):  # the session keeps the tokens of its last 8 pages
            self.token("/en/device/ups_config.asp")
        for what, extra in (("no token", {}), ("wrong token", {"SYS_UCTOKEN": "A" * 24}),
                            ("replaced token", {"SYS_UCTOKEN": stale})):
            with self.subTest(what):
                self.assertEqual(self.post("dev_iconfig", dict(fields, **extra)), refused)
        time.sleep(2)  # a queued command would be out by now
        self.assertEqual(self.commands("VSN"), [])

        token = self.token("/en/device/ups_config.asp")
        self.assertEqual(self.post("dev_iconfig", dict(fields, SYS_UCTOKEN=token)),
                         ("Information", "Updated successfully."))
        harness.wait_for(lambda: self.commands("VSN"), 15, what="the sensitivity at the UPS")
        self.assertEqual(self.commands("VSN"), ["2"])
        # The page shows the setting once the UPS reports it back.
        harness.wait_for(lambda: 'name="CFG_VSN" value="2"' in self.get("/en/device/ups_config.asp"), 30, 0.5,
                         what="the new sensitivity on the settings page")

    # ---- browser -------------------------------------------------------------

    def test_browser_renders_every_page_without_script_errors(self):
        from test_web_browser import Browser, log_in
        b = Browser()
        self.addCleanup(b.close)
        b.call("Log.enable", session=True)
        log_in(b, BASE, "admin", "admin-pass")
        self.assertEqual(b.eval("location.pathname"), "/home.asp")
        # The menu lists every page (these in this order, among the other
        # pages' lines), and the summary's event list was built.
        links = b.eval("Array.from(document.querySelectorAll('#menu a')).map(a => a.getAttribute('href'))")
        self.assertEqual([link for link in links if link in PAGES], PAGES)
        self.assertEqual(b.eval("document.querySelector('#menu a[aria-current]').getAttribute('href')"), "/home.asp")
        self.assertTrue(b.eval("document.querySelector('#recent table') !== null"))
        self.assertEqual(b.eval("document.getElementById('model').textContent"), "SIMUPS 3000")
        for path in PAGES[1:]:
            with self.subTest(path):
                b.navigate(BASE + path)
                self.assertEqual(b.eval("location.pathname"), path)
                self.assertTrue(b.eval("document.getElementById('menu').children.length > 0"))
        b.navigate(BASE + "/en/device/mgnt_control.asp")
        self.assertEqual(b.eval("document.querySelectorAll('#outlets button').length"), 4)
        seen = b.responses()
        for asset in ("/style.css", "/device.js"):
            self.assertEqual(seen.get(BASE + asset), 200, asset)
        self.assertEqual(b.errors(), [])


class Terminal:
    """A pseudo-terminal that stands for a logged-in user's terminal: the
    test holds both ends and sees whatever the daemon would do to it (bytes
    written, input eaten, echo switched off)."""

    def __init__(self, owner=None):
        import termios
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        if owner is not None:
            os.chown(self.path, owner, owner)
        self.modes = termios.tcgetattr(self.slave)

    def written(self):
        """Bytes the daemon wrote to the terminal so far."""
        try:
            return os.read(self.master, 65536)
        except BlockingIOError:
            return b""

    def untouched(self):
        import termios
        return termios.tcgetattr(self.slave) == self.modes and self.written() == b""

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class UpsPortPath(harness.DaemonTest):
    """The UPS device path is the administrator's setting, and the daemon
    opens as the UPS port only a character device that root owns."""

    def setUp(self):
        super().setUp()
        import test_webaccess
        self.Session = test_webaccess.Session
        self.sim = harness.serial_ups(self)
        test_webaccess.use_accounts()
        self.start_daemon()
        wait_listening(test_webaccess.HTTP)

    def terminal(self, owner=None):
        t = Terminal(owner)
        self.addCleanup(t.close)
        return t

    def linked(self, sim, since=0):
        return len([f for f in sim.frames()[since:] if f.get("dir") == "rx"]) > 0

    def test_device_level_posts_the_path_unchanged_only(self):
        harness.wait_for(lambda: self.linked(self.sim), 30, what="the UPS link")
        device, admin = self.Session(1), self.Session(0)
        victim = self.terminal()
        before = harness.read(harness.CONFIG)
        reply = device.post("device/mgnt_comport", [("ACT_COM_PORT", "2"), ("ACT_COM_PATH", victim.path)])
        self.assertIn("HTTP/1.1 302 Redirect", reply)
        self.assertEqual(device.message()[:2], ("Access Denied", "This account may not make this change."))
        self.assertEqual(harness.read(harness.CONFIG), before)
        time.sleep(7)  # past the next detection pass
        self.assertTrue(victim.untouched())
        # The path it was shown, posted back, is taken with the port choice.
        page = device.get("/en/device/mgnt_comport.asp")
        shown = html.unescape(re.search(r'name="ACT_COM_PATH" value="([^"]*)"', page).group(1))
        self.assertEqual(shown, self.sim.slave_path)
        reply = device.post("device/mgnt_comport", [("ACT_COM_PORT", "2"), ("ACT_COM_PATH", shown)])
        self.assertEqual(device.message()[:2], ("Information", "Updated successfully."))
        # In the browser the field is read-only for the device account only.
        from test_web_browser import Browser, log_in
        import test_webaccess
        for level, read_only in ((1, True), (0, False)):
            b = Browser()
            self.addCleanup(b.close)
            log_in(b, test_webaccess.BASE, *test_webaccess.ACCOUNTS[level])
            b.navigate(test_webaccess.BASE + "/en/device/mgnt_comport.asp")
            self.assertEqual(b.eval("document.querySelector('[name=ACT_COM_PATH]').readOnly"), read_only)
        # The administrator moves the port to another simulated UPS.
        other = upssim.UpsSim(checksum=True, log_path="/tmp/upssim2.log").start()
        self.addCleanup(other.stop)
        admin.post("device/mgnt_comport", [("ACT_COM_PORT", "2"), ("ACT_COM_PATH", other.slave_path)])
        self.assertEqual(admin.message()[:2], ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("COM", "COM Path="), other.slave_path)
        harness.wait_for(lambda: self.linked(other), 30, what="the link to the new port")

    def test_terminal_of_another_user_is_not_opened(self):
        harness.wait_for(lambda: self.linked(self.sim), 30, what="the UPS link")
        admin = self.Session(0)
        nobody = 65534
        victim = self.terminal(owner=nobody)
        admin.post("device/mgnt_comport", [("ACT_COM_PORT", "2"), ("ACT_COM_PATH", victim.path)])
        self.assertEqual(admin.message()[:2], ("Information", "Updated successfully."))
        refused = lambda: [r for r in (harness.read(harness.INSTALL + "/_FILE_LOG.TXT") or "").splitlines()  # noqa
                           if victim.path in r]
        harness.wait_for(refused, 15, what="the refusal in the event log")
        time.sleep(11)  # two more detection passes
        self.assertTrue(victim.untouched())
        records = refused()
        self.assertEqual(len(records), 1, records)
        self.assertRegex(records[0], r"^-1 2 \S+ \S+ UPS port %s not opened: " % re.escape(victim.path))
        # The same terminal once root owns it is the UPS port again.
        os.chown(victim.path, 0, 0)
        harness.wait_for(lambda: victim.written(), 15, what="a probe on the terminal")


if __name__ == "__main__":
    harness.main()
