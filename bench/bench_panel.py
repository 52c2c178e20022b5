"""The panel's benchmarks: the real quillon under Xvfb against quillon-sim, in
a private network namespace, each figure next to a baseline from the same run.

Run through scripts/bench, which builds and passes the binaries:
  QUILLON_BIN, QUILLON_SIM_BIN, QUILLON_BENCH_BARE_BIN

Every time is the system's steady clock (CLOCK_MONOTONIC): this program reads
it with time.monotonic(), and quillon-sim --steady-clock stamps each message it
records with it, at the read that completed the message. Key events are put in
with XTEST from this process, the time taken just before the request is
flushed to the X server; windows are seen mapped through MapNotify on the root
window; the indicator is read as one pixel with XGetImage.
"""

import argparse
import os
import random
import signal
import socket
import sys
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))

import harness  # noqa: E402
from harness import CAPTION, HEARTBEAT, PORT, TXTFREQ_BOX, TXTIP_BOX, rss_kib, wait_for  # noqa: E402
from xclient import XClient, cpu_seconds, major_faults  # noqa: E402

BARE_CAPTION = "Bare Widgets"
BARE_ADDRESS = "10.2.0.1"  # the bare program's simulator
SOCKET_ADDRESS = "10.3.0.1"  # the bare socket writer's simulator
UPDATE = bytes.fromhex("A5 00 AA AA 36 03 A2 A7 00")  # 12.34 MHz at 983.04 MHz
REMOTE_UPDATE = b"FREQ 12.34\n"  # the same Update, by a script on the remote port
LAST_CONNECT = "A3 00"
LIGHT_RED = 0xFFC0C0
WATCHDOG_MS = 2500.0
BEAT_MS = 500.0


# ---------------------------------------------------------------------------
# Statistics


def percentile(values, p):
    """Nearest rank: the smallest value with at least p % at or below it."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]


def median(values):
    return percentile(values, 50)


def beat_errors(times, start, end):
    """|interval - 500 ms| between consecutive heartbeats inside [start, end]."""
    inside = [t for t in times if start <= t <= end]
    return [abs((b - a) - BEAT_MS) for a, b in zip(inside, inside[1:])]


# ---------------------------------------------------------------------------
# Reading the simulators


class Record:
    """A simulator's record, read as it grows."""

    def __init__(self, sim):
        self.sim, self.offset, self.lines = sim, 0, []

    def poll(self):
        try:
            with open(self.sim.record_path) as record:
                record.seek(self.offset)
                text = record.read()
        except FileNotFoundError:
            return self.lines
        end = text.rfind("\n") + 1
        self.offset += len(text[:end].encode())
        for line in text[:end].splitlines():
            ms, _, hexes = line.partition(" ")
            self.lines.append((float(ms), hexes.strip()))
        return self.lines

    def times_of(self, message):
        return [t for t, m in self.poll() if m == message]


def event_time(sim, text):
    """The steady-clock time of the simulator's last output line containing
    `text` (its lines start with the time)."""
    times = [float(line.split()[0]) for line in sim.output().splitlines() if text in line]
    return times[-1] if times else None


def wait_count(record, message, count, timeout, interval=0.0005):
    return wait_for("%d x %s" % (count, message),
                    lambda: len(record.times_of(message)) >= count, timeout, interval)


# ---------------------------------------------------------------------------
# The figures


class Bench:
    def __init__(self, args):
        self.args = args
        self.rows = []  # (figure, value, baseline, ratio, target, verdict)
        self.session = None

    def row(self, figure, value, baseline="", ratio="", target="", verdict=""):
        self.rows.append((figure, value, baseline, ratio, target, verdict))
        print("  %-52s %14s %14s %8s  %s %s" % (figure, value, baseline, ratio, target, verdict),
              flush=True)

    def new_session(self, name):
        if self.session is not None:
            self.session.close()
        self.session = harness.Session("bench-" + name)
        self.x = XClient(self.session.display)
        return self.session

    def start_sim(self, name, address, *extra):
        return self.session.start_sim("--steady-clock", "--quiet", *extra, name=name,
                                      address=address)

    def start_bare(self, name="bare"):
        env = self.session.env()
        env["BENCH_BEAT_ADDRESS"] = "%s:%d" % (BARE_ADDRESS, PORT)
        process = harness.Process(name, [os.environ["QUILLON_BENCH_BARE_BIN"]], env,
                                  os.path.join(self.session.dir, name + ".log"))
        self.session.processes.append(process)
        return process

    # -- start-up and footprint ----------------------------------------------

    def startup(self):
        print("start-up (%d runs each, after one warm-up)" % self.args.starts, flush=True)
        panel_sim = self.start_sim("sim", harness.DEFAULT_ADDRESS)
        bare_sim = self.start_sim("bare-sim", BARE_ADDRESS)
        records = {"panel": Record(panel_sim), "bare": Record(bare_sim)}
        shown = {"panel": [], "bare": []}
        connected = {"panel": [], "bare": []}
        for run in range(self.args.starts + 1):
            for kind in ("bare", "panel"):
                record = records[kind]
                before = len(record.times_of(LAST_CONNECT))
                self.x.watch_maps()
                start = time.monotonic() * 1000.0
                if kind == "panel":
                    process = self.session.start_panel("panel-start%d" % run)
                else:
                    process = self.start_bare("bare-start%d" % run)
                mapped = self.x.wait_map(CAPTION if kind == "panel" else BARE_CAPTION, 20)
                self.x.stop_watching()
                wait_count(record, LAST_CONNECT, before + 1, 20)
                arrived = record.times_of(LAST_CONNECT)[before]
                process.stop()
                if mapped is None:
                    raise AssertionError("%s: no window was seen mapped" % kind)
                if run > 0:  # the first start fills the caches
                    shown[kind].append(mapped - start)
                    connected[kind].append(arrived - start)
        for figure, values, target in (("start-up: process start to window mapped", shown, 1.5),
                                       ("start-up: process start to connect sequence at sim",
                                        connected, 1.5)):
            panel, bare = median(values["panel"]), median(values["bare"])
            ratio = panel / bare
            self.row(figure + " (median)", "%.1f ms" % panel, "%.1f ms" % bare, "%.2f x" % ratio,
                     "<= %.1f x" % target, "met" if ratio <= target else "NOT met")
        panel_sim.stop()
        bare_sim.stop()

    # -- the long-lived phases ----------------------------------------------

    def steady(self):
        panel_sim = self.start_sim("sim", harness.DEFAULT_ADDRESS)
        bare_sim = self.start_sim("bare-sim", BARE_ADDRESS)
        socket_sim = self.start_sim("socket-sim", SOCKET_ADDRESS, "--beat", "0")
        panel_record, bare_record, socket_record = (Record(panel_sim), Record(bare_sim),
                                                    Record(socket_sim))
        remote_port = harness.free_port()
        harness.write_hive_values(self.session.hive_path, {"Remote Port": str(remote_port)})
        panel = self.session.start_panel()
        bare = self.start_bare()
        panel.window()
        wait_count(panel_record, LAST_CONNECT, 1, 20)
        wait_count(bare_record, LAST_CONNECT, 1, 20)
        time.sleep(3)  # start-up's lazy work settles

        rss = rss_kib(panel.pid), rss_kib(bare.pid)
        ratio = rss[0] / rss[1]
        self.row("footprint: resident memory after start-up", "%.1f MiB" % (rss[0] / 1024),
                 "%.1f MiB" % (rss[1] / 1024), "%.2f x" % ratio, "<= 1.3 x",
                 "met" if ratio <= 1.3 else "NOT met")

        # Idle: nothing but the heartbeats, CPU and beats over the same window.
        duration = self.args.duration
        print("idle for %d s" % duration, flush=True)
        cpu0 = cpu_seconds(panel.pid), cpu_seconds(bare.pid)
        start = time.monotonic() * 1000.0
        time.sleep(duration)
        end = time.monotonic() * 1000.0
        cpu1 = cpu_seconds(panel.pid), cpu_seconds(bare.pid)
        seconds = (end - start) / 1000.0
        cpu = [(b - a) / seconds * 100 for a, b in zip(cpu0, cpu1)]
        self.row("footprint: idle CPU over %d s (%% of one core)" % duration, "%.3f %%" % cpu[0],
                 "%.3f %%" % cpu[1], "%.2f x" % (cpu[0] / cpu[1]) if cpu[1] else "-",
                 "< 0.5 %", "met" if cpu[0] < 0.5 else "NOT met")
        self.heartbeat_rows("idle", panel_record.times_of(HEARTBEAT),
                            bare_record.times_of(HEARTBEAT), start, end)

        # Update to wire. Three writers in turn, so that all see the same
        # load: the panel, and two baselines: the bare window, whose line
        # edit writes the same nine bytes on Enter (the same path through the
        # X server and Qt's key handling, without the panel's logic), and a
        # bare socket writer (no X, no Qt). Then the panel again, told by a
        # script on its remote port, against the bare socket writer.
        print("update to wire (%d Updates)" % self.args.updates, flush=True)
        panel.focus()
        panel.click(TXTFREQ_BOX)
        bare_window = int(wait_for("the bare window", lambda: self.session.xdotool(
            "search", "--onlyvisible", "--pid", str(bare.pid), "--name",
            "^%s$" % BARE_CAPTION).split(), 5)[0])
        self.x.focus(bare_window)
        geometry = self.session.xdotool("getwindowgeometry", "--shell", str(bare_window))
        values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
        self.session.xdotool("mousemove", str(int(values["X"]) + 63), str(int(values["Y"]) + 98))
        self.session.xdotool("click", "1")  # into the bare window's first line edit
        writer = socket.create_connection((SOCKET_ADDRESS, PORT), timeout=5)
        writer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        wait_for("the writer's connection", lambda: socket_sim.connections() == 1, 5)
        script = socket.create_connection(("127.0.0.1", remote_port), timeout=5)
        script.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        keycode = self.x.return_keycode
        latency = {"panel": [], "bare": [], "socket": [], "remote": []}
        faults = self.faults(panel, bare)
        bare_before = len(bare_record.times_of("A7 00"))

        def by_key(name, window, record, count):
            self.x.focus(window)
            time.sleep(random.uniform(0.01, 0.03))
            sent = self.x.key(keycode, True)
            wait_count(record, "A7 00", count, 5)
            latency[name].append(record.times_of("A7 00")[count - 1] - sent)
            self.x.key(keycode, False)
            time.sleep(random.uniform(0.01, 0.03))

        for i in range(self.args.updates):
            by_key("panel", panel.window(), panel_record, 2 * i + 1)
            by_key("bare", bare_window, bare_record, bare_before + i + 1)
            sent = time.monotonic() * 1000.0
            writer.sendall(UPDATE)
            wait_count(socket_record, "A7 00", i + 1, 5)
            latency["socket"].append(socket_record.times_of("A7 00")[i] - sent)
            time.sleep(random.uniform(0.01, 0.03))
            sent = time.monotonic() * 1000.0
            script.sendall(REMOTE_UPDATE)
            wait_count(panel_record, "A7 00", 2 * i + 2, 5)
            latency["remote"].append(panel_record.times_of("A7 00")[2 * i + 1] - sent)
            time.sleep(random.uniform(0.01, 0.03))
        writer.close()
        self.fault_row("the Updates", faults, panel, bare)
        self.x.focus(panel.window())
        commands = [m for _, m in panel_record.poll() if m != HEARTBEAT]
        expected = harness.connect_sequence() + ["A5 00 AA AA 36 03", "A2", "A7 00"] * \
            (2 * self.args.updates)
        if commands != expected:
            raise AssertionError("the panel sent something else than the Updates: %s"
                                 % commands[:40])
        for name, p in (("median", 50), ("p99", 99)):
            value = percentile(latency["panel"], p)
            target, verdict = "", ""
            if p == 99:
                target, verdict = "< 2 ms", "met" if value < 2.0 else "NOT met"
            for base_name in ("bare", "socket"):
                base = percentile(latency[base_name], p)
                self.row("update to wire (%s), baseline %s" % (name, {
                    "bare": "bare Qt window", "socket": "bare socket writer"}[base_name]),
                    "%.3f ms" % value, "%.3f ms" % base, "%.2f x" % (value / base), target,
                    verdict)
        for name, p in (("median", 50), ("p99", 99)):
            value, base = percentile(latency["remote"], p), percentile(latency["socket"], p)
            self.row("remote FREQ to wire (%s), baseline bare socket writer" % name,
                     "%.3f ms" % value, "%.3f ms" % base, "%.2f x" % (value / base))

        # Enter held down: the server's auto-repeat runs an Update per repeat.
        print("auto-repeat for %d s" % duration, flush=True)
        updates_before = len(panel_record.times_of("A2"))
        faults = self.faults(panel, bare)
        start = time.monotonic() * 1000.0
        self.session.xdotool("keydown", "Return")
        try:
            time.sleep(duration)
        finally:
            self.session.xdotool("keyup", "Return")
        end = time.monotonic() * 1000.0
        updates = len(panel_record.times_of("A2")) - updates_before
        self.row("auto-repeat: Updates sent while Enter was held", "%d" % updates,
                 "", "", "", "")
        self.heartbeat_rows("while Enter auto-repeats", panel_record.times_of(HEARTBEAT),
                            bare_record.times_of(HEARTBEAT), start, end)
        self.fault_row("auto-repeat", faults, panel, bare)

        # A script floods the remote port with Updates, as fast as the panel
        # takes its lines (one a pass of the event loop).
        print("remote flood for %d s" % duration, flush=True)
        updates_before = len(panel_record.times_of("A2"))
        start = time.monotonic() * 1000.0
        while time.monotonic() * 1000.0 < start + duration * 1000.0:
            script.sendall(REMOTE_UPDATE * 100)
        end = time.monotonic() * 1000.0
        script.close()
        self.row("remote flood: Updates sent while a script floods", "%d" % (len(
            panel_record.times_of("A2")) - updates_before), "", "", "", "")
        self.heartbeat_rows("while a script floods the remote port",
                            panel_record.times_of(HEARTBEAT), bare_record.times_of(HEARTBEAT),
                            start, end)
        for process in (panel, bare, panel_sim, bare_sim, socket_sim):
            process.stop()

    # Page faults that read from the disk stall a program for milliseconds;
    # they come from the machine reclaiming memory, not from the program, and
    # the X server's count is given beside the two programs'.
    def faults(self, panel, bare):
        return [major_faults(p) for p in (panel.pid, bare.pid, self.session.x11.xvfb.pid)]

    def fault_row(self, phase, before, panel, bare):
        after = self.faults(panel, bare)
        counts = [b - a for a, b in zip(before, after)]
        self.row("page faults read from disk during %s" % phase, "%d" % counts[0], "%d" % counts[1],
                 "", "X server: %d" % counts[2], "")

    def heartbeat_rows(self, phase, panel_times, bare_times, start, end):
        panel, bare = beat_errors(panel_times, start, end), beat_errors(bare_times, start, end)
        for name, p, target in (("median", 50, None), ("p99", 99, 5.0), ("worst", 100, 20.0)):
            value, base = percentile(panel, p), percentile(bare, p)
            self.row("heartbeat error %s, %s (%d intervals)" % (phase, name, len(panel)),
                     "%.3f ms" % value, "%.3f ms" % base,
                     "%.2f x" % (value / base) if base else "-",
                     "< %g ms" % target if target else "",
                     ("met" if value < target else "NOT met") if target else "")

    # -- recovery --------------------------------------------------------------

    def recovery(self):
        runs = self.args.recoveries
        print("recovery (%d runs each)" % runs, flush=True)
        panel = self.session.start_panel()
        panel.window()
        accepted_to_connected = []
        for run in range(runs):
            # The instrument boots: refused for a while, then listening. The
            # delay is drawn so that the watchdog's phase varies.
            sim = self.start_sim("boot%d" % run, harness.DEFAULT_ADDRESS, "--refuse-for",
                                 str(random.randint(2000, 4500)))
            record = Record(sim)
            wait_count(record, LAST_CONNECT, 1, 15, 0.005)
            accepted_to_connected.append(record.times_of(LAST_CONNECT)[0] -
                                         event_time(sim, "listening on"))
            sim.stop()
        worst = max(accepted_to_connected)
        self.row("recovery: sim accepting again to connect sequence (median)",
                 "%.0f ms" % median(accepted_to_connected), "2500 ms period",
                 "%.2f x" % (median(accepted_to_connected) / WATCHDOG_MS), "", "")
        self.row("recovery: sim accepting again to connect sequence (worst)", "%.0f ms" % worst,
                 "2500 ms period", "%.2f x" % (worst / WATCHDOG_MS), "<= 2600 ms",
                 "met" if worst <= WATCHDOG_MS + 100 else "NOT met")

        x, y, _, _ = panel.geometry()
        left, top, width, height = TXTIP_BOX
        point = (x + left + width - 8, y + top + height // 2)
        silent_to_red = []
        for run in range(runs):
            sim = self.start_sim("silent%d" % run, harness.DEFAULT_ADDRESS, "--silent-after",
                                 str(random.randint(800, 1600)))
            wait_for("the indicator to turn white",
                     lambda: self.x.pixel(*point) == 0xFFFFFF, 10, 0.01)
            wait_for("the simulator to go silent",
                     lambda: event_time(sim, "going silent"), 5, 0.005)
            red = wait_for("the indicator to turn light red",
                           lambda: self.x.pixel(*point) == LIGHT_RED and
                           time.monotonic() * 1000.0, 5, 0.002)
            silent_to_red.append(red - event_time(sim, "going silent"))
            sim.stop()
        worst = max(silent_to_red)
        self.row("recovery: sim silent to indicator light red (median)",
                 "%.0f ms" % median(silent_to_red), "2500 ms period",
                 "%.2f x" % (median(silent_to_red) / WATCHDOG_MS), "", "")
        self.row("recovery: sim silent to indicator light red (worst)", "%.0f ms" % worst,
                 "2500 ms period", "%.2f x" % (worst / WATCHDOG_MS), "<= 2600 ms",
                 "met" if worst <= WATCHDOG_MS + 100 else "NOT met")
        panel.stop()

    # -- flood -----------------------------------------------------------------

    def flood(self):
        duration = self.args.duration
        results = {}
        for kind in ("panel", "bare"):
            print("flood at 50 MB/s for %d s: %s" % (duration, kind), flush=True)
            address = harness.DEFAULT_ADDRESS if kind == "panel" else BARE_ADDRESS
            sim = self.start_sim("flood-" + kind, address, "--flood", "50000000")
            record = Record(sim)
            process = self.session.start_panel() if kind == "panel" else self.start_bare()
            wait_count(record, LAST_CONNECT, 1, 20, 0.01)
            time.sleep(1)
            before, peak = rss_kib(process.pid), 0
            start = time.monotonic() * 1000.0
            while time.monotonic() * 1000.0 < start + duration * 1000.0:
                peak = max(peak, rss_kib(process.pid))
                time.sleep(0.5)
            end = time.monotonic() * 1000.0
            after = rss_kib(process.pid)
            peak = max(peak, after)
            alive = process.running()
            results[kind] = (before, after, peak, beat_errors(record.times_of(HEARTBEAT), start,
                                                              end), alive)
            process.stop()
            sim.stop()
        pb, pa, pp, perr, palive = results["panel"]
        bb, ba, bp, berr, _ = results["bare"]
        growth, bgrowth = (pp - pb) / 1024, (bp - bb) / 1024
        self.row("flood: resident memory growth (peak - start)", "%.1f MiB" % growth,
                 "%.1f MiB" % bgrowth, "%.2f x" % (growth / bgrowth) if bgrowth > 0 else "-",
                 "< 5 MB", "met" if growth * 1.048576 < 5 and palive else "NOT met")
        for name, p, target in (("median", 50, None), ("p99", 99, 5.0), ("worst", 100, 20.0)):
            value, base = percentile(perr, p), percentile(berr, p)
            self.row("heartbeat error under flood, %s (%d intervals)" % (name, len(perr)),
                     "%.3f ms" % value, "%.3f ms" % base,
                     "%.2f x" % (value / base) if base else "-",
                     "< %g ms" % target if target else "",
                     ("met" if value < target else "NOT met") if target else "")

    # -- output ----------------------------------------------------------------

    def table(self):
        lines = ["| Figure | Quillon | Baseline | Ratio | Target | Verdict |",
                 "|---|---:|---:|---:|---|---|"]
        for row in self.rows:
            lines.append("| " + " | ".join(row) + " |")
        return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=int, default=20,
                        help="seconds of each heartbeat, idle-CPU and flood phase (default 20)")
    parser.add_argument("--updates", type=int, default=200,
                        help="Updates timed from the key event to the wire (default 200)")
    parser.add_argument("--starts", type=int, default=7, help="start-ups timed (default 7)")
    parser.add_argument("--recoveries", type=int, default=4,
                        help="recoveries timed of each kind (default 4)")
    parser.add_argument("--out", help="also write the results table (Markdown) here")
    args = parser.parse_args()

    if not harness.in_private_network():
        os.execv(harness.NETNS_RUN, [harness.NETNS_RUN, sys.executable, "-B"] + sys.argv)
    for variable in ("QUILLON_BIN", "QUILLON_SIM_BIN", "QUILLON_BENCH_BARE_BIN"):
        if not os.access(os.environ.get(variable, ""), os.X_OK):
            sys.exit("%s must name the built binary (scripts/bench sets it)" % variable)

    bench = Bench(args)
    try:
        for phase in (bench.startup, bench.steady, bench.recovery, bench.flood):
            bench.new_session(phase.__name__)
            phase()
    except BaseException:
        if bench.session is not None:
            print(bench.session.logs(), file=sys.stderr)
        raise
    finally:
        if bench.session is not None:
            bench.session.close()
    table = bench.table()
    print("\n" + table)
    if args.out:
        with open(args.out, "w") as out:
            out.write(table)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    main()
