"""The README's quick start, command by command, against the installed
daemon with its factory settings: the first login of the three accounts,
the accounts page that only the administrator may use and the login lock,
the link to a simulated UPS as the summary and the link statistics show it,
its loss and return in the event log, the serial trace where the quick
start says it is and to whom it is served, the SNMP community, the SNMPv3
user and its context, net-snmp's tools loading the installed MIB module
(every object and trap by name), stopping with SIGTERM and what "upsd stop"
and a second start do, resetting a password under the factory encoding and
in clear, the daemon rewriting config.ini, limiting the SNMPv3 user, and the
example systemd unit."""
import hashlib
import html
import os
import re
import signal
import subprocess
import time

import harness
import test_web_browser as browser  # noqa: E402

MIBDIR = harness.INSTALL + "/mibs"
README = os.path.join(harness.SRC, "README.md")
EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"
TRACE = harness.PRIVATE + "/comm_data.txt"
HTTPS = "https://127.0.0.1"
FACTORY_PASSWORD = "brindlex"
ACCOUNTS = ("admin", "device", "user")
V1 = ["-v1", "-c", "tambor"]
V3 = ["-v3", "-l", "authPriv", "-u", "manager", "-a", "MD5", "-A", "mq530847",
      "-x", "DES", "-X", "tv817264"]
CONTEXT = ["-n", "upsctx"]
# The quick start's way of loading the MIB into net-snmp.
MIB = ["-m", "+SNMPv2-MIB:BRISVANE-MIB", "-M", "+" + MIBDIR]
OBJECTS = ["bvOperatingSystem", "bvSoftwareVersion", "bvCountdownRunning", "bvCountdownSeconds",
           "bvCountdownReason", "bvHostName", "bvShutdownType", "bvPowerFailEnable", "bvPowerFailDelay",
           "bvBatteryLowEnable", "bvBatteryLowDelay", "bvOverloadEnable", "bvOverloadDelay",
           "bvBypassEnable", "bvBypassDelay", "bvScheduleEnable", "bvScheduleDelay", "bvCountdownCancel"]

# net-snmp as on an operator's Debian host: its own state directory and a
# configuration that, like Debian's /etc/snmp/snmp.conf, loads no MIB by
# default; the MIB search path is net-snmp's default one.
SNMP_STATE = "/tmp/quickstart-snmp"
os.makedirs(SNMP_STATE + "/persist", exist_ok=True)
os.makedirs(SNMP_STATE + "/conf", exist_ok=True)
with open(SNMP_STATE + "/conf/snmp.conf", "w") as f:
    f.write("mibs :\n")
SNMP_ENV = {k: v for k, v in os.environ.items() if k not in ("MIBS", "MIBDIRS")}
SNMP_ENV.update(SNMP_PERSISTENT_DIR=SNMP_STATE + "/persist", SNMPCONFPATH=SNMP_STATE + "/conf")


def snmp(tool, *args):
    timing = [] if tool == "snmptranslate" else ["-t", "2", "-r", "1"]
    r = subprocess.run([tool] + timing + list(args), capture_output=True, text=True, env=SNMP_ENV, timeout=60)
    return r.returncode, r.stdout + r.stderr


def wait_agent():
    harness.wait_for(lambda: snmp("snmpget", *V1, "127.0.0.1", ".1.3.6.1.2.1.1.1.0")[0] == 0, 20,
                     0.5, what="the SNMP agent")


def curl(*args):
    return subprocess.run(["curl", "-sS", "-k", "-g", "--max-time", "10"] + list(args), capture_output=True,
                          timeout=30)


def login(base, user, password):
    """The session cookie of a login, or None."""
    page = curl(base + "/login.asp").stdout
    challenge = re.search(rb'id="challenge" value="([^"]*)"', page).group(1).decode()
    answer = hashlib.md5((user + password + challenge).encode()).hexdigest()
    reply = curl("-i", base + "/varno/login", "-d", "Username=%s&Response=%s" % (user, answer)).stdout
    m = re.search(rb"Set-Cookie: QuenchRelayer=([^;]*);", reply)
    return m.group(1).decode() if m else None


def get(cookie, path):
    return curl("-b", "QuenchRelayer=" + cookie, HTTPS + path).stdout.decode("utf-8", "replace")


def cell(page, ident):
    """Text of the element with this id, markup removed."""
    m = re.search(r'id="%s"[^>]*>(.*?)</' % re.escape(ident), page, re.S)
    return html.unescape(re.sub(r"<[^>]*>", "", m.group(1))).strip() if m else None


def post(cookie, action, fields):
    """Posts a form as the browser does; the (title, body) of the message
    page the answer leads to."""
    curl("-b", "QuenchRelayer=" + cookie, HTTPS + action, *sum((["--data-urlencode", "%s=%s" % f]
                                                                 for f in fields), []))
    message = get(cookie, "/message.asp")
    return cell(message, "title"), cell(message, "message")


def token(cookie, path):
    return re.search(r'name="SYS_UCTOKEN" value="([^"]*)"', get(cookie, path)).group(1)


def events():
    return harness.read(EVENT_LOG) or ""


class QuickStart(harness.DaemonTest):
    def test_first_login_with_the_factory_accounts(self):
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(443), 20, 0.2, what="HTTPS")
        # http://<host>/ sends the browser to the HTTPS login page.
        r = curl("-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", "http://127.0.0.1/")
        self.assertEqual(r.stdout.decode(), "302 https://127.0.0.1:443/")
        self.assertIn(b'id="challenge"', curl("-L", "http://127.0.0.1/").stdout)
        for user in ACCOUNTS:
            with self.subTest(user=user):
                self.assertIsNotNone(login("https://127.0.0.1", user, FACTORY_PASSWORD))
        self.assertIsNone(login("https://127.0.0.1", "admin", "wrong-password"))
        # In a browser, the administrator's summary says right after the
        # login which accounts still have the factory password, and which
        # factory SNMP secrets, published here, are in force.
        b = browser.Browser()
        self.addCleanup(b.close)
        browser.log_in(b, "https://127.0.0.1", "admin", FACTORY_PASSWORD)
        self.assertEqual(b.eval("location.pathname"), "/home.asp")
        self.assertEqual(b.eval("document.getElementById('default-passwords').hidden ? [] : "
                                "Array.from(document.querySelectorAll('#default-passwords p')).map(p => p.textContent)"),
                         ["The administrator, device and user accounts still have the factory password: "
                          "change them on System > Accounts.",
                          "The SNMPv3 user manager (read and write) still has the factory authentication and privacy "
                          "passwords, published with the daemon: change them as Auth1= and Priv1= of [USM] in "
                          "config.ini on Maintenance > Configuration file.",
                          "The SNMPv1 community tambor (read only, from any IPv4 address) is the factory one, "
                          "published with the daemon: change it on SNMP > Agent and access."])

    def test_accounts_page_is_the_administrators(self):
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(443), 20, 0.2, what="HTTPS")
        new = {"admin": "admin-pw-1", "device": "device-pw-2", "user": "user-pw-3"}
        fields = [("USR_ACCOUNT%d" % i, name) for i, name in enumerate(ACCOUNTS, 1)]
        fields += [("USR_PASSWD%d" % i, new[name]) for i, name in enumerate(ACCOUNTS, 1)]
        fields += [("USR_LOCK", "1"), ("USR_RETRY", "5"), ("USR_LTIME", "10")]
        before = harness.read(harness.CONFIG)
        # The device and user accounts see the page without the account
        # names, and their post is refused without a change.
        for name in ("device", "user"):
            with self.subTest(account=name):
                cookie = login(HTTPS, name, FACTORY_PASSWORD)
                page = get(cookie, "/en/sys_user.asp")
                self.assertIn('id="USR_ACCOUNT1" name="USR_ACCOUNT1" maxlength="32" required value=""', page)
                answer = post(cookie, "/en/sys_user",
                              [("SYS_UCTOKEN", token(cookie, "/en/sys_user.asp"))] + fields)
                self.assertEqual(answer, ("Access Denied", "This account may not make this change."))
                self.assertEqual(harness.read(harness.CONFIG), before)
        cookie = login(HTTPS, "admin", FACTORY_PASSWORD)
        self.assertIn('name="USR_ACCOUNT1" maxlength="32" required value="admin"',
                      get(cookie, "/en/sys_user.asp"))
        answer = post(cookie, "/en/sys_user", [("SYS_UCTOKEN", token(cookie, "/en/sys_user.asp"))] + fields)
        self.assertEqual(answer, ("Information", "Updated successfully."))
        for name in ACCOUNTS:
            with self.subTest(account=name):
                self.assertIsNone(login(HTTPS, name, FACTORY_PASSWORD))
                self.assertIsNotNone(login(HTTPS, name, new[name]))
        # Five wrong passwords in a row lock the account: the right one is
        # refused then.
        for _ in range(5):
            self.assertIsNone(login(HTTPS, "user", "wrong-password"))
        self.assertIsNone(login(HTTPS, "user", new["user"]))
        self.assertIsNotNone(login(HTTPS, "device", new["device"]))

    def test_link_to_the_ups_logs_and_serial_trace(self):
        sim = harness.serial_ups(self)
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(443), 20, 0.2, what="HTTPS")
        admin = login(HTTPS, "admin", FACTORY_PASSWORD)
        device = login(HTTPS, "device", FACTORY_PASSWORD)
        user = login(HTTPS, "user", FACTORY_PASSWORD)
        # The link is up: the summary shows Communication Normal and the
        # model, the link statistics count replies.
        harness.wait_for(lambda: cell(get(admin, "/home.asp"), "model") == sim.model.model, 20, 0.5,
                         what="the model on the summary")
        home = get(admin, "/home.asp")
        self.assertEqual(cell(home, "comm"), "0")
        self.assertIn('data-map="0:Normal|1:Lost" id="comm"', home)
        self.assertGreater(int(cell(get(admin, "/debug.asp"), "dbg_rx_ok")), 0)
        self.assertIn(" Monitoring service started", events().splitlines()[0])
        # The device account starts the serial trace on the link statistics.
        self.assertFalse(os.path.exists(TRACE))
        curl("-b", "QuenchRelayer=" + device, HTTPS + "/debug", "-d",
             "SYS_UCTOKEN=%s&DBG_STARTLOG=1" % token(device, "/debug.asp"))
        # A query and a reply, wherever in the poll cycle the trace began.
        def query_and_reply():
            trace = harness.read(TRACE) or ""
            return re.search(r"Tx: ~00P003[A-Z0-9]{3}", trace) and re.search(r"Rx: ~00D\d{3}", trace)
        harness.wait_for(query_and_reply, 10, 0.2, what="a query and a reply in the trace")
        trace = harness.read(TRACE)
        self.assertRegex(trace[:trace.index("~")], r"(Tx|Rx): $")  # its first frame under its direction too
        for who, cookie, served in (("admin", admin, True), ("device", device, True), ("user", user, False)):
            with self.subTest(account=who):
                self.assertEqual("Rx: " in get(cookie, "/tempage/comm_data.txt"), served)
        # A silent UPS is a lost link; its answers bring the link back.
        self.assertNotIn(" Communication with the UPS lost", events())
        sim.set_state("silent")
        harness.wait_for(lambda: " Communication with the UPS lost" in events(), 30, 0.5,
                         what="the lost link in the event log")
        harness.wait_for(lambda: cell(get(admin, "/home.asp"), "comm") == "1", 5, 0.5,
                         what="Communication Lost on the summary")
        sim.set_state("online")
        harness.wait_for(lambda: " Communication with the UPS restored" in events(), 30, 0.5,
                         what="the restored link in the event log")

    def test_snmp_community_user_context_and_mib(self):
        self.start_daemon()
        wait_agent()
        rc, out = snmp("snmpget", *V1, "127.0.0.1", "sysDescr.0", *MIB)
        self.assertEqual((rc, out.strip()), (0, 'SNMPv2-MIB::sysDescr.0 = STRING: Brisvane'))
        # The community answers any IPv4 address, here the peer's.
        r = harness.peer("snmpget", "-t", "2", "-r", "1", "-On", *V1, harness.HOST_V4, ".1.3.6.1.2.1.1.1.0",
                         capture_output=True, text=True, env=SNMP_ENV, timeout=30)
        self.assertEqual(r.stdout.strip(), '.1.3.6.1.2.1.1.1.0 = STRING: "Brisvane"', r.stderr)
        # Every SNMPv3 request needs the context.
        rc, out = snmp("snmpget", *V3, "127.0.0.1", ".1.3.6.1.2.1.1.1.0")
        self.assertNotEqual(rc, 0)
        self.assertIn("Bad context specified", out)
        # The whole agent by name, over the network as a manager sees it.
        rc, out = snmp("snmpwalk", *V3, *CONTEXT, *MIB, "192.0.2.1", ".1.3.6.1")
        self.assertEqual(rc, 0, out)
        lines = [line for line in out.splitlines() if " = " in line and "No more variables" not in line]
        self.assertEqual(len(lines), 25, out)
        for line in lines:
            self.assertRegex(line, r"^(SNMPv2-MIB|DISMAN-EVENT-MIB|BRISVANE-MIB)::\w+", line)
        self.assertIn("SNMPv2-MIB::sysObjectID.0 = OID: BRISVANE-MIB::bvAgent", out)
        names = [m.group(1) for m in (re.match(r"BRISVANE-MIB::(\w+)\.0 = ", line) for line in lines) if m]
        self.assertEqual(names, OBJECTS)
        self.assertIn("BRISVANE-MIB::bvCountdownReason.0 = INTEGER: none(1)", out)
        self.assertIn("BRISVANE-MIB::bvPowerFailDelay.0 = INTEGER: 300 seconds", out)
        # The manager may set; the community only reads. A set is saved at once.
        rc, out = snmp("snmpset", *V3, *CONTEXT, *MIB, "127.0.0.1", "bvPowerFailDelay.0", "=", "240")
        self.assertEqual((rc, out.strip()), (0, "BRISVANE-MIB::bvPowerFailDelay.0 = INTEGER: 240 seconds"))
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "240")
        rc, out = snmp("snmpset", *V1, *MIB, "127.0.0.1", "bvPowerFailDelay.0", "=", "100")
        self.assertNotEqual(rc, 0, out)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "240")

    def test_traps_of_both_tables_by_name(self):
        # No UPS on the fixed USB choice: the link is reported lost, trap 1
        # of both tables, after the cold start.
        harness.ensure_config()
        port = 16217
        keys = {"Number=": 3}
        for i, (typ, mib) in enumerate([(1, 0), (1, 1), (0, 0)], 1):
            keys.update({"IP%d=" % i: "127.0.0.1", "Port%d=" % i: port + i, "Community%d=" % i: "tambor",
                         "Type%d=" % i: typ, "MIB%d=" % i: mib, "Level%d=" % i: 4, "User%d=" % i: "",
                         "NCPort%d=" % i: 161, "Twice%d=" % i: "No"})
        harness.config_set({"SNMP Trap": keys, "COM": {"COM Port=": 1}})
        with open(SNMP_STATE + "/conf/snmptrapd.conf", "w") as f:
            f.write("disableAuthorization yes\n")
        out = open("/tmp/quickstart-traps.txt", "w")
        trapd = subprocess.Popen(
            ["snmptrapd", "-f", "-C", "-c", SNMP_STATE + "/conf/snmptrapd.conf", "-Lo", "-n", *MIB,
             "-F", "TRAP %V|%N|%q|%v\n"] + ["udp:127.0.0.1:%d" % (port + i) for i in (1, 2, 3)],
            stdout=out, stderr=subprocess.STDOUT, env=SNMP_ENV)
        try:
            time.sleep(0.5)
            self.start_daemon()

            def traps():
                return [t for t in (harness.read("/tmp/quickstart-traps.txt") or "").splitlines()
                        if t.startswith("TRAP ")]
            want = ["snmpTrapOID.0 = OID: SNMPv2-MIB::coldStart",
                    "snmpTrapOID.0 = OID: BRISVANE-MIB::bvV4CommunicationLost.0",
                    "snmpTrapOID.0 = OID: BRISVANE-MIB::bvV5CommunicationLost.0",
                    "TRAP BRISVANE-MIB::bvV4Events|BRISVANE-MIB::bvV4CommunicationLostV1|"]
            try:
                harness.wait_for(lambda: all(any(w in t for t in traps()) for w in want), 30, 0.5,
                                 what="the named traps")
            except AssertionError:
                self.fail("missing %s in:\n%s" % (want, harness.read("/tmp/quickstart-traps.txt")))
        finally:
            trapd.terminate()
            trapd.wait(10)
            out.close()
        # The notifications are defined where the SNMPv1 traps map to.
        rc, text = snmp("snmptranslate", *MIB, "-Td", "BRISVANE-MIB::bvV5RedundancyLostV1")
        self.assertEqual(rc, 0, text)
        self.assertIn("NOTIFICATION-TYPE", text)
        rc, text = snmp("snmptranslate", *MIB, "-On", "BRISVANE-MIB::bvV5RedundancyLostV1")
        self.assertEqual(text.strip(), ".1.3.6.1.4.1.32473.2.5.20.0.54")

    def test_stop_reset_password_and_rewritten_config(self):
        d = self.start_daemon()
        harness.wait_for(lambda: harness.listening(443), 20, 0.2, what="HTTPS")
        # A second start is refused on standard error while one runs.
        r = harness.run_upsd()
        self.assertEqual((r.returncode, r.stderr), (1, "upsd: already running (pid %d); not started\n" % d.pid))
        # "upsd stop" does not stop the daemon, which only logs the signal; SIGTERM does.
        r = harness.run_upsd("stop")
        self.assertEqual(r.stdout, "Kill pid = %d\n" % d.pid)
        harness.wait_for(lambda: " Signal SIGINT received" in events(), 5, 0.1, what="the logged SIGINT")
        self.assertTrue(d.running())
        subprocess.run("kill $(cat %s)" % harness.PIDFILE, shell=True, check=True)
        self.assertEqual(harness.reap(d.pid), 0)
        d.pid = None
        self.assertFalse(os.path.exists(harness.PIDFILE))
        self.assertTrue(events().splitlines()[-1].endswith(" Monitoring service stopped"), events())
        self.assertEqual(harness.run_upsd("stop").stdout, "Kill pid = -1\n")
        # A forgotten password, written in clear while the daemon is stopped:
        # under the factory encoding it is stored encoded again, with
        # "Password Encrypt=No" it stays in clear.
        self.assertEqual(harness.config_get("Web", "Password Encrypt="), "Advanced")
        for n, encoding in enumerate(("Advanced", "No")):
            with self.subTest(encoding=encoding):
                new = {name: "%s-pw-%d" % (name, n) for name in ACCOUNTS}
                harness.config_set({"Web": {"Password Encrypt=": encoding, "Password0=": new["admin"],
                                            "Password1=": new["device"], "Password2=": new["user"]}})
                d = self.start_daemon()
                harness.wait_for(lambda: harness.listening(443), 20, 0.2, what="HTTPS")
                for i, name in enumerate(ACCOUNTS):
                    self.assertIsNotNone(login(HTTPS, name, new[name]), name)
                    stored = harness.config_get("Web", "Password%d=" % i)
                    self.assertEqual(stored == new[name], encoding == "No", stored)
                self.assertIsNone(login(HTTPS, "device", FACTORY_PASSWORD))
                self.assertEqual(d.stop(), 0)
        # A hand edit while the daemon runs is lost at its next save.
        d = self.start_daemon()
        harness.config_set({"Shutdown": {"UPS Delay=": "90"}})
        wait_agent()
        rc, out = snmp("snmpset", *V3, *CONTEXT, *MIB, "127.0.0.1", "bvBatteryLowDelay.0", "=", "45")
        self.assertEqual(rc, 0, out)
        self.assertEqual(harness.config_get("Shutdown", "Battery Low Delay="), "45")
        self.assertEqual(harness.config_get("Shutdown", "UPS Delay="), "120")
        self.assertEqual(d.stop(), 0)
        # The factory SNMPv3 user limited by hand: read-only, then off.
        for permission, reads, sets in (("1", True, False), ("0", False, False)):
            with self.subTest(permission=permission):
                harness.config_set({"USM": {"Permission1=": permission}})
                d = self.start_daemon()
                wait_agent()
                rc, out = snmp("snmpget", *V3, *CONTEXT, *MIB, "127.0.0.1", "bvBatteryLowDelay.0")
                self.assertEqual(rc == 0 and "45 seconds" in out, reads, out)
                rc, out = snmp("snmpset", *V3, *CONTEXT, *MIB, "127.0.0.1", "bvBatteryLowDelay.0", "=", "50")
                self.assertEqual(rc == 0, sets, out)
                self.assertEqual(harness.config_get("Shutdown", "Battery Low Delay="), "45")
                self.assertEqual(d.stop(), 0)

    def test_boot_unit_of_the_readme(self):
        # The unit the README points to is installed beside the daemon.
        path = harness.INSTALL + "/upsd.service"
        self.assertIn("sudo cp %s /etc/systemd/system/" % path, harness.read(README))
        unit = harness.read(path)
        self.assertIn("Type=forking\n", unit)
        self.assertIn("PIDFile=%s\n" % harness.PIDFILE, unit)
        self.assertIn("ExecStart=%s\n" % harness.UPSD, unit)
        # Back after any exit but a stop by systemd (SIGHUP ends the daemon
        # with status 0), and a stop leaves the user command running.
        self.assertIn("Restart=always\n", unit)
        self.assertIn("KillMode=process\n", unit)
        r = subprocess.run(["systemd-analyze", "verify", path], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(r.stderr.strip(), "")
        # The daemon does what Type=forking expects: the starting process
        # exits once the daemon runs, and the pid file names the daemon.
        d = self.start_daemon()
        self.assertEqual(d.parent_status, 0)
        self.assertEqual(harness.read(harness.PIDFILE), str(d.pid))
        d.signal(signal.SIGTERM)
        self.assertEqual(harness.reap(d.pid), 0)
        d.pid = None


if __name__ == "__main__":
    harness.main()
