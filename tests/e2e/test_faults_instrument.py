"""Faults of a connected instrument, with the real binary: going silent,
ending the connection in the middle of Updates, crashing and coming back,
flooding the panel, and no longer reading. Each case checks the indicator,
the recovery and that the instrument sees only whole, well-formed messages,
each connection starting with the whole connect sequence."""

import os
import signal
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (HEARTBEAT, LIGHT_RED, TXTFREQ_BOX, WHITE, E2ETestCase, connect_sequence, rss_kib,
                     split_connections, update_messages, wait_for)

WATCHDOG_S = 2.5
SLACK_S = 1.5
TRACE = {"QT_LOGGING_RULES": "quillon.link.debug=true"}
SEVEN = {"Left", "Top", "Frequency", "System Clock", "IP Address", "DDS Prescaler",
         "Rosa Prescaler"}


class InstrumentFaultsTest(E2ETestCase):
    def start(self, *sim_args, env=None):
        sim = self.session.start_sim(*sim_args)
        panel = self.session.start_panel(extra_env=dict(TRACE, **(env or {})))
        panel.window()
        return sim, panel

    def assert_well_formed(self, sim, connections_at_least):
        """Every connection starts with the whole connect sequence and then
        carries nothing but whole Updates, of which only the last may be cut
        short by the end of the connection."""
        parts = split_connections(sim.commands())
        self.assertGreaterEqual(len(parts), connections_at_least, sim.commands())
        update = update_messages()
        for part in parts:
            self.assertEqual(part[:7], connect_sequence(), part)
            rest = part[7:]
            whole = len(rest) // 3
            self.assertEqual(rest[:3 * whole], update * whole, part)
            self.assertEqual(rest[3 * whole:], update[:len(rest) - 3 * whole], part)
        self.assertNotIn("unknown command byte", sim.output())

    def shut_down(self, panel):
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        self.assertEqual(set(self.session.settings()), SEVEN)

    def test_silent_instrument_goes_light_red_and_a_restart_recovers(self):
        silent, panel = self.start("--silent-after", "1000")
        silent.wait_commands(connect_sequence(), 10)
        panel.wait_address_box(WHITE, 5)
        panel.wait_address_box(LIGHT_RED, 1 + WATCHDOG_S + SLACK_S)
        self.assertIn("watchdog: connected but silent: link down, connection kept", panel.output())
        self.assertEqual(silent.connections(), 1, "the silent connection is kept, not redialled")

        silent.stop()
        sim = self.session.start_sim(name="sim2")
        sim.wait_commands(connect_sequence(), 2 * WATCHDOG_S + SLACK_S)
        panel.wait_address_box(WHITE, 5)
        self.assertEqual(sim.commands(), connect_sequence())
        self.shut_down(panel)

    def test_crashed_or_stopped_instrument_is_found_again(self):
        for name, number in (("stopped", signal.SIGTERM), ("killed", signal.SIGKILL)):
            with self.subTest(name), harness.own_session("instrument-" + name) as session:
                first = session.start_sim(name="first")
                panel = session.start_panel(extra_env=TRACE)
                panel.window()
                first.wait_commands(connect_sequence(), 10)
                panel.wait_address_box(WHITE, 5)
                first.popen.send_signal(number)
                first.wait_exit(5)
                # Nothing listens now: light red, and it stays so.
                panel.wait_address_box(LIGHT_RED, WATCHDOG_S + SLACK_S)
                self.assertIn("event Close", panel.output())
                second = session.start_sim(name="second")
                second.wait_commands(connect_sequence(), WATCHDOG_S + SLACK_S)
                panel.wait_address_box(WHITE, 5)
                self.assertEqual(second.commands(), connect_sequence())

    def test_instrument_closing_its_side_is_reconnected(self):
        # A FIN from the instrument is a Close event: the indicator goes light
        # red, and a watchdog tick reconnects with the whole sequence. The
        # fault repeats on every connection.
        sim, panel = self.start("--close-after", "1000")
        sim.wait_commands(connect_sequence() * 2, 1 + WATCHDOG_S + 2 * SLACK_S)
        self.assertIn("-- closing the connection", sim.output())
        log = panel.output()
        self.assertIn("event Close", log)
        self.assertIn("watchdog: closed: reconnect", log.split("event Close", 1)[1])
        self.assert_well_formed(sim, 2)
        self.assertTrue(panel.running(), log)

    def test_reset_in_the_middle_of_updates(self):
        # Enter held down sends an Update per key repeat; the instrument resets
        # each connection 1.5 s after it began, so resets land among Updates.
        sim, panel = self.start("--reset-after", "1500")
        sim.wait_commands(connect_sequence(), 10)
        panel.focus()
        panel.click(TXTFREQ_BOX)
        self.session.xdotool("keydown", "Return")
        try:
            wait_for("a reset and a reconnect among the Updates",
                     lambda: sim.connections() >= 2 and
                     sim.commands().count("A0 01") >= 2, 1.5 + WATCHDOG_S + 2 * SLACK_S)
            time.sleep(1.0)  # Updates on the new connection too
        finally:
            self.session.xdotool("keyup", "Return")
        time.sleep(0.3)
        self.assertIn("-- resetting the connection", sim.output())
        self.assert_well_formed(sim, 2)
        self.assertIn("A2", sim.commands(), "no Update went out at all")
        self.assertTrue(panel.running(), panel.output())

        # A steady instrument afterwards: connect sequence, then one whole Update.
        sim.stop()
        steady = self.session.start_sim(name="steady")
        steady.wait_commands(connect_sequence(), 2 * WATCHDOG_S + SLACK_S)
        panel.wait_address_box(WHITE, 5)
        panel.focus()
        panel.click(TXTFREQ_BOX)
        self.session.xdotool("key", "Return")
        steady.wait_commands(connect_sequence() + update_messages(), 5)
        self.assertEqual(steady.commands(), connect_sequence() + update_messages())
        self.shut_down(panel)

    def test_flooding_instrument(self):
        # AddressSanitizer holds freed memory back for a while (its
        # quarantine), which under a flood of reads looks like growth; without
        # it, resident memory shows what the panel itself keeps.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=0",
                                      "thread_local_quarantine_size_kb=0"]))
        sim, panel = self.start("--flood", "50000000", env={"ASAN_OPTIONS": asan})
        sim.wait_commands(connect_sequence(), 10)
        panel.wait_address_box(WHITE, 5)
        time.sleep(1)
        before = rss_kib(panel.pid)
        beats = len(sim.heartbeat_times())
        # The panel still answers the operator at once and keeps its heartbeat.
        panel.focus()
        panel.click(TXTFREQ_BOX)
        self.session.xdotool("key", "Return")
        sim.wait_commands(update_messages(), 5)
        wait_for("heartbeats during the flood", lambda: len(sim.heartbeat_times()) >= beats + 6,
                 3 + 2 * SLACK_S)
        grown = rss_kib(panel.pid) - before
        # Unread bytes must not pile up in the panel.
        self.assertLess(grown, 20 * 1024, "resident memory grew by %d KiB" % grown)
        self.assertEqual(panel.address_box_colour(), WHITE)
        self.assert_well_formed(sim, 1)
        self.shut_down(panel)

    def test_instrument_that_no_longer_reads(self):
        sim, panel = self.start("--no-read")
        wait_for("the connection", lambda: sim.connections() == 1, 10)
        panel.wait_address_box(WHITE, 5)  # its heartbeat still arrives
        panel.focus()
        panel.click(TXTFREQ_BOX)
        self.session.xdotool("keydown", "Return")
        try:
            time.sleep(2)
        finally:
            self.session.xdotool("keyup", "Return")
        self.assertEqual(sim.messages(), [], "the simulator was told not to read")
        self.assertTrue(panel.running(), panel.output())
        # Shut-down does not wait for the instrument to take the bytes.
        self.shut_down(panel)


if __name__ == "__main__":
    harness.main()
