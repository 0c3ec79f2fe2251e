"""Writes the seed corpus of snmppoll_fuzz. Datagrams (first byte 0): the
answers of net-snmp's snmpd, as the network shutdown client in the peer
namespace with the engine id the fuzz target expects, to the daemon's
discovery and authenticated request, recorded with tcpdump inside the
end-to-end namespace. Scoped PDUs (first byte 1), which the target wraps
into authPriv messages: a Response with the client's status, one with
over-long and wrongly typed values, an error Response and a Report.

    tests/e2e/nsrun build /usr/bin/python3 $PWD/tests/fuzz/snmppoll_corpus.py $PWD/tests/fuzz/corpus/snmppoll_fuzz
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
import snmptools as st  # noqa: E402
from snmpagent_corpus import udp_payloads  # noqa: E402

DIR = "/tmp/snmppoll-corpus"
ENGINE = bytes([0x80, 0x00, 0x1F, 0x88, 0x04]) + b"fuzzpeer0001"
CLIENT = "1.3.6.1.4.1.32473.2.200"


tlv, integer, oid = st.tlv, st.integer, st.oid


def scoped(tag, varbinds, error=0):
    vbs = b"".join(tlv(0x30, oid(name) + value) for name, value in varbinds)
    pdu = tlv(tag, integer(4242) + integer(error) + integer(0) + tlv(0x30, vbs))
    return tlv(0x30, tlv(0x04, ENGINE) + tlv(0x04, b"") + pdu)


def status(os_text=b"Linux 6.1", host=b"peerhost", flag=integer(1)):
    c = CLIENT + ".1."
    return [(c + "1.0", tlv(0x04, os_text)), (c + "2.0", tlv(0x04, b"c2")), (c + "3.0", flag),
            (c + "4.0", integer(120)), (c + "5.0", integer(2)), (c + "6.0", tlv(0x04, host)),
            (CLIENT + ".3.1.0", tlv(0x04, b"x"))]


WRAPPED = {
    "wrapped_response": scoped(0xA2, status()),
    "wrapped_long_texts": scoped(0xA2, status(b"o" * 200, b"h" * 63 + "\u00e9".encode(), tlv(0x04, b"1"))),
    "wrapped_exceptions": scoped(0xA2, [(n, tlv(0x80, b"")) for n, _ in status()]),
    "wrapped_error": scoped(0xA2, status(), error=2),
    "wrapped_report": scoped(0xA8, [("1.3.6.1.6.3.15.1.1.2.0", integer(1, 0x41))]),
}


def capture():
    """The snmpd's Report and Response to one exchange with the daemon."""
    os.makedirs(DIR + "/persist", exist_ok=True)
    os.makedirs(DIR + "/empty", exist_ok=True)
    conf = ["engineID fuzzpeer0001", "createUser manager MD5 %s DES %s" % (st.AUTH, st.PRIV),
            "rouser manager priv"]
    for name, value in [(".1.1.0", 'octet_str "Linux 6.1"'), (".1.2.0", 'octet_str "c2"'),
                        (".1.3.0", "integer 1"), (".1.4.0", "integer 120"), (".1.5.0", "integer 2"),
                        (".1.6.0", 'octet_str "peerhost"'), (".3.1.0", 'octet_str "x"')]:
        conf.append("override .%s%s %s" % (CLIENT, name, value))
    harness.write(DIR + "/snmpd.conf", "\n".join(conf) + "\n")
    env = dict(os.environ, SNMP_PERSISTENT_DIR=DIR + "/persist", SNMPCONFPATH=DIR + "/empty", MIBS="",
               MIBDIRS=DIR + "/empty")
    ns = ["ip", "netns", "exec", harness.PEER_NS]
    snmpd = subprocess.Popen(ns + ["snmpd", "-f", "-C", "-c", DIR + "/snmpd.conf", "-Lo",
                                   "udp:%s:161" % harness.PEER_V4], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    pcap = DIR + "/answers.pcap"
    dump = subprocess.Popen(ns + ["tcpdump", "-i", "veth1", "-U", "--immediate-mode", "-w", pcap, "udp", "src",
                                  "port", "161"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    dump.stderr.readline()  # "listening on veth1": the capture has begun
    subprocess.run(["rm", "-rf", harness.INSTALL], check=True)
    subprocess.run(["cmake", "--install", harness.BUILD], check=True, stdout=subprocess.DEVNULL)
    harness.stub_host_scripts()
    harness.ensure_config()
    harness.config_set({"SNMP Trap": {"Number=": 1, "IP1=": harness.PEER_V4, "Port1=": 16299, "Type1=": 0,
                                      "Community1=": "nc", "MIB1=": 0, "Level1=": 4, "User1=": "",
                                      "NCPort1=": 161, "Twice1=": "No"}})
    d = harness.Daemon().start()
    harness.wait_for(lambda: len(udp_payloads(pcap, 161, source=True)) >= 2, 30, 0.2, what="the answers")
    d.stop()
    dump.terminate()
    dump.communicate()
    snmpd.terminate()
    snmpd.wait(10)
    return udp_payloads(pcap, 161, source=True)[:2]


def main():
    harness.require_namespace()
    dest = sys.argv[1]
    os.makedirs(dest, exist_ok=True)
    for name, payload in zip(("snmpd_report", "snmpd_response"), capture()):
        with open(os.path.join(dest, name), "wb") as f:
            f.write(b"\x00" + payload)
    for name, pdu in WRAPPED.items():
        with open(os.path.join(dest, name), "wb") as f:
            f.write(b"\x01" + pdu)


if __name__ == "__main__":
    main()
