"""End-to-end: the mail of a simulated power failure, received by Debian's
aiosmtpd inside the test's namespace on 127.0.0.1 and on ::1. The server
requires STARTTLS (a self-signed certificate made with openssl in /tmp) and
takes AUTH LOGIN only inside TLS, with an authenticator that checks the
account; its LOGIN prompts are "User Name" and "Password" (not
"Username:"). The UPS simulator's identity must be in the mail."""
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

import ssl  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402
from aiosmtpd.smtp import AuthResult, LoginPassword  # noqa: E402

ACCOUNT, PASSWORD = "mailer", "s3cret"


class Inbox:
    """aiosmtpd handler: keeps every message with its session's facts."""

    def __init__(self):
        self.lock = threading.Lock()
        self.messages = []
        self.logins = []

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.messages.append({"from": envelope.mail_from, "to": list(envelope.rcpt_tos),
                                  "content": envelope.content.decode("utf-8", "replace"),
                                  "tls": session.ssl is not None, "authenticated": session.authenticated,
                                  "peer": session.peer[0]})
        return "250 OK queued"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        ok = (mechanism == "LOGIN" and isinstance(auth_data, LoginPassword)
              and auth_data.login == ACCOUNT.encode() and auth_data.password == PASSWORD.encode())
        with self.lock:
            self.logins.append((mechanism, ok))
        return AuthResult(success=ok)

    def snapshot(self):
        with self.lock:
            return list(self.messages)


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
        inbox = Inbox()
        port = harness.free_port()
        server = Controller(inbox, hostname=host, port=port, server_hostname="mail.test",
                            tls_context=make_certificate(), require_starttls=True,
                            authenticator=inbox.authenticate)
        server.start()
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


if __name__ == "__main__":
    harness.main()
