"""Lateness of the shutdown against the mail server: the daemon counts down
a power failure played by the UPS simulator while its one mail receiver
(level 2) is served by each kind of peer in turn. Per peer it prints when the
stubbed shutdown script and the user command ran after the power failed, the
shutdown's lateness against the healthy run, the longest gap between the
frames the simulator received (the UPS polls) from the power failure to the
shutdown, and whether the power-failure mail was delivered by then."""
import glob
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "sim"))
import harness  # noqa: E402
import mailpeers  # noqa: E402
import upssim  # noqa: E402

harness.require_namespace()
delay = int(sys.argv[1]) if len(sys.argv) > 1 else 30
PEERS = [
    ("healthy", "aiosmtpd"),
    ("silent", "accepts TCP, never answers"),
    ("blackhole", "address whose SYNs vanish"),
    ("unresolvable", "a host name whose resolver never answers"),
    ("slow", "a valid server taking 9 s per reply"),
]


def fresh_install():
    # No mail kept from the run before.
    for spool in glob.glob(harness.PRIVATE + "/mail_level*.txt"):
        os.unlink(spool)
    harness.reinstall()
    harness.stub_host_scripts()


def start_peer(kind):
    """(server, port, stop, delivered) for one kind of mail peer."""
    if kind == "healthy":
        inbox = mailpeers.Inbox()
        port = harness.free_port()
        server = mailpeers.start_aiosmtpd(inbox, "127.0.0.1", port)
        return "127.0.0.1", port, server.stop, lambda: bool(inbox.find("Utility power failure"))
    if kind == "silent":
        s = mailpeers.SilentServer()
        return "127.0.0.1", s.port, s.stop, lambda: False
    if kind == "blackhole":
        mailpeers.route_blackhole()
        return mailpeers.BLACKHOLE, 25, lambda: None, lambda: False
    if kind == "unresolvable":
        r = mailpeers.SilentResolver()
        return "mail.example.net", 25, r.stop, lambda: False
    s = mailpeers.SlowServer(9.0)
    return "127.0.0.1", s.port, s.stop, lambda: any(b"Utility power failure" in body for _, body in s.messages)


def run(kind):
    fresh_install()
    sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim-%s.log" % kind).start()
    harness.ensure_config()
    server, port, stop_peer, delivered = start_peer(kind)
    harness.config_set({
        "COM": {"COM Port=": 2, "COM Path=": sim.slave_path},
        "Shutdown": {"Type=": 0, "UPS Delay=": 120, "Power Fail Enable=": "Yes", "Power Fail Delay=": delay,
                     "Battery Low Enable=": "No", "Overload Enable=": "No", "Bypass Enable=": "No",
                     "Schedule Shutdown Enable=": "No"},
        "Reaction": {"Notify Message Enable=": "Yes", "Notify Message Period=": 0,
                     "Execute Command Enable=": "Yes", "Execute Command Before=": 10,
                     "Execute Command File=": harness.INSTALL + "/command/command.ESX5"},
        "Mail": {"Server=": server, "Port=": port, "Password=": "", "Mail Sender=": "ups@example.org",
                 "Receive Num=": 1, "Receiver1=": "ops@example.org", "Level1=": 2},
    })
    d = harness.Daemon().start()
    harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in sim.frames()) >= 2, 90, what="the UPS link")
    time.sleep(6)  # past a 5-second pass
    t0 = time.time()
    sim.set_state("powerfail")
    harness.wait_for(lambda: harness.marks("command.shutdown"), delay + 300, 0.05, what="the shutdown script")
    t_script = harness.marks("command.shutdown")[0]
    user = harness.marks("command.ESX5")

    def sda():
        return [f["t"] for f in sim.frames() if f["type"] == "S" and f["mnemonic"] == "SDA"]
    # The UPS command goes out with the next free frame of the poll cycle.
    try:
        harness.wait_for(sda, 3, what="the delayed shutdown command")
    except AssertionError:
        pass
    sda = sda()
    times = [f["t"] for f in sim.frames() if t0 <= f["t"] <= t_script]
    gap = max((b - a for a, b in zip(times, times[1:])), default=float("nan"))
    got_mail = delivered()
    d.stop()
    sim.stop()
    stop_peer()
    return {"script": t_script - t0, "user": (user[0] - t0) if user else None,
            "sda": (sda[0] - t0) if sda else None, "gap": gap, "mail": got_mail}


print("power-fail delay %d s, user command 10 s before, one mail receiver at level 2" % delay)
print("%-44s %9s %8s %9s %9s %12s  %s" % ("mail peer", "script", "late", "user cmd", "UPS SDA", "longest gap",
                                          "mail delivered by then"))
healthy = None
for kind, label in PEERS:
    r = run(kind)
    if healthy is None:
        healthy = r["script"]
    late = r["script"] - healthy
    fmt = lambda v: "%8.1fs" % v if v is not None else "%9s" % "-"  # noqa: E731
    print("%-44s %8.1fs %+7.2fs %s %s %10.0fms  %s" % (
        label, r["script"], late, fmt(r["user"]), fmt(r["sda"]), 1000 * r["gap"], "yes" if r["mail"] else "no"),
        flush=True)
