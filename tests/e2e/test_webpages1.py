"""The configuration file, debug, reaction, schedule and UPS port pages of
the installed daemon while it polls the UPS simulator: config.ini
downloaded and a changed copy uploaded (taken only with its "[End]"
line, the temporary file never left behind), the serial trace switched on
and the UPS dialogue found in it, a reaction delay and schedule entries
set through the forms and found in config.ini, a new port choice probed
by the link manager, and headless Chromium rendering each page without
script errors. Logged in with curl as the device-page tests do."""
import os
import re
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402
from test_webdev import BASE, HTTP, cell, curl, wait_listening  # noqa: E402

TRACE = harness.PRIVATE + "/comm_data.txt"
IMPORT_TMP = harness.PRIVATE + "/config_tmp.ini"
PAGES = ["/en/device/mgnt_reaction.asp", "/en/device/mgnt_wschedule.asp", "/en/device/mgnt_sschedule.asp",
         "/en/device/mgnt_comport.asp", "/en/sys_batch.asp", "/debug.asp"]


def usb_env():
    """The daemon's environment with a simulated USB UPS beside the serial
    one (the hiddev simulator of test_usb)."""
    import test_usb
    for path in (test_usb.CONTROL, test_usb.LOG):
        if os.path.exists(path):
            os.unlink(path)
    harness.write(test_usb.CONTROL, "online\n")
    return dict(os.environ, LD_PRELOAD=test_usb.SHIM, HIDDEVSIM_PATH=test_usb.DEVICE, HIDDEVSIM_FAMILY="2",
                HIDDEVSIM_CONTROL=test_usb.CONTROL, HIDDEVSIM_LOG=test_usb.LOG)


class BatchAndReactionPages(harness.DaemonTest):
    # Tests whose daemon also sees a USB UPS.
    WITH_USB = {"test_port_choice_between_serial_and_usb"}

    def setUp(self):
        super().setUp()
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        harness.config_set({"COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
                            "Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                                    "Password0=": "admin-pass", "Password1=": "device-pass",
                                    "Enable Login Lock=": "Disable"}})
        self.daemon = self.start_daemon(env=usb_env() if self._testMethodName in self.WITH_USB else None)
        wait_listening(HTTP)
        self.cookie = self.login()
        harness.wait_for(lambda: "SIM0012345" in self.get("/en/device/ups_info.asp"), 40, 0.5,
                         what="the UPS identity on the identity page")

    def login(self, account="admin", password="admin-pass"):
        import hashlib
        page = curl(BASE + "/login.asp")
        challenge = re.search(r'id="challenge" value="([^"]*)"', page).group(1)
        response = hashlib.md5((account + password + challenge).encode()).hexdigest()
        reply = curl("-i", BASE + "/varno/login", "-d", "Username=%s&Response=%s" % (account, response))
        m = re.search(r"QuenchRelayer=([^;]*);", reply)
        self.assertIsNotNone(m, reply)
        return m.group(1)

    def get(self, path):
        return curl("-b", "QuenchRelayer=" + self.cookie, BASE + path)

    def token(self, path):
        m = re.search(r'name="SYS_UCTOKEN" value="([^"]*)"', self.get(path))
        self.assertIsNotNone(m, path)
        return m.group(1)

    def location(self, reply):
        self.assertTrue(reply.startswith("HTTP/1.1 302"), reply[:300])
        return re.search(r"\r\nLocation: ([^\r\n]*)", reply).group(1)

    def message(self, reply):
        """The message page a form's answer leads to: (title, body)."""
        self.assertEqual(self.location(reply), BASE + "/message.asp")
        msg = self.get("/message.asp")
        return cell(msg, "title"), cell(msg, "message")

    def post(self, path, fields):
        return curl("-i", "-b", "QuenchRelayer=" + self.cookie, BASE + path, "-d", urllib.parse.urlencode(fields))

    def post_parts(self, path, parts):
        """A multipart post; parts are (name, value) or (name, ("@", file path))."""
        args = []
        for name, value in parts:
            if isinstance(value, tuple):
                args += ["-F", "%s=@%s;filename=config.ini" % (name, value[1])]
            else:
                args += ["--form-string", "%s=%s" % (name, value)]
        return curl("-i", "-b", "QuenchRelayer=" + self.cookie, BASE + path, *args)

    def value(self, page, name):
        m = re.search(r'name="%s"[^>]*value="([^"]*)"' % re.escape(name), page)
        self.assertIsNotNone(m, name)
        return m.group(1)

    def rx_frames_since(self, sim, t):
        return [f for f in sim.frames() if f.get("dir", "rx") == "rx" and f.get("t", 0) >= t]

    # ---- configuration file ------------------------------------------------------

    def test_config_download_and_upload(self):
        # config.ini holds the passwords: a device session may neither fetch
        # nor replace it.
        admin = self.cookie
        self.cookie = self.login("device", "device-pass")
        refused = ("Access Denied", "This account may not make this change.")
        reply = self.post_parts("/en/sys_batch", [("SYS_UCTOKEN", self.token("/en/sys_batch.asp")),
                                                   ("DL_SYSTEM", "Download")])
        self.assertEqual(self.message(reply), refused)
        self.assertFalse(os.path.exists(harness.PRIVATE + "/config.ini"))
        harness.write("/tmp/upload.ini", harness.read(harness.CONFIG).replace("Power Fail Delay=300\n",
                                                                              "Power Fail Delay=66\n"))
        reply = self.post_parts("/en/sys_batch", [("SYS_UCTOKEN", self.token("/en/sys_batch.asp")),
                                                   ("UL_F_SYSTEM", ("@", "/tmp/upload.ini")), ("UL_SYSTEM", "Upload")])
        self.assertEqual(self.message(reply), refused)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "300")
        self.cookie = admin

        reply = self.post_parts("/en/sys_batch", [("SYS_UCTOKEN", self.token("/en/sys_batch.asp")),
                                                   ("DL_SYSTEM", "Download")])
        # The link carries the session's token.
        link = self.location(reply)[len(BASE):]
        self.assertRegex(link, r"^/tempage/config\.ini\?token=[./0-9A-Za-z]{24}$")
        live = harness.read(harness.CONFIG)
        self.assertEqual(os.stat(harness.PRIVATE + "/config.ini").st_mode & 0o777, 0o600)
        # The copy is for the administrator's session only, and served once.
        self.assertNotIn("[End]", curl(BASE + link))
        self.assertEqual(self.get(link), live)
        self.assertFalse(os.path.exists(harness.PRIVATE + "/config.ini"))
        self.assertIn("Power Fail Delay=300\n", live)

        changed = live.replace("Power Fail Delay=300\n", "Power Fail Delay=77\n")
        harness.write("/tmp/upload.ini", changed)
        reply = self.post_parts("/en/sys_batch", [("SYS_UCTOKEN", self.token("/en/sys_batch.asp")),
                                                   ("UL_F_SYSTEM", ("@", "/tmp/upload.ini")), ("UL_SYSTEM", "Upload")])
        self.assertEqual(self.message(reply), ("Information", "Upload successfully."))
        self.assertFalse(os.path.exists(IMPORT_TMP))
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "77")
        self.assertEqual(self.value(self.get("/en/device/mgnt_reaction.asp"), "ACT_OSD_PF"), "77")

        # Without its "[End]" line the file changes nothing.
        harness.write("/tmp/upload.ini", changed.replace("Power Fail Delay=77\n", "Power Fail Delay=88\n")
                      .replace("[End]\n", ""))
        before = harness.read(harness.CONFIG)
        reply = self.post_parts("/en/sys_batch", [("SYS_UCTOKEN", self.token("/en/sys_batch.asp")),
                                                   ("UL_F_SYSTEM", ("@", "/tmp/upload.ini")), ("UL_SYSTEM", "Upload")])
        self.assertEqual(self.message(reply), ("Error", "File format mismatched or error."))
        self.assertFalse(os.path.exists(IMPORT_TMP))
        self.assertEqual(harness.read(harness.CONFIG), before)
        self.assertEqual(self.value(self.get("/en/device/mgnt_reaction.asp"), "ACT_OSD_PF"), "77")

    # ---- serial trace --------------------------------------------------------------

    def test_serial_trace_records_the_ups_dialogue(self):
        self.assertEqual(cell(self.get("/debug.asp"), "dbg_com_log"), "Stop")
        harness.wait_for(lambda: int(cell(self.get("/debug.asp"), "dbg_rx_ok")) > 0, 20, 0.5,
                         what="replies counted")
        self.assertEqual(self.location(self.post("/debug", {"SYS_UCTOKEN": self.token("/debug.asp"),
                                                         "DBG_STARTLOG": "1"})), BASE + "/debug.asp")
        self.assertEqual(cell(self.get("/debug.asp"), "dbg_com_log"), "Recording")
        stamp = r"\n\d\d/\d\d \d\d:\d\d:\d\d "

        def dialogue():
            text = harness.read(TRACE) or ""
            return text if re.search(stamp + r"Tx: ~00P\d{3}[A-Z]+", text) and \
                re.search(stamp + r"Rx: ~00D\d{3}", text) else None
        text = harness.wait_for(dialogue, 20, 0.5, what="the UPS dialogue in the trace")
        # A query the simulator logged is in the trace as the daemon sent it.
        sent = [f["raw"] for f in self.sim.frames() if f.get("type") == "P"]
        self.assertTrue(any(raw in text for raw in sent[-5:]), sent[-5:])
        self.assertIn("Tx: ~00P", self.get("/tempage/comm_data.txt"))

        # Clearing the counters: they start again from 0.
        self.assertEqual(self.location(self.post("/debug", {"SYS_UCTOKEN": self.token("/debug.asp"),
                                                         "DBG_CLEAR": "1"})), BASE + "/debug.asp")
        self.assertLess(int(cell(self.get("/debug.asp"), "dbg_tx_ok")), 20)
        self.assertEqual(cell(self.get("/debug.asp"), "dbg_rx_overflow"), "0")

        self.assertEqual(self.location(self.post("/debug", {"SYS_UCTOKEN": self.token("/debug.asp"),
                                                         "DBG_STOPLOG": "1"})), BASE + "/debug.asp")
        self.assertEqual(cell(self.get("/debug.asp"), "dbg_com_log"), "Stop")
        size = os.path.getsize(TRACE)
        time.sleep(2)
        self.assertEqual(os.path.getsize(TRACE), size)
        self.assertEqual(self.location(self.post("/debug", {"DBG_HOME": "1", "DBG_CLEAR": "1"})),
                         BASE + "/home.asp")

    # ---- reactions and schedules --------------------------------------------------

    def test_reaction_delay_and_schedules_reach_config(self):
        path = "/en/device/mgnt_reaction.asp"
        fields = {"SYS_UCTOKEN": self.token(path), "ACT_SHUT_TYPE": "1", "ACT_UPS_DELAY": "150", "ACT_PF_EN": "on",
                  "ACT_OSD_PF": "123", "ACT_OSD_BL": "30", "ACT_OSD_OL": "60", "ACT_OSD_BP": "300",
                  "ACT_OSD_SS": "300", "ACT_LS_DELAY": "120", "SUB_SHUTDOWN": "1"}
        self.assertEqual(self.message(self.post("/en/device/mgnt_reaction", fields)),
                         ("Information", "Updated successfully."))
        for key, value in (("Power Fail Delay=", "123"), ("Power Fail Enable=", "Yes"), ("Battery Low Enable=", "No"),
                           ("Type=", "1"), ("UPS Delay=", "150")):
            self.assertEqual(harness.config_get("Shutdown", key), value, key)
        page = self.get(path)
        self.assertEqual(self.value(page, "ACT_OSD_PF"), "123")
        self.assertIn('data-checked="1" aria-label="Power failure reaction on"', page)
        # A bad delay is refused and nothing changes.
        bad = dict(fields, SYS_UCTOKEN=self.token(path), ACT_OSD_PF="5", ACT_OSD_BL="-1")
        self.assertEqual(self.message(self.post("/en/device/mgnt_reaction", bad)),
                         ("Incorrect Value", "Battery low delay (s): enter a number from 0 to 2147483647. Nothing was changed."))
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "123")

        path = "/en/device/mgnt_wschedule.asp"
        week = {"SYS_UCTOKEN": self.token(path), "WSH_ACT1": "3", "WSH_MON1": "on", "WSH_FRI1": "on",
                "WSH_TM1": "07:30"}
        self.assertEqual(self.message(self.post("/en/device/mgnt_wschedule", week)),
                         ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("Weekly Schedule", "Weekday1="), "0100010")
        self.assertEqual(harness.config_get("Weekly Schedule", "Time1="), "7:30")
        self.assertEqual(harness.config_get("Weekly Schedule", "Action1="), "3")
        page = self.get(path)
        self.assertIn('data-days="0100010"', page)
        self.assertEqual(self.value(page, "WSH_TM1"), "07:30")
        # The planner ran at once: the next self-test is on a Monday or a Friday at 07:30.
        nxt = cell(page, "next-test")
        self.assertRegex(nxt, r"^\d\d/\d\d/\d{4} 07:30$")
        self.assertIn(time.strptime(nxt, "%m/%d/%Y %H:%M").tm_wday, (0, 4))
        # 24:00 changes no row at all.
        week2 = dict(week, SYS_UCTOKEN=self.token(path), WSH_ACT2="1", WSH_TM2="24:00", WSH_TM1="08:00")
        self.assertEqual(self.message(self.post("/en/device/mgnt_wschedule", week2)),
                         ("Incorrect Format", "The time format is not correct, please check it again."))
        self.assertEqual(harness.config_get("Weekly Schedule", "Time1="), "7:30")
        self.assertEqual(harness.config_get("Weekly Schedule", "Action2="), "0")

        path = "/en/device/mgnt_sschedule.asp"
        day = {"SYS_UCTOKEN": self.token(path), "SSH_SD1": "12/31/2030", "SSH_TM1": "23:30", "SSH_ACT1": "1"}
        self.assertEqual(self.message(self.post("/en/device/mgnt_sschedule", day)),
                         ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("Specific Schedule", "Date1="), "12/31/2030")
        self.assertEqual(harness.config_get("Specific Schedule", "Action1="), "1")
        self.assertEqual(self.value(self.get(path), "SSH_SD2"), "00/00/2000")

    # ---- UPS port ------------------------------------------------------------------

    def test_port_choice_is_probed(self):
        self.assertEqual(self.location(self.post("/debug", {"SYS_UCTOKEN": self.token("/debug.asp"),
                                                         "DBG_STARTLOG": "1"})), BASE + "/debug.asp")
        path = "/en/device/mgnt_comport.asp"
        self.assertIn('data-value="2"', self.get(path))
        # The stored choice again: the link stays.
        self.assertEqual(self.message(self.post("/en/device/mgnt_comport", {
            "SYS_UCTOKEN": self.token(path), "ACT_COM_PORT": "2", "ACT_COM_PATH": self.sim.slave_path})),
            ("Information", "Updated successfully."))
        self.assertNotIn("Close COM Port", harness.read(TRACE) or "")

        # Port choice 3 is port number 2; the device path still names the line.
        self.assertEqual(self.message(self.post("/en/device/mgnt_comport", {
            "SYS_UCTOKEN": self.token(path), "ACT_COM_PORT": "3", "ACT_COM_PATH": self.sim.slave_path})),
            ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("COM", "COM Port="), "3")

        def probed():
            text = harness.read(TRACE) or ""
            at = text.find("Close COM Port")
            return at >= 0 and "Open COM Port =2, 2400-0-8-1 Successful" in text[at:]
        harness.wait_for(probed, 20, 0.5, what="the new port opened by the detection pass")
        harness.wait_for(lambda: cell(self.get("/home.asp"), "comm") == "0", 30, 0.5, what="the link back")

        # A new device path: the second UPS is probed, the first one hears nothing more.
        other = upssim.UpsSim(checksum=True, log_path="/tmp/upssim2.log").start()
        self.addCleanup(other.stop)
        token = self.token(path)
        switched = time.time()
        self.assertEqual(self.message(self.post("/en/device/mgnt_comport", {
            "SYS_UCTOKEN": token, "ACT_COM_PATH": other.slave_path})), ("Information", "Updated successfully."))
        harness.wait_for(lambda: self.rx_frames_since(other, switched), 20, 0.5, what="a probe at the new path")
        harness.wait_for(lambda: [f for f in other.frames() if f.get("type") == "P"], 20, 0.5,
                         what="the poll cycle at the new path")
        self.assertEqual(harness.config_get("COM", "COM Path="), other.slave_path)
        last_old = max(f["t"] for f in self.sim.frames())
        time.sleep(3)
        self.assertEqual(max(f["t"] for f in self.sim.frames()), last_old)

        # A value the port setting cannot hold is refused.
        self.assertEqual(self.message(self.post("/en/device/mgnt_comport", {
            "SYS_UCTOKEN": self.token(path), "ACT_COM_PORT": "258"})),
            ("Incorrect Value", "UPS port: enter a number from 0 to 255. Nothing was changed."))
        self.assertEqual(harness.config_get("COM", "COM Port="), "3")

    def test_port_choice_between_serial_and_usb(self):
        import test_usb
        self.assertEqual(test_usb.events_of("open"), [])  # a serial choice never probes USB

        path = "/en/device/mgnt_comport.asp"
        token = self.token(path)
        switched = time.time()
        self.assertEqual(self.message(self.post("/en/device/mgnt_comport", {
            "SYS_UCTOKEN": token, "ACT_COM_PORT": "1", "ACT_COM_PATH": self.sim.slave_path})),
            ("Information", "Updated successfully."))
        harness.wait_for(lambda: test_usb.events_of("open", switched), 10, 0.2, what="the USB device probed")
        harness.wait_for(lambda: len(test_usb.reads(switched)) > 20, 10, 0.2, what="the USB device polled")
        self.assertEqual(harness.config_get("COM", "COM Port="), "1")
        quiet = time.time() + 1
        time.sleep(3)
        self.assertEqual(self.rx_frames_since(self.sim, quiet), [])

        # Back to the serial port: the USB link is closed and the serial UPS polled again.
        token = self.token(path)
        back = time.time()
        self.assertEqual(self.message(self.post("/en/device/mgnt_comport", {"SYS_UCTOKEN": token, "ACT_COM_PORT": "2"})),
                         ("Information", "Updated successfully."))
        harness.wait_for(lambda: test_usb.events_of("close", back), 10, 0.2, what="the USB device closed")
        harness.wait_for(lambda: [f for f in self.rx_frames_since(self.sim, back) if f.get("type") == "P"], 20, 0.5,
                         what="the serial UPS polled again")
        quiet = time.time() + 1
        time.sleep(3)
        self.assertEqual(test_usb.reads(quiet), [])
        harness.wait_for(lambda: cell(self.get("/home.asp"), "comm") == "0", 30, 0.5, what="the link standing")

    # ---- browser -------------------------------------------------------------------

    def test_browser_renders_the_pages_without_script_errors(self):
        from test_web_browser import walk_menu_pages
        b = walk_menu_pages(self, BASE, PAGES)
        # The values reach the form controls.
        b.navigate(BASE + "/en/device/mgnt_reaction.asp")
        self.assertEqual(b.eval("document.querySelector('[name=ACT_SHUT_TYPE]').value"), "0")
        self.assertTrue(b.eval("document.querySelector('[name=ACT_PF_EN]').checked"))
        self.assertFalse(b.eval("document.querySelector('[name=ACT_BP_EN]').checked"))
        b.navigate(BASE + "/en/device/mgnt_comport.asp")
        self.assertEqual(b.eval("document.querySelector('[name=ACT_COM_PORT]').value"), "2")
        # A weekly entry set in the browser reaches config.ini.
        b.navigate(BASE + "/en/device/mgnt_wschedule.asp")
        b.submit_and_wait("document.querySelector('[name=WSH_ACT2]').value = '4';"
                          "document.querySelector('[name=WSH_SAT2]').checked = true;"
                          "document.querySelector('[name=WSH_TM2]').value = '22:15';"
                          "document.querySelector('[name=WSH_APPLY]').click(); true")
        self.assertEqual(harness.config_get("Weekly Schedule", "Weekday2="), "0000001")
        self.assertEqual(harness.config_get("Weekly Schedule", "Action2="), "4")
        b.navigate(BASE + "/en/device/mgnt_wschedule.asp")
        self.assertTrue(b.eval("document.querySelector('[name=WSH_SAT2]').checked"))
        self.assertEqual(b.eval("document.querySelector('[name=WSH_ACT2]').value"), "4")
        self.assertEqual(b.errors(), [])


if __name__ == "__main__":
    harness.main()
