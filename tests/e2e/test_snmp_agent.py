"""The SNMP agent with net-snmp's tools as the manager: SNMPv1 communities
and the source access list, SNMPv3 users at every security level, over
IPv4 and IPv6 loopback; walks, SETs that reach config.ini, and the errors
net-snmp reports for bad credentials."""
import os
import time

import harness
import snmptools as st

V4, V6 = "udp:127.0.0.1:161", "udp6:[::1]:161"
SYS_DESCR = ".1.3.6.1.2.1.1.1.0"
PRIV = ".1.3.6.1.4.1.32473.2.210"
PF_DELAY = PRIV + ".2.3.0"

USERS = [("manager", 2, st.AUTH, st.PRIV, 2),
         ("signer", 1, "signerpass", "", 2),
         ("viewer", 0, "", "", 1)]


class SnmpAgent(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        harness.ensure_config()
        st.set_users(USERS)
        st.set_access([("0.0.0.0", "tambor", 1), ("::", "six", 2), ("127.0.0.1", "local", 2),
                       ("127.0.0.9", "other", 2)])
        self.start_daemon()
        st.wait_agent()

    def get(self, security, target=V4, oid=SYS_DESCR):
        return st.run("snmpget", security, target, oid)

    def test_v1_community_and_source_access(self):
        cases = [
            # community, target, tool args, answered, expected output or error text
            ("tambor", V4, ("snmpget", SYS_DESCR), True, 'STRING: "Brisvane"'),
            ("tambor", V6, ("snmpget", SYS_DESCR), False, "Timeout"),       # 0.0.0.0 is IPv4 only
            ("six", V6, ("snmpget", SYS_DESCR), True, 'STRING: "Brisvane"'),
            ("six", V4, ("snmpget", SYS_DESCR), False, "Timeout"),
            ("local", V4, ("snmpget", SYS_DESCR), True, 'STRING: "Brisvane"'),
            ("other", V4, ("snmpget", SYS_DESCR), False, "Timeout"),        # listed for another source
            ("wrong", V4, ("snmpget", SYS_DESCR), False, "Timeout"),
            ("tambor", V4, ("snmpset", PF_DELAY, "i", "250"), True, "genError"),  # read-only entry
            ("tambor", V4, ("snmpgetnext", ".1.3.6.1.2.1.1.7.0"), True, PRIV + ".1.1.0 = STRING"),
            ("tambor", V4, ("snmpget", ".1.3.6.1.2.1.1.99.0"), True, "noSuchName"),
        ]
        for community, target, (tool, *args), answered, expect in cases:
            with self.subTest(community=community, target=target, tool=tool):
                r = st.run(tool, st.v1(community), target, *args)
                out = r.stdout + r.stderr
                self.assertIn(expect, out)
                self.assertEqual("Timeout" in out, not answered, out)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "300")

    def test_full_walk_in_order_and_ends(self):
        walks = {}
        for name, security, target in [("v1", st.v1("tambor"), V4), ("v1-v6", st.v1("six"), V6),
                                       ("v3", st.v3(), V4), ("v3-v6", st.v3(), V6)]:
            with self.subTest(name):
                r = st.run("snmpwalk", security, target, ".1", timeout=2)
                self.assertEqual(r.returncode, 0, r.stderr)
                rows = st.values(r.stdout)
                oids = [tuple(int(x) for x in oid.strip(".").split(".")) for oid, _, _ in rows]
                self.assertEqual(len(oids), 25, r.stdout)
                self.assertEqual(oids, sorted(oids))
                self.assertEqual(len(set(oids)), 25)
                self.assertEqual(oids[0], (1, 3, 6, 1, 2, 1, 1, 1, 0))
                self.assertEqual(oids[-1], (1, 3, 6, 1, 4, 1, 32473, 2, 210, 3, 1, 0))
                self.assertNotIn("Timeout", r.stderr)
                # SNMPv1 ends with noSuchName, SNMPv3 with endOfMibView.
                self.assertIn("End of MIB" if name.startswith("v1") else "No more variables left", r.stdout)
                walks[name] = [(o, t) for o, t, _ in rows]
        self.assertEqual(walks["v1"], walks["v3"])
        self.assertEqual(walks["v1-v6"], walks["v3-v6"])

    def test_v3_security_levels(self):
        for target in (V4, V6):
            for user, level, auth, priv in [("manager", "authPriv", st.AUTH, st.PRIV),
                                            ("signer", "authNoPriv", "signerpass", ""),
                                            ("viewer", "noAuthNoPriv", "", "")]:
                with self.subTest(target=target, user=user):
                    r = self.get(st.v3(user, level, auth, priv), target)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(st.values(r.stdout), [(SYS_DESCR, "STRING", '"Brisvane"')])

    def test_v3_errors_are_reported_not_timed_out(self):
        cases = [
            ("wrong password", st.v3(auth="wrongpass1"), "Authentication failure"),
            ("unknown user", st.v3(user="nobody"), "Unknown user name"),
            ("wrong privacy password", st.v3(priv="wrongpriv1"), "Decryption error"),
            ("below the user's level", st.v3(level="authNoPriv"), "Unsupported security level"),
            ("no privacy for this user", st.v3("signer", "authPriv", "signerpass", "signerpass"),
             "Unsupported security level"),
            ("unknown context", st.v3(context="nothere"), "context"),
            ("read-only user writes", st.v3("viewer", "noAuthNoPriv", "", ""), "genError"),
        ]
        for name, security, expect in cases:
            with self.subTest(name):
                start = time.monotonic()
                if name == "read-only user writes":
                    r = st.run("snmpset", security, V4, PF_DELAY, "i", "200", timeout=3)
                else:
                    r = st.run("snmpget", security, V4, SYS_DESCR, timeout=3)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(expect.lower(), (r.stdout + r.stderr).lower())
                self.assertNotIn("Timeout", r.stderr)
                self.assertLess(time.monotonic() - start, 2.5)  # an answer, not the 3 s timeout

    def test_set_shutdown_delay_changes_config(self):
        cases = [
            # security, target, value, accepted, error text
            (st.v3(), V4, "240", True, None),
            (st.v1("local"), V4, "180", True, None),
            (st.v1("six"), V6, "120", True, None),
            (st.v3(), V6, "100000", False, "wrongValue"),
            (st.v3(), V4, "-5", False, "wrongValue"),
            (st.v1("local"), V4, "-5", False, "badValue"),
        ]
        stored = None
        for security, target, value, accepted, error in cases:
            with self.subTest(value=value, target=target):
                before = harness.read(harness.CONFIG)
                r = st.run("snmpset", security, target, PF_DELAY, "i", value)
                if accepted:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(st.values(r.stdout), [(PF_DELAY, "INTEGER", value)])
                    stored = value
                    self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), value)
                else:
                    self.assertIn(error, r.stdout + r.stderr)
                    self.assertEqual(harness.read(harness.CONFIG), before)
                r = self.get(st.v3(), V4, PF_DELAY)
                self.assertEqual(st.values(r.stdout), [(PF_DELAY, "INTEGER", stored)])
        # A SET with a refused second varbind applies neither.
        r = st.run("snmpset", st.v3(), V4, PRIV + ".2.5.0", "i", "77", PRIV + ".2.1.0", "i", "9")
        self.assertIn("wrongValue", r.stdout + r.stderr)
        self.assertNotEqual(harness.config_get("Shutdown", "Battery Low Delay="), "77")
        # Texts: stored and kept, refused when too long.
        r = st.run("snmpset", st.v3(), V4, ".1.3.6.1.2.1.1.6.0", "s", "rack 7, room 2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(harness.config_get("System", "Location="), "rack 7, room 2")
        r = st.run("snmpset", st.v3(), V4, ".1.3.6.1.2.1.1.4.0", "s", "x" * 40)
        self.assertIn("wrongLength", r.stdout + r.stderr)
        # The stored delay survives a restart; SNMPv3 keeps working across it
        # with the raised engine boots.
        boots = int(harness.read(os.path.join(harness.INSTALL, "snmpboots")))
        self.assertGreaterEqual(boots, 1)
        self.assertEqual(self.daemons[-1].stop(), 0)
        self.start_daemon()
        st.wait_agent()
        self.assertEqual(int(harness.read(os.path.join(harness.INSTALL, "snmpboots"))), boots + 1)
        r = self.get(st.v3(), V4, PF_DELAY)
        self.assertEqual(st.values(r.stdout), [(PF_DELAY, "INTEGER", stored)])


if __name__ == "__main__":
    harness.main()
