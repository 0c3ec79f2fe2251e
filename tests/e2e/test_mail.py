"""End-to-end: the mail of a simulated power failure, received by Debian's
aiosmtpd inside the test's namespace on 127.0.0.1 and on ::1. The server
requires STARTTLS (a self-signed certificate made with openssl in /tmp) and
takes AUTH LOGIN only inside TLS, with an authenticator that checks the
account; its LOGIN prompts are "User Name" and "Password" (not
"Username:"). The UPS simulator's identity must be in the mail.

A mail server that accepts and never answers does not delay the shutdown
of a power failure, and the mail it did not take reaches aiosmtpd once that
is back on the same address; a recipient refused with a 5xx does not keep
the message from the others.

A mail the server refuses for good is dropped with one event-log record and
holds no other mail back; with the private directory on a full tmpfs every
event still reaches the receiver and no mail goes out without an event; the
test mail of the web form says what is missing, or that it is queued.
Events dropped at the memory bound of a level (a full disk and no server
for a while) are named in one record, whether what is left is spooled or
mailed straight from memory."""
import email
import email.utils
import errno
import os
import re
import subprocess
import sys
import time
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import mailpeers  # noqa: E402
import test_websys  # noqa: E402
import upssim  # noqa: E402

import ssl  # noqa: E402

ACCOUNT, PASSWORD = "mailer", "s3cret"


def make_certificate():
    key, crt = "/tmp/smtp-key.pem", "/tmp/smtp-cert.pem"
    if not os.path.exists(crt):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", crt,
                        "-days", "1", "-subj", "/CN=mail.test"], check=True, capture_output=True)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(crt, key)
    return ctx


class PowerFailureMail(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()

    def deliver(self, host):
        inbox = mailpeers.Inbox(ACCOUNT, PASSWORD)
        port = harness.free_port()
        server = mailpeers.start_aiosmtpd(inbox, host, port, server_hostname="mail.test",
                                          tls_context=make_certificate(), require_starttls=True,
                                          authenticator=inbox.authenticate)
        self.addCleanup(server.stop)
        harness.config_set({
            "COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
            "Mail": {"Server=": host, "Port=": port, "Password Encrypt=": "No", "Sender=": ACCOUNT,
                     "Password=": PASSWORD, "Mail Sender=": "ups@example.org", "Domain=": "ups.example.org",
                     "Receive Num=": 3, "Receiver1=": "ops@example.org", "Level1=": 2,
                     "Receiver2=": "boss@example.org", "Level2=": 3,
                     "Receiver3=": "all@example.org", "Level3=": 1},
        })
        self.start_daemon()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 2, 30,
                         what="the UPS link")
        self.sim.set_state("powerfail")

        def power_mail():
            for m in inbox.snapshot():
                if "Event message: Utility power failure" in m["content"]:
                    return m
            return None
        mail = harness.wait_for(power_mail, 30, what="the power-failure mail (inbox: %r)" % inbox.snapshot())
        self.assertTrue(mail["tls"])
        self.assertTrue(mail["authenticated"])
        self.assertIn(("LOGIN", True), inbox.logins)
        self.assertEqual(mail["from"], "ups@example.org")
        # Level 2: the level-3 receiver is left out.
        self.assertEqual(mail["to"], ["ops@example.org", "all@example.org"])
        content = mail["content"]
        self.assertIn("From: ups@example.org\r\n", content)
        self.assertIn("To: ops@example.org;all@example.org\r\n", content)
        self.assertIn("Subject: Brisvane Notification: ", content)
        self.assertIn("S.N.: %s\r\n" % self.sim.model.serial, content)
        self.assertIn("Model: %s\r\n" % self.sim.model.model, content)
        self.assertIn("Event level: Warning\r\n", content)
        self.assertIn("Host Name: ", content)
        # The start-up event (level 1) went to the level-1 receiver alone.
        startup = [m for m in inbox.snapshot() if "Monitoring service started" in m["content"]]
        self.assertEqual([m["to"] for m in startup], [["all@example.org"]])
        # The headers a mail reader sorts and threads by.
        parsed = email.message_from_string(content)
        date = email.utils.parsedate_to_datetime(parsed["Date"])
        self.assertIsNotNone(date.tzinfo)
        self.assertLess(abs(date.timestamp() - mail["t"]), 120)
        self.assertRegex(parsed["Message-ID"], r"^<[^<>@\s]+@[^<>@\s]+>$")
        ids = [email.message_from_string(m["content"])["Message-ID"] for m in inbox.snapshot()]
        self.assertEqual(len(set(ids)), len(ids))
        self.assertTrue(parsed["Subject"].startswith("Brisvane Notification: "))
        return mail

    def test_starttls_and_login_over_ipv4(self):
        mail = self.deliver("127.0.0.1")
        self.assertEqual(mail["peer"], "127.0.0.1")

    def test_starttls_and_login_over_ipv6(self):
        mail = self.deliver("::1")
        self.assertEqual(mail["peer"], "::1")



class LinkedMail(harness.DaemonTest):
    """The daemon linked to the UPS simulator, mailing to 127.0.0.1."""

    def setUp(self):
        super().setUp()
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()

    def configure(self, port, receivers, shutdown):
        mail = {"Server=": "127.0.0.1", "Port=": port, "Password=": "", "Mail Sender=": "ups@example.org",
                "Receive Num=": len(receivers)}
        for i, (address, level) in enumerate(receivers, 1):
            mail.update({"Receiver%d=" % i: address, "Level%d=" % i: level})
        shutdown.update({"Battery Low Enable=": "No", "Overload Enable=": "No", "Bypass Enable=": "No",
                         "Schedule Shutdown Enable=": "No"})
        harness.config_set({
            "COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
            "Shutdown": shutdown,
            "Reaction": {"Execute Command Enable=": "No"},
            "Mail": mail,
        })

    def start_linked(self):
        d = self.start_daemon()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 2, 30,
                         what="the UPS link")
        return d


class MailDoesNotHoldTheShutdown(LinkedMail):
    DELAY = 15

    def configure(self, port, receivers):
        super().configure(port, receivers, {"Type=": 0, "Power Fail Enable=": "Yes",
                                            "Power Fail Delay=": self.DELAY})

    def power_road(self):
        """Seconds from the daemon's first look at the failed power (its
        first alarm-status query after the change, so where in its poll
        cycle the power failed does not count) to the shutdown script."""
        harness.stub_host_scripts()
        d = self.start_linked()
        time.sleep(6)  # a 5-second mail pass has gone by
        t0 = time.time()
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: harness.marks("command.shutdown"), self.DELAY + 60, 0.05,
                         what="the shutdown script")
        seen = min(f["t"] for f in self.sim.frames() if f["t"] > t0 and f["type"] == "P" and f["mnemonic"] == "STA")
        return d, harness.marks("command.shutdown")[0] - seen

    def test_a_silent_server_does_not_delay_the_shutdown(self):
        port = harness.free_port()
        self.configure(port, [("ops@example.org", 2)])

        # With aiosmtpd.
        inbox = mailpeers.Inbox()
        server = mailpeers.start_aiosmtpd(inbox, "127.0.0.1", port)
        d, healthy = self.power_road()
        harness.wait_for(lambda: inbox.find("Event message: Utility power failure"), 30, what="the first mail")
        d.stop()
        server.stop()
        self.sim.set_state("online")

        # With a server on the same address that accepts and never answers.
        silent = mailpeers.SilentServer("127.0.0.1", port)
        d, late = self.power_road()
        self.assertTrue(silent.sessions, "the daemon did try the silent server")
        self.assertLess(abs(late - healthy), 2.0, "healthy %.1f s, silent %.1f s" % (healthy, late))

        # aiosmtpd comes back on the same address: the mail of this power
        # failure, kept meanwhile, goes out with a later pass.
        since = time.time()
        silent.stop()
        inbox = mailpeers.Inbox()
        server = mailpeers.start_aiosmtpd(inbox, "127.0.0.1", port)
        self.addCleanup(server.stop)
        mail = harness.wait_for(lambda: inbox.find("Event message: Utility power failure"), 120,
                                what="the kept mail")
        self.assertEqual(mail["to"], ["ops@example.org"])
        self.assertIn("Event message: System will shut down in ", mail["content"])
        self.assertGreater(mail["t"], since)
        self.assertTrue(d.running())

    def test_a_refused_recipient_does_not_stop_the_others(self):
        port = harness.free_port()
        inbox = mailpeers.Inbox(refuse={"nobody@example.org"})
        server = mailpeers.start_aiosmtpd(inbox, "127.0.0.1", port)
        self.addCleanup(server.stop)
        self.configure(port, [("nobody@example.org", 1), ("ops@example.org", 1)])
        self.start_linked()
        mail = harness.wait_for(lambda: inbox.find("Event message: Monitoring service started"), 30,
                                what="the start-up mail")
        self.assertEqual(mail["to"], ["ops@example.org"])
        self.assertEqual(inbox.refused, ["nobody@example.org"])
        # Delivered once: the spool went with the accepted message.
        time.sleep(12)
        self.assertEqual(sum("Monitoring service started" in m["content"] for m in inbox.snapshot()), 1)

def mail_records(prefix):
    """Texts of the event log's free-text records that begin with prefix."""
    return [text for code, level, text in test_websys.event_records() if code == -1 and text.startswith(prefix)]


def dropped_events(records):
    """How many events the refusal records say were dropped."""
    return sum(int(re.search(r"its (\d+) events? (?:is|are) not mailed$", r).group(1)) for r in records)


def mailed_events(messages):
    """(time, text) of every event block in the messages, one per mailing."""
    out = []
    for m in messages:
        out += re.findall(r"Event time: ([^\r\n]*)\r\nEvent message: ([^\r\n]*)\r\n", m["content"])
    return out


def logged_events(level=None):
    """(time, text) of every logged event that is mailed (of one level)."""
    out = []
    for line in (harness.read(harness.INSTALL + "/_FILE_LOG.TXT") or "").splitlines():
        code, lvl, date, clock, text = line.split(" ", 4)
        if int(code) >= 0 and int(lvl) >= 1 and level in (None, int(lvl)):
            out.append((date + " " + clock, text))
    return out


def poll(predicate, timeout):
    """predicate's first true value within timeout seconds, else None."""
    try:
        return harness.wait_for(predicate, timeout)
    except AssertionError:
        return None


class Refusals(LinkedMail):
    """Mail that a server refuses for good: dropped, logged once, and no
    other mail waits for it."""

    def start(self, inbox, receivers):
        port = harness.free_port()
        server = mailpeers.start_aiosmtpd(inbox, "127.0.0.1", port)
        self.addCleanup(server.stop)
        self.configure(port, receivers, {"Power Fail Enable=": "No"})
        self.start_linked()

    def test_a_refused_receiver_at_level_1_holds_no_severity_mail_back(self):
        inbox = mailpeers.Inbox(refuse={"gone@example.org"})
        self.start(inbox, [("gone@example.org", 1), ("boss@example.org", 3)])
        time.sleep(6)  # the start-up mail (level 1), for the refused receiver alone, was tried
        self.sim.set_state("overload")
        mail = poll(lambda: inbox.find("Event message: UPS overload\r\n"), 60)
        time.sleep(16)
        refusals = mail_records("Mail of level 1 (Information) refused by 127.0.0.1: ")
        print("mails delivered %d (Severity %d), level-1 refusals logged %d, RCPT refusals %d"
              % (len(inbox.snapshot()), int(mail is not None), len(refusals), len(inbox.refused)))
        self.assertIsNotNone(mail, "no Severity mail (inbox %r)" % inbox.snapshot())
        self.assertEqual(mail["to"], ["boss@example.org"])
        self.assertIn("Event level: Severity", mail["content"])
        # Each level-1 mail was refused and logged once, with its events.
        self.assertTrue(refusals)
        self.assertRegex(refusals[0], r"^Mail of level 1 \(Information\) refused by 127\.0\.0\.1: every receiver "
                                      r"refused: 550 5\.1\.1 no such user; its \d+ events? (is|are) not mailed$")
        self.assertEqual(dropped_events(refusals), len(logged_events(1)))
        self.assertEqual(mail_records("Mail of level 3"), [])
        self.assertEqual(mail_records("Mail of level 1 (Information) not delivered"), [])

    def test_a_message_refused_after_its_data_is_dropped_and_the_next_goes_out(self):
        inbox = mailpeers.Inbox(refuse_content=("Monitoring service started", "554 5.6.0 content rejected"))
        self.start(inbox, [("ops@example.org", 1)])
        time.sleep(6)  # the start-up mail was tried
        self.sim.set_state("powerfail")
        poll(lambda: inbox.find("Event message: Utility power failure"), 30)
        self.sim.set_state("online")
        mail = poll(lambda: inbox.find("Event message: Utility power restored"), 60)
        time.sleep(6)
        refusals = mail_records("Mail of level 1 (Information) refused by 127.0.0.1: 554 5.6.0 content rejected; ")
        print("mails delivered %d, offers of the refused mail %d, refusals logged %d"
              % (len(inbox.snapshot()), sum("Monitoring service started" in m["content"] for m in inbox.attempts),
                 len(refusals)))
        self.assertIsNotNone(mail, "no mail of the next level-1 event (offered %r)" % inbox.attempts)
        self.assertNotIn("Monitoring service started", mail["content"])
        self.assertEqual(sum("Monitoring service started" in m["content"] for m in inbox.attempts), 1)
        self.assertEqual(len(refusals), 1)
        self.assertEqual(mail_records("Mail of level 1 (Information) not delivered"), [])


def fill_private():
    """Fills the private directory's tmpfs to its last byte."""
    with open(os.path.join(harness.PRIVATE, "filler"), "wb", buffering=0) as f:
        for size in (4096, 1):
            try:
                while f.write(b"x" * size):
                    pass
            except OSError as e:
                assert e.errno == errno.ENOSPC, e


class FullDisk(harness.DaemonTest):
    """The private directory (where the spools are) on a small full tmpfs."""

    def test_every_event_is_mailed_once_whatever_the_spools_disk(self):
        sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(sim.stop)
        os.makedirs(harness.PRIVATE, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0700", "tmpfs", harness.PRIVATE], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", harness.PRIVATE])
        harness.ensure_config()  # its events are in the spool before the disk fills
        inbox = mailpeers.Inbox()
        port = harness.free_port()
        server = mailpeers.start_aiosmtpd(inbox, "127.0.0.1", port)
        self.addCleanup(server.stop)
        harness.config_set({
            "COM": {"COM Port=": 2, "COM Path=": sim.slave_path},
            "Shutdown": {"Power Fail Enable=": "No", "Battery Low Enable=": "No"},
            "Mail": {"Server=": "127.0.0.1", "Port=": port, "Password=": "", "Mail Sender=": "ups@example.org",
                     "Receive Num=": 1, "Receiver1=": "ops@example.org", "Level1=": 1},
        })
        fill_private()
        self.start_daemon()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in sim.frames()) >= 2, 30, what="the UPS link")
        for state in ("powerfail", "online", "powerfail", "online"):
            text = "Utility power " + ("failure" if state == "powerfail" else "restored")
            seen = lambda: sum(r[2] == text for r in test_websys.event_records())  # noqa: E731
            count = seen()
            sim.set_state(state)
            harness.wait_for(lambda: seen() > count, 30, what="the event of %s" % state)
        time.sleep(6)  # a mail pass with the disk still full
        during = len(inbox.snapshot())
        os.unlink(os.path.join(harness.PRIVATE, "filler"))

        logged = logged_events
        # Each logged event in one mail (two starts may share a second).
        poll(lambda: not Counter(logged()) - Counter(mailed_events(inbox.snapshot())), 60)
        time.sleep(6)
        mailed = Counter(mailed_events(inbox.snapshot()))
        print("mails while full %d, in all %d, mails without an event %d, events logged %d, mailed %d"
              % (during, len(inbox.snapshot()), sum("Event message: " not in m["content"] for m in inbox.snapshot()),
                 len(logged()), sum((mailed & Counter(logged())).values())))
        self.assertEqual(mailed, Counter(logged()))
        for m in inbox.snapshot():
            self.assertIn("Event message: ", m["content"], "a mail without an event")


class MemoryBound(harness.DaemonTest):
    """More than 200 events of a level while the spool cannot take them and
    no server answers: the oldest go, and one record says how many, once
    what is left is spooled (space again) or mailed from memory."""
    LOGINS = 230
    BOUND = 200

    def test_the_events_dropped_at_the_bound_are_named_once(self):
        import test_config
        from test_webdev import HTTP, wait_listening
        for spooled in (True, False):
            with self.subTest("spooled" if spooled else "from memory"):
                harness.reinstall()
                harness.stub_host_scripts()
                os.makedirs(harness.PRIVATE, exist_ok=True)
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0700", "tmpfs", harness.PRIVATE],
                               check=True)
                harness.ensure_config()
                # Logins are Information events here: many of them, quickly.
                common = harness.INSTALL + "/language/English/event-common.ini"
                harness.write(common, harness.read(common).replace("\nlevel3=0\n", "\nlevel3=1\n"))
                port = harness.free_port()  # nothing listens there yet
                harness.config_set({
                    "Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                            "Password0=": "admin-pass", "Enable Login Lock=": "Disable"},
                    "Mail": {"Server=": "127.0.0.1", "Port=": port, "Password=": "",
                             "Mail Sender=": "ups@example.org", "Receive Num=": 1,
                             "Receiver1=": "ops@example.org", "Level1=": 1},
                })
                for name in os.listdir(harness.PRIVATE):
                    os.unlink(os.path.join(harness.PRIVATE, name))
                fill_private()
                d = self.start_daemon()
                wait_listening(HTTP)
                for _ in range(self.LOGINS):
                    self.assertIsNotNone(test_config.login("admin", "admin-pass"))
                # This start's events (the first start only made config.ini).
                waiting = logged_events(1)
                waiting = waiting[max(i for i, e in enumerate(waiting) if e[1] == "Monitoring service started"):]
                self.assertGreater(len(waiting), self.BOUND)
                if spooled:
                    os.unlink(os.path.join(harness.PRIVATE, "filler"))
                inbox = mailpeers.Inbox()
                server = mailpeers.start_aiosmtpd(inbox, "127.0.0.1", port)

                def mailed():
                    return mailed_events([m for m in inbox.snapshot() if "Event level: Information\r\n" in m["content"]])
                try:
                    harness.wait_for(lambda: len(mailed()) >= self.BOUND, 150, 0.5, what="the mail of the events kept")
                    time.sleep(6)
                finally:
                    d.stop()
                    server.stop()
                    subprocess.run(["umount", "-l", harness.PRIVATE], check=True)
                drops = mail_records("Mail of level 1 (Information): ")
                print("%s: level-1 events %d, mailed %d, drop records %r"
                      % ("spooled" if spooled else "from memory", len(waiting), len(mailed()), drops))
                self.assertEqual(mailed()[:self.BOUND], waiting[-self.BOUND:])
                self.assertEqual(drops, ["Mail of level 1 (Information): its %d oldest events were dropped "
                                         "(at most %d wait in memory)" % (len(waiting) - self.BOUND, self.BOUND)])


class TestMailForm(harness.DaemonTest):
    """"Send a test mail" on the mail page, posted as the page posts it."""

    def setUp(self):
        super().setUp()
        harness.ensure_config()
        self.port = harness.free_port()
        harness.config_set({"Web": {"HTTP Port=": 8080, "HTTPS Port=": 8443, "Force HTTPS=": "No",
                                    "Password Encrypt=": "No", "Password0=": "admin-pass",
                                    "Enable Login Lock=": "Disable"},
                            "Mail": {"Server=": "", "Port=": self.port, "Password=": "",
                                     "Mail Sender=": "ups@example.org", "Receive Num=": 0}})
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(8080), 15, 0.1, what="the web server")
        self.web = test_websys.Session("http://127.0.0.1:8080")
        self.assertIsNotNone(self.web.login("admin", "admin-pass"))

    def post(self, form, fields):
        code, reply = self.web.post(form, [("SYS_UCTOKEN", self.web.token("net_mail"))] + fields)
        self.assertIn("HTTP/1.1 302 Redirect", reply)
        return self.web.message() if "/message.asp" in reply else None

    def test_the_answer_names_what_is_missing_or_says_it_is_queued(self):
        test = [("SMTP_TEST", "1")]
        self.assertEqual(self.post("smtp_iconfig", test),
                         ("Error", "No test e-mail: no mail server is set and no receiver is set."))
        self.post("smtp_iconfig", [("MAIL_RCV", "ops@example.org"), ("MAIL_PER", "1"), ("SMTP_ADD", "1")])
        self.assertEqual(self.post("smtp_iconfig", test), ("Error", "No test e-mail: no mail server is set."))
        self.post("net_mail", [("MAIL_SERVER", "127.0.0.1"), ("MAIL_PORT", str(self.port)),
                               ("MAIL_MAILSENDER", "ups@example.org")])
        # A server that is not there: the event log tells.
        queued = ("Information", "The test e-mail is queued; the event log will tell if it cannot be delivered.")
        self.assertEqual(self.post("smtp_iconfig", test), queued)
        harness.wait_for(lambda: mail_records("Mail of level 1 (Information) not delivered to 127.0.0.1: "), 20,
                         what="the logged failure")
        # With the server up, the kept and the new test mail arrive.
        inbox = mailpeers.Inbox()
        server = mailpeers.start_aiosmtpd(inbox, "127.0.0.1", self.port)
        self.addCleanup(server.stop)
        self.assertEqual(self.post("smtp_iconfig", test), queued)
        tests = lambda: [e for e in mailed_events(inbox.snapshot()) if e[1] == "This is a test mail"]  # noqa: E731
        harness.wait_for(lambda: len(tests()) >= 2, 60, what="both test mails")
        time.sleep(6)
        self.assertEqual(len(tests()), 2)
        self.assertEqual([m["to"] for m in inbox.snapshot()], [["ops@example.org"]] * len(inbox.snapshot()))
        harness.wait_for(lambda: mail_records("Mail of level 1 (Information) delivered to 127.0.0.1 again"), 10,
                         what="the logged delivery")
        # Without receivers (the only one deleted).
        self.post("smtp_iconfig", [("SMTP_DEL1", "1")])
        self.assertEqual(self.post("smtp_iconfig", test), ("Error", "No test e-mail: no receiver is set."))


if __name__ == "__main__":
    harness.main()
