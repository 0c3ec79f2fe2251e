"""End-to-end: SMS through the simulated GSM modem. The modem plays on a
pseudo-terminal whose slave is bind-mounted over /dev/ttyS0 inside the test's
namespace (the daemon opens "SMS COM Port=" n as /dev/ttyS<n-1>; nsrun has
already put /dev/null over the host's ports). The start-up event (system
event 0, level 1) is the message; its bodies are decoded from the modem's log:
UCS-2 PDUs when "Language=" is not English, text mode otherwise."""
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import modemsim  # noqa: E402

DEVICE = "/dev/ttyS0"
TRACE = harness.PRIVATE + "/SMS_Log.txt"
STAMP = r"\d\d:\d\d:\d\d "


class Sms(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        if not os.path.exists(DEVICE):
            self.skipTest("no %s to stand in for" % DEVICE)
        self.modem = modemsim.ModemSim(log_path="/tmp/modem.log").start()
        self.addCleanup(self.modem.stop)
        subprocess.run(["mount", "--bind", self.modem.slave_path, DEVICE], check=True)
        self.addCleanup(subprocess.run, ["umount", DEVICE])
        harness.ensure_config()

    def configure(self, language, phones):
        sms = {"SMS COM Port=": 1, "SMS Baud Rate=": 2, "SMS Num=": len(phones)}
        for i, (number, level) in enumerate(phones, 1):
            sms["SMS Phone%d=" % i] = number
            sms["Level%d=" % i] = level
        harness.config_set({"Configuration": {"Language=": language}, "SMS": sms})

    def wait_done(self):
        harness.wait_for(lambda: (harness.read(TRACE) or "").endswith("Close port.\n"), 20,
                         what="the end of the modem dialogue (trace: %r)" % harness.read(TRACE))

    def test_pdu_mode_sends_ucs2_to_the_phones_of_the_level(self):
        # Polish texts; the level-3 phone does not get a level-1 event.
        self.configure(3, [("+4917012345678", 1), ("0123", 3), ("5550199", 1)])
        self.start_daemon()
        self.wait_done()
        cmds = self.modem.commands()
        self.assertEqual(cmds[:2], ["AT", "AT+CMGF=0"])
        cmgs = [c for c in cmds if c.startswith("AT+CMGS=")]
        bodies = self.modem.bodies()
        self.assertEqual(len(bodies), 2)
        self.assertEqual(len(cmgs), 2)
        for body, cmd, number in zip(bodies, cmgs, ("+4917012345678", "5550199")):
            pdu = modemsim.decode_submit(body)
            self.assertEqual(pdu["smsc_length"], 0)
            self.assertEqual(pdu["first_octet"], 0x31)
            self.assertEqual(pdu["number"], number)
            self.assertEqual(pdu["address_type"], 0x91 if number.startswith("+") else 0x81)
            self.assertEqual((pdu["pid"], pdu["dcs"], pdu["validity"]), (0, 8, 0xA7))
            self.assertEqual(pdu["udl"], pdu["user_data_bytes"])
            self.assertRegex(pdu["text"], "^" + STAMP + "Usługa monitorowania uruchomiona$")
            self.assertEqual(pdu["udl"], 2 * len(pdu["text"]))
            self.assertEqual(cmd, "AT+CMGS=%d" % pdu["octets"])
            self.assertTrue(body.isupper() or body.isdigit())
        trace = harness.read(TRACE)
        self.assertTrue(trace.startswith("Open SMS COM1 OK.\nTx: AT\n"), trace)

    def test_text_mode_in_english(self):
        self.configure(0, [("+4917012345678", 1), ("0123", 2)])
        self.start_daemon()
        self.wait_done()
        # The level-2 phone does not get a level-1 event.
        self.assertEqual(self.modem.commands(), ["AT", "AT+CMGF=1", 'AT+CMGS="+4917012345678"'])
        bodies = self.modem.bodies()
        self.assertEqual(len(bodies), 1)
        self.assertRegex(bodies[0], "^" + STAMP + "Monitoring service started$")


if __name__ == "__main__":
    harness.main()
