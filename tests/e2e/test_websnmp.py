"""The SNMP and trap pages of the installed daemon with real peers: SNMPv3
users added, moved by a delete and edited through the page authenticate
with net-snmp's snmpget (authPriv, the passwords set on the page) and the
deleted user is unknown; a context name set on the page is the one
requests must carry; an access-list entry added through the page lets an
SNMPv1 community in, and deleting or editing entries moves and restricts
them; a new agent port is opened and answers while the old one is
closed; trap receivers added through the page get the traps of a power
failure of the simulated UPS in snmptrapd by their levels, and a deleted
receiver gets no more; headless Chromium renders the three pages without
script errors, a list row fills the edit fields with the stored texts and
a receiver added in the browser reaches config.ini. Logged in with curl
as the other page tests do."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import snmptools as st  # noqa: E402
import test_snmp_trap  # noqa: E402
import test_webpages1  # noqa: E402
import upssim  # noqa: E402
from test_webdev import BASE, HTTP, wait_listening  # noqa: E402

V4 = "udp:127.0.0.1:161"
SYS_DESCR = ".1.3.6.1.2.1.1.1.0"
PF_DELAY = ".1.3.6.1.4.1.32473.2.210.2.3.0"
TRAP_PORT = 16202
UPDATED = ("Information", "Updated successfully.")
USM_PAGE, ACCESS_PAGE, TRAP_PAGE = "/en/net_snmpusm.asp", "/en/net_snmpaccess.asp", "/en/device/net_snmptrap.asp"
PAGES = [ACCESS_PAGE, USM_PAGE, TRAP_PAGE]
_Pages = test_webpages1.BatchAndReactionPages


class SnmpPages(harness.DaemonTest):
    # The curl session of the other page tests: login with the challenge,
    # the form token of a page, a post and the message page it leads to.
    login, get, token, location, message, post = (_Pages.login, _Pages.get, _Pages.token, _Pages.location,
                                                  _Pages.message, _Pages.post)
    WITH_UPS = {"test_trap_receivers_added_on_the_page_get_the_power_failure"}

    def setUp(self):
        super().setUp()
        harness.ensure_config()
        changes = {"Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                           "Password0=": "admin-pass", "Enable Login Lock=": "Disable"}}
        if self._testMethodName in self.WITH_UPS:
            self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
            self.addCleanup(self.sim.stop)
            changes["COM"] = {"COM Port=": 2, "COM Path=": self.sim.slave_path}
        harness.config_set(changes)
        if self._testMethodName == "test_browser_renders_the_pages_without_script_errors":
            self.prepare_browser()
        self.start_daemon()
        wait_listening(HTTP)
        self.cookie = self.login()

    def form(self, page, form, fields):
        """Posts a form with the page's token; the message it answers."""
        return self.message(self.post(form, dict({"SYS_UCTOKEN": self.token(page)}, **fields)))

    def user_form(self, op, name, security, auth, priv, permission):
        return self.form(USM_PAGE, "/en/dev_iusm", {op: "1", "ACT_USM_USER": name, "ACT_USM_SECURITY": security,
                                                    "ACT_USM_AUTH": auth, "ACT_USM_PRIV": priv,
                                                    "ACT_USM_PERMISSION": permission})

    def access_form(self, op, ip, community, permission):
        return self.form(ACCESS_PAGE, "/en/dev_iaccess", {op: "1", "ACT_DEV_IP": ip, "ACT_DEV_COMM": community,
                                                          "ACT_DEV_PERMISSION": permission})

    def trap_form(self, op, ip, community, typ, mib, level):
        return self.form(TRAP_PAGE, "/en/device/trap_iconfig", {
            op: "1", "TRAP_NMS": ip, "TRAP_COMM": community, "TRAP_PORT": TRAP_PORT, "TRAP_MIB": mib,
            "TRAP_TYPE": typ, "TRAP_LEVEL": level, "TRAP_USER": "", "TRAP_NCP": 161, "TRAP_TWICE": 0})

    def answers(self, security, target=V4):
        r = st.run("snmpget", security, target, SYS_DESCR, timeout=2)
        out = r.stdout + r.stderr
        if r.returncode == 0:
            self.assertEqual(st.values(r.stdout), [(SYS_DESCR, "STRING", '"Brisvane"')])
        return r.returncode == 0, out

    # ---- SNMPv3 users and the context ---------------------------------------------

    def test_users_set_on_the_page_authenticate_after_moves(self):
        st.wait_agent()
        for name, auth, priv, perm in (("alpha", "alpha-auth", "alpha-priv", "2"),
                                       ("bravo", "bravo-auth", "bravo-priv", "1")):
            self.assertEqual(self.user_form("ACT_DEV_ADD", name, "2", auth, priv, perm), UPDATED)
        ok, out = self.answers(st.v3("bravo", auth="bravo-auth", priv="bravo-priv"))
        self.assertTrue(ok, out)
        self.assertEqual(harness.config_get("USM", "User3="), "bravo")

        # Deleting row 2 moves bravo to row 2: it still authenticates with
        # its passwords, and alpha is unknown.
        self.assertEqual(self.user_form("ACT_DEV_DEL2", "", "", "", "", ""), UPDATED)
        self.assertEqual(harness.config_get("USM", "Number="), "2")
        self.assertEqual(harness.config_get("USM", "User2="), "bravo")
        ok, out = self.answers(st.v3("bravo", auth="bravo-auth", priv="bravo-priv"))
        self.assertTrue(ok, out)
        ok, out = self.answers(st.v3("alpha", auth="alpha-auth", priv="alpha-priv"))
        self.assertFalse(ok)
        self.assertIn("Unknown user name", out)
        # bravo reads only.
        r = st.run("snmpset", st.v3("bravo", auth="bravo-auth", priv="bravo-priv"), V4, PF_DELAY, "i", "200")
        self.assertIn("genError", r.stdout + r.stderr)

        # A new authentication password; the empty privacy field keeps the old one.
        self.assertEqual(self.user_form("ACT_DEV_EDIT2", "bravo", "2", "bravo-auth-2", "", "2"), UPDATED)
        ok, out = self.answers(st.v3("bravo", auth="bravo-auth", priv="bravo-priv"))
        self.assertFalse(ok)
        self.assertIn("Authentication failure", out)
        new = st.v3("bravo", auth="bravo-auth-2", priv="bravo-priv")
        self.assertTrue(self.answers(new)[0])
        r = st.run("snmpset", new, V4, PF_DELAY, "i", "200")
        self.assertEqual(r.returncode, 0, r.stderr)  # read-write now
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "200")

        # Refused posts change nothing.
        self.assertEqual(self.user_form("ACT_DEV_ADD", "charlie", "2", "1234567", "charlie-priv", "1"),
                         ("Error", "The password must longer than 8 bytes!"))
        self.assertEqual(self.user_form("ACT_DEV_DEL1", "", "", "", "", ""), ("Error", "Cannot delete the manager!"))
        self.assertEqual(self.user_form("ACT_DEV_EDIT3", "charlie", "0", "", "", "1"),
                         ("Error", "Invalid data, please check the input value!"))
        self.assertEqual(harness.config_get("USM", "Number="), "2")
        self.assertTrue(self.answers(st.v3())[0])  # the manager as it was

        # The context name set on the page is the one requests must carry.
        self.assertEqual(self.form(USM_PAGE, "/en/dev_snmpv3", {"ACT_USM_CONTEXT": "pagectx", "SUB_CONTEXT": "1"}),
                         UPDATED)
        self.assertEqual(harness.config_get("USM", "Context Name="), "pagectx")
        self.assertTrue(self.answers(st.v3("bravo", auth="bravo-auth-2", priv="bravo-priv", context="pagectx"))[0])
        ok, out = self.answers(st.v3())
        self.assertFalse(ok)
        self.assertIn("context", out.lower())

    # ---- SNMPv1 access list ---------------------------------------------------------

    def test_access_entries_set_on_the_page_admit_their_community(self):
        st.wait_agent()
        self.assertFalse(self.answers(st.v1("pagecomm"))[0])
        self.assertEqual(self.access_form("ACT_DEV_ADD", "127.0.0.1", "pagecomm", "2"), UPDATED)
        self.assertEqual(harness.config_get("SNMP Server", "Community2="), "pagecomm")
        ok, out = self.answers(st.v1("pagecomm"))
        self.assertTrue(ok, out)
        r = st.run("snmpset", st.v1("pagecomm"), V4, PF_DELAY, "i", "240")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "240")
        # The row the page shows for it.
        self.assertIn(">127.0.0.1</a></td><td>pagecomm</td><td>Read and write</td>", self.get(ACCESS_PAGE))
        self.assertEqual(self.access_form("ACT_DEV_ADD", "127.0.0.1", "other", "1"),
                         ("Error", "Already has the same IP!"))

        # Deleting the factory entry moves ours to row 1; tambor is out.
        self.assertTrue(self.answers(st.v1("tambor"))[0])
        self.assertEqual(self.access_form("ACT_DEV_DEL1", "", "", ""), UPDATED)
        self.assertEqual(harness.config_get("SNMP Server", "IP1="), "127.0.0.1")
        self.assertFalse(self.answers(st.v1("tambor"))[0])
        self.assertTrue(self.answers(st.v1("pagecomm"))[0])
        # Read-only now: a SET is refused.
        self.assertEqual(self.access_form("ACT_DEV_EDIT1", "127.0.0.1", "pagecomm", "1"), UPDATED)
        r = st.run("snmpset", st.v1("pagecomm"), V4, PF_DELAY, "i", "250")
        self.assertIn("genError", r.stdout + r.stderr)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "240")
        self.assertEqual(self.access_form("ACT_DEV_EDIT2", "127.0.0.1", "pagecomm", "1"),
                         ("Error", "Invalid data, please check the input value!"))

    # ---- agent port ------------------------------------------------------------------

    def test_agent_port_change_reopens_the_agent(self):
        st.wait_agent()
        self.assertEqual(self.form(ACCESS_PAGE, "/en/dev_snmpv1", {"ACT_SNMP_PORT": "1161", "SUB_PORT": "1"}),
                         UPDATED)
        self.assertEqual(harness.config_get("SNMP Server", "Listen Port="), "1161")
        st.wait_agent("udp:127.0.0.1:1161", timeout=15)
        self.assertTrue(self.answers(st.v3(), "udp6:[::1]:1161")[0])
        self.assertTrue(self.answers(st.v1("tambor"), "udp:127.0.0.1:1161")[0])
        ok, out = self.answers(st.v3())
        self.assertFalse(ok)
        self.assertIn("Timeout", out)
        self.assertIn('value="1161"', self.get(ACCESS_PAGE))
        # A port no manager could reach is refused; the agent stays.
        self.assertEqual(self.form(ACCESS_PAGE, "/en/dev_snmpv1", {"ACT_SNMP_PORT": "0", "SUB_PORT": "1"}),
                         ("Incorrect Value", "UDP port of SNMPv1 and SNMPv3 requests: enter a number from 1 to 65535. "
                                             "Nothing was changed."))
        self.assertTrue(self.answers(st.v3(), "udp:127.0.0.1:1161")[0])

    # ---- trap receivers --------------------------------------------------------------

    def test_trap_receivers_added_on_the_page_get_the_power_failure(self):
        v4, v5 = ".1.3.6.1.4.1.32473.2.4.20", ".1.3.6.1.4.1.32473.2.5.20"
        far = st.TrapReceiver("udp:%s:%d" % (harness.PEER_V4, TRAP_PORT), netns=harness.PEER_NS)
        self.addCleanup(far.stop)
        near = st.TrapReceiver("udp:127.0.0.1:%d,udp:127.0.0.2:%d" % (TRAP_PORT, TRAP_PORT))
        self.addCleanup(near.stop)
        receivers = [
            # IP, Type, MIB, Level (through the page), its community
            (harness.PEER_V4, "0", "0", "1", "page-v1"),
            ("127.0.0.1", "1", "1", "2", "page-v2c"),
            ("127.0.0.2", "0", "0", "3", "page-alarm"),  # above the failure's level
        ]
        for ip, typ, mib, level, community in receivers:
            self.assertEqual(self.trap_form("TRAP_ADD", ip, community, typ, mib, level), UPDATED)
        self.assertEqual(harness.config_get("SNMP Trap", "Number="), "3")
        self.assertEqual(harness.config_get("SNMP Trap", "Community2="), "page-v2c")
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 2, 40, what="the UPS link")

        def ups_traps(trapd, community):
            return [test_snmp_trap.notification(t)[1] for t in trapd.traps()
                    if t["security"] == community and test_snmp_trap.notification(t)[0] == "ups"]

        def power_cycle(cycles):
            """A power failure and its return; cycles: failure traps receiver 2 has got by then."""
            before = len(test_snmp_trap.ups_events())
            self.sim.set_state("powerfail")
            harness.wait_for(lambda: test_snmp_trap.POWER_FAIL in test_snmp_trap.ups_events()[before:], 30,
                             what="the power failure event")
            harness.wait_for(lambda: ups_traps(near, "page-v2c").count((v5, "3")) >= cycles, 10, 0.2,
                             what="the failure trap")
            self.sim.set_state("online")
            harness.wait_for(lambda: test_snmp_trap.POWER_BACK in test_snmp_trap.ups_events()[before:], 30,
                             what="the power return event")

        power_cycle(1)
        harness.wait_for(lambda: (v4, "4") in ups_traps(far, "page-v1"), 10, 0.2, what="the return trap")
        time.sleep(2)  # nothing more may come
        self.assertEqual(ups_traps(far, "page-v1"), [(v4, "3"), (v4, "4")], far.log())
        self.assertEqual(ups_traps(near, "page-v2c"), [(v5, "3")], near.log())
        self.assertEqual(ups_traps(near, "page-alarm"), [], near.log())
        self.assertTrue(all(t["version"] == "1" for t in near.traps() if t["security"] == "page-v2c"))

        # Receiver 1 deleted: the others move up and still get theirs, it gets nothing more.
        self.assertEqual(self.form(TRAP_PAGE, "/en/device/trap_iconfig", {"TRAP_DEL1": "1"}), UPDATED)
        self.assertEqual(harness.config_get("SNMP Trap", "IP1="), "127.0.0.1")
        self.assertEqual(harness.config_get("SNMP Trap", "Number="), "2")
        power_cycle(2)
        time.sleep(3)
        self.assertEqual(ups_traps(far, "page-v1"), [(v4, "3"), (v4, "4")], far.log())
        self.assertEqual(ups_traps(near, "page-v2c"), [(v5, "3"), (v5, "3")], near.log())
        self.assertEqual(ups_traps(near, "page-alarm"), [], near.log())

    # ---- browser ---------------------------------------------------------------------

    def prepare_browser(self):
        # Texts that arrive without the page's input check (an edited
        # config.ini) must reach the fields as they are.
        harness.config_set({"SNMP Trap": {
            "Number=": 2,
            "IP1=": "192.0.2.50", "Port1=": 162, "Community1=": "public", "Type1=": 0, "MIB1=": 0, "Level1=": 1,
            "User1=": "", "NCPort1=": 161, "Twice1=": "No",
            "IP2=": harness.PEER_V4, "Port2=": 16203, "Community2=": "o'hara\"<b>", "Type2=": 2, "MIB2=": 1,
            "Level2=": 4, "User2=": "manager", "NCPort2=": 3161, "Twice2=": "Yes"}})

    def test_browser_renders_the_pages_without_script_errors(self):
        from test_web_browser import walk_menu_pages
        def one_token(b, path):
            self.assertEqual(b.eval("document.querySelectorAll('input[name=SYS_UCTOKEN]').length"), 1)
        b = walk_menu_pages(self, BASE, PAGES, one_token)

        # The load selected row 1; a click on row 2 takes its stored texts.
        b.navigate(BASE + TRAP_PAGE)
        value = "document.getElementById('%s').value"
        self.assertEqual(b.eval(value % "TRAP_NMS"), "192.0.2.50")
        self.assertEqual(b.eval("document.querySelector('button[data-op=TRAP_DEL]').name"), "TRAP_DEL1")
        b.eval("document.getElementById('2').click(); true")
        self.assertEqual(b.eval("location.hash"), "")
        self.assertEqual([b.eval(value % f) for f in ("TRAP_NMS", "TRAP_COMM", "TRAP_PORT", "TRAP_MIB", "TRAP_TYPE",
                                                     "TRAP_LEVEL", "TRAP_USER", "TRAP_NCP", "TRAP_TWICE")],
                         [harness.PEER_V4, "o'hara\"<b>", "16203", "1", "2", "4", "manager", "3161", "1"])
        self.assertEqual(b.eval("document.querySelector('button[data-op=TRAP_EDIT]').name"), "TRAP_EDIT2")
        self.assertEqual(b.eval("document.querySelectorAll('table.list b').length"), 0)
        # The network shutdown client (level 4) in its table, not answered yet.
        self.assertEqual(b.eval("document.getElementById('client-count').textContent"), "1")
        rows = b.eval("Array.from(document.querySelectorAll('#clients tbody tr'))"
                      ".map(tr => Array.from(tr.cells).map(c => c.textContent))")
        self.assertEqual(len(rows), 1, rows)
        self.assertEqual(rows[0][:2], [harness.PEER_V4, "no answer yet"])
        # A receiver added in the browser reaches config.ini.
        b.submit_and_wait("document.getElementById('TRAP_NMS').value = '198.51.100.7';"
                          "document.getElementById('TRAP_COMM').value = 'browser';"
                          "document.getElementById('TRAP_LEVEL').value = '2';"
                          "document.querySelector('button[name=TRAP_ADD]').click(); true")
        self.assertEqual(b.eval("document.getElementById('message').textContent.trim()"), "Updated successfully.")
        self.assertEqual(harness.config_get("SNMP Trap", "IP3="), "198.51.100.7")
        self.assertEqual(harness.config_get("SNMP Trap", "Community3="), "browser")
        self.assertEqual(harness.config_get("SNMP Trap", "Level3="), "2")
        # The other fields as the click on row 2 filled them.
        self.assertEqual(harness.config_get("SNMP Trap", "Port3="), "16203")
        self.assertEqual(harness.config_get("SNMP Trap", "Twice3="), "Yes")

        b.navigate(BASE + USM_PAGE)
        self.assertEqual(b.eval(value % "ACT_USM_USER"), "manager")
        self.assertEqual(b.eval(value % "ACT_USM_SECURITY"), "2")
        self.assertEqual(b.eval(value % "ACT_USM_AUTH"), "")
        self.assertEqual(b.eval("document.querySelector('button[data-op=ACT_DEV_DEL]').name"), "ACT_DEV_DEL1")
        b.navigate(BASE + ACCESS_PAGE)
        self.assertEqual([b.eval(value % f) for f in ("ACT_DEV_IP", "ACT_DEV_COMM", "ACT_DEV_PERMISSION")],
                         ["0.0.0.0", "tambor", "1"])
        self.assertEqual(b.eval(value % "ACT_SNMP_PORT"), "161")
        self.assertEqual(b.errors(), [])


class ManagementSwitch(harness.DaemonTest):
    """"Apply management" on the reaction page turns SNMPv3 user 1 off and
    on again, never with more than the permission config.ini gives it:
    after "Permission1=1" the published factory passwords read and cannot
    write, as net-snmp's snmpget and snmpset show."""

    def setUp(self):
        super().setUp()
        import test_webaccess
        self.Session = test_webaccess.Session
        test_webaccess.use_accounts()
        harness.config_set({"USM": {"Permission1=": 1}})
        self.http = test_webaccess.HTTP

    def start(self):
        self.start_daemon()
        wait_listening(self.http)
        st.wait_agent(security=st.v1("tambor"))  # the manager may be off
        return self.Session(1)  # the switch is the device account's

    def switch(self, web, on):
        fields = [("SUB_MAG", "1")] + ([("ACT_MAG_EN", "1")] if on else [])
        web.post("device/mgnt_reaction", fields)
        return web.message()[:2]

    def manager(self):
        """What the factory user may do: (reads, writes)."""
        reads = st.run("snmpget", st.v3(), V4, SYS_DESCR, timeout=2).returncode == 0
        r = st.run("snmpset", st.v3(), V4, PF_DELAY, "i", "222", timeout=2)
        return reads, r.returncode == 0

    def test_switch_keeps_the_permission_the_operator_set(self):
        web = self.start()
        self.assertEqual(self.manager(), (True, False))
        for on, may in ((True, (True, False)), (False, (False, False)), (True, (True, False)),
                        (True, (True, False))):
            with self.subTest(on=on):
                self.assertEqual(self.switch(web, on), UPDATED)
                self.assertEqual(self.manager(), may)
                self.assertEqual(harness.config_get("Manageable", "Enable="), "Yes" if on else "No")
                self.assertEqual(harness.config_get("USM", "Permission1="), "1" if on else "0")
        self.assertNotEqual(harness.config_get("Shutdown", "Power Fail Delay="), "222")

    def test_switch_gives_back_the_permission_across_a_restart(self):
        # Off, a restart (the host's own power-failure shutdown is one), on:
        # user 1 gets back what config.ini gave it, never more.
        for configured, may in ((1, (True, False)), (2, (True, True))):
            with self.subTest(permission=configured):
                harness.config_set({"USM": {"Permission1=": configured}})
                web = self.start()
                self.assertEqual(self.manager(), may)
                self.assertEqual(self.switch(web, False), UPDATED)
                self.assertEqual(self.manager(), (False, False))
                self.daemons[-1].stop()
                web = self.start()
                self.assertEqual(self.manager(), (False, False))
                self.assertEqual(harness.config_get("USM", "Permission1="), "0")
                self.assertEqual(self.switch(web, True), UPDATED)
                self.assertEqual(harness.config_get("Manageable", "Enable="), "Yes")
                self.assertEqual(harness.config_get("USM", "Permission1="), str(configured))
                self.assertEqual(self.manager(), may)
                self.daemons[-1].stop()

    def test_switch_without_a_permission_to_give_back_leaves_user_one_off(self):
        # Off in config.ini before the switch was used: on gives it nothing.
        harness.config_set({"USM": {"Permission1=": 0}, "Manageable": {"Enable=": "No"}})
        web = self.start()
        title, body = self.switch(web, True)
        self.assertEqual(title, "SNMPv3 User Off")
        self.assertIn("Permission1=", body)
        self.assertEqual(harness.config_get("Manageable", "Enable="), "Yes")
        self.assertEqual(harness.config_get("USM", "Permission1="), "0")
        self.assertEqual(self.manager(), (False, False))

if __name__ == "__main__":
    harness.main()
