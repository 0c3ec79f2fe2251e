"""A new operator's first day in headless Chromium, at desk (1280 px) and
phone (390 px) width, against the installed daemon with the UPS simulator:
edits in two parts of a page applied one after the other, each found in
config.ini; "Automatic search" chosen with a device path; the SNMPv3 users
page as the administrator; the summary's notice of the factory SNMP
secrets, and net-snmp's tools with the new ones once they are changed; an
event level applied; the words and units of the control, SMS and summary
pages. Screenshots go to the build's screenshots/ directory."""
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import snmptools as st  # noqa: E402
from test_webwalk import BASE, SHOTS, UPDATED, InABrowser  # noqa: E402

WIDTHS = ((1280, 900, False), (390, 844, True))
REACTION_PAGE = "/en/device/mgnt_reaction.asp"
CONFIG_PAGE = "/en/device/ups_config.asp"
PORT_PAGE = "/en/device/mgnt_comport.asp"
USERS_PAGE = "/en/net_snmpusm.asp"
EVENT_PAGE = "/en/device/dev_event.asp"
SNMP_PORT = 1161
AGENT = "udp:127.0.0.1:%d" % SNMP_PORT
SYS_DESCR = ".1.3.6.1.2.1.1.1.0"

NOTICE = "(function (n) { return n && !n.hidden ? n.innerText.trim() : ''; })(document.getElementById('default-passwords'))"
KEPT_NOTE = "(document.querySelector('.kept-note') || {}).textContent || ''"
UNSAVED = "Array.from(document.querySelectorAll('fieldset.unsaved > legend')).map(l => l.firstChild.textContent.trim())"


def value_of(name):
    return ("(function (e) { return e.type === 'checkbox' ? e.checked : e.value; })"
            "(document.querySelector('[name=\"%s\"]'))" % name)


class FirstDay(InABrowser):

    def shot(self, name, width, whole=True):
        """A screenshot of the whole page, or of what the viewport shows
        (a page whose list scrolls in its own box)."""
        path = os.path.join(SHOTS, "firstday-%s-%d.png" % (name, width))
        if whole:
            self.b.screenshot(path)
            return
        import base64
        shot = self.b.call("Page.captureScreenshot", session=True, format="png")
        os.makedirs(SHOTS, exist_ok=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def at(self, width):
        """The viewport of a desk (1280) or a phone (390)."""
        _, height, mobile = next(w for w in WIDTHS if w[0] == width)
        self.b.viewport(width, height, mobile)

    def press(self, selector):
        """Clicks a button and waits for the next page; its path."""
        b = self.b
        origin = b.look("performance.timeOrigin")
        b.eval("document.querySelector(%r).click(); true" % selector)
        harness.wait_for(lambda: b.look("document.readyState === 'complete' && performance.timeOrigin > %f"
                                        % origin), 15, 0.1, what="the answer to %s (a question asked instead: %r)"
                         % (selector, b.look("(document.querySelector('dialog[open]') || {}).textContent || ''")))
        return b.look("location.pathname")

    def ok(self, path):
        """The message page's button, back to the form at path."""
        b = self.b
        b.eval("document.getElementById('ok').click(); true")
        harness.wait_for(lambda: b.look("location.pathname === %r && document.readyState === 'complete'" % path),
                         15, 0.1, what="the page %s again" % path)

    # ---- two parts of a page ---------------------------------------------------------

    def test_edits_in_two_parts_are_applied_one_after_the_other(self):
        self.start()
        b = self.b
        for n, width in enumerate(w[0] for w in WIDTHS):
            self.at(width)
            for path, first, button, other, other_button, title, saved in (
                    (REACTION_PAGE, {"ACT_OSD_PF": str(200 + n)}, "[name=SUB_SHUTDOWN]",
                     {"ACT_CMD_BEFORE": str(90 + n)}, "[name=SUB_REACTION]", "Notices and user command",
                     [("Shutdown", "Power Fail Delay=", str(200 + n)),
                      ("Reaction", "Execute Command Before=", str(90 + n))]),
                    (CONFIG_PAGE, {"CFG_BL": str(35 + n)}, "[name=CFG_BBL]",
                     {"CFG_BRN_DAY": str(40 + n)}, "[name=CFG_BRD]", "Battery replacement",
                     [("UPS", "Battery Low Level=", str(35 + n)), ("UPS", "Replace Notify Day=", str(40 + n))])):
                with self.subTest(page=path):
                    b.navigate(BASE + path)
                    self.assertEqual(b.fill(dict(first, **other)), [])
                    # The first part's own button applies it; nothing is asked.
                    self.assertEqual(self.press(button), "/message.asp")
                    self.assertEqual(self.message(), UPDATED)
                    first_key = saved[0]
                    self.assertEqual(harness.config_get(*first_key[:2]), first_key[2])
                    for section, key, value in saved[1:]:
                        self.assertNotEqual(harness.config_get(section, key), value, key)  # not pressed for
                    # Back on the page, the other part still holds its edits, marked.
                    self.ok(path)
                    for name, value in other.items():
                        self.assertEqual(b.look(value_of(name)), value, name)
                    for name, value in first.items():
                        self.assertEqual(b.look(value_of(name)), value, name)  # as stored now
                    self.assertEqual(b.look(UNSAVED), [title])
                    self.assertIn(title, b.look(KEPT_NOTE))
                    self.shot("two-parts-%s" % os.path.basename(path)[:-4], width)
                    # Leaving now would lose them: the page asks.
                    self.assertEqual(b.eval_answering("document.querySelector('#menu a[href=\"/home.asp\"]')"
                                                      ".click(); true", False), ["beforeunload"])
                    # Its own button applies them.
                    self.assertEqual(self.press(other_button), "/message.asp")
                    self.assertEqual(self.message(), UPDATED)
                    for section, key, value in saved:
                        self.assertEqual(harness.config_get(section, key), value, key)
                    self.ok(path)
                    self.assertEqual(b.look(UNSAVED), [])
                    self.assertEqual(b.look(KEPT_NOTE), "")
        self.assertEqual(b.errors(), [])

    # ---- the UPS port ------------------------------------------------------------------

    def test_automatic_search_with_a_device_path(self):
        # USB chosen, the simulator's path kept: no link to start with.
        self.start(config={"COM": {"COM Port=": 1}})
        b = self.b
        comm = "document.getElementById('comm').textContent"
        self.wait_page("/home.asp", comm + " === 'Lost'", "no link on USB")
        path = self.sim.slave_path
        hint = "document.querySelector('[name=ACT_COM_PATH]').parentElement.querySelector('.hint').textContent"
        for width in (w[0] for w in WIDTHS):
            self.at(width)
            b.navigate(BASE + PORT_PAGE)
            b.fill({"ACT_COM_PORT": "0", "ACT_COM_PATH": path})
            self.assertEqual(self.press("[name=COM_APPLY]"), "/message.asp")
            title, body = self.message()
            self.shot("port-automatic-with-path", width)
            self.assertEqual(title, "Serial Port Needed", body)
            self.assertIn("choose /dev/ttyS0", body)
            self.assertIn(path, body)
            self.assertIn("Nothing was changed.", body)
            self.assertEqual(harness.config_get("COM", "COM Port="), "1")
            self.assertEqual(harness.config_get("COM", "COM Path="), path)
            # The hint beside the field says the same.
            self.ok(PORT_PAGE)
            self.assertIn("serial port", b.look(hint))
            self.assertIn("automatic search", b.look(hint).lower())
            self.shot("port-page", width)
            b.fill({"ACT_COM_PORT": "1"})  # the refused choice put back, so leaving asks nothing
        # The serial port with the path, as the answer says: linked.
        b.navigate(BASE + PORT_PAGE)
        b.fill({"ACT_COM_PORT": "2"})
        self.assertEqual(self.press("[name=COM_APPLY]"), "/message.asp")
        self.assertEqual(self.message(), UPDATED)
        chosen = time.monotonic()
        self.wait_page("/home.asp", comm + " === 'Normal'", "the link on the serial port")
        self.assertLess(time.monotonic() - chosen, 20)
        self.assertEqual(b.errors(), [])

    # ---- SNMPv3 users ------------------------------------------------------------------

    def test_the_snmpv3_users_page_offers_only_what_it_can_do(self):
        self.start(config={"USM": {"Password Encrypt=": "No", "Number=": 2, "User2=": "operations",
                                   "Security2=": 1, "Auth2=": "authpass1", "Priv2=": "", "Permission2=": 1}})
        b = self.b
        offered = ("Array.from(document.querySelectorAll('main button[type=submit]'))"
                   ".filter(e => !e.disabled && e.getClientRects().length).map(e => e.textContent.trim())")
        note = "(function (e) { return e && e.getClientRects().length ? e.textContent : ''; })" \
               "(document.getElementById('manager-note'))"
        for width in (w[0] for w in WIDTHS):
            self.at(width)
            b.navigate(BASE + USERS_PAGE)
            # The manager, chosen first: nothing to save or delete.
            self.assertEqual(b.look("document.getElementById('selected').textContent"), "1")
            self.assertEqual(b.look(offered), ["Apply", "Add"])
            self.assertIn("config.ini", b.look(note))
            self.assertIn("Maintenance > Configuration file", b.look(note))
            self.shot("snmpv3-users-manager", width)
            # Another user can be saved and deleted.
            b.eval("document.getElementById('2').click(); true")
            self.assertEqual(b.look(offered), ["Apply", "Add", "Save changes", "Delete"])
            self.assertEqual(b.look(note), "")
            b.eval("document.getElementById('1').click(); true")
            self.assertEqual(b.look(offered), ["Apply", "Add"])
        self.assertEqual(b.errors(), [])

    # ---- the factory SNMP secrets --------------------------------------------------------

    def upload_config(self, text):
        """Uploads a config.ini through Maintenance > Configuration file."""
        b = self.b
        upload = "/tmp/config-upload.ini"
        harness.write(upload, text, 0o600)
        b.navigate(BASE + "/en/sys_batch.asp")
        root = b.call("DOM.getDocument", session=True)["root"]["nodeId"]
        node = b.call("DOM.querySelector", session=True, nodeId=root, selector="input[type=file]")["nodeId"]
        b.call("DOM.setFileInputFiles", session=True, nodeId=node, files=[upload])
        self.assertEqual(self.press("[name=UL_SYSTEM]"), "/message.asp")
        self.assertEqual(self.message(), ("Information", "Upload successfully."))

    def test_the_notice_names_the_factory_snmp_secrets_until_they_are_changed(self):
        self.start(config={"SNMP Server": {"Listen Port=": SNMP_PORT},
                           "Web": {"Password1=": "device-pass", "Password2=": "user-pass"}})
        b = self.b
        st.wait_agent(AGENT)
        for width in (w[0] for w in WIDTHS):
            self.at(width)
            b.navigate(BASE + "/home.asp")
            text = b.look(NOTICE)
            self.assertIn("The SNMPv3 user manager (read and write) still has the factory authentication and "
                          "privacy passwords", text)
            self.assertIn("Maintenance > Configuration file", text)
            self.assertIn("The SNMPv1 community tambor (read only, from any IPv4 address) is the factory one", text)
            self.assertIn("SNMP > Agent and access", text)
            self.assertNotIn("factory password:", text)  # the web accounts were changed
            self.shot("notice-factory-snmp", width)

        # The community on its page, the manager's passwords in config.ini.
        b.viewport(1280, 900)
        b.navigate(BASE + "/en/net_snmpaccess.asp")
        b.fill({"ACT_DEV_COMM": "rack-ro-17"})
        self.assertEqual(self.press("[name^=ACT_DEV_EDIT]"), "/message.asp")
        self.assertEqual(self.message(), UPDATED)
        b.navigate(BASE + "/home.asp")
        self.assertNotIn("community", b.look(NOTICE))
        self.assertIn("SNMPv3 user manager", b.look(NOTICE))
        text = harness.read(harness.CONFIG)
        text = re.sub(r"(?m)^Auth1=.*$", "Auth1=rack-auth-19", text)
        text = re.sub(r"(?m)^Priv1=.*$", "Priv1=rack-priv-23", text)
        self.upload_config(text)
        for width in (w[0] for w in WIDTHS):
            self.at(width)
            b.navigate(BASE + "/home.asp")
            self.assertEqual(b.look(NOTICE), "")
            self.shot("notice-secrets-changed", width)
        # The new secrets answer, the published ones no longer.
        new_v3 = st.v3(auth="rack-auth-19", priv="rack-priv-23")
        harness.wait_for(lambda: st.run("snmpget", new_v3, AGENT, SYS_DESCR).returncode == 0, 15, 0.5,
                         what="snmpget with the new passwords")
        self.assertEqual(st.run("snmpget", st.v1("rack-ro-17"), AGENT, SYS_DESCR).returncode, 0)
        self.assertNotEqual(st.run("snmpget", st.v3(), AGENT, SYS_DESCR).returncode, 0)
        self.assertNotEqual(st.run("snmpget", st.v1("tambor"), AGENT, SYS_DESCR).returncode, 0)
        self.assertEqual(b.errors(), [])

    def test_the_notice_is_the_administrators_and_hides_for_the_session(self):
        self.start(config={"Web": {"Password1=": "device-pass", "Password2=": "brindlex"}})  # factory
        b = self.b
        b.navigate(BASE + "/home.asp")
        text = b.look(NOTICE)
        self.assertTrue(text.startswith("The user account still has the factory password"), text)
        self.assertIn("SNMPv3 user manager", text)
        b.eval("document.getElementById('default-passwords-hide').click(); true")
        self.assertEqual(b.look(NOTICE), "")
        b.navigate(BASE + "/en/device/ups_status.asp")
        b.navigate(BASE + "/home.asp")
        self.assertEqual(b.look(NOTICE), "")
        # The device account is told nothing of the SNMP secrets.
        from test_web_browser import log_in, log_out
        log_out(b, BASE)
        log_in(b, BASE, "device", "device-pass")
        b.navigate(BASE + "/home.asp")
        self.assertEqual(b.look(NOTICE), "")
        self.assertNotIn("tambor", b.look("document.body.innerHTML"))
        self.assertEqual(b.errors(), [])

    # ---- event levels ------------------------------------------------------------------

    def test_an_event_level_applied_is_shown_saved_in_its_row(self):
        self.start()
        b = self.b
        lang = harness.INSTALL + "/language/English/event-ups.ini"
        row = "document.getElementById('%d').closest('tr')"
        in_view = ("(function (r) { var box = r.closest('.scroll-list').getBoundingClientRect(),"
                   " at = r.getBoundingClientRect(); return at.top >= box.top && at.bottom <= box.bottom"
                   " && at.top >= 0 && at.bottom <= window.innerHeight; })(%s)")
        status = "(document.getElementById('event-saved') || {}).textContent || ''"
        for n, width in enumerate(w[0] for w in WIDTHS):
            self.at(width)
            event = 150 + n
            b.navigate(BASE + EVENT_PAGE)
            b.eval("document.getElementById('%d').scrollIntoView(); document.getElementById('%d').click(); true"
                   % (event, event))
            text = b.look("document.getElementById('selected').textContent")
            b.fill({"EVENT_TYPE": "3"})
            self.assertEqual(self.press("#apply"), EVENT_PAGE)
            self.assertIn("level%d=3\n" % event, harness.read(lang))
            harness.wait_for(lambda: b.look(status), 10, 0.1, what="the answer on the page")
            self.assertEqual(b.look(status), "Saved: \u201c%s\u201d is now Severity." % text)
            self.assertTrue(b.look(row % event + ".classList.contains('selected')"))
            self.assertTrue(b.look(in_view % (row % event)))
            self.assertEqual(b.look("document.getElementById('EVENT_TYPE').value"), "3")
            self.shot("event-level-saved", width, whole=False)
            # A reload says it no more.
            b.navigate(BASE + EVENT_PAGE)
            self.assertEqual(b.look(status), "")
        self.assertEqual(b.errors(), [])

    # ---- words and units ---------------------------------------------------------------

    def test_words_and_units(self):
        self.start(config={"SMS": {"SMS COM Port=": 3}})
        b = self.b
        # The audible alarm: a labelled box with what its number is.
        b.navigate(BASE + "/en/device/mgnt_control.asp")
        harness.wait_for(lambda: b.look("!!document.querySelector('[name=CTL_MUTE]') &&"
                                        " document.querySelector('[name=CTL_MUTE]').getClientRects().length > 0"),
                         40, 0.5, what="the silence box")
        label = "(function (e) { return e.labels.length ? e.labels[0].textContent.trim() : ''; })" \
                "(document.querySelector('[name=CTL_MUTE]'))"
        self.assertEqual(b.look(label), "Silence code")
        self.assertIn("1 mutes the alarm", b.look("document.querySelector('[name=CTL_MUTE]').parentElement"
                                                  ".parentElement.textContent"))
        # The SMS modem's port by its device name.
        b.navigate(BASE + "/en/net_sms.asp")
        self.assertEqual(b.look("document.querySelector('[name=SMS_COM]').tagName"), "SELECT")
        self.assertEqual(b.look("(function (s) { return s.options[s.selectedIndex].text; })"
                                "(document.querySelector('[name=SMS_COM]'))"), "/dev/ttyS2")
        self.assertEqual(b.look("Array.from(document.querySelector('[name=SMS_COM]').options).slice(0, 3)"
                                ".map(o => o.value + ' ' + o.text)"), ["0 Off", "1 /dev/ttyS0", "2 /dev/ttyS1"])
        b.fill({"SMS_COM": "1"})
        self.assertEqual(self.press("main fieldset:first-of-type button[type=submit]"), "/message.asp")
        self.assertEqual(self.message(), UPDATED)
        self.assertEqual(harness.config_get("SMS", "SMS COM Port="), "1")
        # With the link lost, what is not known is said once.
        self.sim.set_state("silent")
        self.wait_page("/home.asp", "document.getElementById('comm').textContent === 'Lost'", "the link lost")
        charge = ("(function () { var th = Array.from(document.querySelectorAll('main th')).find(e =>"
                  " e.textContent === 'Battery charge'); return th.nextElementSibling.innerText.trim(); })()")
        self.assertEqual(b.look(charge), "n/a")
        self.assertEqual(b.errors(), [])


if __name__ == "__main__":
    harness.main()
