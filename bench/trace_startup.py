"""Where a start-up's time goes, step by step: the real quillon and the bare
window started in turn, as scripts/bench starts them, with kernel probes on
the functions that begin and end each step. Run through scripts/bench --trace-startup.

Each time is the median over the starts, in milliseconds from the moment the
process was started, on the system's steady clock, like scripts/bench's. The
probes (uprobes, read through the kernel's tracing folder) cost a few
microseconds each, so the steps are a breakdown, not a benchmark: the ratios
belong to scripts/bench. Needs root, for the tracing folder.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
sys.path.insert(0, HERE)

import harness  # noqa: E402
from bench_panel import (BARE_ADDRESS, BARE_CAPTION, LAST_CONNECT, Record,  # noqa: E402
                         wait_count)
from xclient import XClient  # noqa: E402

TRACING = "/sys/kernel/tracing"
GROUP = "quillon_steps"

# Step name, function (as nm -C prints it), and whether its return is probed.
PANEL_STEPS = [
    ("main", "main", False),
    ("single-instance lock", "quillon::app::SingleInstance::SingleInstance(QString const&)", True),
    ("form built", "quillon::app::formMain::formMain(quillon::registry::Registry&, "
     "quillon::app::Options const&, QWidget*)", True),
    ("controls made", "quillon::app::formMain::createControls(quillon::app::Options const&)",
     True),
    ("Form_Load", "quillon::app::formMain::Form_Load()", True),
    ("settings restored", "quillon::settings::PersistedSettings::restore()", True),
    ("connect started", "quillon::link::Link::connect()", True),
    ("connect sequence", "quillon::link::ConnectTimeInit::run()", True),
]
BARE_STEPS = [("main", "main", False)]
# In Qt itself, for both programs.
QT_STEPS = [
    ("QApplication made", "libQt6Widgets.so.6", "_ZN12QApplicationC1ERiPPci", "return"),
    ("event loop", "libQt6Widgets.so.6", "_ZN12QApplication4execEv", "entry"),
    ("paint", "libQt6Widgets.so.6", "_ZN21QWidgetRepaintManager13paintAndFlushEv", "both"),
]


def write(path, text, append=False):
    # Python's append mode seeks, which the tracing files refuse.
    fd = os.open(os.path.join(TRACING, path), os.O_WRONLY | (os.O_APPEND if append else os.O_TRUNC))
    try:
        os.write(fd, (text + "\n").encode())
    finally:
        os.close(fd)


def file_offset(binary, address):
    """The file offset of a virtual address, from the loadable segments."""
    headers = subprocess.run(["readelf", "-lW", binary], capture_output=True, text=True,
                             check=True).stdout
    for line in headers.splitlines():
        fields = line.split()
        if fields and fields[0] == "LOAD":
            offset, vaddr, size = int(fields[1], 16), int(fields[2], 16), int(fields[5], 16)
            if vaddr <= address < vaddr + size:
                return address - vaddr + offset
    raise LookupError("0x%x is in no segment of %s" % (address, binary))


def symbol_offset(binary, name, demangle=True, dynamic=False):
    args = ["nm", "--defined-only"] + (["-C"] if demangle else []) + (["-D"] if dynamic else [])
    for line in subprocess.run(args + [binary], capture_output=True, text=True,
                               check=True).stdout.splitlines():
        address, kind, symbol = line.split(" ", 2)
        if kind in "Tt" and symbol.split("@")[0] == name:
            return file_offset(binary, int(address, 16))
    raise LookupError("%s has no %s" % (binary, name))


def library(binary, soname):
    for line in subprocess.run(["ldd", binary], capture_output=True, text=True,
                               check=True).stdout.splitlines():
        if line.strip().startswith(soname):
            return os.path.realpath(line.split("=>")[1].split()[0])
    raise LookupError("%s does not load %s" % (binary, soname))


class Probes:
    """The kernel probes of one trace, each named s<index>_in / s<index>_out."""

    def __init__(self):
        self.names = []  # step name per index

    def add(self, step, binary, offset, where):
        index = len(self.names)
        self.names.append(step)
        if where in ("entry", "both"):
            write("uprobe_events", "p:%s/s%d_in %s:0x%x" % (GROUP, index, binary, offset), True)
        if where in ("return", "both"):
            write("uprobe_events", "r:%s/s%d_out %s:0x%x" % (GROUP, index, binary, offset), True)

    def start(self):
        write("trace_clock", "mono")
        write("events/%s/enable" % GROUP, "1")
        write("trace", "")
        write("tracing_on", "1")

    def stop(self):
        write("tracing_on", "0")
        write("events/%s/enable" % GROUP, "0")
        with open(os.path.join(TRACING, "trace")) as trace:
            text = trace.read()
        write("uprobe_events", "")
        return text


def set_up(panel, bare):
    write("tracing_on", "0")
    write("uprobe_events", "")
    probes = Probes()
    for step, function, with_return in PANEL_STEPS:
        probes.add("panel: " + step, panel, symbol_offset(panel, function),
                   "both" if with_return else "entry")
    for step, function, with_return in BARE_STEPS:
        probes.add("bare: " + step, bare, symbol_offset(bare, function), "entry")
    for step, soname, symbol, where in QT_STEPS:
        path = library(panel, soname)
        probes.add(step, path, symbol_offset(path, symbol, demangle=False, dynamic=True), where)
    return probes


EVENT = re.compile(r"^\s*\S.*?-(\d+)\s+\[\d+\]\s+\S+\s+([\d.]+): s(\d+)_(in|out):")


def steps_of(text, names, pid, start):
    """Each step's first entry and first return in one process, in ms from
    its start."""
    seen = {}
    for line in text.splitlines():
        match = EVENT.match(line)
        if not match or int(match.group(1)) != pid:
            continue
        name = names[int(match.group(3))].split(": ", 1)[-1]
        key = "%s (%s)" % (name, "begins" if match.group(4) == "in" else "ends")
        seen.setdefault(key, float(match.group(2)) * 1000.0 - start)
    return seen


def run_starts(starts):
    """Starts each program `starts` times after a warm-up; returns
    {kind: [(pid, start, mapped, connect sequence at sim)]}."""
    session = harness.Session("bench-trace")
    runs = {"panel": [], "bare": []}
    try:
        x = XClient(session.display)
        sims = {"panel": session.start_sim("--steady-clock", "--quiet", name="sim",
                                           address=harness.DEFAULT_ADDRESS),
                "bare": session.start_sim("--steady-clock", "--quiet", name="bare-sim",
                                          address=BARE_ADDRESS)}
        records = {kind: Record(sim) for kind, sim in sims.items()}
        for run in range(starts + 1):
            for kind in ("bare", "panel"):
                record = records[kind]
                before = len(record.times_of(LAST_CONNECT))
                x.watch_maps()
                start = time.monotonic() * 1000.0
                if kind == "panel":
                    process = session.start_panel("panel-start%d" % run)
                else:
                    env = session.env()
                    env["BENCH_BEAT_ADDRESS"] = "%s:%d" % (BARE_ADDRESS, harness.PORT)
                    process = harness.Process("bare-start%d" % run,
                                              [os.environ["QUILLON_BENCH_BARE_BIN"]], env,
                                              os.path.join(session.dir, "bare%d.log" % run))
                    session.processes.append(process)
                mapped = x.wait_map(harness.CAPTION if kind == "panel" else BARE_CAPTION, 20)
                x.stop_watching()
                wait_count(record, LAST_CONNECT, before + 1, 20)
                arrived = record.times_of(LAST_CONNECT)[before]
                process.stop()
                if run > 0:
                    runs[kind].append((process.pid, start, mapped, arrived))
    finally:
        session.close()
    return runs


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--starts", type=int, default=9, help="starts of each (default 9)")
    parser.add_argument("--runs-file", help=argparse.SUPPRESS)  # between the two halves
    args = parser.parse_args()

    if harness.in_private_network():  # the second half: the starts themselves
        with open(args.runs_file, "w") as out:
            json.dump(run_starts(args.starts), out)
        return

    # The probes are set up outside the private namespace, whose mounts may
    # not show the tracing folder writable, and the starts run inside it.
    panel = os.path.realpath(os.environ["QUILLON_BIN"])
    bare = os.path.realpath(os.environ["QUILLON_BENCH_BARE_BIN"])
    probes = set_up(panel, bare)
    handle, runs_file = tempfile.mkstemp(prefix="quillon-bench-trace-", suffix=".json")
    os.close(handle)
    probes.start()
    try:
        subprocess.run([harness.NETNS_RUN, sys.executable, "-B", os.path.abspath(__file__),
                        "--starts", str(args.starts), "--runs-file", runs_file], check=True)
    finally:
        text = probes.stop()
    with open(runs_file) as runs_in:
        runs = json.load(runs_in)
    os.remove(runs_file)

    print("%-34s %10s %10s" % ("step (median of %d starts, ms)" % args.starts, "quillon", "bare"))
    table = {}
    for kind in ("panel", "bare"):
        for pid, start, mapped, arrived in runs[kind]:
            steps = steps_of(text, probes.names, pid, start)
            steps["window mapped"] = mapped - start
            steps["connect sequence at sim"] = arrived - start
            for step, value in steps.items():
                table.setdefault(step, {}).setdefault(kind, []).append(value)
    order = sorted(table, key=lambda step: statistics.median(
        table[step].get("panel", table[step].get("bare"))))
    for step in order:
        cells = [("%.1f" % statistics.median(table[step][kind])) if kind in table[step] else ""
                 for kind in ("panel", "bare")]
        print("%-34s %10s %10s" % (step, cells[0], cells[1]))

    # Durations, each the median of the starts' own: the moment a process
    # gets going varies with the machine more than any step does.
    print("\n%-34s %10s %10s" % ("duration (median, ms)", "quillon", "bare"))
    spans = [(step[:-len(" (begins)")], step, step[:-len("begins)")] + "ends)")
             for step in order if step.endswith("(begins)")]
    spans += [("QApplication made to window mapped", "QApplication made (ends)", "window mapped"),
              ("event loop to connect sequence at sim", "event loop (begins)",
               "connect sequence at sim")]
    for name, first, last in spans:
        cells = []
        for kind in ("panel", "bare"):
            firsts, lasts = table.get(first, {}).get(kind), table.get(last, {}).get(kind)
            cells.append("%.2f" % statistics.median(b - a for a, b in zip(firsts, lasts))
                         if firsts and lasts and len(firsts) == len(lasts) else "")
        if any(cells):
            print("%-34s %10s %10s" % (name, cells[0], cells[1]))


if __name__ == "__main__":
    main()
