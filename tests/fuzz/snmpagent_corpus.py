"""Captures the seed corpus of snmpagent_fuzz: the requests net-snmp's tools
send to the daemon's agent and the agent's replies (which it must never
answer when they come back: Reports and Responses), recorded with tcpdump
on loopback inside the end-to-end namespace, and a few crafted messages that
must get nothing (a Report in, a discovery without the reportable flag or
without its scoped PDU). veth0 gets a fixed MAC first, so the requests carry
the engine id that the fuzz target's agent has.

    tests/e2e/nsrun build /usr/bin/python3 $PWD/tests/fuzz/snmpagent_corpus.py $PWD/tests/fuzz/corpus/snmpagent_fuzz
"""
import os
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
import snmptools as st  # noqa: E402
import test_snmp_agent as craft  # noqa: E402

MAC = "02:00:5e:10:00:01"  # the fuzz target's interface table holds the same
USERS = [("manager", 2, st.AUTH, st.PRIV, 2), ("signer", 1, "signerpass", "", 2), ("viewer", 0, "", "", 1)]
PRIV = ".1.3.6.1.4.1.32473.2.210"
V4, V6 = "udp:127.0.0.1:161", "udp6:[::1]:161"

REQUESTS = [
    ("v1_get", "snmpget", st.v1("tambor"), V4, [".1.3.6.1.2.1.1.1.0", ".1.3.6.1.2.1.1.3.0"]),
    ("v1_getnext", "snmpgetnext", st.v1("tambor"), V4, [".1.3.6.1.2.1.1.7.0"]),
    ("v1_set_delay", "snmpset", st.v1("six"), V6, [PRIV + ".2.3.0", "i", "240"]),
    ("v1_set_text", "snmpset", st.v1("six"), V6, [".1.3.6.1.2.1.1.6.0", "s", "rack 7"]),
    ("v3_authpriv_get", "snmpget", st.v3(), V4, [".1.3.6.1.2.1.1.1.0", PRIV + ".1.4.0"]),
    ("v3_authpriv_set", "snmpset", st.v3(), V4, [PRIV + ".2.5.0", "i", "45", PRIV + ".3.1.0", "i", "2"]),
    ("v3_authpriv_getnext", "snmpgetnext", st.v3(), V6, [PRIV + ".2.11.0"]),
    ("v3_authnopriv_get", "snmpget", st.v3("signer", "authNoPriv", "signerpass", ""), V4, [".1.3.6.1.2.1.1.5.0"]),
    ("v3_noauth_get", "snmpget", st.v3("viewer", "noAuthNoPriv", "", ""), V4, [".1.3.6.1.2.1.1.2.0"]),
    ("v3_wrong_password", "snmpget", st.v3(auth="wrongpass1"), V4, [".1.3.6.1.2.1.1.1.0"]),
    ("v3_unknown_user", "snmpget", st.v3(user="nobody"), V4, [".1.3.6.1.2.1.1.1.0"]),
]


def crafted(engine):
    """Messages that must get no answer, by name."""
    return {
        "v3_report_in": craft.report_as_sent(engine),
        "v3_response_in": craft.v3(0x04, engine, data=craft.scoped(craft.pdu(0xA2), engine)),
        "v3_trap2_in": craft.v3(0x04, data=craft.scoped(craft.pdu(0xA7))),
        "v3_discovery_not_reportable": craft.discovery(0x00),
        "v3_discovery_without_scoped_pdu": craft.v3(0x04),
    }


def udp_payloads(pcap, port=161, source=False):
    """Payloads of the UDP datagrams to port (from port, with source) in a
    pcap file (Ethernet or Linux cooked headers, IPv4 or IPv6)."""
    data = open(pcap, "rb").read()
    magic, = struct.unpack("<I", data[:4])
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    linktype, = struct.unpack(endian + "I", data[20:24])
    off, out = 24, []
    while off + 16 <= len(data):
        _, _, caplen, _ = struct.unpack(endian + "IIII", data[off:off + 16])
        frame = data[off + 16:off + 16 + caplen]
        off += 16 + caplen
        if linktype == 1:
            ethertype, ip = struct.unpack(">H", frame[12:14])[0], frame[14:]
        elif linktype == 113:
            ethertype, ip = struct.unpack(">H", frame[14:16])[0], frame[16:]
        else:
            continue
        if ethertype == 0x0800 and ip[9] == 17:
            udp = ip[(ip[0] & 15) * 4:]
        elif ethertype == 0x86DD and ip[6] == 17:
            udp = ip[40:]
        else:
            continue
        at = 0 if source else 2
        if struct.unpack(">H", udp[at:at + 2])[0] == port:
            out.append(udp[8:])
    return out


def main():
    harness.require_namespace()
    dest = sys.argv[1]
    subprocess.run(["ip", "link", "set", "veth0", "address", MAC], check=True)
    subprocess.run(["rm", "-rf", harness.INSTALL], check=True)
    subprocess.run(["cmake", "--install", harness.BUILD], check=True, stdout=subprocess.DEVNULL)
    harness.ensure_config()
    st.set_users(USERS)
    st.set_access([("0.0.0.0", "tambor", 1), ("::", "six", 2)])
    d = harness.Daemon().start()
    st.wait_agent()
    os.makedirs(dest, exist_ok=True)
    for name, tool, security, target, args in REQUESTS:
        pcap = "/tmp/%s.pcap" % name
        dump = subprocess.Popen(["tcpdump", "-i", "lo", "-U", "--immediate-mode", "-w", pcap, "udp", "port", "161"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        dump.stderr.readline()  # "listening on lo": the capture has begun
        # A fresh net-snmp state each time, so SNMPv3 requests start with discovery.
        subprocess.run(["rm", "-rf", st.STATE + "/persist"])
        st.run(tool, security, target, *args)
        time.sleep(1)
        dump.terminate()
        dump.communicate()
        for i, payload in enumerate(udp_payloads(pcap)):
            with open(os.path.join(dest, "%s_%d" % (name, i)), "wb") as f:
                f.write(payload)
        for i, payload in enumerate(udp_payloads(pcap, source=True)):
            with open(os.path.join(dest, "%s_reply_%d" % (name, i)), "wb") as f:
                f.write(payload)
    for name, payload in crafted(bytes.fromhex(st.engine_id())).items():
        with open(os.path.join(dest, name), "wb") as f:
            f.write(payload)
    d.stop()


if __name__ == "__main__":
    main()
