"""The remote-control port of the real binary: switched on by the "Remote
Port" setting alone, reached on the loopback addresses only, a script's
commands reaching the instrument and the saved settings, and bad clients
that leave the heartbeat on time and the panel answering. The language and
the server's limits have unit tests; here the real binary's wiring."""

import os
import random
import signal
import socket
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (DEFAULT_ADDRESS, IDN, LIGHT_RED, PORT, E2ETestCase, Script,  # noqa: E402
                     connect_sequence, free_port, tcp_sockets, update_messages, wait_for)

TRACE = {"QT_LOGGING_RULES": "quillon.remote.debug=true"}
# AddressSanitizer's quarantine holds freed memory back, which would look like
# growth under a flood of lines (as in test_faults_instrument.py).
NO_QUARANTINE = {"ASAN_OPTIONS": ":".join(filter(None, [
    os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=0", "thread_local_quarantine_size_kb=0"]))}
LISTEN, TIME_WAIT = "0A", "06"


def refused(host, port):
    try:
        socket.create_connection((host, port), timeout=5).close()
    except ConnectionRefusedError:
        return True
    return False


def listening_ports():
    """The local ports of every listening TCP socket in the namespace."""
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            for row in rows.readlines()[1:]:
                fields = row.split()
                if fields[3] == LISTEN:
                    ports.add(int(fields[1].rsplit(":", 1)[1], 16))
    return ports


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(next(line for line in status if line.startswith("VmRSS:")).split()[1])


class RemoteTest(E2ETestCase):
    def start(self, values, sim_args=(), env=None):
        harness.write_hive_values(self.session.hive_path, values)
        sim = self.session.start_sim(*sim_args)
        panel = self.session.start_panel(extra_env=env)
        panel.window()
        # The port is open before the event loop runs, so before this arrives.
        sim.wait_commands(connect_sequence(), 10)
        return sim, panel

    def test_a_script_sets_what_the_operator_sets_on_loopback_only(self):
        port = free_port()
        sim, panel = self.start({"Remote Port": str(port)}, env=TRACE)
        with Script(port) as script:
            for host in ("127.0.0.1", "::1"):
                with self.subTest(host), Script(port, host) as other:
                    self.assertEqual(other.ask("*IDN?"), IDN)
            # Another address of this machine, where the instrument is.
            self.assertTrue(refused(DEFAULT_ADDRESS, port), "listening beyond loopback")

            script.send("FREQ 80")
            self.assertEqual(script.ask("FREQ?"), "80")
            sim.wait_commands(update_messages("80"), 5)
            script.send("PRESC:DDS 4")
            self.assertEqual(script.ask("PRESC:DDS?"), "4")
            sim.wait_commands(["A8 04"], 5)
            self.assertEqual(sim.commands(),
                             connect_sequence() + update_messages("80") + ["A8 04"])
            self.assertEqual(script.ask("LINK?"), "1")

            self.assertEqual(sim.stop(), 0)
            panel.wait_address_box(LIGHT_RED, 5)
            self.assertEqual(script.ask("LINK?"), "0")
            self.assertEqual(script.ask("SYST:ERR?"), '0,"No error"')

        self.assertIn("received *IDN?", panel.output())
        self.assertIn("reply " + IDN, panel.output())
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        saved = self.session.settings()
        self.assertEqual((saved.get("Frequency"), saved.get("DDS Prescaler")), ("80", "2"))
        self.assertEqual(saved.get("Remote Port"), str(port), "read, never written")

    def test_off_unless_the_setting_names_a_port(self):
        for name, values in (("missing", {}), ("zero", {"Remote Port": "0"})):
            with self.subTest(name):
                sim, panel = self.start(values)
                self.assertEqual(listening_ports(), {PORT}, "only the instrument listens")
                panel.signal(signal.SIGTERM)
                self.assertEqual(panel.wait_exit(10), 0, panel.output())
                self.assertEqual(self.session.settings().get("Remote Port"),
                                 values.get("Remote Port"))
                self.assertEqual(sim.stop(), 0)

    def test_bad_clients_leave_the_heartbeat_on_time_and_the_panel_answering(self):
        port = free_port()
        sim, panel = self.start({"Remote Port": str(port)}, ("--steady-clock",), NO_QUARANTINE)

        def gone():
            """Every connection to the port has been let go by the panel."""
            return not [s for s in tcp_sockets() if s[0] == port and s[2] not in (LISTEN,
                                                                                   TIME_WAIT)]

        def flood():
            script = Script(port)
            # A small receive window, so that the unread replies back up soon.
            script.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            deadline = time.monotonic() + 60
            try:
                while time.monotonic() < deadline:
                    script.send(b"FREQ?\n" * 1000)
            except (BrokenPipeError, ConnectionResetError):
                return
            finally:
                script.close()
            self.fail("a client that never reads was not closed")

        def too_long(payload):
            def case():
                with Script(port) as script:
                    script.send(payload + b"\n")
                    self.assertEqual(script.ask("*IDN?"), IDN)
                    self.assertEqual(script.ask("SYST:ERR?"), '-223,"Too much data"')
                    self.assertEqual(script.ask("SYST:ERR?"), '0,"No error"')
            return case

        def five_at_once():
            scripts = [Script(port) for _ in range(5)]
            try:
                self.assertEqual([s.ask("*IDN?") for s in scripts[:4]], [IDN] * 4)
                self.assertTrue(scripts[4].closed_by_panel())
            finally:
                for script in scripts:
                    script.close()

        def gone_mid_line():
            with Script(port) as script:
                script.send(b"FREQ 8")

        garbage = bytes(b for b in random.randbytes(100_000 + 10_000) if b != 0x0A)[:100_000]
        cases = [
            ("flood of queries, never reading", flood),
            # A line of Updates: none of it may run.
            ("a 5000-byte line", too_long(b"FREQ 80;" * 625)),
            ("100 KB of binary garbage as one line", too_long(garbage)),
            ("five clients at once", five_at_once),
            ("gone in the middle of a line", gone_mid_line),
        ]
        with Script(port) as script:
            self.assertEqual(script.ask("*IDN?"), IDN)
        wait_for("the panel to let go of the client", gone, 5)
        start = time.monotonic() * 1000
        # Twice: the first round raises the allocator's high-water mark (by
        # a few MiB under the sanitizers, more with Qt 6.8's); memory that
        # stays flat does not grow again in the second.
        for round_ in ("first", "second"):
            before = rss_kib(panel.pid)
            for name, case in cases:
                with self.subTest(name, round=round_):
                    case()
                    wait_for("the panel to let go of every client", gone, 10)
        end = time.monotonic() * 1000

        with Script(port) as script:
            self.assertEqual(script.ask("*IDN?"), IDN)
            self.assertEqual(script.ask("FREQ?"), "12.34")
        self.assertEqual(sim.commands(), connect_sequence(), "no command of a bad client ran")
        beats = [t for t in sim.heartbeat_times() if t >= start - 1000] + [end]
        gaps = [b - a for a, b in zip(beats, beats[1:])]
        # Every 500 ms; judged loosely here, the timing belongs to bench/.
        self.assertLess(max(gaps), 1500, gaps)
        grown = rss_kib(panel.pid) - before
        self.assertLess(grown, 4 * 1024, "resident memory grew by %d KiB in the second round"
                        % grown)


if __name__ == "__main__":
    harness.main()
