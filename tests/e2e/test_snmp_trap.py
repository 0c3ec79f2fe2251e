"""The trap sender with net-snmp's snmptrapd as the receiver: the cold-start
trap 6 seconds after start as an SNMPv1 Trap-PDU and as SNMPv2c and SNMPv3
(authPriv and authNoPriv) SNMPv2-Traps, to IPv4 and IPv6 receivers."""
import subprocess
import time

import harness
import snmptools as st

PORT = 16201
COLD_START = ".1.3.6.1.6.3.1.1.5.1"


class SnmpTraps(harness.DaemonTest):
    def test_cold_start_reaches_every_receiver_kind(self):
        harness.ensure_config()
        st.set_users([("manager", 2, st.AUTH, st.PRIV, 2), ("signer", 1, "signerpass", "", 2)])
        receivers = [
            # IP, Type, MIB, Level, Community, User
            ("127.0.0.1", 0, 0, 4, "v1four", ""),
            ("127.0.0.1", 0, 1, 1, "v1five", ""),
            ("127.0.0.1", 1, 0, 2, "v2c", ""),
            ("127.0.0.1", 2, 0, 3, "", "manager"),
            ("::1", 2, 1, 4, "", "signer"),
            ("127.0.0.1", 0, 0, 0, "levelzero", ""),   # level 0: nothing
            ("127.0.0.1", 2, 0, 4, "", "nobody"),      # no such user: nothing
            ("127.0.0.1", 3, 0, 4, "typethree", ""),   # no such version: nothing
        ]
        keys = {"Number=": len(receivers)}
        for i, (ip, typ, mib, level, community, user) in enumerate(receivers, 1):
            keys.update({"IP%d=" % i: ip, "Port%d=" % i: PORT, "Community%d=" % i: community,
                         "Type%d=" % i: typ, "MIB%d=" % i: mib, "Level%d=" % i: level,
                         "User%d=" % i: user, "NCPort%d=" % i: 161, "Twice%d=" % i: "No"})
        harness.config_set({"SNMP Trap": keys})

        engine = st.engine_id()
        trapd = st.TrapReceiver("udp:127.0.0.1:%d,udp6:[::1]:%d" % (PORT, PORT),
                                users=[(engine, "manager", st.AUTH, st.PRIV),
                                       (engine, "signer", "signerpass", "")])
        self.addCleanup(trapd.stop)
        started = time.monotonic()
        self.start_daemon()
        # One trap per local address of the receiver's family: the IPv6
        # receiver gets one per IPv6 address of veth0 (global and link-local).
        out = subprocess.run(["ip", "-6", "-o", "addr", "show", "dev", "veth0"], capture_output=True,
                             text=True).stdout
        v6addrs = len([l for l in out.splitlines() if " inet6 " in l])
        expected = 4 + v6addrs
        harness.wait_for(lambda: len(trapd.traps()) >= expected, 20, 0.2, what="the traps")
        elapsed = time.monotonic() - started
        time.sleep(2)  # nothing more may come
        traps = trapd.traps()
        self.assertEqual(len(traps), expected, trapd.log())
        self.assertGreater(elapsed, 5.0)
        self.assertEqual([t["security"] for t in traps].count("signer"), v6addrs)
        by = {t["security"]: t for t in traps}

        four = by["v1four"]
        self.assertEqual(four["version"], "0")
        self.assertEqual(four["enterprise"], ".1.3.6.1.4.1.32473.2.4.20")
        self.assertEqual((four["generic"], four["specific"]), ("0", "33"))
        self.assertEqual(four["agent"], harness.HOST_V4)  # the host's interface address
        self.assertTrue(400 <= int(four["uptime"]) <= 700, four)  # centiseconds, about 6 s
        five = by["v1five"]
        self.assertEqual(five["enterprise"], ".1.3.6.1.4.1.32473.2.5.20")
        self.assertEqual(five["specific"], "26")

        for name in ("v2c", "manager", "signer"):
            with self.subTest(name):
                t = by[name]
                self.assertEqual(t["version"], "1" if name == "v2c" else "3")
                self.assertIn(".1.3.6.1.2.1.1.3.0 = Timeticks:", t["varbinds"])
                self.assertIn(".1.3.6.1.6.3.1.1.4.1.0 = OID: " + COLD_START, t["varbinds"])


if __name__ == "__main__":
    harness.main()
