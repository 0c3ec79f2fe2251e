"""Timelines of the end of the shutdown road: for each case the installed
daemon runs against the UPS simulator with stub host scripts that record
when they start and end, and the case prints what happened in seconds from
the power failure (or from the change of the UPS that the case is about):
the simulator's state changes and the set frames it received, the events as
they reached the event log (seen every 50 ms), the stubs' starts and ends,
the broadcasts, the signals sent and the daemon's exit, then the case's key
figures.

Cases (pick some by letter on the command line; all by default):
  a  link up, a shutdown script that takes 15 s
  b  link silent from 6 s after the power failure, back 20 s after zero
  c  a 40-s user command (lead 10 s) still running at zero
  d  SIGTERM, then SIGQUIT, 3 s into a 20-s shutdown script
  e  the link silent 15 s during a power failure (a 300-s countdown runs)
  e2 the link silent 15 s while the UPS is on bypass (a 120-s countdown)
  f  40 s of wrongly summed replies from a UPS that linked with checksums
  g  a broadcast script that hangs
  h  a scheduled shutdown with a restore: h1 the link up, h2 the link silent
     across zero (the timeline counts from the shutdown's being due)
  l1 a load-bank outlet due off while the link is lost, the link back on
     line power
  l2 a scheduled self-test due while the UPS does not answer, back 66 s later
  l3 a UPS without checksums put where one with checksums was
  hib-link     "Type=" hibernate, the link lost before zero, the host resumes,
               then the power and the link come back
  hib-low      the battery runs low while the 40-s hibernation script runs,
               the power returns 5 s after the resume
  cancel-wait  a cancel (web) while zero waits for a 45-s user command, then
               the power returns; a resume (web) once the command has ended
  user-cmds    a user command that never ends and 16 short power failures,
               then a low battery (the host script at zero); no broadcasts
  snmp-cancel  SNMP SETs of the cancel flag (v1 and v3) at zero, and the
               flag read 0.1 s and 2 s later
  sigchld      the daemon started with SIGCHLD ignored; neither the shutdown
               script nor the user command can be executed
  restart      SIGTERM and a new start during a power failure (delay 30 s,
               user command 10 s before): r1 before the user command, r2
               after it started, r3 after zero (the wait for the user
               command), r4 after the shutdown script started (the
               timeline counts from the power failure)"""
import os
import re
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "sim"))
import harness  # noqa: E402
import snmptools  # noqa: E402
import test_shutdown_order as order  # noqa: E402
import upssim  # noqa: E402

harness.require_namespace()

INSTALL = harness.INSTALL
MARKS = harness.MARKS
EVENT_LOG = INSTALL + "/_FILE_LOG.TXT"
SIM_LOG = "/tmp/upssim.log"
USER_COMMAND = order.USER_COMMAND
HTTP, BASE = order.HTTP, order.BASE
COUNTDOWN = ".1.3.6.1.4.1.32473.2.210.1.4.0"  # the agent's remaining seconds
ON_BYPASS = 168                                # UPS event of status bit 34
NO_SHUTDOWN = {"Type=": 0, "UPS Delay=": 120, "Power Fail Enable=": "No", "Battery Low Enable=": "No",
               "Overload Enable=": "No", "Bypass Enable=": "No", "Schedule Shutdown Enable=": "No"}


# ---- stubs -----------------------------------------------------------------

stub, stamps = order.stub, order.stamps


def wall_stub(hang_first=False):
    """The broadcast script: one line "<time> <notice>" per run; with
    hang_first the first run never ends."""
    text = "#!/bin/sh\necho $(date +%%s.%%N) $(cat %s/TMP_BROAD.DAT) >> %s/wall\n" % (harness.PRIVATE, MARKS)
    if hang_first:
        text += "if [ ! -e %s/hung ]; then echo $$ > %s/hung; exec sleep 1000; fi\n" % (MARKS, MARKS)
    harness.write(INSTALL + "/command/command.wall", text, 0o755)


def walls():
    """(time, notice) of every broadcast the stub showed."""
    out = []
    for line in (harness.read(MARKS + "/wall") or "").splitlines():
        t, _, text = line.partition(" ")
        out.append((float(t), text.split(">: ", 1)[-1]))
    return out


# ---- the namespace's processes ----------------------------------------------

def end_everything():
    """Kills every process of the namespace but this one (the daemon, the
    stubs and what they started) and reaps them: each case starts clean."""
    me = os.getpid()
    for name in os.listdir("/proc"):
        if name.isdigit() and int(name) != me:
            try:
                os.kill(int(name), signal.SIGKILL)
            except OSError:
                pass
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            time.sleep(0.05)


def wait_exit(pid, timeout):
    """The exit time and status of pid (re-parented to this process), or
    (None, None) when it still runs after timeout seconds."""
    try:
        status = harness.reap(pid, timeout, interval=0.02)
    except AssertionError:
        return None, None
    return time.time(), status


# ---- one run of the daemon --------------------------------------------------

FACTORY = None  # the factory config.ini, written by the build once


class Run:
    def __init__(self, name, title, **sim_options):
        global FACTORY
        self.name, self.title = name, title
        end_everything()
        harness.reinstall()
        harness.stub_host_scripts()
        stub("command.shutdown", 1)
        stub("command.ESX5", 1)
        wall_stub()
        if FACTORY is None:
            harness.ensure_config()
            FACTORY = harness.read(harness.CONFIG)
            end_everything()
        harness.write(harness.CONFIG, FACTORY, 0o600)
        if os.path.exists(SIM_LOG):
            os.unlink(SIM_LOG)
        sim_options.setdefault("checksum", True)
        self.sim = upssim.UpsSim(log_path=SIM_LOG, **sim_options)
        self.notes = []       # (time, text) the case adds: signals, exits, samples
        self.figures = []     # (name, text)
        self.events = []      # (time seen, code, level, text)
        self.t0 = None
        self.load = [os.getloadavg()[0]]
        self.watching = True
        self.watcher = threading.Thread(target=self.watch_events, daemon=True)

    def configure(self, changes):
        harness.config_set(dict({"COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path}}, **changes))

    def launch(self):
        """The simulator, the event watcher and the daemon, started."""
        self.sim.start()
        self.watcher.start()
        self.daemon = harness.Daemon().start()

    def launch_until(self, code, what):
        """Launches, and counts from event code: its time, or None (the
        case then reports what was not due and is finished)."""
        self.t0 = time.time()
        self.launch()
        due = self.wait_event(code, 15)
        if due is None:
            self.figure(what, "not due")
            self.finish()
            return None
        self.t0 = due
        return due

    def start(self, web=False):
        self.launch()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 4, 50,
                         what="the UPS link")
        if web:
            harness.wait_for(lambda: harness.listening(HTTP), 15, what="the web server")
            self.cookie = login()
        # What the start and the new link log and broadcast is over.
        harness.wait_for(lambda: not self.events or time.time() - self.events[-1][0] > 4, 30, 0.1,
                         what="a quiet event log")

    def watch_events(self):
        """Notes when each line reaches the event log."""
        seen = 0
        while self.watching:
            lines = (harness.read(EVENT_LOG, "rb") or b"").decode("latin-1").splitlines()
            if len(lines) < seen:
                seen = 0
            now = time.time()
            for line in lines[seen:]:
                parts = line.split(" ", 4)
                if len(parts) == 5 and parts[0].lstrip("-").isdigit():
                    self.events.append((now, int(parts[0]), int(parts[1]), parts[4]))
            seen = len(lines)
            time.sleep(0.05)

    def fail(self, state):
        """The UPS changes (the moment the timeline counts from)."""
        self.t0 = time.time()
        self.sim.set_state(state)

    def note(self, text, t=None):
        self.notes.append((time.time() if t is None else t, text))

    def figure(self, name, value):
        self.figures.append((name, value))

    def rel(self, t):
        return "-" if t is None else "%+.2f s" % (t - self.t0)

    def codes(self):
        return [e[1] for e in self.events]

    def event_times(self, code, text=None):
        return [e[0] for e in self.events if e[1] == code and (text is None or text in e[3])]

    def wait_event(self, code, timeout, text=None):
        try:
            return harness.wait_for(lambda: self.event_times(code, text), timeout, 0.05)[0]
        except AssertionError:
            return None

    def first_announcement(self):
        """(time, seconds) of the first countdown announcement, or None."""
        for t, code, _, text in self.events:
            if code == 6:
                seconds = 0
                for part in text.split()[-1].split(":"):
                    seconds = 60 * seconds + int(part)
                return t, seconds
        return None

    def expected_remaining(self, t):
        """What the first announced countdown has left at t."""
        first = self.first_announcement()
        return "-" if first is None else "%.0f" % (first[1] - (t - first[0]))

    def frames_at_ups(self, mnemonic):
        return [f for f in self.sim.frames() if f["type"] == "S" and f["mnemonic"] == mnemonic]

    def first_frame(self, mnemonic):
        return next((f["t"] for f in self.frames_at_ups(mnemonic)), None)

    def timeline(self):
        entries = []
        log = upssim.read_log(SIM_LOG)
        for i, e in enumerate(log):
            if e.get("event") == "state":
                entries.append((e["t"], "UPS %s" % e["state"] + (" for %g s" % e["seconds"] if "seconds" in e else "")))
            elif e.get("dir") == "rx" and e.get("type") == "S":
                reply = next((r for r in log[i + 1:] if r.get("dir") in ("rx", "tx")), {})
                entries.append((e["t"], "frame %s at the UPS (checksum %s), answered %s" % (
                    e["raw"], e["checksum"], reply.get("raw", "-") if reply.get("dir") == "tx" else "-")))
        for t, code, level, text in self.events:
            if code == -1 and level == 0:
                continue  # listener notes
            entries.append((t, "event %d %s" % (code, text)))
        for name in ("command.ESX5", "command.shutdown"):
            entries += [(t, "%s started" % name) for t in stamps(name, "start")]
            entries += [(t, "%s ended" % name) for t in stamps(name, "end")]
        entries += [(t, "broadcast: %s" % text) for t, text in walls()]
        entries += self.notes
        return ["  %+8.2f  %s" % (t - self.t0, what) for t, what in sorted(entries, key=lambda x: x[0])
                if t >= self.t0 - 0.5]

    def finish(self):
        self.figure("daemon running at the end", "yes" if self.daemon.running() else "no")
        self.load.append(os.getloadavg()[0])
        self.watching = False
        self.watcher.join(2)
        end_everything()
        self.sim.stop()
        print("\n== %s: %s" % (self.name, self.title))
        print("\n".join(self.timeline()))
        print("  figures:")
        for name, value in self.figures:
            print("    %-48s %s" % (name, value))
        print("    %-48s %.1f, %.1f" % ("load average (1 min) at start, end", *self.load), flush=True)


def login():
    return order.ShutdownOrder.login(None)


def on_battery_seconds(run):
    """The status page's seconds on battery, or None."""
    m = re.search(r'id="onbatt"[^>]*>([^<]*)<', order.curl("-b", "QuenchRelayer=" + run.cookie,
                                                       BASE + "/en/device/ups_status.asp"))
    return int(m.group(1)) if m and m.group(1).strip().lstrip("-").isdigit() else None


def remaining_seconds():
    """The agent's remaining seconds of the running countdown, or None."""
    r = snmptools.run("snmpget", snmptools.v3(), "udp:127.0.0.1:161", COUNTDOWN)
    rows = snmptools.values(r.stdout)
    return int(rows[0][2]) if rows and rows[0][2].lstrip("-").isdigit() else None


def shutdown_config(delay, script_type=0, command_before=None):
    return {
        "Shutdown": dict(NO_SHUTDOWN, **{"Type=": script_type, "Power Fail Enable=": "Yes",
                                               "Power Fail Delay=": delay}),
        "Reaction": {"Notify Message Enable=": "Yes", "Notify Message Period=": 0,
                     "Execute Command Enable=": "No" if command_before is None else "Yes",
                     "Execute Command Before=": command_before or 10, "Execute Command File=": USER_COMMAND,
                     "Send Smart Shutdown Trap Enable=": "No"},
    }


# ---- the cases ----------------------------------------------------------------

def case_a():
    run = Run("a", "link up, power-fail delay 8 s, a shutdown script that takes 15 s")
    stub("command.shutdown", 15)
    run.configure(shutdown_config(8))
    run.start()
    run.fail("powerfail")
    start = harness.wait_for(lambda: stamps("command.shutdown", "start"), 40, 0.05, what="the script")[0]
    harness.wait_for(lambda: stamps("command.shutdown", "end"), 25, 0.1, what="the script's end")
    time.sleep(3)  # a frame that follows the script's end
    zero = run.wait_event(8, 0)
    sda = run.first_frame("SDA")
    run.figure("zero (event 8)", run.rel(zero))
    run.figure("delayed-shutdown frame at the UPS", run.rel(sda))
    run.figure("shutdown script start", run.rel(start))
    run.figure("frame before (-) / after (+) the script start",
               "-" if sda is None else "%+.2f s" % (sda - start))
    run.finish()


def case_b():
    run = Run("b", "power-fail delay 15 s, link silent from 6 s after the power failure, "
                   "back 20 s after zero, up for 35 s")
    run.configure(shutdown_config(15))
    run.start()
    run.fail("powerfail")
    time.sleep(6)
    run.sim.set_state("silent")
    zero = run.wait_event(8, 30)
    if zero is None:
        run.figure("zero", "not reached within 36 s")
        run.finish()
        return
    time.sleep(max(0.0, zero + 20 - time.time()))
    back = time.time()
    run.sim.set_state("powerfail")
    time.sleep(35)
    sda = [f["t"] for f in run.frames_at_ups("SDA")]
    lost, restored = run.event_times(192), run.event_times(193)
    run.figure("zero (event 8)", run.rel(zero))
    run.figure("shutdown script start", run.rel((stamps("command.shutdown", "start") or [None])[0]))
    run.figure("link back", run.rel(back))
    run.figure("link restored (event 193)", run.rel(restored[0] if restored else None))
    run.figure("delayed-shutdown frames at the UPS", "%d, the first %s after the link came back"
               % (len(sda), "%.2f s" % (sda[0] - back) if sda else "-"))
    run.figure("lost link (event 192)", run.rel(lost[0] if lost else None))
    run.finish()


def case_c():
    run = Run("c", "power-fail delay 20 s, a user command of 40 s with a lead of 10 s")
    stub("command.ESX5", 40)
    stub("command.shutdown", 1)
    run.configure(shutdown_config(20, command_before=10))
    run.start()
    run.fail("powerfail")
    zero = run.wait_event(8, 40)
    cmd_end = harness.wait_for(lambda: stamps("command.ESX5", "end"), 60, 0.1, what="the user command's end")[0]
    try:
        script = harness.wait_for(lambda: stamps("command.shutdown", "start"), max(0.0, cmd_end + 15 - time.time()),
                                  0.05)[0]
    except AssertionError:
        script = None
    time.sleep(2)
    sda = run.first_frame("SDA")
    waits = [e for e in run.events if e[1] == -1 and USER_COMMAND in e[3]]
    run.figure("user command start", run.rel((stamps("command.ESX5", "start") or [None])[0]))
    run.figure("zero (event 8)", run.rel(zero))
    run.figure("user command end", run.rel(cmd_end))
    run.figure("delayed-shutdown frame at the UPS", run.rel(sda))
    run.figure("shutdown script start", run.rel(script))
    run.figure("script start after the user command's end",
               "-" if script is None else "%+.2f s" % (script - cmd_end))
    run.figure("events about the user command", "; ".join("%s %s" % (run.rel(e[0]), e[3]) for e in waits) or "none")
    run.finish()


def case_d():
    for sig in (signal.SIGTERM, signal.SIGQUIT):
        run = Run("d-%s" % sig.name, "power-fail delay 5 s, %s 3 s into a 20-s shutdown script" % sig.name)
        stub("command.shutdown", 20)
        run.configure(shutdown_config(5))
        run.start()
        run.fail("powerfail")
        start = harness.wait_for(lambda: stamps("command.shutdown", "start"), 40, 0.05, what="the script")[0]
        time.sleep(max(0.0, start + 3 - time.time()))
        sent = time.time()
        run.daemon.signal(sig)
        run.note("%s sent to the daemon" % sig.name, sent)
        # Up to 15 s past the script's end.
        exited, status = wait_exit(run.daemon.pid, start + 35 - time.time())
        if exited is not None:
            run.note("the daemon exited (status %s)" % status, exited)
            run.daemon.pid = None
        run.figure("shutdown script start", run.rel(start))
        run.figure("signal sent", run.rel(sent))
        run.figure("daemon exit after the signal", "%.2f s" % (exited - sent) if exited else
                   "not within %.0f s" % (time.time() - sent))
        run.figure("pid file left", "yes" if os.path.exists(harness.PIDFILE) else "no")
        run.finish()


def silence_during(run, extra_figures):
    """A 15-s silence 5 s after the change the case made: the events of the
    status bits and the given samples before and after it."""
    samples = []

    def sample(label):
        values = {name: f() for name, f in extra_figures}
        samples.append((time.time(), label, values))
        run.note("%s: %s" % (label, ", ".join("%s %s" % (k, v) for k, v in values.items())))

    time.sleep(5)
    sample("before the silence")
    silent = time.time()
    run.sim.set_state("silent", seconds=15)
    restored = run.wait_event(193, 40)
    # Two whole poll cycles of the new link, then a few seconds more.
    if restored is not None:
        harness.wait_for(lambda: sum(f["mnemonic"] == "STO" for f in run.sim.frames() if f["t"] > restored) >= 2,
                         20, 0.1, what="two poll cycles")
        sample("just after the return")
        time.sleep(5)
    sample("end")
    run.figure("silence", "%s for 15 s" % run.rel(silent))
    run.figure("lost (192) / restored (193)", "%s / %s" % (run.rel((run.event_times(192) or [None])[0]),
                                                          run.rel(restored)))
    return samples


def case_e():
    run = Run("e", "the link silent 15 s during a power failure (power-fail countdown of 300 s)")
    changes = shutdown_config(300)
    changes.update(order.WEB)
    run.configure(changes)
    run.start(web=True)
    snmptools.wait_agent()
    run.fail("powerfail")
    on = run.wait_event(166, 10)
    samples = silence_during(run, [("on battery", lambda: on_battery_seconds(run)),
                                   ("remaining", remaining_seconds)])
    codes = run.codes()
    run.figure("on battery (166) / no longer (167) events", "%d / %d" % (codes.count(166), codes.count(167)))
    run.figure("countdown ended (7) / announced (6) events", "%d / %d" % (codes.count(7), codes.count(6)))
    t, _, values = samples[-1]
    run.figure("seconds on battery at the end", "%s (166 came %.0f s before)" % (
        values["on battery"], t - on if on else float("nan")))
    run.figure("remaining at the end", "%s (%s expected without a restart)" % (
        values["remaining"], run.expected_remaining(t)))
    run.finish()


def case_e2():
    run = Run("e2", "the link silent 15 s while the UPS is on bypass (Bypass countdown of 120 s)")
    model = run.sim.model
    plain_sto = model.sto
    bypass = {"on": False}

    def sto():
        # Output source 2: the load runs on bypass.
        fields = plain_sto().split(";")
        if bypass["on"]:
            fields[0] = "2"
        return ";".join(fields)
    model.sto = sto
    run.configure({"Shutdown": dict(NO_SHUTDOWN, **{"Bypass Enable=": "Yes", "Bypass Delay=": 120}),
                   "Reaction": {"Notify Message Enable=": "Yes", "Notify Message Period=": 0,
                                "Execute Command Enable=": "No"}})
    run.start()
    snmptools.wait_agent()
    run.t0 = time.time()
    bypass["on"] = True
    run.note("UPS on bypass")
    run.wait_event(ON_BYPASS, 10)
    samples = silence_during(run, [("remaining", remaining_seconds)])
    codes = run.codes()
    run.figure("on bypass (168) / no longer (169) events", "%d / %d" % (codes.count(168), codes.count(169)))
    run.figure("countdown ended (7) / announced (6) events", "%d / %d" % (codes.count(7), codes.count(6)))
    t, _, values = samples[-1]
    run.figure("remaining at the end", "%s (%s expected without a restart)" % (
        values["remaining"], run.expected_remaining(t)))
    run.finish()


def case_f():
    run = Run("f", "40 s of wrongly summed replies from a UPS that linked with checksums")
    run.configure({"Shutdown": NO_SHUTDOWN, "Reaction": {"Notify Message Enable=": "Yes",
                                                              "Notify Message Period=": 0}})
    run.start()
    run.t0 = time.time()
    run.sim.set_state("badsum", seconds=40)
    sound = run.t0 + 40
    time.sleep(max(0.0, sound + 15 - time.time()))
    lost, restored = run.event_times(192), run.event_times(193)
    queries = [f for f in run.sim.frames() if f["type"] == "P"]
    during = [f for f in queries if restored and restored[0] < f["t"] < sound]
    after = [f for f in queries if f["t"] > sound + 1]
    run.figure("lost (192)", ", ".join(run.rel(t) for t in lost) or "-")
    run.figure("restored (193)", ", ".join(run.rel(t) for t in restored) or "-")
    run.figure("UPS sound again", run.rel(sound))
    run.figure("queries sent between 193 and the sound UPS", "%d (%d without checksum)" % (
        len(during), sum(f["checksum"] == "none" for f in during)))
    run.figure("frames after the UPS is sound: with / without sum", "%d / %d" % (
        sum(f["checksum"] == "ok" for f in after), sum(f["checksum"] == "none" for f in after)))
    run.finish()


def case_g():
    run = Run("g", "a broadcast script whose first run hangs (power failure, countdown of 600 s)")
    run.configure(shutdown_config(600))
    run.start()
    wall_stub(hang_first=True)
    run.fail("powerfail")
    # The start-up notice went out through the earlier stub: only what the
    # power failure broadcast counts.
    def since_failure():
        return [w for w in walls() if w[0] >= run.t0]
    first = harness.wait_for(since_failure, 20, 0.05, what="the first broadcast")[0][0]
    try:
        harness.wait_for(lambda: len(since_failure()) >= 2, first + 45 - time.time(), 0.05)
    except AssertionError:
        pass
    time.sleep(3)
    shown = since_failure()
    hung = int((harness.read(MARKS + "/hung") or "0").split()[0] or 0)
    run.figure("first broadcast", run.rel(first))
    run.figure("next broadcast", run.rel(shown[1][0]) if len(shown) > 1 else
               "none within %.0f s of the first" % (time.time() - first))
    run.figure("broadcasts shown", len(shown))
    run.figure("the hung run ended after", "%.2f s" % (shown[1][0] - first) if len(shown) > 1 else "-")
    run.figure("hung script still running", "yes" if hung and harness.pid_alive(hung) else "no")
    run.finish()


def case_h():
    for silent in (False, True):
        name, what = ("h2", "link silent from 8 s before zero to 15 s after it") if silent else \
            ("h1", "link up, a 5-s shutdown script")
        # The due check runs at the start and at every minute: an entry for
        # this minute is due at once, as long as the minute does not turn.
        while time.localtime().tm_sec > 45:
            time.sleep(1)
        run = Run(name, "a scheduled shutdown (delay 25 s) with a restore 90 minutes later, " + what)
        stub("command.shutdown", 5)
        now, back = time.localtime(), time.localtime(time.time() + 90 * 60)
        changes = shutdown_config(25)
        changes["Shutdown"].update({"Power Fail Enable=": "No", "Schedule Shutdown Enable=": "Yes",
                                    "Schedule Shutdown Delay=": 25})
        changes["Weekly Schedule"] = {
            "Weekday1=": "".join("1" if i == (now.tm_wday + 1) % 7 else "0" for i in range(7)),
            "Time1=": "%d:%d" % (now.tm_hour, now.tm_min), "Action1=": 1,
            "Weekday2=": "1111111", "Time2=": "%d:%d" % (back.tm_hour, back.tm_min), "Action2=": 2}
        run.configure(changes)
        if run.launch_until(12, "scheduled shutdown") is None:
            continue
        first = harness.wait_for(run.first_announcement, 10, 0.05, what="the announcement")
        zero_at = first[0] + first[1]
        if silent:
            harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in run.sim.frames()) >= 2, 40,
                             what="the UPS link")
            time.sleep(max(0.0, zero_at - 8 - time.time()))
            run.sim.set_state("silent")
        zero = run.wait_event(8, zero_at + 10 - time.time())
        if silent and zero is not None:
            time.sleep(max(0.0, zero + 15 - time.time()))
            back_at = time.time()
            run.sim.set_state("online")
            run.figure("link back", run.rel(back_at))
            run.wait_event(193, 15)
        harness.wait_for(lambda: stamps("command.shutdown", "end"), 30, 0.1, what="the script's end")
        time.sleep(6)
        sdr, sda = run.first_frame("SDR"), run.first_frame("SDA")
        run.figure("zero (event 8) / restore sent (event 18)", "%s / %s" % (
            run.rel(zero), run.rel((run.event_times(18) or [None])[0])))
        run.figure("restore / delayed-shutdown frame at the UPS", "%s / %s" % (run.rel(sdr), run.rel(sda)))
        run.figure("frames at the UPS: restore, delayed shutdown", "%d, %d" % (
            len(run.frames_at_ups("SDR")), len(run.frames_at_ups("SDA"))))
        run.figure("shutdown script start / end", "%s / %s" % (
            run.rel((stamps("command.shutdown", "start") or [None])[0]),
            run.rel((stamps("command.shutdown", "end") or [None])[0])))
        run.finish()


# ---- kept commands and the checksum memory across lost links -----------------

def free_texts(run, part):
    """(time seen, text) of the free-text records that hold part."""
    return [(e[0], e[3]) for e in run.events if e[1] == -1 and part in e[3]]


def case_l1():
    run = Run("l1", "outlet 1 off 12 s after a power failure, the link lost before that and back on line power")
    run.configure({"Shutdown": NO_SHUTDOWN, "UPS": {"Load Bank PF Enable1=": "Yes", "Load Bank PF Delay1=": 12}})
    run.start()
    run.fail("powerfail")
    run.wait_event(102, 15)
    edge = run.wait_event(174, 15)
    run.sim.set_state("silent")
    lost = run.wait_event(192, 15)
    time.sleep(max(0.0, (edge or time.time()) + 15 - time.time()))
    back = time.time()
    run.sim.set_state("online")
    restored = run.wait_event(193, 20)
    returned = run.wait_event(103, 30)
    since = returned or back
    harness.wait_for(lambda: sum(f.get("mnemonic") == "STA" for f in run.sim.frames() if f["t"] > since) >= 3, 25, 0.1,
                     what="three poll cycles")
    rof, ron = run.frames_at_ups("ROF"), run.frames_at_ups("RON")
    run.figure("on battery (102, 174) / lost (192)", "%s / %s" % (run.rel(edge), run.rel(lost)))
    run.figure("outlet-off due (12 s after 102)", run.rel(edge + 12 if edge else None))
    run.figure("link back / restored (193) / power back (103)", "%s / %s / %s" % (
        run.rel(back), run.rel(restored), run.rel(returned)))
    run.figure("outlet-off / outlet-on frames at the UPS", "%d / %d" % (len(rof), len(ron)))
    if rof and ron:
        run.figure("outlet 1 without power, mains present", "%.2f s" % (ron[0]["t"] - rof[0]["t"]))
    run.figure("outlet record", "; ".join("%s %s" % (run.rel(t), x) for t, x in free_texts(run, "utlet")) or "none")
    run.finish()


def case_l2():
    while time.localtime().tm_sec > 40:
        time.sleep(1)
    run = Run("l2", "a weekly self-test due at the start while the UPS does not answer, back 66 s later",
              state="silent")
    now = time.localtime()
    run.configure({"Shutdown": NO_SHUTDOWN, "Weekly Schedule": {
        "Weekday1=": "1111111", "Time1=": "%d:%d" % (now.tm_hour, now.tm_min), "Action1=": 3}})
    due = run.launch_until(14, "self-test")
    if due is None:
        return
    time.sleep(max(0.0, due + 66 - time.time()))
    back = time.time()
    run.sim.set_state("online")
    restored = run.wait_event(193, 20)
    harness.wait_for(lambda: sum(f.get("mnemonic") == "STB" for f in run.sim.frames()) >= 4, 30, 0.1,
                     what="four poll cycles")
    time.sleep(3)
    run.figure("self-test due (event 14)", run.rel(due))
    run.figure("lost (192)", run.rel((run.event_times(192) or [None])[0]))
    run.figure("UPS answers / restored (193)", "%s / %s" % (run.rel(back), run.rel(restored)))
    run.figure("self-test frames at the UPS", ", ".join(run.rel(f["t"]) for f in run.frames_at_ups("TST")) or "none")
    run.figure("drop record", "; ".join("%s %s" % (run.rel(t), x) for t, x in free_texts(run, "self-test"))
               or "none")
    run.finish()


def case_l3():
    run = Run("l3", "a UPS that sends no checksums put where one that sums was")
    run.configure({"Shutdown": NO_SHUTDOWN})
    run.start()
    run.t0 = time.time()
    run.sim.set_checksum(False)
    run.note("the UPS on the port now sends no checksums")
    lost = run.wait_event(192, 15)
    restored = run.wait_event(193, 170)
    if restored is not None:
        harness.wait_for(lambda: sum(f.get("mnemonic") == "STB" for f in run.sim.frames() if f["t"] > restored) >= 2,
                         20, 0.1, what="two poll cycles")
    after = [f for f in run.sim.frames() if f["type"] == "P" and restored and f["t"] > restored + 3]
    run.figure("lost (192)", run.rel(lost))
    run.figure("restored (193)", run.rel(restored) if restored else "not within %.0f s" % (time.time() - run.t0))
    run.figure("record", "; ".join("%s %s" % (run.rel(t), x) for t, x in free_texts(run, "checksum")) or "none")
    run.figure("queries after the link: with / without sum", "%d / %d" % (
        sum(f["checksum"] == "ok" for f in after), sum(f["checksum"] == "none" for f in after)))
    run.finish()


def marks_figure(run, name):
    starts, ends = stamps(name, "start"), stamps(name, "end")
    return "%d run(s): started %s; ended %s" % (len(starts), ", ".join(run.rel(t) for t in starts) or "-",
                                                 ", ".join(run.rel(t) for t in ends) or "-")


def sda_figure(run, since=None):
    frames = [f["t"] for f in run.frames_at_ups("SDA")]
    text = "%d: %s" % (len(frames), ", ".join(run.rel(t) for t in frames) or "-")
    if since is not None:
        text += " (%d after %s)" % (sum(t > since for t in frames), run.rel(since))
    return text


def polls_after(run, t, cycles=3):
    """Three whole poll cycles after t: a command kept for the link would
    have gone out with the first free frame."""
    try:
        harness.wait_for(lambda: sum(f.get("mnemonic") == "STB" and f["t"] > t for f in run.sim.frames()) >= cycles,
                         40, 0.1)
    except AssertionError:
        pass


def free_texts(run, start):
    return [e for e in run.events if e[1] == -1 and e[3].startswith(start)]


def case_hib_link():
    run = Run("hib-link", "\"Type=\" hibernate (10-s script), power-fail delay 25 s, \"UPS Delay=\" 60; "
                          "the link silent from the announcement, back (mains) after the resume")
    stub("command.hibernate", 10)
    changes = shutdown_config(25, script_type=2)
    changes["Shutdown"]["UPS Delay="] = 60
    run.configure(changes)
    run.start()
    run.fail("powerfail")
    run.wait_event(6, 20)
    run.sim.set_state("silent")
    run.note("UPS silent")
    lost = run.wait_event(192, 20)
    harness.wait_for(lambda: stamps("command.hibernate", "end"), 60, 0.05, what="the resume")
    back = time.time()
    run.sim.set_state("online")
    run.note("UPS answers again, mains present")
    restored = run.wait_event(193, 30)
    polls_after(run, time.time())
    time.sleep(3)
    run.figure("lost link (192) / zero (8)", "%s / %s" % (run.rel(lost), run.rel(run.wait_event(8, 0))))
    run.figure("hibernation script", marks_figure(run, "command.hibernate"))
    run.figure("link back / restored (193)", "%s / %s" % (run.rel(back), run.rel(restored)))
    run.figure("delayed-shutdown frames at the UPS", sda_figure(run, back))
    run.figure("drop record", "; ".join("%s %s" % (run.rel(e[0]), e[3]) for e in
                                         free_texts(run, "The host has resumed")) or "none")
    run.finish()


def case_hib_low():
    run = Run("hib-low", "\"Type=\" hibernate (40-s script), power-fail delay 12 s, battery-low delay 20 s; "
                         "the battery low from the script's start, the power back 5 s after the resume")
    stub("command.hibernate", 40)
    changes = shutdown_config(12, script_type=2)
    changes["Shutdown"].update({"Battery Low Enable=": "Yes", "Battery Low Delay=": 20})
    run.configure(changes)
    run.start()
    run.fail("powerfail")
    harness.wait_for(lambda: stamps("command.hibernate", "start"), 40, 0.05, what="the hibernation")
    run.sim.set_state("lowbatt")
    run.note("UPS battery low")
    end = harness.wait_for(lambda: stamps("command.hibernate", "end"), 60, 0.05, what="the resume")[0]
    time.sleep(max(0.0, end + 5 - time.time()))
    run.sim.set_state("online")
    run.note("mains back")
    run.wait_event(7, 30)
    try:  # a second hibernation would end 40 s after the first
        harness.wait_for(lambda: len(stamps("command.hibernate", "end")) > 1, 45, 0.1)
    except AssertionError:
        pass
    run.figure("hibernation script", marks_figure(run, "command.hibernate"))
    run.figure("delayed-shutdown frames at the UPS", sda_figure(run))
    run.figure("zero (8) events", ", ".join(run.rel(t) for t in run.event_times(8)) or "-")
    run.figure("announcements (6) after the resume", ", ".join(run.rel(t) for t in run.event_times(6) if t > end) or
               "none")
    run.figure("ended without shutdown (7)", ", ".join(run.rel(t) for t in run.event_times(7)) or "-")
    run.finish()


def case_cancel_wait():
    run = Run("cancel-wait", "power-fail delay 15 s, a 45-s user command 10 s before; a web cancel while zero "
                             "waits for it, the power back 3 s later, a web resume after the command's end")
    stub("command.ESX5", 45)
    changes = shutdown_config(15, command_before=10)
    changes.update(order.WEB)
    run.configure(changes)
    run.start(web=True)
    snmptools.wait_agent()
    run.fail("powerfail")
    waiting = harness.wait_for(lambda: free_texts(run, "Waiting"), 40, 0.05, what="the wait at zero")[0][0]
    answer = order.ShutdownOrder.press(None, run.cookie, "cancel")
    run.note("web cancel: " + answer)
    time.sleep(3)
    run.sim.set_state("online")
    run.note("mains back")
    ended = run.wait_event(7, 20)
    shown = remaining_seconds()
    run.note("agent's remaining seconds: %s" % shown)
    cmd_end = harness.wait_for(lambda: stamps("command.ESX5", "end"), 60, 0.1, what="the user command's end")[0]
    time.sleep(2)
    answer2 = order.ShutdownOrder.press(None, run.cookie, "resume")
    run.note("web resume: " + answer2)
    polls_after(run, time.time())
    time.sleep(5)
    run.figure("zero (8) / the wait logged", "%s / %s" % (run.rel(run.wait_event(8, 0)), run.rel(waiting)))
    run.figure("ended without shutdown (7)", run.rel(ended) if ended else "never")
    run.figure("remaining seconds after the power's return", shown)
    run.figure("user command end", run.rel(cmd_end))
    run.figure("resume answered", answer2)
    run.figure("delayed-shutdown frames at the UPS", sda_figure(run))
    run.figure("shutdown script", marks_figure(run, "command.shutdown"))
    run.finish()


def case_user_cmds():
    run = Run("user-cmds", "power-fail delay 60 s, a user command that never ends run 60 s before; 16 short "
                           "power failures, then the battery low (battery-low delay 5 s)")
    stub("command.ESX5", 1000)
    changes = shutdown_config(60, command_before=60)
    changes["Shutdown"].update({"Battery Low Enable=": "Yes", "Battery Low Delay=": 5})
    changes["Reaction"]["Notify Message Enable="] = "No"  # the user commands alone fill the script slots
    run.configure(changes)
    run.start()
    refused = lambda: free_texts(run, "Can't run the user command")  # noqa: E731
    run.t0 = time.time()
    for i in range(16):
        # The countdown's first second announces it and starts the user command.
        announced, ended = run.codes().count(6), run.codes().count(7)
        run.sim.set_state("powerfail")
        harness.wait_for(lambda: run.codes().count(6) > announced, 30, 0.05, what="countdown %d" % (i + 1))
        run.sim.set_state("online")
        harness.wait_for(lambda: run.codes().count(7) > ended, 30, 0.05, what="countdown %d's end" % (i + 1))
    cycles = time.time() - run.t0
    run.fail("lowbatt")
    low = run.t0
    run.note("UPS on battery and low (after 16 power failures in %.0f s)" % cycles)
    try:
        harness.wait_for(lambda: stamps("command.shutdown", "start") or free_texts(run, "Can't run the command"),
                         60, 0.05)
    except AssertionError:
        pass
    time.sleep(5)
    run.figure("user commands started", len(stamps("command.ESX5", "start")))
    run.figure("user commands refused (logged)", "%d: %s" % (len(refused()), refused()[0][3] if refused() else "-"))
    run.figure("zero (8)", ", ".join(run.rel(t) for t in run.event_times(8)) or "-")
    run.figure("\"Can't run the command.shutdown!\"", len(free_texts(run, "Can't run the command.shutdown!")))
    run.figure("shutdown script", marks_figure(run, "command.shutdown"))
    run.figure("delayed-shutdown frames at the UPS", sda_figure(run))
    run.t0 = low  # the timeline: from the low battery on
    run.finish()


def case_snmp_cancel():
    run = Run("snmp-cancel", "power-fail delay 20 s, a 30-s shutdown script; SNMP SETs of the cancel flag to 1 "
                             "(v1, then v3) as soon as zero is logged")
    stub("command.shutdown", 30)
    changes = shutdown_config(20)
    changes["SNMP Server"] = {"Number=": 1, "IP1=": "127.0.0.1", "Community1=": "local", "Permission1=": 2}
    run.configure(changes)
    run.start()
    snmptools.wait_agent()
    run.fail("powerfail")
    zero = run.wait_event(8, 40)
    for version, security in (("v1", snmptools.v1("local")), ("v3", snmptools.v3())):
        sent = time.time()
        r = snmptools.run("snmpset", security, "udp:127.0.0.1:161", order.CANCEL, "i", "1")
        answer = " ".join((r.stdout + r.stderr).split()) or "-"
        later = []
        for delay in (0.1, 2):
            time.sleep(max(0.0, sent + delay - time.time()))
            got = snmptools.values(snmptools.run("snmpget", snmptools.v3(), "udp:127.0.0.1:161", order.CANCEL).stdout)
            later.append(got[0][2] if got else "-")
        run.note("%s SET 1: exit %d, %s" % (version, r.returncode, answer), sent)
        run.figure("%s SET answered (exit status, text)" % version, "%d, %s" % (r.returncode, answer[:110]))
        run.figure("%s flag 0.1 s / 2 s after the SET" % version, " / ".join(later))
    harness.wait_for(lambda: stamps("command.shutdown", "start"), 20, 0.05, what="the shutdown script")
    run.figure("zero (8)", run.rel(zero))
    run.figure("shutdown script", marks_figure(run, "command.shutdown"))
    run.figure("delayed-shutdown frames at the UPS", sda_figure(run))
    run.finish()


def case_sigchld():
    import subprocess
    run = Run("sigchld", "the daemon started with SIGCHLD ignored, power-fail delay 8 s, the user command 8 s "
                         "before; neither script can be executed")
    run.configure(shutdown_config(8, command_before=8))
    for name in ("command.shutdown", "command.ESX5"):
        os.chmod("%s/command/%s" % (INSTALL, name), 0o644)
    run.sim.start()
    run.watcher.start()
    if os.path.exists(harness.PIDFILE):
        os.unlink(harness.PIDFILE)
    parent = subprocess.Popen([harness.UPSD], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL,
                              preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
    parent.wait(10)
    run.daemon = harness.Daemon()
    run.daemon.pid = harness.wait_for(lambda: int(harness.read(harness.PIDFILE) or 0), 10, what="the pid file")
    status = harness.read("/proc/%d/status" % run.daemon.pid) or ""
    ignored = int(re.search(r"^SigIgn:\s*([0-9a-f]+)$", status, re.M).group(1), 16)
    harness.wait_for(lambda: sum(f.get("mnemonic") == "STB" for f in run.sim.frames()) >= 4, 50, what="the UPS link")
    run.fail("powerfail")
    try:
        harness.wait_for(lambda: stamps("command.shutdown", "start") or run.event_times(8), 40, 0.05)
        time.sleep(5)
    except AssertionError:
        pass
    run.figure("SIGCHLD of the running daemon", "ignored" if ignored & (1 << (signal.SIGCHLD - 1)) else "default")
    run.figure("zero (8)", run.rel((run.event_times(8) or [None])[0]))
    run.figure("level-3 failures logged", "; ".join("%s %s" % (run.rel(e[0]), e[3]) for e in run.events
                                                     if e[1] == -1 and e[2] == 3) or "none")
    run.finish()


def case_restart():
    for name, what, when in (("r1", "before the user command", lambda run: run.t0 + 10),
                             ("r2", "after the user command started", lambda run: stamps("command.ESX5", "start")[0] + 2),
                             ("r3", "after zero, during the wait", lambda run: run.event_times(8)[0] + 2),
                             ("r4", "after the shutdown script started",
                              lambda run: stamps("command.shutdown", "start")[0] + 2)):
        run = Run("restart-" + name, "power-fail delay 30 s, a 60-s user command 10 s before, a 10-s shutdown "
                                     "script; SIGTERM and a new start %s" % what)
        stub("command.ESX5", 60)
        stub("command.shutdown", 10)
        run.configure(shutdown_config(30, command_before=10))
        run.start()
        run.fail("powerfail")
        if name == "r2":
            harness.wait_for(lambda: stamps("command.ESX5", "start"), 40, 0.05, what="the user command")
        if name == "r3":
            run.wait_event(8, 90)
        if name == "r4":
            try:
                harness.wait_for(lambda: stamps("command.shutdown", "start"), 150, 0.1)
            except AssertionError:
                pass
        if (name == "r3" and not run.event_times(8)) or (name == "r4" and not stamps("command.shutdown", "start")):
            run.figure("the point of the restart", "not reached")
            run.finish()
            continue
        time.sleep(max(0.0, when(run) - time.time()))
        stopped = time.time()
        run.daemon.stop()
        run.note("SIGTERM: the daemon stopped", stopped)
        run.daemon = harness.Daemon().start()
        run.note("the daemon started again")
        started = time.time()
        try:
            harness.wait_for(lambda: [t for t in stamps("command.shutdown", "start") if t > started], 150, 0.1)
            time.sleep(3)
        except AssertionError:
            pass
        zeros = run.event_times(8)
        run.figure("daemon stopped / started again", "%s / %s" % (run.rel(stopped), run.rel(started)))
        run.figure("zero (8)", ", ".join(run.rel(t) for t in zeros) or "-")
        run.figure("zero after the new start", ", ".join("%.1f s" % (t - started) for t in zeros if t > started)
                   or "-")
        run.figure("user command", marks_figure(run, "command.ESX5"))
        run.figure("delayed-shutdown frames at the UPS", sda_figure(run))
        run.figure("shutdown script", marks_figure(run, "command.shutdown"))
        run.finish()


CASES = {"a": case_a, "b": case_b, "c": case_c, "d": case_d, "e": case_e, "e2": case_e2, "f": case_f,
         "g": case_g, "h": case_h, "hib-link": case_hib_link, "hib-low": case_hib_low,
         "cancel-wait": case_cancel_wait, "user-cmds": case_user_cmds, "snmp-cancel": case_snmp_cancel,
         "sigchld": case_sigchld, "restart": case_restart}
CASES.update({"l1": case_l1, "l2": case_l2, "l3": case_l3})
chosen = sys.argv[1:] or list(CASES)
sys.stdout.reconfigure(line_buffering=True)
print("build %s; %d CPUs; load average %.1f %.1f %.1f" % ((os.environ["UPSD_BUILD"], os.cpu_count())
                                                         + os.getloadavg()), flush=True)
for name in chosen:
    CASES[name]()
