"""Who may do what through the web interface of the installed daemon, with
curl against the three accounts (administrator, device, user): each form
posted by each level with its own session's valid token, and what a refused
post must leave unchanged (config.ini, the UPS language file, the frames the
UPS simulator receives, the files of the private directory); the form
token bound to the session that fetched it; the configuration download
served once and to the administrator only; files and links planted in /tmp
by another local user, which the daemon must simply ignore (mail spools
delivered by Debian's aiosmtpd); and connections that trickle their header
or sit in a TLS handshake, which must not keep a new client waiting."""
import hashlib
import html
import os
import re
import socket
import stat
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import test_web_browser as browser  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402

HTTP, HTTPS = 8080, 8443
BASE = "http://127.0.0.1:%d" % HTTP
PRIVATE = harness.PRIVATE
LANGUAGE_FILE = harness.INSTALL + "/language/English/event-ups.ini"
ACCOUNTS = {0: ("admin", "admin-pass"), 1: ("device", "device-pass"), 2: ("user", "user-pass")}
DENIED = ("Access Denied", "This account may not make this change.")


def curl(*args):
    r = subprocess.run(["curl", "-sS", "-k", "-g", "--max-time", "10"] + list(args), capture_output=True,
                       timeout=30)
    return r.stdout.decode("utf-8", "replace")


class Session:
    """curl with one account's session cookie (from the source address
    given, else the loopback's own)."""

    def __init__(self, level=None, base=BASE, source=None):
        self.base = base
        self.cookie = None
        self.source = ["--interface", source] if source else []
        if level is not None:
            self.login(*ACCOUNTS[level])

    def login(self, user, password):
        page = curl(*self.source, self.base + "/login.asp")
        challenge = re.search(r'id="challenge" value="([^"]*)"', page).group(1)
        response = hashlib.md5((user + password + challenge).encode("utf-8")).hexdigest()
        reply = curl(*self.source, "-i", self.base + "/varno/login", "-d", "Username=%s&Response=%s" % (user, response))
        m = re.search(r"Set-Cookie: QuenchRelayer=([^;]*);", reply, re.I)  # HTTP/2 names are lower-case
        assert m, reply
        self.cookie = m.group(1)
        return reply

    def args(self):
        return self.source + (["-H", "Cookie: QuenchRelayer=%s" % self.cookie] if self.cookie else [])

    def logout_link(self):
        """The Log out link of the summary page: it carries the session's token."""
        return re.search(r'href="(/logout\.asp\?token=[^"]*)"', self.get("/home.asp")).group(1)

    def get(self, path):
        return curl(*self.args(), self.base + path)

    def token(self, path="/en/device/ups_config.asp"):
        tokens = re.findall(r'name="SYS_UCTOKEN" value="([^"]*)"', self.get(path))
        assert tokens and len(tokens[0]) == 24, (path, tokens)
        return tokens[0]

    def post(self, form, fields, multipart=False, token=None):
        """Posts the fields with a fresh token of this session; the reply."""
        fields = [("SYS_UCTOKEN", token or self.token())] + list(fields)
        args = ["-i"] + self.args()
        for name, value in fields:
            args += ["-F" if multipart else "--data-urlencode", "%s=%s" % (name, value)]
        return curl(*args, self.base + "/en/" + form)

    def message(self):
        page = self.get("/message.asp")
        title = re.search(r'<h1 id="title">(.*?)</h1>', page, re.S).group(1)
        body = re.search(r'<div id="message" class="message">(.*?)</div>', page, re.S).group(1)
        button = re.search(r'id="ok" onclick="([^"]*)"', page).group(1)
        return html.unescape(title), html.unescape(re.sub(r"<[^>]*>", "", body)), html.unescape(button)


# Every form with a post that changes something, and the highest level
# (0 administrator, 1 device, 2 user) that may post it.
FORMS = [
    ("sys_user", 0, [("USR_ACCOUNT1", "admin"), ("USR_ACCOUNT2", "device"), ("USR_ACCOUNT3", "owned"),
                     ("USR_PASSWD1", "taken-over-1")]),
    ("sys_info", 0, [("INF_LOCATION", "changed")]),
    ("language", 0, [("LANG", "3")]),
    ("net_mail", 0, [("MAIL_SERVER", "192.0.2.2"), ("MAIL_PORT", "2525")]),
    ("smtp_iconfig", 0, [("MAIL_RCV", "thief@example.org"), ("MAIL_PER", "1"), ("SMTP_ADD", "1")]),
    ("net_sms", 0, [("SMS_COM", "3"), ("SMS_BAUD", "1")]),
    ("net_isms", 0, [("SMS_PHONE", "5550100"), ("SMS_PER", "1"), ("DEV_ADD1", "1")]),
    ("sys_batch", 0, [("DL_SYSTEM", "1")]),
    ("mgnt_reaction", 0, [("SUB_REACTION", "1"), ("ACT_CMD_EN", "1"), ("ACT_CMD_BEFORE", "60"),
                          ("ACT_CMD_FILE", "/tmp/evil.sh")]),
    ("hist_config", 0, [("HCG_AE_APPLY", "1"), ("HCG_AE_PATH", "/etc/cron.d")]),
    ("mgnt_reaction", 1, [("SUB_SHUTDOWN", "1"), ("ACT_SHUT_TYPE", "1"), ("ACT_OSD_PF", "77")]),
    ("mgnt_wschedule", 1, [("WSH_ACT1", "1"), ("WSH_SUN1", "1"), ("WSH_TM1", "03:04")]),
    ("mgnt_sschedule", 1, [("SSH_SD1", "01/02/2031"), ("SSH_TM1", "03:04"), ("SSH_ACT1", "1")]),
    ("mgnt_comport", 0, [("ACT_COM_PORT", "2"), ("ACT_COM_PATH", "/dev/null")]),
    ("mgnt_comport", 1, [("ACT_COM_PORT", "3")]),
    ("dev_snmpv1", 1, [("SUB_PORT", "1"), ("ACT_SNMP_PORT", "1161")]),
    ("dev_iaccess", 1, [("ACT_DEV_ADD1", "1"), ("ACT_DEV_IP", "192.0.2.2"), ("ACT_DEV_COMM", "stolen"),
                        ("ACT_DEV_PERMISSION", "2")]),
    ("dev_snmpv3", 1, [("SUB_CONTEXT", "1"), ("ACT_USM_CONTEXT", "changed")]),
    ("dev_iusm", 1, [("ACT_DEV_ADD2", "1"), ("ACT_USM_USER", "intruder"), ("ACT_USM_SECURITY", "0"),
                     ("ACT_USM_AUTH", ""), ("ACT_USM_PRIV", ""), ("ACT_USM_PERMISSION", "2")]),
    ("trap_iconfig", 1, [("TRAP_ADD1", "1"), ("TRAP_NMS", "192.0.2.2"), ("TRAP_COMM", "c"), ("TRAP_PORT", "162"),
                         ("TRAP_MIB", "0"), ("TRAP_TYPE", "0"), ("TRAP_LEVEL", "1"), ("TRAP_USER", ""),
                         ("TRAP_NCP", "161"), ("TRAP_TWICE", "0")]),
    ("wol_iconfig", 1, [("WOL_ADD1", "1"), ("WOL_TIT", "box"), ("WOL_MAC", "02-11-22-33-44-55"), ("WOL_DLY", "0")]),
    ("event_iconfig", 1, [("EVENT_EDIT2", "1"), ("EVENT_TYPE", "0")]),
    ("dev_iconfig", 1, [("CFG_BBL", "1"), ("CFG_FBL", "1"), ("CFG_BL", "55")]),
    ("dev_icontrol", 1, [("CTL_TST", "1")]),
    ("mgnt_control", 1, [("PAUSE_BROAD", "1")]),
    ("hist_config", 1, [("HCG_APPLY", "1"), ("HCG_MAX_DATANUM", "3")]),
    ("debug", 1, [("DBG_STARTLOG", "1")]),
    # Last: the web server form would take the listeners away.
    ("sys_web", 0, [("HTTP_WEB", "0"), ("WEB_HTTP_PORT", str(HTTP)), ("HTTPS_WEB", "0"),
                    ("WEB_HTTPS_PORT", str(HTTPS)), ("WEB_FORCEHTTPS", "0"), ("WEB_REFRESH", "3")]),
]


def use_accounts(**web):
    """The listeners on HTTP and HTTPS and the three accounts' passwords in
    config.ini (written once if missing); web: further [Web] keys."""
    harness.ensure_config()
    harness.config_set({"Web": dict({"HTTP Port=": HTTP, "HTTPS Port=": HTTPS, "Force HTTPS=": "No",
                                     "Password Encrypt=": "No", "Password0=": ACCOUNTS[0][1],
                                     "Password1=": ACCOUNTS[1][1], "Password2=": ACCOUNTS[2][1],
                                     "Enable Login Lock=": "Disable"}, **web)})


class Access(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        self.sim = harness.serial_ups(self)
        use_accounts()

    def start(self):
        self.daemon = self.start_daemon()
        for port in (HTTP, HTTPS):
            harness.wait_for(lambda: harness.listening(port), 15, 0.1, what="port %d" % port)

    def settings_frames(self):
        return [f for f in self.sim.frames() if f.get("dir") == "rx" and f.get("type") == "S"]

    def state(self):
        """What a refused post must leave as it was (the UPS's own events
        may come and go meanwhile)."""
        made = ("config.ini", "comm_data.txt", "event_log.csv", "hist_data.csv", "iframe_log.htm", "iframe_data.htm")
        log = (harness.read(harness.INSTALL + "/_FILE_LOG.TXT") or "").splitlines()
        return {"config.ini": harness.read(harness.CONFIG), "event-ups.ini": harness.read(LANGUAGE_FILE),
                "UPS settings and commands": len(self.settings_frames()),
                "private files": [n for n in made if os.path.exists(os.path.join(PRIVATE, n))],
                "notices stopped (event 9)": len([r for r in log if r.startswith("9 ")])}

    def test_each_level_posts_only_what_it_may(self):
        self.start()
        harness.wait_for(lambda: any(f.get("mnemonic") == "STB" for f in self.sim.frames()), 30,
                         what="the UPS link")
        sessions = {level: Session(level) for level in (1, 2)}
        nobody = Session()
        for form, highest, fields in FORMS:
            for level in (2, 1, None):
                if level is not None and level <= highest:
                    continue
                with self.subTest(form=form, level=level, fields=fields[0][0]):
                    web = sessions[level] if level is not None else nobody
                    # A valid token of this session (none without one).
                    token = web.token() if level is not None else "A" * 24
                    before = self.state()
                    reply = web.post(form, fields, multipart=form == "sys_web", token=token)
                    self.assertIn("HTTP/1.1 302 Redirect", reply)
                    self.assertRegex(reply, r"Location: http://127\.0\.0\.1:%d/message\.asp" % HTTP)
                    time.sleep(0.3)  # a UPS command would be on the line by now
                    self.assertEqual(self.state(), before)
                    title, body, _ = web.message()
                    if level is None:
                        self.assertEqual((title, body), ("Login Required", "Please log in again."))
                    else:
                        self.assertEqual((title, body), DENIED)
        self.assertTrue(harness.listening(HTTP))

    def test_device_level_uses_the_device_pages(self):
        self.start()
        web = Session(1)
        # The reaction page as the device account sees it: the user command
        # file stands and stays; the other fields change.
        page = web.get("/en/device/mgnt_reaction.asp")
        shown = html.unescape(re.search(r'name="ACT_CMD_FILE"[^>]*value="([^"]*)"', page).group(1))
        stored = harness.config_get("Reaction", "Execute Command File=")
        self.assertEqual(shown, stored)
        reply = web.post("mgnt_reaction", [("SUB_REACTION", "1"), ("ACT_MSG_EN", "1"), ("ACT_MSG_PERIOD", "45"),
                                           ("ACT_CMD_BEFORE", "90"), ("ACT_CMD_FILE", shown)])
        self.assertIn("HTTP/1.1 302 Redirect", reply)
        self.assertEqual(web.message()[:2], ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("Reaction", "Notify Message Period="), "45")
        self.assertEqual(harness.config_get("Reaction", "Execute Command File="), stored)
        reply = web.post("dev_iconfig", [("CFG_BBL", "1"), ("CFG_FBL", "1"), ("CFG_BL", "44")])
        self.assertEqual(web.message()[:2], ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("UPS", "Battery Low Level="), "44")
        # Secrets of the SNMP lists are not shown to the user account.
        admin = Session(0)
        self.assertIn("tambor", admin.get("/en/net_snmpaccess.asp"))
        self.assertNotIn("tambor", Session(2).get("/en/net_snmpaccess.asp"))

    def test_each_account_is_offered_what_it_may_use(self):
        # The menu as Chromium builds it from the pages' script: each level
        # sees the pages it may use and no button it would be refused.
        self.start()
        status = ["/home.asp", "/en/device/ups_status.asp", "/en/device/ups_measure.asp",
                  "/en/device/ups_module.asp", "/en/device/ups_info.asp"]
        device = status + ["/en/device/ups_config.asp", "/en/device/mgnt_reaction.asp",
                           "/en/device/mgnt_wschedule.asp", "/en/device/mgnt_sschedule.asp",
                           "/en/device/mgnt_comport.asp", "/en/device/mgnt_control.asp",
                           "/en/device/dev_event.asp", "/en/net_wol.asp", "/en/net_snmpaccess.asp",
                           "/en/net_snmpusm.asp", "/en/device/net_snmptrap.asp", "/debug.asp",
                           "/en/hist_log.asp", "/en/hist_data.asp", "/en/hist_config.asp"]
        offered = {1: device, 2: status + ["/en/hist_log.asp", "/en/hist_data.asp"]}
        for level in (1, 2):
            with self.subTest(level=level):
                b = browser.Browser()
                self.addCleanup(b.close)
                browser.log_in(b, BASE, *ACCOUNTS[level])
                links = b.eval("Array.from(document.querySelectorAll('#menu a')).map(a => a.getAttribute('href'))")
                self.assertEqual(links, offered[level])
                # The device account sees the user command file, and may not edit it.
                b.navigate(BASE + "/en/device/mgnt_reaction.asp")
                self.assertTrue(b.eval("document.querySelector('[name=ACT_CMD_FILE]').readOnly"))
                if level == 1:
                    # Nor the directory the data-log export is written into.
                    b.navigate(BASE + "/en/hist_config.asp")
                    self.assertTrue(b.eval("document.querySelector('[name=HCG_AE_PATH]').readOnly"))
        b = browser.Browser()
        self.addCleanup(b.close)
        browser.log_in(b, BASE, *ACCOUNTS[0])
        self.assertIn("/en/sys_user.asp", b.eval("Array.from(document.querySelectorAll('#menu a')).map(a => a.href)"
                                                 ".map(h => new URL(h).pathname)"))
        b.navigate(BASE + "/en/device/mgnt_reaction.asp")
        self.assertFalse(b.eval("document.querySelector('[name=ACT_CMD_FILE]').readOnly"))

    def test_token_belongs_to_the_session(self):
        self.start()
        admin, user = Session(0), Session(2)
        theirs = user.token()
        before = harness.read(harness.CONFIG)
        # The user session's token with the administrator's cookie.
        reply = admin.post("sys_info", [("INF_LOCATION", "crossed")], token=theirs)
        self.assertIn("HTTP/1.1 302 Redirect", reply)
        self.assertEqual(harness.read(harness.CONFIG), before)
        title, body, button = admin.message()
        self.assertEqual(title, "Page Out of Date")
        self.assertEqual(button, "window.location='/en/sys_info.asp'")
        # Two tabs of one session: both pages' tokens work.
        first, second = admin.token("/en/sys_info.asp"), admin.token("/en/sys_user.asp")
        for token, text in ((second, "second tab"), (first, "first tab")):
            admin.post("sys_info", [("INF_LOCATION", text)], token=token)
            self.assertEqual(admin.message()[:2], ("Information", "Updated successfully."))
            self.assertEqual(harness.config_get("System", "Location="), text)
        # The cookie says SameSite=Strict.
        reply = Session().login(*ACCOUNTS[0])
        self.assertRegex(reply, r"Set-Cookie: QuenchRelayer=[^;]+;path=/; SameSite=Strict; HttpOnly\r\n")

    def test_configuration_download_is_served_once_to_the_administrator(self):
        self.start()
        admin, device = Session(0), Session(1)
        reply = admin.post("sys_batch", [("DL_SYSTEM", "1")])
        link = re.search(r"Location: http://127\.0\.0\.1:%d(/tempage/config\.ini\?token=\S+)\r\n" % HTTP,
                         reply).group(1)
        # Not to another session, even while it waits; not without the token.
        self.assertNotIn("[Web]", device.get(link))
        self.assertNotIn("[Web]", admin.get("/tempage/config.ini"))
        self.assertIn("Password0=admin-pass", admin.get(link))
        # Served once: the copy is gone.
        self.assertNotIn("[Web]", admin.get(link))
        self.assertFalse(os.path.exists(PRIVATE + "/config.ini"))

    def test_files_planted_in_tmp_are_ignored(self):
        # Another local user's names in /tmp, made before the daemon starts.
        planted = {"/tmp/x": lambda p: os.symlink(harness.INSTALL, p),
                   "/tmp/comm_data.txt": lambda p: os.symlink(harness.CONFIG, p),
                   "/tmp/config.ini": lambda p: os.symlink(harness.CONFIG, p),
                   "/tmp/mail_level2.txt": lambda p: harness.write(
                       p, "Subject: planted\r\nReply-To: thief@example.org\r\n\r\nplanted\r\n", 0o666),
                   "/tmp/mail_level1.txt": os.mkdir,
                   "/tmp/TMP_BROAD.DAT": os.mkfifo,
                   "/tmp/config_tmp.ini": os.mkfifo}
        for path, plant in planted.items():
            subprocess.run(["rm", "-rf", path], check=True)
            plant(path)
            self.addCleanup(subprocess.run, ["rm", "-rf", path])
        inbox = []
        lock = threading.Lock()

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                with lock:
                    inbox.append(envelope.content.decode("utf-8", "replace"))
                return "250 OK"
        port = harness.free_port()
        server = Controller(Handler(), hostname="127.0.0.1", port=port)
        server.start()
        self.addCleanup(server.stop)
        harness.config_set({"Mail": {"Server=": "127.0.0.1", "Port=": port, "Password=": "", "Sender=": "",
                                     "Mail Sender=": "ups@example.org", "Receive Num=": 1,
                                     "Receiver1=": "ops@example.org", "Level1=": 1},
                            "Reaction": {"Notify Message Enable=": "Yes"}})
        self.start()
        # The private directory: the daemon's own, for nobody else.
        st = os.lstat(PRIVATE)
        self.assertTrue(stat.S_ISDIR(st.st_mode))
        self.assertEqual((st.st_uid, stat.S_IMODE(st.st_mode)), (os.geteuid(), 0o700))
        admin = Session(0)
        for path in ("/tempage/x/httpd/cert_web.pem", "/tempage/x/config.ini", "/tempage/comm_data.txt",
                     "/tempage/config.ini", "/tempage/../../../config.ini"):
            with self.subTest(path=path):
                got = admin.get(path)
                self.assertNotIn("PRIVATE KEY", got)
                self.assertNotIn("[Web]", got)
        # The start-up event (level 1) is mailed; the planted spool never is.
        harness.wait_for(lambda: any("Monitoring service started" in m for m in inbox), 20,
                         what="the start-up mail")
        # A broadcast and an upload with FIFOs at the old names in /tmp.
        harness.wait_for(lambda: any(f.get("mnemonic") == "STB" for f in self.sim.frames()), 30,
                         what="the UPS link")
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: any("Utility power failure" in m for m in inbox), 30, what="the power-failure mail")
        # The broadcast text reached the console script through the private
        # directory (the stub reads it there).
        harness.wait_for(lambda: "Utility power failure" in (harness.read(harness.MARKS + "/wall") or ""), 20,
                         what="the broadcast")
        reply = admin.post("debug", [("DBG_STARTLOG", "1")])
        self.assertIn("/debug.asp", reply)
        harness.wait_for(lambda: "Tx:" in admin.get("/tempage/comm_data.txt"), 10, what="the serial trace")
        # An upload goes through the private directory too.
        upload = harness.read(harness.CONFIG).replace("Power Fail Delay=", "Power Fail Delay=4")
        harness.write("/tmp/upload.ini", upload)
        self.addCleanup(os.unlink, "/tmp/upload.ini")
        reply = curl("-i", *admin.args(), "-F", "SYS_UCTOKEN=" + admin.token("/en/sys_batch.asp"),
                     "-F", "UL_SYSTEM=1", "-F", "UL_F_SYSTEM=@/tmp/upload.ini;filename=config.ini",
                     BASE + "/en/sys_batch")
        self.assertEqual(admin.message()[:2], ("Information", "Upload successfully."))
        self.assertFalse(os.path.exists(PRIVATE + "/config_tmp.ini"))
        time.sleep(6)  # one more mail pass
        self.assertEqual([m for m in inbox if "planted" in m], [])
        self.assertTrue(os.path.isdir("/tmp/mail_level1.txt"))
        self.assertIn("planted", harness.read("/tmp/mail_level2.txt"))
        self.assertTrue(harness.listening(HTTP))
        self.assertIn('id="home"', admin.get("/home.asp"))

    def test_trickling_and_silent_clients_leave_room(self):
        self.start()
        cases = [("HTTP header one byte every 5 s", HTTP, False), ("silent TLS handshakes", HTTPS, True)]
        for name, port, tls in cases:
            with self.subTest(name):
                holders = [socket.create_connection(("127.0.0.1", port)) for _ in range(20)]
                stop = threading.Event()

                def trickle():
                    request = b"GET /style.css HTTP/1.1\r\nHost: h\r\nX: " + b"x" * 100
                    i = 0
                    while not stop.wait(0 if i == 0 else 5) and i < len(request):
                        for s in holders:
                            try:
                                s.sendall(request[i:i + 1])
                            except OSError:
                                pass
                        i += 1
                feeder = None
                if not tls:
                    feeder = threading.Thread(target=trickle, daemon=True)
                    feeder.start()
                try:
                    time.sleep(7)  # every slot taken, the trickle renewing them
                    t0 = time.monotonic()
                    url = ("https" if tls else "http") + "://127.0.0.1:%d/style.css" % port
                    r = subprocess.run(["curl", "-sS", "-k", "--max-time", "12", "-o", "/dev/null", "-w",
                                        "%{http_code}", url], capture_output=True, timeout=30)
                    waited = time.monotonic() - t0
                    self.assertEqual(r.stdout, b"200", r.stderr)
                    self.assertLess(waited, 10.0)
                finally:
                    stop.set()
                    if feeder:
                        feeder.join()
                    for s in holders:
                        s.close()


class FormTokens(harness.DaemonTest):
    """The forms that took no token: the language form and the switches of
    the link statistics page change nothing without the session's token and
    work with it, posted with curl and from the pages in Chromium."""
    def setUp(self):
        super().setUp()
        self.sim = harness.serial_ups(self)
        use_accounts()

    start = Access.start

    def debug_page(self, web):
        page = web.get("/debug.asp")
        value = lambda ident: re.search(r'id="%s">([^<]*)<' % ident, page).group(1)  # noqa: E731
        return value("dbg_com_log"), int(value("dbg_tx_ok"))

    def test_language_and_debug_switches_need_the_token(self):
        self.start()
        harness.wait_for(lambda: any(f.get("mnemonic") == "STB" for f in self.sim.frames()), 30,
                         what="the UPS link")
        admin = Session(0)
        language = lambda: harness.config_get("Configuration", "Language=")  # noqa: E731
        trace = lambda: self.debug_page(admin)[0]  # noqa: E731
        sent = lambda: self.debug_page(admin)[1]  # noqa: E731
        harness.wait_for(lambda: sent() > 40, 20, what="frames counted")
        cases = [("language", [("LANG", "3")], language, "0", "3"),
                 ("debug", [("DBG_STARTLOG", "1")], trace, "Stop", "Recording"),
                 ("debug", [("DBG_STOPLOG", "1")], trace, "Recording", "Stop"),
                 ("debug", [("DBG_CLEAR", "1")], lambda: sent() > 40, True, False)]
        for form, fields, now, before, after in cases:
            with self.subTest(form=form, field=fields[0][0]):
                self.assertEqual(now(), before)
                for what, token in (("no token", None), ("a token of no page", "A" * 24)):
                    args = ["-i"] + admin.args() + ["--data-urlencode", "%s=%s" % fields[0]]
                    if token:
                        args += ["--data-urlencode", "SYS_UCTOKEN=" + token]
                    reply = curl(*args, BASE + "/en/" + form)
                    self.assertIn("HTTP/1.1 302 Redirect", reply, what)
                    self.assertEqual(admin.message()[0], "Page Out of Date", what)
                    self.assertEqual(now(), before, what)
                reply = admin.post(form, fields, token=admin.token("/debug.asp" if form == "debug" else
                                                                    "/en/sys_lang.asp"))
                self.assertIn("HTTP/1.1 302 Redirect", reply)
                self.assertEqual(now(), after)
        # The pages' own forms carry the token.
        b = browser.Browser()
        self.addCleanup(b.close)
        browser.log_in(b, BASE, *ACCOUNTS[0])
        b.navigate(BASE + "/en/sys_lang.asp")
        b.fill({"LANG": "0"})
        b.submit_and_wait("document.querySelector('form.system button[type=submit]').click(); true")
        self.assertEqual(language(), "0")
        b.navigate(BASE + "/debug.asp")
        b.submit_and_wait("document.querySelector('button[name=DBG_STARTLOG]').click(); true")
        self.assertEqual(trace(), "Recording")


class SessionTable(harness.DaemonTest):
    """The table of 16 sessions, full: 14 sessions nobody uses (one of them a
    browser), scripts that log in with curl twice a second and never log
    out, and two people working side by side in Chromium. Neither person is
    logged out; the ended idle ones are told why by their next page."""
    PEOPLE = {0: ["/home.asp", "/en/sys_info.asp", "/en/device/ups_status.asp"],
              1: ["/home.asp", "/en/device/mgnt_reaction.asp", "/en/hist_log.asp"]}
    WORK_SECONDS = 30

    def setUp(self):
        super().setUp()
        use_accounts()
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(HTTP), 15, 0.1, what="port %d" % HTTP)

    def scripts(self, stop, logins):
        """Two scripts, each from its own address, each logging in every
        second; logins gets every cookie they were given."""
        def run(source):
            while not stop.is_set():
                logins.append(Session(2, source=source).cookie)
                stop.wait(1)
        threads = [threading.Thread(target=run, args=(a,), daemon=True) for a in ("127.0.1.1", "127.0.1.2")]
        for t in threads:
            t.start()
        return threads

    def test_two_people_keep_their_sessions_while_scripts_fill_the_table(self):
        idle_browser = browser.Browser()
        self.addCleanup(idle_browser.close)
        browser.log_in(idle_browser, BASE, *ACCOUNTS[2])
        self.assertEqual(idle_browser.eval("location.pathname"), "/home.asp")
        idle_browser.navigate("about:blank")  # the summary would reload itself: no longer unused
        idle = [Session(2) for _ in range(13)]
        stop, logins = threading.Event(), []
        threads = self.scripts(stop, logins)
        self.addCleanup(lambda: (stop.set(), [t.join() for t in threads]))
        # The table is full before the people log in.
        harness.wait_for(lambda: len(logins) >= 4, 20, what="the scripts' first logins")
        people = {}
        for level in self.PEOPLE:
            b = browser.Browser()
            self.addCleanup(b.close)
            browser.log_in(b, BASE, *ACCOUNTS[level])
            self.assertEqual(b.eval("location.pathname"), "/home.asp", level)
            people[level] = b
        # They work: every page each loads is the page asked for.
        seen = {level: [] for level in people}
        deadline = time.monotonic() + self.WORK_SECONDS
        step = 0
        while time.monotonic() < deadline:
            for level, b in people.items():
                page = self.PEOPLE[level][step % len(self.PEOPLE[level])]
                b.navigate(BASE + page)
                seen[level].append((b.look("location.pathname"),
                                    b.look("!!document.getElementById('challenge') || !!document.getElementById('ended')")))
            step += 1
        for level, pages in seen.items():
            wanted = [(p, False) for p in (self.PEOPLE[level] * len(pages))[:len(pages)]]
            sent_away = [i for i, (got, want) in enumerate(zip(pages, wanted)) if got != want]
            self.assertEqual(sent_away, [], "person %d was sent away: %s" % (level, pages[sent_away[0]:][:3]
                                                                              if sent_away else ""))
        # The administrator saves a setting from the page.
        admin = people[0]
        admin.navigate(BASE + "/en/sys_info.asp")
        admin.fill({"INF_LOCATION": "rack 7"})
        admin.submit_and_wait("document.querySelector('main button[type=submit]').click(); true")
        harness.wait_for(lambda: harness.config_get("System", "Location=") == "rack 7", 10,
                         what="the location saved by the administrator")
        stop.set()
        for t in threads:
            t.join()
        sys.stderr.write("\n%d script logins in %d s; pages loaded: %s\n" % (
            len(logins), self.WORK_SECONDS, {level: len(v) for level, v in seen.items()}))
        self.assertGreater(len(logins), 16 + 2)
        # The sessions nobody used were ended to make room, and each one's
        # next request says so: in the browser, and to curl.
        idle_browser.navigate(BASE + "/en/device/ups_status.asp")
        self.assertEqual(idle_browser.eval("location.pathname"), "/ended.asp")
        self.assertIn("Your session was ended to make room for a new login",
                      idle_browser.eval("document.body.innerText"))
        for web in idle:
            reply = curl("-i", *web.args(), BASE + "/home.asp")
            self.assertRegex(reply, r"^HTTP/1.1 302 Redirect\r\n")
            self.assertIn("Location: %s/ended.asp\r\n" % BASE, reply)
        self.assertIn("Session ended", curl(BASE + "/ended.asp"))
        # The people are still logged in.
        for level, b in people.items():
            b.navigate(BASE + "/home.asp")
            self.assertEqual(b.look("document.getElementById('home') !== null"), True, level)


class LoginFlood(harness.DaemonTest):
    """Failed logins from many addresses at once: the event log keeps what
    it held before, records the first failures one by one and the rest as
    a count with the addresses seen most, and the lock-out still locks."""
    FLOOD = 12000
    SOURCES = ["127.0.1.%d" % i for i in range(1, 13)]
    EARLIER = 5000

    def setUp(self):
        super().setUp()
        use_accounts(**{"Enable Login Lock=": "Enable", "Login Retry=": 5, "Locak Time=": 10})
        # The log as a running installation has it: records from before.
        harness.write(harness.INSTALL + "/_FILE_LOG.TXT",
                      "".join("-1 1 01/02/2026 03:04:05 earlier record %d\n" % i for i in range(self.EARLIER)))

    def records(self):
        return (harness.read(harness.INSTALL + "/_FILE_LOG.TXT") or "").splitlines()

    @staticmethod
    def exchange(source, request):
        with socket.socket() as s:
            s.bind((source, 0))
            s.settimeout(10)
            s.connect(("127.0.0.1", HTTP))
            s.sendall(request)
            reply = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return reply
                reply += chunk

    @staticmethod
    def login_title(user, password):
        """Logs in with curl; the title of the message it answers."""
        page = curl(BASE + "/login.asp")
        challenge = re.search(r'id="challenge" value="([^"]*)"', page).group(1)
        response = hashlib.md5((user + password + challenge).encode()).hexdigest()
        reply = curl("-i", BASE + "/varno/login", "-d", "Username=%s&Response=%s" % (user, response))
        return "logged in" if "Set-Cookie" in reply else Session().message()[0]

    def flood(self, source, count, done):
        get = b"GET /login.asp HTTP/1.1\r\nHost: h\r\n\r\n"
        for i in range(count):
            if i % 200 == 0:  # the address's challenge, renewed within its minute
                self.exchange(source, get)
            body = ("Username=nobody%d&Response=%s" % (i, "0" * 32)).encode()
            self.exchange(source, b"POST /varno/login HTTP/1.1\r\nHost: h\r\nContent-Type: application/"
                                  b"x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            done[source] = i + 1

    def test_failed_logins_cannot_flush_the_log(self):
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(HTTP), 15, 0.1, what="port %d" % HTTP)
        started = [r for r in self.records() if "earlier record" not in r]
        done = {}
        per_source = self.FLOOD // len(self.SOURCES)
        t0 = time.monotonic()
        threads = [threading.Thread(target=self.flood, args=(s, per_source, done)) for s in self.SOURCES]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        took = time.monotonic() - t0
        self.assertEqual(sum(done.values()), self.FLOOD)
        sys.stderr.write("\n%d failed logins from %d addresses took %.1f s\n" % (self.FLOOD, len(self.SOURCES), took))
        # Everything from before the flood is still there, in order.
        records = self.records()
        self.assertEqual([r for r in records if "earlier record" in r],
                         ["-1 1 01/02/2026 03:04:05 earlier record %d" % i for i in range(self.EARLIER)])
        for r in started:
            self.assertIn(r, records)
        # The lock-out still counts every wrong password: the device account
        # is locked after five, and then even its own password is refused.
        titles = [self.login_title("device", "wrong") for _ in range(5)]
        self.assertEqual(titles, ["Login Error"] * 4 + ["Login Lock"])
        self.assertEqual(self.login_title(*ACCOUNTS[1]), "Login Lock")
        locked = [r for r in self.records() if r.startswith("38 ")]
        self.assertEqual(len(locked), 1)
        self.assertIn("User device locked after too many failed logins", locked[0])
        # Once the minute has passed, one record counts the failures that
        # were not logged one by one and names the addresses seen most (the
        # next request after the minute writes it; on a slow machine the
        # flood may reach into a second, longer window with its own record).
        pattern = re.compile(r"^-1 2 \S+ \S+ (\d+) failed logins between \d\d:\d\d:\d\d and \d\d:\d\d:\d\d "
                             r"not logged one by one, most from 127\.0\.\d+\.\d+ \(\d+\)")

        def accounted():
            curl(BASE + "/login.asp")
            records = self.records()
            summaries = [r for r in records if "not logged one by one" in r]
            one_by_one = [r for r in records if r.startswith(("39 ", "37 "))]
            counted = sum(int(pattern.match(r).group(1)) for r in summaries)
            return (summaries, one_by_one) if counted + len(one_by_one) == self.FLOOD + 5 else None
        summaries, one_by_one = harness.wait_for(accounted, 300, 2, what="the count of the failed logins")
        sys.stderr.write("".join(r + "\n" for r in summaries))
        self.assertLessEqual(len(summaries), 2)
        self.assertLessEqual(len(one_by_one), 5)
        for r in one_by_one:
            self.assertRegex(r, r"Login failed (for user device )?from 127\.0\.\d+\.\d+")

    def test_an_ongoing_flood_is_in_the_log_while_it_lasts(self):
        # Two failed logins a second from three addresses for a bit over
        # three minutes of the daemon's clock: the first minute's count comes
        # after a minute, the next window's (two minutes, none one by one)
        # after three, each while the flood still goes on. (The windows stop
        # growing at ten minutes; the unit tests drive that clock further.)
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(HTTP), 15, 0.1, what="port %d" % HTTP)
        stop = threading.Event()
        done = {}

        def flood(source):
            i = 0
            while not stop.is_set():
                if i % 50 == 0:  # the address's challenge, renewed within its minute
                    self.exchange(source, b"GET /login.asp HTTP/1.1\r\nHost: h\r\n\r\n")
                body = ("Username=nobody&Response=%s" % ("0" * 32)).encode()
                self.exchange(source, b"POST /varno/login HTTP/1.1\r\nHost: h\r\nContent-Type: application/"
                                      b"x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
                i += 1
                done[source] = i
                stop.wait(1.5)
        threads = [threading.Thread(target=flood, args=(s,), daemon=True) for s in self.SOURCES[:3]]
        t0 = time.monotonic()
        for t in threads:
            t.start()
        self.addCleanup(lambda: (stop.set(), [t.join() for t in threads]))
        pattern = re.compile(r"^-1 2 \S+ \S+ (\d+) failed logins? between (\d\d):(\d\d):(\d\d) and "
                             r"(\d\d):(\d\d):(\d\d) not logged one by one")
        seen = []  # (seconds after the start, seconds the record covers)

        def counts(n):
            """Takes in the count records logged so far; whether there are n."""
            for r in self.records():
                m = pattern.match(r)
                if m and r not in [x[2] for x in seen]:
                    h1, m1, s1, h2, m2, s2 = (int(g) for g in m.groups()[1:])
                    seen.append((time.monotonic() - t0, ((h2 - h1) * 3600 + (m2 - m1) * 60 + s2 - s1) % 86400, r))
            return len(seen) >= n
        harness.wait_for(lambda: counts(2), 260, 1, what="two count records of the flood")
        stop.set()
        for t in threads:
            t.join()
        sys.stderr.write("\n%d failed logins; count records: %s\n" % (
            sum(done.values()), ["%.0f s: %s" % (at, r) for at, _, r in seen]))
        (first_at, first_span, _), (second_at, second_span, _) = seen[:2]
        self.assertEqual(first_span, 60)
        self.assertEqual(second_span, 120)  # the flood went on: a longer window
        self.assertLess(second_at - first_at, 600)
        self.assertEqual(len([r for r in self.records() if r.startswith("39 ")]), 5)


STRANGERS = ["127.0.2.%d" % i for i in range(1, 18)]  # one more than the table holds
EVERY = 2.0  # seconds between two fetches of one stranger


class ChallengeTable(harness.DaemonTest):
    """Clients from more addresses than the challenge table holds, each only
    fetching the login page now and then, keep no one who takes a few
    seconds to type the password from logging in."""

    def setUp(self):
        super().setUp()
        use_accounts()
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(HTTP), 15, 0.1, what="the web port")

    def strangers(self):
        stop = threading.Event()
        get = b"GET /login.asp HTTP/1.1\r\nHost: h\r\n\r\n"

        def fetch(source):
            while not stop.wait(EVERY):
                try:
                    LoginFlood.exchange(source, get)
                except OSError:
                    pass
        threads = [threading.Thread(target=fetch, args=(s,), daemon=True) for s in STRANGERS]
        for t in threads:
            t.start()

        def close():
            stop.set()
            for t in threads:
                t.join(15)
        self.addCleanup(close)

    def test_strangers_fetching_the_login_page_keep_no_one_from_logging_in(self):
        self.strangers()
        time.sleep(2 * EVERY)  # every stranger holds a challenge
        user, password = ACCOUNTS[0]
        answers = []
        for _ in range(3):
            page = curl(BASE + "/login.asp")
            challenge = re.search(r'id="challenge" value="([^"]*)"', page).group(1)
            time.sleep(5)  # the password typed
            response = hashlib.md5((user + password + challenge).encode()).hexdigest()
            reply = curl("-i", BASE + "/varno/login", "-d", "Username=%s&Response=%s" % (user, response))
            answers.append("logged in" if "Set-Cookie: QuenchRelayer=" in reply else
                           Session().message()[0])
        self.assertEqual(answers, ["logged in"] * 3)


if __name__ == "__main__":
    harness.main()
