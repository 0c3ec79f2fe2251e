"""The device pages in headless Chromium against the installed daemon and
the UPS simulator: every settings form submitted from its own page with the
page's own buttons (no curl), once with a UPS that offers every setting and
once with one that reports little, each change found in config.ini, in the
UPS language file or in the simulator's frame log; refused values that
leave config.ini as it was and answer with the field's label and range; and
the pages at desk and phone width during a shutdown countdown: the banner
on every page, no sideways scrolling, readable contrast, and screenshots of
the summary (build/screenshots/)."""
import datetime
import json
import os
import re
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402
from test_web_browser import CUT_CONTROLS, HIDDEN_CELLS, LAYOUT_PROBLEMS, Browser, log_in, log_out, wait_listening  # noqa: E402

HTTP = 8080
BASE = "http://127.0.0.1:%d" % HTTP
CONFIG_PAGE = "/en/device/ups_config.asp"
CONTROL_PAGE = "/en/device/mgnt_control.asp"
LANG_FILE = harness.INSTALL + "/language/English/event-ups.ini"
SHOTS = os.path.join(harness.BUILD or ".", "screenshots")
UPDATED = ("Information", "Updated successfully.")

# Items the simulator refuses when it plays a UPS that reports little: no
# sensitivity, transfer voltages, ARB or battery test settings and no
# outlets.
LITTLE = ("VSN", "TXV", "ARB", "BTV", "LET")


def config(section, key, value):
    return ("config", section, key, value)


def frame(mnemonic, data):
    return ("frame", mnemonic, data)


def step(page, button, fields=None, expect=(), ups="both", answer=UPDATED, before=None):
    """One submit from a page: the fields set in the browser (a check box
    takes a bool), then a click on the button of that name; before is a
    script run first (a row chosen in a list). ups: "both", "full" or
    "little", the walks it belongs to."""
    return dict(page=page, button=button, fields=fields or {}, expect=expect, ups=ups, answer=answer,
                before=before)


def today_plus(days):
    return time.strftime("%m/%d/%Y", time.localtime(time.time() + days * 86400))


WALK = [
    # UPS settings: a button per setting, each only where the UPS offers it.
    step(CONFIG_PAGE, "CFG_BVSN", {"CFG_VSN": "2"}, [frame("VSN", "2")], "full"),
    step(CONFIG_PAGE, "CFG_BTXV", {"CFG_LTXV": "158", "CFG_HTXV": "277"}, [frame("TXV", "158;277")], "full"),
    step(CONFIG_PAGE, "CFG_BTXF", {"CFG_TXF": "3"}, [frame("TXF", "15")], "full"),
    step(CONFIG_PAGE, "CFG_BBT2", {"CFG_BT2": "6"}, [frame("BT2", "6")], "full"),
    step(CONFIG_PAGE, "CFG_BUBD", {"CFG_UBD": "45", "CFG_ARB": True}, [frame("UBD", "45"), frame("ARB", "1")],
         "full"),
    step(CONFIG_PAGE, "CFG_BBL", {"CFG_FBL": True, "CFG_BL": "40"},
         [config("UPS", "Enable Battery Low=", "1"), config("UPS", "Battery Low Level=", "40")]),
    # The UPS keeps the battery dates: they go to it.
    step(CONFIG_PAGE, "CFG_BRD", {"CFG_BRN_EN": True, "CFG_BRN_DAY": "45", "CFG_LRD": today_plus(-30),
                                  "CFG_NRD": today_plus(900)},
         [config("UPS", "Replace Notify Day=", "45"),
          frame("BRD", time.strftime("%Y%m%d", time.localtime(time.time() - 30 * 86400)) + ";" +
                time.strftime("%Y%m%d", time.localtime(time.time() + 900 * 86400)))]),
    step(CONFIG_PAGE, "CFG_BEBP", {"CFG_EBP": "2"}, [frame("EBP", "2")]),
    step(CONFIG_PAGE, "CFG_BATT", {"CFG_ATT": "3"}, [frame("ATT", "3")], "full"),
    step(CONFIG_PAGE, "CFG_BBTV", {"CFG_BTV_TIME": "20", "CFG_BTV_VOLT": "231"}, [frame("BTV", "20;231")], "full"),
    step(CONFIG_PAGE, "CFG_BBUZ", {"CFG_EDB": True}, [frame("EDB", "1")], "full"),
    step(CONFIG_PAGE, "CFG_BECO", {"CFG_ECO": True}, [frame("ECO", "1")], "full"),
    step(CONFIG_PAGE, "CFG_BGRE", {"CFG_GRE": False}, [frame("GRE", "2")]),
    step(CONFIG_PAGE, "CFG_BSDC", {"CFG_SDCDRY2": "33", "CFG_SDCDISABLE4": True},
         [frame("SDC", "<8b><01><a1><02><8d><03><0e><04><8f><05><90><06>")], "full"),
    step(CONFIG_PAGE, "CFG_OUTLET", {"REA_PF_LB_EN2": True, "REA_PF_LB2": "15", "REA_BL_LB_EN1": True},
         [config("UPS", "Load Bank PF Enable2=", "Yes"), config("UPS", "Load Bank PF Delay2=", "15"),
          config("UPS", "Load Bank BL Enable1=", "Yes")], "full"),
    # Control.
    step(CONTROL_PAGE, "CTL_TST", {}, [frame("TST", "3")]),
    step(CONTROL_PAGE, "CTL_BLETOFF2", {"CTL_LETDL2": "1"}, [frame("ROF", "2;1")], "full"),
    step(CONTROL_PAGE, "CTL_BUZ", {"CTL_MUTE": "1"}, [frame("BUZ", "1")]),
    step(CONTROL_PAGE, "PAUSE_BROAD", answer=("Information", "Submit command OK.")),
    # Shutdown and reactions, schedules, the UPS port.
    step("/en/device/mgnt_reaction.asp", "SUB_SHUTDOWN", {"ACT_SHUT_TYPE": "1", "ACT_OSD_PF": "240", "ACT_BP_EN": True},
         [config("Shutdown", "Type=", "1"), config("Shutdown", "Power Fail Delay=", "240"),
          config("Shutdown", "Bypass Enable=", "Yes")], "full"),
    step("/en/device/mgnt_reaction.asp", "SUB_REACTION", {"ACT_MSG_PERIOD": "30", "ACT_CMD_EN": True},
         [config("Reaction", "Notify Message Period=", "30"), config("Reaction", "Execute Command Enable=", "Yes")],
         "full"),
    step("/en/device/mgnt_reaction.asp", "SUB_MAG", {"ACT_MAG_EN": False}, [config("Manageable", "Enable=", "No")],
         "full"),
    step("/en/device/mgnt_wschedule.asp", "WSH_APPLY", {"WSH_ACT3": "3", "WSH_TUE3": True, "WSH_TM3": "05:45"},
         [config("Weekly Schedule", "Weekday3=", "0010000"), config("Weekly Schedule", "Time3=", "5:45")], "full"),
    step("/en/device/mgnt_sschedule.asp", "SSH_APPLY", {"SSH_SD4": "07/14/2031", "SSH_TM4": "02:30", "SSH_ACT4": "4"},
         [config("Specific Schedule", "Date4=", "7/14/2031"), config("Specific Schedule", "Action4=", "4")], "full"),
    step("/en/device/mgnt_comport.asp", "COM_APPLY", {}, [config("COM", "COM Port=", "2")], "full"),
    # Events and wake-up, SNMP, history.
    step("/en/device/dev_event.asp", "EVENT_EDIT3", {"EVENT_TYPE": "3"}, [("lang", "level3=3")], "full",
         answer=None, before="document.getElementById('3').click()"),
    step("/en/net_wol.asp", "WOL_ADD1", {"WOL_TIT": "rack 2", "WOL_MAC": "02-00-5e-10-00-01", "WOL_DLY": "3",
                                         "WOL_PR": True},
         [config("WOL", "WOL Num=", "1"), config("WOL", "Title1=", "rack 2")], "full"),
    step("/en/net_snmpaccess.asp", "SUB_PORT", {"ACT_SNMP_PORT": "1161"}, [config("SNMP Server", "Listen Port=", "1161")],
         "full"),
    step("/en/net_snmpaccess.asp", "ACT_DEV_ADD", {"ACT_DEV_IP": "192.0.2.7", "ACT_DEV_COMM": "ops",
                                                   "ACT_DEV_PERMISSION": "2"},
         [config("SNMP Server", "Number=", "2"), config("SNMP Server", "IP2=", "192.0.2.7")], "full"),
    step("/en/net_snmpusm.asp", "SUB_CONTEXT", {"ACT_USM_CONTEXT": "rack"}, [config("USM", "Context Name=", "rack")],
         "full"),
    step("/en/net_snmpusm.asp", "ACT_DEV_ADD", {"ACT_USM_USER": "ops", "ACT_USM_SECURITY": "1",
                                                "ACT_USM_AUTH": "authpass1", "ACT_USM_PERMISSION": "1"},
         [config("USM", "Number=", "2"), config("USM", "User2=", "ops")], "full"),
    step("/en/device/net_snmptrap.asp", "TRAP_ADD", {"TRAP_NMS": "192.0.2.2", "TRAP_COMM": "ops", "TRAP_PORT": "162",
                                                     "TRAP_LEVEL": "3"},
         [config("SNMP Trap", "Number=", "1"), config("SNMP Trap", "IP1=", "192.0.2.2")], "full"),
    step("/en/hist_config.asp", "HCG_APPLY", {"HCG_MAX_DATANUM": "6"}, [config("Data Log", "Maximum Storage=", "6")],
         "full"),
    step("/en/hist_config.asp", "HCG_AE_APPLY", {"HCG_AE_INTERVAL": "5", "HCG_AE_PATH": "/var/tmp"},
         [config("Data Log", "Export Period=", "5"), config("Data Log", "Export Path=", "/var/tmp/")], "full"),
]

# The pages whose every shown button the walk must press.
WHOLE_PAGES = (CONFIG_PAGE, CONTROL_PAGE)
# Buttons of those pages that the other tests press (each outlet's, the shutdown controls).
ELSEWHERE = re.compile(r"^(CTL_BLET(ON|OFF)\d|SHUT_CANCEL|SIM_POWERFAIL|SIM_POWERRESTORE|CANCEL_SD)$")

SHOWN = "(function (e) { return !!e && e.getClientRects().length > 0; })(document.querySelector('[name=%s]'))"
SHOWN_BUTTONS = """Array.from(document.querySelectorAll('main button[type=submit][name]'))
    .filter(b => !b.disabled && b.getClientRects().length).map(b => b.name)"""


# Minutes of the seeded data-log day (from 10:00): ten records, twenty
# minutes without any, six more.
SEEDED_MINUTES = list(range(0, 10)) + list(range(30, 36))


def seed_data_log(day):
    """A minute file of the data log with the records of SEEDED_MINUTES on
    day, every measurement rising by 1.0 a minute."""
    path = "%s/%d/%d_1MM.DAT" % (harness.INSTALL, day.year, day.month)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(struct.pack("<i", 2012))
        for m in SEEDED_MINUTES:
            values = [2000 + 10 * m] * 58
            f.write(struct.pack("<6B2x", day.month, day.day, day.year - 2000, 10 + m // 60, m % 60, 0))
            f.write(struct.pack("<58i", *values) + struct.pack("<58i", *values))


class InABrowser(harness.DaemonTest):
    """The daemon with the UPS simulator and a browser logged in as admin."""

    def start(self, full=False, rejected=(), data_day=None, config=None):
        """config: further {section: {key: value}} of config.ini."""
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log", full=full, rejected=rejected).start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        if data_day:
            seed_data_log(data_day)
        sections = {"COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
                    "Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                            "Password0=": "admin-pass", "Enable Login Lock=": "Disable"}}
        for section, keys in (config or {}).items():
            sections.setdefault(section, {}).update(keys)
        harness.config_set(sections)
        self.start_daemon()
        wait_listening(HTTP)
        self.b = Browser()
        self.addCleanup(self.b.close)
        self.b.call("Log.enable", session=True)
        log_in(self.b, BASE, "admin", "admin-pass")

    def page_value(self, path, expression):
        self.b.navigate(BASE + path)
        return self.b.look(expression)

    def wait_page(self, path, expression, what):
        harness.wait_for(lambda: self.page_value(path, expression), 40, 0.5, what=what)

    def power_failure(self):
        """The UPS on battery, once the page showed it on utility; returns
        once the summary shows the countdown's banner."""
        self.wait_page("/en/device/ups_status.asp", "document.getElementById('outsrc').textContent === 'Utility'",
                       "the output source")
        self.sim.set_state("powerfail")
        self.wait_page("/home.asp", "document.getElementById('countdown-banner') !== null", "the countdown banner")

    def message(self):
        self.assertEqual(self.b.eval("location.pathname"), "/message.asp")
        return (self.b.eval("document.getElementById('title').textContent"),
                self.b.eval("document.getElementById('message').textContent"))

    def submit(self, s):
        """Fills the page's fields, clicks the button; the next page's path."""
        b = self.b
        b.navigate(BASE + s["page"])
        if s["before"]:
            b.eval(s["before"] + "; true")
        self.assertEqual(b.fill(s["fields"]), [], s["page"])
        shown = b.eval("(function () { var e = document.querySelector('[name=\"%s\"]');"
                       " return !!e && !e.disabled && e.getClientRects().length > 0; })()" % s["button"])
        self.assertTrue(shown, "no button %s on %s" % (s["button"], s["page"]))
        b.submit_and_wait("document.querySelector('[name=\"%s\"]').click(); true" % s["button"])
        return b.eval("location.pathname")

    def check(self, expect):
        for e in expect:
            if e[0] == "config":
                self.assertEqual(harness.config_get(e[1], e[2]), e[3], e)
            elif e[0] == "lang":
                self.assertIn(e[1] + "\n", harness.read(LANG_FILE), e)
            else:
                def sent():
                    return [f["data"] for f in self.sim.frames() if f.get("type") == "S" and f["mnemonic"] == e[1]]
                harness.wait_for(lambda: e[2] in sent(), 15, 0.2, what="%s %s at the UPS (got %s)" % (e[1], e[2], sent()))


class PagesInABrowser(InABrowser):
    def walk(self, ups):
        steps = [s for s in WALK if s["ups"] in ("both", ups)]
        for path in WHOLE_PAGES:
            with self.subTest(every_button_of=path):
                pressed = {s["button"] for s in steps if s["page"] == path}
                # The poll cycle brings the settings one reply after another.
                try:
                    harness.wait_for(lambda: pressed <= set(self.page_value(path, SHOWN_BUTTONS)), 40, 0.5,
                                     what="the buttons of %s" % path)
                except AssertionError:
                    pass  # the comparison below names what is missing
                buttons = set(self.page_value(path, SHOWN_BUTTONS))
                self.assertEqual({n for n in buttons if not ELSEWHERE.match(n)},
                                 {n for n in pressed if not ELSEWHERE.match(n)})
                # The controls of the settings the UPS lacks are left out of every post.
                hidden = self.b.eval("Array.from(document.querySelectorAll('main [name]'))"
                                     ".filter(e => !e.getClientRects().length && !e.disabled && e.type !== 'hidden'"
                                     " && e.tagName !== 'BUTTON').map(e => e.name)")
                self.assertEqual(hidden, [])
        for s in steps:
            with self.subTest(page=s["page"], button=s["button"]):
                landed = self.submit(s)
                if s["answer"]:
                    self.assertEqual(self.message(), s["answer"])
                else:
                    self.assertEqual(landed, s["page"])  # forms that answer with the page itself
                self.check(s["expect"])
        self.assertEqual(self.b.errors(), [])

    def test_every_form_from_its_page_with_a_ups_that_reports_everything(self):
        self.start(full=True)
        # Every setting has been polled once the dry contacts and the modes show.
        self.wait_page(CONFIG_PAGE, "document.querySelector('[name=CFG_SDCDRY6]').value === '16' && " + SHOWN % "CFG_BGRE",
                       "the UPS's settings on the settings page")
        self.wait_page(CONTROL_PAGE, "document.querySelectorAll('#outlets button').length === 4", "the outlets")
        self.walk("full")
        # With every setting shown the pages still fit a phone's width.
        self.b.viewport(390, 844, True)
        for path in WHOLE_PAGES:
            with self.subTest(phone=path):
                self.b.navigate(BASE + path)
                self.assertEqual(self.b.eval(LAYOUT_PROBLEMS), [])
        self.b.viewport(1280, 900)

        # Refusals: the value the page no longer limits is answered with the
        # field's label and range, and config.ini stays as it was.
        b = self.b
        for path, fields, drop, answer in (
                (CONFIG_PAGE, {"CFG_BL": "150"}, "CFG_BL",
                 "Battery-low level (%): enter a number from 0 to 100. Nothing was changed."),
                ("/en/device/mgnt_reaction.asp", {"ACT_OSD_PF": "77", "ACT_OSD_BL": "-5"}, "ACT_OSD_BL",
                 "Battery low delay (s): enter a number from 0 to 2147483647. Nothing was changed.")):
            with self.subTest(refused=drop):
                before = harness.read(harness.CONFIG)
                b.navigate(BASE + path)
                b.eval("(function (e) { e.removeAttribute('min'); e.removeAttribute('max'); })"
                       "(document.querySelector('[name=%s]')); true" % drop)
                b.fill(fields)
                button = "CFG_BBL" if path == CONFIG_PAGE else "SUB_SHUTDOWN"
                b.submit_and_wait("document.querySelector('[name=%s]').click(); true" % button)
                self.assertEqual(self.message(), ("Incorrect Value", answer))
                self.assertEqual(b.eval(LAYOUT_PROBLEMS), [])  # the warning's colour reads on white
                self.assertEqual(harness.read(harness.CONFIG), before)
                # The message page leads back to the form.
                b.eval("document.getElementById('ok').click(); true")
                harness.wait_for(lambda: b.eval("location.pathname") == path, 10, 0.1, what="the form again")

    def test_every_form_from_its_page_with_a_ups_that_reports_little(self):
        # A day of last month, which the data log keeps.
        day = (datetime.date.today().replace(day=1) - datetime.timedelta(days=1)).replace(day=15)
        self.start(rejected=LITTLE, data_day=day)
        # The status reply, the last of the poll cycle, offers the green mode.
        self.wait_page(CONFIG_PAGE, SHOWN % "CFG_BGRE", "the green mode on the settings page")
        self.walk("little")
        # The summary names the port by the device it uses, and what is
        # missing as not reported.
        b = self.b
        b.navigate(BASE + "/home.asp")
        self.assertEqual(b.eval("document.getElementById('port').textContent"), self.sim.slave_path)
        b.navigate(BASE + "/en/device/ups_status.asp")
        self.assertEqual(b.eval("document.getElementById('outlet-states').textContent"), "none reported")
        b.navigate(BASE + "/en/device/mgnt_control.asp")
        self.assertEqual(b.eval("document.getElementById('outlets').textContent"), "This UPS reports no switchable outlets.")

        # The data-log charts: a time axis, and the line broken where no
        # records are.
        text = day.strftime("%m/%d/%Y")
        b.navigate(BASE + "/en/hist_data.asp?DATA_SELBY=0&DATA_FROM=%s&DATA_TO=%s" % (text, text))
        harness.wait_for(lambda: b.eval("document.querySelectorAll('#data-charts svg').length") == 2, 15, 0.2,
                         what="the two charts")
        chart = "document.querySelector('#data-charts figure')"
        self.assertEqual(b.eval(chart + ".querySelectorAll('polyline').length"), 2)
        self.assertEqual(b.eval("Array.from(%s.querySelectorAll('text')).map(t => t.textContent)" % chart),
                         ["235", "200", "10:00", "10:08", "10:17", "10:26", "10:35"])
        self.assertEqual(b.eval(chart + ".querySelector('p.hint').textContent"),
                         "16 records, 200 to 235; 1 gap without records")
        # A range without records says so in place of an empty table.
        b.navigate(BASE + "/en/hist_data.asp?DATA_SELBY=0&DATA_FROM=01/01/2024&DATA_TO=01/02/2024")
        harness.wait_for(lambda: b.eval("(document.querySelector('.frame-empty:not([hidden])') || {}).textContent"),
                         15, 0.2, what="the empty range noted")
        self.assertEqual(b.eval("document.querySelector('.frame-empty').textContent"), "No records in this range.")
        self.assertTrue(b.eval("document.getElementById('data-table').hidden"))
        self.assertEqual(b.errors(), [])

    def test_countdown_banner_at_desk_and_phone_width(self):
        self.start()
        b = self.b
        self.power_failure()
        text = b.eval("document.getElementById('countdown-banner').textContent")
        self.assertRegex(text, r"^Shutdown in 0[0-4]:\d\d \(power failure\)\. At the end the host shuts down and "
                               r"the UPS switches its output off 120 s later\. Cancel the countdown$")
        # The banner counts down by itself.
        first = b.eval("document.querySelector('#countdown-banner .mmss').textContent")
        time.sleep(2.2)
        self.assertNotEqual(b.eval("document.querySelector('#countdown-banner .mmss').textContent"), first)
        # Active alarms first, with their level in words.
        b.navigate(BASE + "/en/device/ups_status.asp")
        self.assertIn("img_sts_acfail", b.eval("Array.from(document.querySelectorAll('#alarms .alarm.active'))"
                                               ".map(e => e.id)"))
        self.assertEqual(b.eval("document.querySelector('#img_sts_acfail .level').textContent"), "Warning")
        # Every active alarm comes before every inactive one.
        self.assertFalse(b.eval("!!document.querySelector('#alarms .alarm:not(.active) ~ .alarm.active')"))
        self.assertEqual(b.eval("document.getElementById('outsrc').textContent"), "Battery")

        pages = b.eval("Array.from(document.querySelectorAll('#menu a')).map(a => a.getAttribute('href'))")
        self.assertGreater(len(pages), 25)
        # At a phone's width every page shows the banner, fits the screen and
        # keeps its text readable.
        b.viewport(390, 844, True)
        for path in pages:
            with self.subTest(page=path):
                b.navigate(BASE + path)
                self.assertTrue(b.eval("document.getElementById('countdown-banner') !== null"))
                self.assertEqual(b.eval(LAYOUT_PROBLEMS), [])
        for width, height, mobile in ((1280, 900, False), (390, 844, True)):
            b.viewport(width, height, mobile)
            b.navigate(BASE + "/home.asp")
            self.assertEqual(b.eval(LAYOUT_PROBLEMS), [])
            # No sideways scrolling: the document is as wide as the viewport
            # (less a desk browser's vertical scroll bar).
            self.assertEqual(b.eval("document.documentElement.scrollWidth"),
                             b.eval("document.documentElement.clientWidth"))
            self.assertGreater(b.eval("document.documentElement.clientWidth"), width - 20)
            b.screenshot(os.path.join(SHOTS, "summary-countdown-%d.png" % width))
        # At phone width the menu is one button until it is opened.
        self.assertFalse(b.eval("document.querySelector('#menu a').getClientRects().length > 0"))
        b.eval("document.querySelector('#menu button').click(); true")
        self.assertTrue(b.eval("document.querySelector('#menu a').getClientRects().length > 0"))
        b.screenshot(os.path.join(SHOTS, "summary-menu-390.png"))

        # The banner's link leads to the button that cancels the countdown;
        # the banner then says it is cancelled and offers to resume it.
        b.submit_and_wait("document.querySelector('#countdown-banner a').click(); true")
        self.assertEqual(b.eval("location.pathname + location.hash"), CONTROL_PAGE + "#shutdown")
        b.submit_and_wait("document.querySelector('[name=SHUT_CANCEL]').click(); true")
        self.assertEqual(self.message(), ("Information", "The shutdown countdown is cancelled."))
        # The message page is served without a session: it says nothing of the countdown.
        self.assertFalse(b.eval("document.getElementById('countdown-banner') !== null"))
        b.navigate(BASE + CONTROL_PAGE)
        self.assertRegex(b.eval("document.getElementById('countdown-banner').textContent"),
                         r"^Shutdown countdown cancelled at 0[0-4]:\d\d \(power failure\)\..* Resume the countdown$")
        self.assertEqual(b.errors(), [])



# Pages with more than one Apply button: an edit in one part, an edit in
# another, the first part's button, then the other's. (page, first part's
# fields, its button, the setting it stores; the other part's fields, its
# button, its setting, its title)
OTHER_PART = "main form > fieldset:not([data-list]) button[type=submit]"
TWO_PARTS = [
    ("/en/device/mgnt_reaction.asp", {"ACT_OSD_PF": "200"}, "[name=SUB_SHUTDOWN]",
     ("Shutdown", "Power Fail Delay=", "200"), {"ACT_CMD_EN": True, "ACT_MSG_PERIOD": "45"}, "[name=SUB_REACTION]",
     ("Reaction", "Notify Message Period=", "45"), "Notices and user command"),
    (CONFIG_PAGE, {"CFG_BL": "35"}, "[name=CFG_BBL]", ("UPS", "Battery Low Level=", "35"), {"CFG_BRN_DAY": "40"},
     "[name=CFG_BRD]", ("UPS", "Replace Notify Day=", "40"), "Battery replacement"),
    ("/en/hist_config.asp", {"HCG_MAX_DATANUM": "7"}, "[name=HCG_APPLY]", ("Data Log", "Maximum Storage=", "7"),
     {"HCG_AE_INTERVAL": "9"}, "[name=HCG_AE_APPLY]", ("Data Log", "Export Period=", "9"), "Periodic export"),
    ("/en/net_mail.asp", {"MAIL_RCV": "ops@example.org", "MAIL_PER": "2"}, "[name=SMTP_ADD]",
     ("Mail", "Receiver1=", "ops@example.org"), {"MAIL_SERVER": "smtp.example.org", "MAIL_PORT": "2525"}, OTHER_PART,
     ("Mail", "Server=", "smtp.example.org"), "Mail server"),
    ("/en/net_sms.asp", {"SMS_COM": "3"}, OTHER_PART, ("SMS", "SMS COM Port=", "3"), {"SMS_PHONE": "+15550100"},
     "[name=DEV_ADD]", ("SMS", "SMS Phone1=", "+15550100"), "Phones"),
    ("/en/net_snmpaccess.asp", {"ACT_SNMP_PORT": "1161"}, "[name=SUB_PORT]", ("SNMP Server", "Listen Port=", "1161"),
     {"ACT_DEV_IP": "192.0.2.9"}, "[data-op=ACT_DEV_EDIT]", ("SNMP Server", "IP1=", "192.0.2.9"), "SNMPv1 access"),
    ("/en/net_snmpusm.asp", {"ACT_USM_USER": "ops", "ACT_USM_SECURITY": "0", "ACT_USM_PERMISSION": "1"},
     "[name=ACT_DEV_ADD]", ("USM", "User2=", "ops"), {"ACT_USM_CONTEXT": "rack"}, "[name=SUB_CONTEXT]",
     ("USM", "Context Name=", "rack"), "Context"),
]

# Every list of the pages with entries, some of them long.
FULL_LISTS = {
    "SNMP Trap": {"Number=": 2, "IP1=": "2001:db8:ffff:ffff:ffff:ffff:ffff:10", "Port1=": 162, "Community1=": "operations",
                  "Type1=": 2, "MIB1=": 1, "Level1=": 4, "User1=": "trapuser", "NCPort1=": 161, "Twice1=": "Yes",
                  "IP2=": "192.0.2.40", "Port2=": 1162, "Community2=": "public", "Type2=": 0, "MIB2=": 0,
                  "Level2=": 2, "User2=": "", "NCPort2=": 161, "Twice2=": "No"},
    "SNMP Server": {"Number=": 2, "IP1=": "0.0.0.0", "Community1=": "tambor", "Permission1=": 1,
                    "IP2=": "2001:db8:ffff:ffff:ffff:ffff:ffff:20", "Community2=": "operations", "Permission2=": 2},
    "USM": {"Password Encrypt=": "No", "Number=": 2, "User1=": "manager", "Security1=": 2, "Auth1=": "mq530847",
            "Priv1=": "tv817264", "Permission1=": 2, "User2=": "operations", "Security2=": 1, "Auth2=": "authpass1",
            "Priv2=": "privpass1", "Permission2=": 1},
    "Mail": {"Server=": "smtp.operations.example.org", "Receive Num=": 1,
             "Receiver1=": "ups-operations-team@example.org", "Level1=": 2},
    "WOL": {"WOL Num=": 1, "MAC1=": "02-00-5E-10-00-01", "Delay1=": 3, "Power Restore1=": "Yes",
            "Sys Startup1=": "No", "Title1=": "rack 2 file server"},
    "SMS": {"SMS Num=": 1, "SMS Phone1=": "+15550100", "Level1=": 3},
}

OPEN_DIALOG = "(document.querySelector('dialog[open]') || {}).textContent || ''"


def field_values(names):
    return ("(function (names) { return names.map(function (n) { var e = document.querySelector('[name=\"' + n +"
            " '\"]'); return e.type === 'checkbox' ? e.checked : e.value; }); })(%s)" % json.dumps(names))


class OperatorsDay(InABrowser):
    """An operator's day in the browser: edits in two parts of a page, a
    list entry chosen over edits, the factory-password notice, a countdown
    cancelled and resumed, values while the link is lost, and every page
    at desk and phone width."""

    def press(self, selector):
        """Clicks a button without waiting for a next page."""
        self.b.eval("document.querySelector(%s).click(); true" % json.dumps(selector))

    def applied(self, selector, path):
        """Presses a part's button; the answer must be its success (the
        message page, whose button leads back, or the page itself)."""
        b = self.b
        b.submit_and_wait("document.querySelector(%s).click(); true" % json.dumps(selector))
        if b.eval("location.pathname") == "/message.asp":
            self.assertEqual(self.message(), UPDATED)
            b.submit_and_wait("document.getElementById('ok').click(); true")
        self.assertEqual(b.eval("location.pathname"), path)

    def test_an_edit_in_another_part_is_kept_until_its_own_button(self):
        self.start()
        b = self.b
        unsaved = "Array.from(document.querySelectorAll('fieldset.unsaved > legend')).map(l => l.firstChild.textContent)"
        for path, first, button, stored, other, other_button, other_stored, title in TWO_PARTS:
            with self.subTest(page=path):
                b.navigate(BASE + path)
                self.assertEqual(b.fill(dict(first, **other)), [])
                # The first part's button applies it, and only it: nothing is asked.
                self.applied(button, path)
                self.assertEqual(harness.config_get(*stored[:2]), stored[2])
                self.assertNotEqual(harness.config_get(*other_stored[:2]), other_stored[2])
                # The other part holds its edits still, marked and named as kept.
                self.assertEqual(b.eval(field_values(list(other))), list(other.values()))
                self.assertEqual(b.eval(unsaved), [title])
                self.assertIn(title, b.eval("document.querySelector('.kept-note').textContent"))
                # Leaving the page asks first; staying keeps the edits.
                self.assertEqual(b.eval_answering("document.querySelector('#menu a[href=\"/home.asp\"]').click();"
                                                  " true", False), ["beforeunload"])
                time.sleep(0.5)
                self.assertEqual(b.eval("location.pathname"), path)
                self.assertEqual(b.eval(field_values(list(other))), list(other.values()))
                # Its own button applies them; nothing is left to keep.
                self.applied(other_button, path)
                self.assertEqual(harness.config_get(*other_stored[:2]), other_stored[2])
                self.assertEqual(harness.config_get(*stored[:2]), stored[2])
                self.assertEqual(b.eval(unsaved), [])
                self.assertFalse(b.eval("!!document.querySelector('.kept-note')"))
        # Kept edits are for the next load of their own page only: another
        # page taken from the answer drops them.
        path = "/en/device/mgnt_reaction.asp"
        b.navigate(BASE + path)
        b.fill({"ACT_OSD_PF": "210", "ACT_MSG_PERIOD": "50"})
        b.submit_and_wait("document.querySelector('[name=SUB_SHUTDOWN]').click(); true")
        self.assertEqual(self.message(), UPDATED)
        b.navigate(BASE + "/home.asp")
        b.navigate(BASE + path)
        self.assertEqual(b.eval(unsaved), [])
        self.assertEqual(b.eval(field_values(["ACT_OSD_PF", "ACT_MSG_PERIOD"])), ["210", "45"])
        self.assertEqual(b.errors(), [])

    def test_a_list_entry_chosen_over_its_edits_asks_first(self):
        self.start(config=FULL_LISTS)
        b = self.b
        path = "/en/net_snmpaccess.asp"
        community = "document.querySelector('[name=ACT_DEV_COMM]').value"
        b.navigate(BASE + path)
        b.fill({"ACT_DEV_COMM": "edited"})
        self.press("[id='2']")
        harness.wait_for(lambda: b.eval(OPEN_DIALOG), 5, 0.1, what="the question before another entry")
        self.assertIn("SNMPv1 access", b.eval(OPEN_DIALOG))
        b.eval("document.querySelector('dialog[open] [data-answer=back]').click(); true")
        self.assertEqual((b.eval("document.getElementById('selected').textContent"), b.eval(community)), ("1", "edited"))
        self.press("[id='2']")
        harness.wait_for(lambda: b.eval(OPEN_DIALOG), 5, 0.1, what="the question again")
        b.eval("document.querySelector('dialog[open] [data-answer=discard]').click(); true")
        self.assertEqual((b.eval("document.getElementById('selected').textContent"), b.eval(community)),
                         ("2", "operations"))
        self.assertEqual(b.eval("document.querySelectorAll('fieldset.unsaved').length"), 0)

        # An entry's edits kept across the other part's post come back with
        # their entry chosen; when the entry changed meanwhile, the page says
        # they were not kept.
        for changed in (False, True):
            with self.subTest(entry_changed=changed):
                b.navigate(BASE + path)
                b.eval("document.getElementById('2').click(); true")
                b.fill({"ACT_DEV_COMM": "rack-rw" if not changed else "rack-rw2", "ACT_SNMP_PORT": "1161"})
                b.submit_and_wait("document.querySelector('[name=SUB_PORT]').click(); true")
                self.assertEqual(self.message(), UPDATED)
                if changed:
                    # Another tab of the operator changes the entry meanwhile.
                    self.assertEqual(b.eval(
                        "fetch('%s').then(r => r.text()).then(t => fetch('/en/dev_iaccess', {method: 'POST',"
                        " headers: {'Content-Type': 'application/x-www-form-urlencoded'}, body: new URLSearchParams("
                        "{SYS_UCTOKEN: /name=\"SYS_UCTOKEN\" value=\"([^\"]*)\"/.exec(t)[1], ACT_DEV_EDIT2: '1',"
                        " ACT_DEV_IP: '2001:db8::20', ACT_DEV_COMM: 'operations', ACT_DEV_PERMISSION: '2'})}))"
                        ".then(r => r.ok)" % path), True)
                    self.assertEqual(harness.config_get("SNMP Server", "IP2="), "2001:db8::20")
                b.submit_and_wait("document.getElementById('ok').click(); true")
                note = b.eval("document.querySelector('.kept-note').textContent")
                if changed:
                    self.assertEqual(note, "Not kept: the edits of \u201cSNMPv1 access\u201d, whose entry has changed "
                                           "meanwhile.")
                    self.assertEqual(b.eval(community), "tambor")  # entry 1, as the page starts
                else:
                    self.assertIn("SNMPv1 access", note)
                    self.assertEqual((b.eval("document.getElementById('selected').textContent"), b.eval(community)),
                                     ("2", "rack-rw"))
                    b.submit_and_wait("document.querySelector('[data-op=ACT_DEV_EDIT]').click(); true")
                    self.assertEqual(harness.config_get("SNMP Server", "Community2="), "rack-rw")
                    self.assertEqual(harness.config_get("SNMP Server", "IP2="), "2001:db8:ffff:ffff:ffff:ffff:ffff:20")
        self.assertEqual(b.errors(), [])

    def test_enter_in_a_list_field_applies_no_other_part(self):
        # A list part's entry added with its own button keeps the edit of
        # the page's other part; Enter in a field of the list afterwards
        # must not post that part (nor anything: its buttons are chosen).
        self.start()
        b = self.b
        for path, kept, stored, entry, add, typed in (
                ("/en/net_snmpaccess.asp", {"ACT_SNMP_PORT": "1170"}, ("SNMP Server", "Listen Port=", "1170"),
                 {"ACT_DEV_IP": "192.0.2.50", "ACT_DEV_COMM": "first", "ACT_DEV_PERMISSION": "1"},
                 "[name=ACT_DEV_ADD]", {"ACT_DEV_IP": "192.0.2.51", "ACT_DEV_COMM": "second"}),
                ("/en/net_snmpusm.asp", {"ACT_USM_CONTEXT": "edited"}, ("USM", "Context Name=", "edited"),
                 {"ACT_USM_USER": "ops2", "ACT_USM_SECURITY": "1", "ACT_USM_AUTH": "authpass12",
                  "ACT_USM_PERMISSION": "1"}, "[name=ACT_DEV_ADD]", {"ACT_USM_USER": "ops3"}),
                ("/en/net_mail.asp", {"MAIL_SERVER": "smtp.example.org"}, ("Mail", "Server=", "smtp.example.org"),
                 {"MAIL_RCV": "ops@example.org", "MAIL_PER": "2"}, "[name=SMTP_ADD]", {"MAIL_RCV": "two@example.org"}),
                ("/en/net_sms.asp", {"SMS_COM": "3"}, ("SMS", "SMS COM Port=", "3"), {"SMS_PHONE": "+15550100"},
                 "[name=DEV_ADD]", {"SMS_PHONE": "+15550101"})):
            with self.subTest(page=path):
                b.navigate(BASE + path)
                self.assertEqual(b.fill(dict(kept, **entry)), [])
                self.applied(add, path)
                self.assertNotEqual(harness.config_get(*stored[:2]), stored[2])
                self.assertIn("not applied yet", b.eval("document.querySelector('.kept-note').textContent"))
                self.assertEqual(b.fill(typed), [])
                field = list(typed)[-1]
                b.eval("document.querySelector('[name=%s]').focus(); true" % field)
                b.events = [e for e in b.events if e.get("method") != "Page.loadEventFired"]
                for kind in ("keyDown", "keyUp"):
                    b.call("Input.dispatchKeyEvent", session=True, type=kind, key="Enter", code="Enter",
                           windowsVirtualKeyCode=13, **({"text": "\r"} if kind == "keyDown" else {}))
                try:
                    b.wait_event("Page.loadEventFired", timeout=5)
                    posted = b.eval("location.pathname")
                except AssertionError:
                    posted = None  # no next page: nothing was posted
                self.assertNotEqual(harness.config_get(*stored[:2]), stored[2], "applied by Enter in %s" % field)
                self.assertIsNone(posted, "Enter in %s posted the form" % field)
                # The kept edit is still there: leaving asks.
                self.assertEqual(b.eval_answering("location.assign('/home.asp'); true", True), ["beforeunload"])
                harness.wait_for(lambda: b.look("location.pathname === '/home.asp' && document.readyState === "
                                                "'complete'"), 15, 0.1, what="the summary")
        self.assertEqual(b.errors(), [])

    def reloaded(self):
        """Waits for the page's own reload of the document shown now."""
        origin = self.b.look("performance.timeOrigin")
        harness.wait_for(lambda: self.b.look("document.readyState === 'complete' && performance.timeOrigin") > origin,
                         15, 0.2, what="the page's own reload")

    def test_the_factory_password_notice_and_the_reloads(self):
        self.start(config={"Web": {"Password1=": "brindlex", "Password2=": "brindlex"}})  # the factory passwords
        b = self.b
        notice = "document.getElementById('default-passwords')"
        shown = "(%s.hidden ? '' : %s.textContent)" % (notice, notice)
        text = ("The device and user accounts still have the factory password: change them on "
                "System > Accounts.")
        self.assertTrue(b.look(shown).startswith(text), b.look(shown))
        # After the page's own reload (looked at once it is complete, never
        # halfway through it).
        self.reloaded()
        harness.wait_for(lambda: b.look(shown).startswith(text), 5, 0.2, what="the notice after the reload")

        # The reloads keep an open menu and an unfolded list open.
        b.viewport(390, 844, True)
        menu_open = "document.getElementById('menu').classList.contains('open')"
        for path, opening, kept in (
                ("/home.asp", "document.querySelector('#menu .menu-toggle').click()",
                 [menu_open, "document.querySelector('#menu a').getClientRects().length > 0"]),
                ("/en/device/ups_status.asp", "document.querySelector('details.inactive').open = true",
                 ["document.querySelector('details.inactive').open", "!" + menu_open])):
            with self.subTest(kept_open_on=path):
                b.navigate(BASE + path)
                b.eval(opening + "; true")
                self.reloaded()
                self.assertEqual([b.look(k) for k in kept], [True] * len(kept))
        b.viewport(1280, 900)

        # Dismissed, it stays away for the session; a new login shows it again.
        b.navigate(BASE + "/home.asp")
        b.eval("document.getElementById('default-passwords-hide').click(); true")
        self.assertEqual(b.look(shown), "")
        self.reloaded()
        self.assertEqual(b.look(shown), "")
        log_out(b, BASE)
        log_in(b, BASE, "admin", "admin-pass")
        self.assertTrue(b.look(shown).startswith(text), b.look(shown))
        # Changed passwords end their line; the factory SNMP secrets are still
        # named (test_webfirstday changes those).
        b.navigate(BASE + "/en/sys_user.asp")
        b.fill({"USR_PASSWD2": "device-pass", "USR_PASSWD3": "user-pass"})
        b.submit_and_wait("document.querySelector('main button[type=submit]').click(); true")
        self.assertEqual(self.message(), UPDATED)
        b.navigate(BASE + "/home.asp")
        self.assertNotIn("factory password:", b.look(shown))
        self.assertTrue(b.look(shown).startswith("The SNMPv3 user manager (read and write)"), b.look(shown))
        self.assertEqual(b.errors(), [])

    def test_a_countdown_cancelled_then_resumed(self):
        self.start()
        b = self.b
        self.power_failure()
        # The planned actions name the running countdown.
        next_shutdown = "document.getElementById('next-shutdown').textContent"
        self.assertRegex(b.look(next_shutdown), r"^In 0[0-4]:\d\d \(power failure countdown\)$")
        # Answers to a client without a session say nothing of it.
        for path in ("/message.asp", "/login.asp", CONTROL_PAGE, "/no/such/page.asp"):
            with self.subTest(without_session=path):
                page = subprocess.run(["curl", "-s", BASE + path], capture_output=True, text=True).stdout
                self.assertIn("<html", page)
                self.assertNotIn("countdown", page.lower())

        shown_buttons = ("Array.from(document.querySelectorAll('[name=SHUT_CANCEL]'))"
                         ".filter(e => e.getClientRects().length).map(e => e.textContent)")
        state = "document.getElementById('countdown-state').textContent"
        banner = "document.getElementById('countdown-banner').textContent"
        b.navigate(BASE + CONTROL_PAGE)
        self.assertRegex(b.look(state), r"^Running: 0[0-4]:\d\d left \(power failure\)$")
        self.assertEqual(b.look(shown_buttons), ["Cancel the countdown"])
        # The same press, kept to be sent again later ("to be sure").
        again = b.eval("new URLSearchParams(new FormData(document.querySelector('main form'),"
                       " document.querySelector('[name=SHUT_CANCEL]'))).toString()")
        b.submit_and_wait("document.querySelector('[name=SHUT_CANCEL]').click(); true")
        self.assertEqual(self.message(), ("Information", "The shutdown countdown is cancelled."))
        send_again = ("fetch('/en/device/mgnt_control', {method: 'POST', body: %s, headers:"
                      " {'Content-Type': 'application/x-www-form-urlencoded'}}).then(r => r.text())"
                      ".then(t => new DOMParser().parseFromString(t, 'text/html').getElementById('message')"
                      ".textContent)" % json.dumps(again))
        self.assertEqual(b.look(send_again), "The shutdown countdown was already cancelled; nothing was changed.")
        b.navigate(BASE + CONTROL_PAGE)
        self.assertEqual(b.look(shown_buttons), ["Resume the countdown"])
        self.assertRegex(b.look(state), r"^Cancelled at 0[0-4]:\d\d \(power failure\)$")
        self.assertRegex(b.look(banner),
                         r"^Shutdown countdown cancelled at 0[0-4]:\d\d \(power failure\)\. Resuming it counts "
                         r"down the remaining 0[0-4]:\d\d; at the end the host shuts down and the UPS switches its "
                         r"output off 120 s later\. Resume the countdown$")
        b.navigate(BASE + "/home.asp")
        self.assertRegex(b.look(next_shutdown), r"^Countdown cancelled at 0[0-4]:\d\d \(power failure\)$")

        b.navigate(BASE + CONTROL_PAGE)
        b.submit_and_wait("document.querySelector('[name=SHUT_CANCEL]:not([hidden])').click(); true")
        self.assertEqual(self.message(), ("Information", "The shutdown countdown is resumed."))
        b.navigate(BASE + CONTROL_PAGE)
        self.assertEqual(b.look(shown_buttons), ["Cancel the countdown"])
        self.assertRegex(b.look(state), r"^Running: 0[0-4]:\d\d left \(power failure\)$")
        self.assertRegex(b.look(banner), r"^Shutdown in 0[0-4]:\d\d \(power failure\)\. ")
        # One cancel (system event 4) and one resume (5) in the log.
        codes = [int(line.split()[0]) for line in (harness.read(harness.INSTALL + "/_FILE_LOG.TXT") or "").splitlines()]
        self.assertEqual((codes.count(4), codes.count(5)), (1, 1))
        self.assertEqual(b.errors(), [])

    def test_values_that_tell_the_truth(self):
        self.start()
        b = self.b
        row = ("(function (h) { var th = Array.from(document.querySelectorAll('main th')).find(e =>"
               " e.textContent === h); return th ? th.nextElementSibling.textContent.trim() : null; })(%s)")
        self.wait_page("/en/device/ups_info.asp", row % '"Serial number"' + " === 'SIM0012345'", "the identity")
        # Words, not codes, on the identity and the SNMP pages.
        self.assertEqual(b.look(row % '"Series"'), "Single unit (type 2)")
        self.assertEqual(b.look(row % '"Model class"'), "Standard (class 1)")
        cells = "Array.from(document.querySelectorAll('table.list tbody tr:first-child td')).map(c => c.textContent)"
        b.navigate(BASE + "/en/net_snmpaccess.asp")
        self.assertEqual(b.look(cells), ["1", "0.0.0.0", "tambor", "Read only"])
        b.navigate(BASE + "/en/net_snmpusm.asp")
        self.assertEqual(b.look(cells), ["1", "manager", "Authentication and privacy", "MD5", "DES", "Read and write"])

        # Measurements: units on every row, and only the phases the UPS has
        # (seen in one look: the page reloads itself every few seconds).
        measured = ("(function () { function shown(s) { return Array.from(document.querySelectorAll(s))"
                    ".filter(e => e.getClientRects().length); }"
                    " return [shown('#input th').map(e => e.textContent),"
                    " shown('#input tbody tr').map(r => r.cells[0].textContent),"
                    " shown('#output tbody tr').map(r => r.cells[0].textContent),"
                    " shown('#input .na, #output .na, #bypass .na').length]; })()")
        want = [["Reading", "Phase 1"], ["Frequency (Hz)", "Voltage (V)", "Current (A)"],
                ["Frequency (Hz)", "Voltage (V)", "Current (A)", "Power (W)", "Load (%)"], 0]
        b.navigate(BASE + "/en/device/ups_measure.asp")
        try:
            harness.wait_for(lambda: b.look(measured) == want, 40, 0.5, what="the measurements")
        except AssertionError:
            pass  # the comparison names what differs
        self.assertEqual(b.look(measured), want)

        # Plain English for pages and counts.
        b.navigate(BASE + "/en/hist_log.asp")
        self.assertEqual(b.look("document.getElementById('log-range').textContent"), "page 1")
        b.navigate(BASE + "/en/notice.asp?file=event_log.csv")
        self.assertEqual(b.look("new Promise(r => { const t = setInterval(() => {"
                                " if (document.getElementById('seconds').textContent === '1') {"
                                " clearInterval(t); r(document.getElementById('waiting').textContent); } }, 50); })"),
                         "The file is being prepared; the download starts in 1 second.")

        # With the link lost the summary does not show the last battery
        # state, model or run time as if they were current.
        self.sim.set_state("silent")
        self.wait_page("/home.asp", "document.getElementById('comm').textContent === 'Lost'", "the link lost")
        self.assertEqual([b.look(row % json.dumps(h)) for h in ("Model", "Battery", "Remaining run time")],
                         ["n/a", "n/a", "n/a"])
        self.assertEqual(b.errors(), [])

    def test_every_page_at_desk_and_phone_width(self):
        day = (datetime.date.today().replace(day=1) - datetime.timedelta(days=1)).replace(day=15)
        self.start(full=True, data_day=day, config=FULL_LISTS)
        b = self.b
        self.wait_page(CONFIG_PAGE, SHOWN % "CFG_BGRE", "the UPS's settings")
        pages = b.eval("Array.from(document.querySelectorAll('#menu a')).map(a => a.getAttribute('href'))")
        text = day.strftime("%m/%d/%Y")
        pages = [p if p != "/en/hist_data.asp" else p + "?DATA_SELBY=0&DATA_FROM=%s&DATA_TO=%s" % (text, text)
                 for p in pages] + ["/en/notice.asp?file=event_log.csv", "/message.asp", "/logout.asp", "/login.asp"]
        frames = ("Promise.all(Array.from(document.querySelectorAll('iframe[data-src]')).map(f => new Promise(r => {"
                  " const t = setInterval(() => { const d = f.contentDocument; if (d && d.readyState === 'complete'"
                  " && /tempage/.test(d.location.href) && f.style.height !== '' || f.hidden) { clearInterval(t);"
                  " r(true); } }, 100); }))).then(() => true)")
        problems = {}
        for width, height, mobile in ((1280, 900, False), (390, 844, True)):
            b.viewport(width, height, mobile)
            # The session's own Log out link (it carries the session's token).
            logout = b.look("document.querySelector('header a[href^=\"/logout.asp\"]').getAttribute('href')")
            for path in pages:
                b.navigate(BASE + (logout if path == "/logout.asp" else path))
                b.look(frames)
                found = b.look(CUT_CONTROLS + "(%s)" % json.dumps(mobile)) + b.look(HIDDEN_CELLS)
                found += b.look(LAYOUT_PROBLEMS)
                if found:
                    problems["%d %s" % (width, path)] = found
            log_in(b, BASE, "admin", "admin-pass")  # the walk ends logged out
        self.assertEqual(problems, {}, "%d problems on %d of %d page views:\n%s" % (
            sum(map(len, problems.values())), len(problems), 2 * len(pages), json.dumps(problems, indent=1)))
        self.assertEqual(b.errors(), [])


if __name__ == "__main__":
    harness.main()
