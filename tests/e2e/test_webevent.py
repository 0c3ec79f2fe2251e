"""The event level, Wake-on-LAN and download-notice pages of the installed
daemon while it polls the UPS simulator. A level changed through the page
is in the rewritten English UPS language file, survives a restart and
takes effect at once: the power failure that follows is logged with the
new level, and the discharging event set to level 0 is not logged at all.
Wake-on-LAN hosts added and edited through the page are in config.ini;
the magic packets the daemon broadcasts when it starts and when the power
returns are captured in the peer namespace, each for the hosts whose flag
is set. Headless Chromium renders the pages without script errors, selects
rows, posts a level from the page, and the notice page follows its export
link after the notice delay. Logged in with curl as the device-page tests
do."""
import os
import re
import select
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import test_power  # noqa: E402
import test_webdev  # noqa: E402
import upssim  # noqa: E402
from test_webdev import BASE, HTTP, cell, curl, wait_listening  # noqa: E402

UPS_FILE = harness.INSTALL + "/language/English/event-ups.ini"
EVENT_PAGE = "/en/device/dev_event.asp"
WOL_PAGE = "/en/net_wol.asp"
PAGES = [EVENT_PAGE, WOL_PAGE]
NAS = bytes.fromhex("001B21ABCDEF")
DESK = bytes.fromhex("020000000002")


def levels(text):
    """{event number: level} of a UPS language file."""
    return {int(n): int(v) for n, v in re.findall(r"^level(\d+)=(\d+)$", text, re.M)}


def event_row(page, number):
    """(shown number, text, level word) of the event list's row for an event."""
    m = re.search(r'<tr><td class=\w+>(\d+)</td><td><a href="#" id="%d" [^>]*>([^<]*)</a></td>'
                  r'<td class=\w+>(\w+)</td>' % number, page)
    return m.groups() if m else None


class Packets:
    """Wake-on-LAN packets as the listener in the peer namespace prints them."""

    def __init__(self, test):
        self.proc = subprocess.Popen(["ip", "netns", "exec", harness.PEER_NS, "/usr/bin/python3", "-u", "-c",
                                      test_power.WOL_LISTENER], stdout=subprocess.PIPE, text=True)
        test.addCleanup(self.proc.stdout.close)
        test.addCleanup(self.proc.wait)
        test.addCleanup(self.proc.kill)
        fd, said = self.proc.stdout.fileno(), b""
        while not said.endswith(b"\n"):
            test.assertTrue(select.select([fd], [], [], 10)[0], "the listener did not start")
            said += os.read(fd, 1)
        test.assertEqual(said, b"ready\n")

    def read(self, seconds):
        """The packets that arrive within the next seconds (their data).
        Read from the descriptor: lines that arrive together are all taken."""
        text, end, fd = "", time.time() + seconds, self.proc.stdout.fileno()
        while time.time() < end:
            if select.select([fd], [], [], 0.2)[0]:
                text += os.read(fd, 65536).decode()
        return [bytes.fromhex(line.split()[1]) for line in text.splitlines()]


def magic(mac):
    return b"\xff" * 6 + mac * 16


class EventAndWolPages(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        # No shutdown reaction: a power failure only raises its events.
        harness.config_set({"COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
                            "Shutdown": {"Power Fail Enable=": "No", "Battery Low Enable=": "No"},
                            "Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                                    "Password0=": "admin-pass", "Enable Login Lock=": "Disable"}})
        self.start_linked()

    def start_linked(self):
        self.daemon = self.start_daemon()
        wait_listening(HTTP)
        self.cookie = self.login()
        harness.wait_for(lambda: "SIM0012345" in self.get("/en/device/ups_info.asp"), 40, 0.5,
                         what="the UPS identity on the identity page")

    def restart(self):
        self.assertEqual(self.daemon.stop(), 0)
        self.start_linked()

    # The admin login with curl and a page fetched with its session.
    login = test_webdev.DevicePages.login
    get = test_webdev.DevicePages.get

    def post(self, form, page, fields):
        """Posts the form with the token of its page; the answer's target:
        the redirect path, or (title, body) of the message page."""
        m = re.search(r'name="SYS_UCTOKEN" value="([^"]*)"', self.get(page))
        self.assertIsNotNone(m, page)
        reply = curl("-i", "-b", "QuenchRelayer=" + self.cookie, BASE + form, "-d",
                     urllib.parse.urlencode(dict(fields, SYS_UCTOKEN=m.group(1))))
        self.assertTrue(reply.startswith("HTTP/1.1 302"), reply[:300])
        location = re.search(r"\r\nLocation: ([^\r\n]*)", reply).group(1)
        if location != BASE + "/message.asp":
            return location[len(BASE):]
        msg = self.get("/message.asp")
        return cell(msg, "title"), cell(msg, "message")

    def set_level(self, event, level):
        return self.post("/en/device/event_iconfig", EVENT_PAGE, {"EVENT_EDIT%d" % event: "Apply",
                                                                 "EVENT_TYPE": str(level)})

    def host(self, op, row, title, mac, delay, power_restore=False, sys_startup=False):
        fields = {"WOL_%s%d" % (op, row): "1", "WOL_TIT": title, "WOL_MAC": mac, "WOL_DLY": str(delay)}
        if power_restore:
            fields["WOL_PR"] = "on"
        if sys_startup:
            fields["WOL_SS"] = "on"
        return self.post("/en/wol_iconfig", WOL_PAGE, fields)

    def power_cycle(self):
        """A power failure and its end, once both ends are logged."""
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: 102 in test_power.codes(), 30, what="the power failure logged")
        self.sim.set_state("online")
        harness.wait_for(lambda: {103, 175} <= set(test_power.codes()), 30, what="the power return logged")

    # ---- event levels -----------------------------------------------------------

    def test_level_changed_through_the_page_is_written_and_takes_effect(self):
        installed = harness.read(UPS_FILE)
        self.assertEqual((levels(installed)[3], levels(installed)[75]), (2, 2))
        page = self.get(EVENT_PAGE)
        self.assertEqual(event_row(page, 3), ("3", "Utility power failure", "Warning"))

        # Utility power failure (event 3, code 102) becomes an alarm; the
        # discharging begin (event 75, code 174) is silenced.
        # Back to the list at the event saved, with its new level.
        self.assertEqual(self.set_level(3, 3), EVENT_PAGE + "#saved-3-3")
        self.assertEqual(self.set_level(75, 0), EVENT_PAGE + "#saved-75-0")
        written = harness.read(UPS_FILE)
        want = dict(levels(installed))
        want.update({3: 3, 75: 0})
        self.assertEqual(levels(written), want)
        self.assertEqual(len(re.findall(r"^name\d+=", written, re.M)), 190)
        self.assertIn("\nname3=Utility power failure\n", written)
        self.assertEqual(event_row(self.get(EVENT_PAGE), 3), ("3", "Utility power failure", "Severity"))

        # Refused: the file is left as it is.
        self.assertEqual(self.set_level(191, 1), ("Wrong Index Number", "The index number is incorrect."))
        self.assertEqual(self.set_level(3, 4),
                         ("Incorrect Value", "Level: enter a number from 0 to 3. Nothing was changed."))
        self.assertEqual(harness.read(UPS_FILE), written)

        # The new levels are in force at once.
        self.power_cycle()
        logged = test_power.events()
        self.assertEqual([e[1] for e in logged if e[0] == 102], [3])
        self.assertEqual([e[1] for e in logged if e[0] == 103], [levels(installed)[4]])
        self.assertNotIn(174, [e[0] for e in logged])
        self.assertIn(175, [e[0] for e in logged])  # the bit did begin and end

        # And after a restart, read back from the file.
        self.restart()
        self.assertEqual(event_row(self.get(EVENT_PAGE), 3), ("3", "Utility power failure", "Severity"))
        self.assertEqual(levels(harness.read(UPS_FILE)), want)

    # ---- Wake-on-LAN ------------------------------------------------------------

    def test_hosts_from_the_page_are_woken_at_start_and_when_power_returns(self):
        packets = Packets(self)
        self.assertIn(">None</a>", self.get(WOL_PAGE))
        updated = ("Information", "Updated successfully.")
        self.assertEqual(self.host("ADD", 1, "backup nas", "0-1b-21-ab-cd-ef", 0, sys_startup=True), updated)
        self.assertEqual(self.host("ADD", 1, "desk", "02-00-00-00-00-02", 0, power_restore=True), updated)
        for key, value in (("WOL Num=", "2"), ("MAC1=", "00-1B-21-AB-CD-EF"), ("Title1=", "backup nas"),
                           ("Delay1=", "0"), ("Sys Startup1=", "Yes"), ("Power Restore1=", "No"),
                           ("MAC2=", "02-00-00-00-00-02"), ("Sys Startup2=", "No"), ("Power Restore2=", "Yes")):
            self.assertEqual(harness.config_get("WOL", key), value, key)
        # The same address in another spelling.
        self.assertEqual(self.host("ADD", 1, "again", "00-1B-21-AB-CD-EF", 0),
                         ("Error", "Already has the same MAC!"))
        self.assertEqual(self.host("ADD", 1, "bad", "00-1B-21-AB-CD", 0),
                         ("Error", "Invalid data, please check the input value!"))
        self.assertEqual(harness.config_get("WOL", "WOL Num="), "2")
        page = self.get(WOL_PAGE)
        self.assertIn("<td>00-1B-21-AB-CD-EF</td><td>0</td><td>No</td><td>Yes</td>", page)
        self.assertIn("<td>02-00-00-00-00-02</td><td>0</td><td>Yes</td><td>No</td>", page)
        # Nothing is armed by the page itself.
        self.assertEqual(packets.read(7), [])

        # Start-up wakes the host marked for it, about 5 seconds after start.
        self.restart()
        self.assertEqual(packets.read(10), [magic(NAS)])

        # Marked for power restore too (and no longer for start-up): the end
        # of a power failure wakes both hosts. (The ends of the two power
        # bits each arm the hosts; with delay 0 both armings may send.)
        self.assertEqual(self.host("EDIT", 1, "backup nas", "00-1B-21-AB-CD-EF", 0, power_restore=True), updated)
        self.assertEqual(harness.config_get("WOL", "Sys Startup1="), "No")
        self.power_cycle()
        self.assertEqual(set(packets.read(8)), {magic(NAS), magic(DESK)})

        # A delete moves the second host up.
        self.assertEqual(self.post("/en/wol_iconfig", WOL_PAGE, {"WOL_DEL1": "Delete"}), updated)
        self.assertEqual(harness.config_get("WOL", "WOL Num="), "1")
        self.assertEqual(harness.config_get("WOL", "MAC1="), "02-00-00-00-00-02")
        self.assertEqual(harness.config_get("WOL", "Title1="), "desk")
        self.restart()
        self.assertEqual(packets.read(8), [])  # desk is not marked for start-up

    # ---- browser ----------------------------------------------------------------

    def test_browser_renders_the_pages_without_script_errors(self):
        from test_web_browser import walk_menu_pages
        self.assertEqual(self.host("ADD", 1, "lab pc", "02-00-00-00-00-07", 3, sys_startup=True),
                         ("Information", "Updated successfully."))
        b = walk_menu_pages(self, BASE, PAGES)

        # The event page: the load selects event 1; a click selects another;
        # a level posted from the page reaches the language file.
        b.navigate(BASE + EVENT_PAGE)
        self.assertEqual(b.eval("document.querySelectorAll('#events tbody tr a[id]').length"), 190)
        self.assertEqual(b.eval("document.getElementById('apply').name"), "EVENT_EDIT1")
        b.eval("document.getElementById('7').click(); true")
        self.assertEqual(b.eval("document.getElementById('apply').name"), "EVENT_EDIT7")
        # The level editor stands right below the event chosen.
        harness.wait_for(lambda: b.eval("document.getElementById('7').closest('tr').nextElementSibling"
                                        ".contains(document.getElementById('EVENT_TYPE'))"), 5, 0.05,
                         what="the editor below event 7")
        # Module alarms name their module, not a format's place.
        self.assertFalse(b.eval("document.getElementById('events').textContent.includes('%s')"))
        self.assertEqual(b.eval("document.getElementById('EVENT_TYPE').value"),
                         str(levels(harness.read(UPS_FILE))[7]))
        self.assertEqual(b.eval("location.hash"), "")
        b.submit_and_wait("document.getElementById('EVENT_TYPE').value = '0';"
                          "document.getElementById('apply').click(); true")
        self.assertEqual(b.eval("location.pathname"), EVENT_PAGE)
        self.assertEqual(levels(harness.read(UPS_FILE))[7], 0)
        self.assertEqual(b.eval("document.getElementById('7').closest('tr').cells[2].textContent"), "System")

        # The host page: the load fills the fields from host 1.
        b.navigate(BASE + WOL_PAGE)
        self.assertEqual(b.eval("[WOL_TIT.value, WOL_MAC.value, WOL_DLY.value, WOL_PR.checked, WOL_SS.checked]"),
                         ["lab pc", "02-00-00-00-00-07", "3", False, True])
        self.assertEqual(b.eval("document.querySelector('[data-op=WOL_DEL]').name"), "WOL_DEL1")
        b.submit_and_wait("WOL_DLY.value = '9'; WOL_PR.checked = true;"
                          "document.querySelector('[data-op=WOL_EDIT]').click(); true")
        self.assertEqual(harness.config_get("WOL", "Delay1="), "9")
        self.assertEqual(harness.config_get("WOL", "Power Restore1="), "Yes")

        # The notice page waits the notice delay, then downloads the export.
        harness.write(harness.PRIVATE + "/event_log.csv", "Date,Time,Level,Event\n")
        os.makedirs("/tmp/downloads", exist_ok=True)
        b.call("Browser.setDownloadBehavior", behavior="allow", downloadPath="/tmp/downloads")
        b.navigate(BASE + "/en/notice.asp?file=event_log.csv")
        self.assertEqual(b.eval("document.getElementById('notice').dataset.delay"), "5")
        self.assertEqual(b.eval("document.getElementById('file').getAttribute('href')"), "/tempage/event_log.csv")
        t0 = time.time()
        harness.wait_for(lambda: os.path.exists("/tmp/downloads/event_log.csv"), 15, 0.2,
                         what="the export downloaded")
        self.assertGreater(time.time() - t0, 3)
        self.assertIn("Date,Time,Level,Event", harness.read("/tmp/downloads/event_log.csv"))
        self.assertEqual(b.eval("location.pathname"), "/en/notice.asp")
        # A name outside the export directory is not followed.
        b.navigate(BASE + "/en/notice.asp?file=../config.ini")
        self.assertEqual(b.eval("document.getElementById('waiting').textContent"), "No export file was named.")
        time.sleep(6)
        self.assertEqual(b.eval("location.pathname"), "/en/notice.asp")

        self.assertEqual(b.errors(), [])


if __name__ == "__main__":
    harness.main()
