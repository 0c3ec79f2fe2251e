"""The trap sender with net-snmp's snmptrapd as the receiver: the cold-start
trap 6 seconds after start as an SNMPv1 Trap-PDU and as SNMPv2c and SNMPv3
(authPriv and authNoPriv) SNMPv2-Traps, to IPv4 and IPv6 receivers; and a
power failure of the simulated UPS reaching receivers in the peer namespace
by their minimum levels."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import snmptools as st  # noqa: E402
import upssim  # noqa: E402

PORT = 16201
COLD_START = ".1.3.6.1.6.3.1.1.5.1"
SNMP_TRAP_OID = ".1.3.6.1.6.3.1.1.4.1.0 = OID: "
EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"
# UPS events of the input failure (status bit 1): began, ended; their trap
# numbers are 3 and 4 in both trap tables. Levels in the English texts:
# 2 (Warning) and 1 (Information).
POWER_FAIL, POWER_BACK = 102, 103


def ups_events():
    """Codes of the UPS event records in the event log."""
    out = []
    for line in (harness.read(EVENT_LOG) or "").splitlines():
        code = line.split(" ", 1)[0]
        if code.isdigit() and int(code) >= 100:
            out.append(int(code))
    return out


def set_receivers(receivers, port):
    """receivers: [(ip, type, mib, level, community, user)]."""
    keys = {"Number=": len(receivers)}
    for i, (ip, typ, mib, level, community, user) in enumerate(receivers, 1):
        keys.update({"IP%d=" % i: ip, "Port%d=" % i: port, "Community%d=" % i: community,
                     "Type%d=" % i: typ, "MIB%d=" % i: mib, "Level%d=" % i: level,
                     "User%d=" % i: user, "NCPort%d=" % i: 161, "Twice%d=" % i: "No"})
    harness.config_set({"SNMP Trap": keys})


def notification(trap):
    """What a trap announces: ("cold", None) or ("ups", (branch, number))."""
    if trap["version"] == "0":
        if trap["generic"] == "0":
            return ("cold", None)
        assert trap["generic"] == "6", trap
        # snmptrapd prints an enterprise-specific number as an OID suffix (".3").
        return ("ups", (trap["enterprise"], trap["specific"].lstrip(".")))
    oid = trap["varbinds"].split(SNMP_TRAP_OID, 1)[1].split()[0]
    if oid == COLD_START:
        return ("cold", None)
    return ("ups", (oid.rsplit(".", 2)[0], oid.rsplit(".", 2)[1]))


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
        set_receivers(receivers, PORT)

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
        def cold_starts():
            return [t for t in trapd.traps() if notification(t)[0] == "cold"]
        harness.wait_for(lambda: len(cold_starts()) >= expected, 20, 0.2, what="the traps")
        elapsed = time.monotonic() - started
        time.sleep(2)  # nothing more may come
        traps = cold_starts()
        self.assertEqual(len(traps), expected, trapd.log())
        # No UPS is configured: the first detection pass finds none, and the
        # lost link (UPS event 192, trap 1 of both tables) is sent as well.
        lost = ("ups", (".1.3.6.1.4.1.32473.2.4.20", "1"))
        harness.wait_for(lambda: lost in [notification(t) for t in trapd.traps()], 10, 0.2, what="the lost link's trap")
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

    def test_power_failure_reaches_the_receivers_its_level_admits(self):
        sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(sim.stop)
        harness.ensure_config()
        st.set_users([("manager", 2, st.AUTH, st.PRIV, 2)])
        v4, v5 = ".1.3.6.1.4.1.32473.2.4.20", ".1.3.6.1.4.1.32473.2.5.20"
        # The receivers sit in the peer namespace, behind veth0. Each is
        # told apart by its community or user; want: the UPS traps it gets.
        receivers = [
            # IP, Type, MIB, Level, Community, User; UPS traps (failure 3, return 4)
            ((harness.PEER_V4, 0, 0, 1, "pf-info", ""), [(v4, "3"), (v4, "4")]),
            ((harness.PEER_V4, 1, 1, 2, "pf-warning", ""), [(v5, "3")]),
            ((harness.PEER_V4, 2, 0, 2, "", "manager"), [(v4, "3")]),
            # Above the failure's level: only the cold start (level 3) comes.
            ((harness.PEER_V4, 0, 0, 3, "pf-alarm", ""), []),
        ]
        set_receivers([r for r, _ in receivers], PORT)
        harness.config_set({"COM": {"COM Port=": 2, "COM Path=": sim.slave_path}})
        trapd = st.TrapReceiver("udp:%s:%d" % (harness.PEER_V4, PORT),
                                users=[(st.engine_id(), "manager", st.AUTH, st.PRIV)], netns=harness.PEER_NS)
        self.addCleanup(trapd.stop)
        self.start_daemon()

        # The cold start reaches every receiver, the level-3 one included
        # (its filter passes the cold start's level 3): each one listens.
        harness.wait_for(lambda: len(trapd.traps()) >= len(receivers), 20, 0.2, what="the cold-start traps")
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in sim.frames()) >= 2, 30, what="the UPS link")
        self.assertEqual(sorted(t["security"] for t in trapd.traps()), sorted(r[4] or r[5] for r, _ in receivers))
        self.assertEqual({notification(t)[0] for t in trapd.traps()}, {"cold"})

        def expected(number):
            return sum(1 for _, want in receivers for _, n in want if n == number)
        sim.set_state("powerfail")
        harness.wait_for(lambda: POWER_FAIL in ups_events(), 30, what="the power failure event")
        cold = len(receivers)
        harness.wait_for(lambda: len(trapd.traps()) >= cold + expected("3"), 10, 0.2, what="the failure traps")
        sim.set_state("online")
        harness.wait_for(lambda: POWER_BACK in ups_events(), 30, what="the power return event")
        harness.wait_for(lambda: len(trapd.traps()) >= cold + expected("3") + expected("4"), 10, 0.2,
                         what="the return trap")
        time.sleep(2)  # nothing more may come

        for (ip, typ, mib, level, community, user), want in receivers:
            name = community or user
            with self.subTest(name):
                got = [t for t in trapd.traps() if t["security"] == name]
                self.assertEqual([notification(t) for t in got],
                                 [("cold", None)] + [("ups", n) for n in want], trapd.log())
                for t in got:
                    self.assertEqual(t["version"], {0: "0", 1: "1", 2: "3"}[typ])
                    if typ == 0:
                        self.assertEqual(t["agent"], harness.HOST_V4)
                    else:
                        self.assertIn(".1.3.6.1.2.1.1.3.0 = Timeticks:", t["varbinds"])


if __name__ == "__main__":
    harness.main()
