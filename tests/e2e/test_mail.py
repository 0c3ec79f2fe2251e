"""End-to-end: the mail of a simulated power failure, received by Debian's
aiosmtpd inside the test's namespace on 127.0.0.1 and on ::1. The server
requires STARTTLS (a self-signed certificate made with openssl in /tmp) and
takes AUTH LOGIN only inside TLS, with an authenticator that checks the
account; its LOGIN prompts are "User Name" and "Password" (not
"Username:"). The UPS simulator's identity must be in the mail.

A mail server that accepts and never answers does not delay the shutdown
of a power failure, and the mail it did not take reaches aiosmtpd once that
is back on the same address; a recipient refused with a 5xx does not keep
the message from the others."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import mailpeers  # noqa: E402
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
        return mail

    def test_starttls_and_login_over_ipv4(self):
        mail = self.deliver("127.0.0.1")
        self.assertEqual(mail["peer"], "127.0.0.1")

    def test_starttls_and_login_over_ipv6(self):
        mail = self.deliver("::1")
        self.assertEqual(mail["peer"], "::1")



class MailDoesNotHoldTheShutdown(harness.DaemonTest):
    DELAY = 15

    def setUp(self):
        super().setUp()
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()

    def configure(self, port, receivers):
        mail = {"Server=": "127.0.0.1", "Port=": port, "Password=": "", "Mail Sender=": "ups@example.org",
                "Receive Num=": len(receivers)}
        for i, (address, level) in enumerate(receivers, 1):
            mail.update({"Receiver%d=" % i: address, "Level%d=" % i: level})
        harness.config_set({
            "COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
            "Shutdown": {"Type=": 0, "Power Fail Enable=": "Yes", "Power Fail Delay=": self.DELAY,
                         "Battery Low Enable=": "No", "Overload Enable=": "No", "Bypass Enable=": "No",
                         "Schedule Shutdown Enable=": "No"},
            "Reaction": {"Execute Command Enable=": "No"},
            "Mail": mail,
        })

    def start_linked(self):
        d = self.start_daemon()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 2, 30,
                         what="the UPS link")
        return d

    def power_road(self):
        """Seconds from the power failure to the shutdown script."""
        harness.stub_host_scripts()
        d = self.start_linked()
        time.sleep(6)  # a 5-second mail pass has gone by
        t0 = time.time()
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: harness.marks("command.shutdown"), self.DELAY + 60, 0.05,
                         what="the shutdown script")
        return d, harness.marks("command.shutdown")[0] - t0

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

if __name__ == "__main__":
    harness.main()
