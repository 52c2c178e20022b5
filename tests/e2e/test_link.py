"""The instrument link of the real binary: heartbeat, indicator, watchdog,
reconnection, against quillon-sim at the panel's default address."""

import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import E2ETestCase, HEARTBEAT, LIGHT_RED, WHITE, connect_sequence, wait_for

WATCHDOG_S = 2.5
# Room for start-up, scheduling and the sanitizers on top of the panel's own
# periods; the waits end as soon as the awaited thing is seen.
SLACK_S = 1.5


class LinkTest(E2ETestCase):
    def test_heartbeat_goes_out_every_half_second(self):
        sim = self.session.start_sim()
        self.session.start_panel().window()
        sim.wait_commands(connect_sequence(), 10)
        start = sim.messages()[len(connect_sequence()) - 1][0]
        wait_for("three seconds of heartbeats",
                 lambda: any(t > start + 3000 for t in sim.heartbeat_times()), 3 + 3)
        beats = [t for t in sim.heartbeat_times() if start < t <= start + 3000]
        # Six are due; the count is checked loosely, the timing belongs to bench/.
        self.assertGreaterEqual(len(beats), 4, beats)
        self.assertLessEqual(len(beats), 8, beats)
        self.assertEqual(sim.commands(), connect_sequence(), "nothing but heartbeats after it")

    def test_refused_then_started_instrument_is_found_by_the_watchdog(self):
        panel = self.session.start_panel()
        panel.window()
        # Nothing listens yet: each attempt is refused and the box stays light red.
        panel.wait_address_box(LIGHT_RED, 10)
        time.sleep(WATCHDOG_S)  # at least one refused retry
        self.assertEqual(panel.address_box_colour(), LIGHT_RED)

        sim = self.session.start_sim()
        # The next watchdog tick closes the failed attempt and connects; a
        # refused attempt fails at once, so one period is enough.
        sim.wait_commands(connect_sequence(), WATCHDOG_S + SLACK_S, "a connect within one period")
        panel.wait_address_box(WHITE, 5)

    def test_silent_instrument_stops_the_heartbeat_and_turns_the_box_light_red(self):
        silent_after_ms = 1500
        sim = self.session.start_sim("--silent-after", str(silent_after_ms))
        panel = self.session.start_panel()
        panel.window()
        sim.wait_commands(connect_sequence(), 10)
        connected = sim.messages()[0][0]
        panel.wait_address_box(WHITE, 5)

        def heartbeat_stopped():
            beats = sim.heartbeat_times()
            time.sleep(1.2)  # more than two heartbeat periods with nothing new
            return beats if beats and beats == sim.heartbeat_times() else None

        beats = wait_for("the heartbeat to stop", heartbeat_stopped,
                         silent_after_ms / 1000 + WATCHDOG_S + 2 * SLACK_S + 1.2, interval=0)
        panel.wait_address_box(LIGHT_RED, 5)
        # The last byte from the instrument came at most one beat before it
        # went silent; the watchdog fires 2500 ms after that byte and the last
        # heartbeat went out at most 500 ms before the watchdog: loosely,
        # about 2 s after the silence began.
        after_silence = beats[-1] - (connected + silent_after_ms)
        self.assertGreater(after_silence, 1000, beats)
        self.assertLess(after_silence, 3500, beats)
        # The socket stays connected: the panel marks the link down, it does
        # not reconnect, and the box stays light red on later ticks.
        time.sleep(WATCHDOG_S)
        self.assertEqual(sim.connections(), 1, sim.output())
        self.assertEqual(panel.address_box_colour(), LIGHT_RED)
        self.assertEqual(sim.heartbeat_times(), beats)

    def test_restarted_instrument_is_reconnected_with_the_whole_sequence(self):
        first = self.session.start_sim(name="sim1")
        panel = self.session.start_panel()
        panel.window()
        first.wait_commands(connect_sequence(), 10)
        panel.wait_address_box(WHITE, 5)

        self.assertEqual(first.stop(), 0)  # resets the connection
        panel.wait_address_box(LIGHT_RED, 5)
        second = self.session.start_sim(name="sim2")
        # A tick finds the error, closes, connects: within a period or two.
        second.wait_commands(connect_sequence(), 2 * WATCHDOG_S + SLACK_S)
        self.assertEqual([m for _, m in second.messages()[:7]], connect_sequence())
        panel.wait_address_box(WHITE, 5)
        wait_for("heartbeats to the new instrument", lambda: HEARTBEAT in
                 [m for _, m in second.messages()], 2)

    def test_instrument_that_ends_the_connection_is_reconnected(self):
        # Each end of the connection, by FIN and by RST, is followed by a
        # reconnect with the whole connect sequence; the fault repeats on the
        # new connection, so the sequence keeps coming.
        cases = [("close", "--close-after"), ("reset", "--reset-after")]
        for name, option in cases:
            with self.subTest(name), harness.own_session("reconnect-" + name) as session:
                sim = session.start_sim(option, "1000")
                panel = session.start_panel()
                panel.window()
                sim.wait_commands(connect_sequence() + connect_sequence(),
                                  1 + 2 * WATCHDOG_S + 2 * SLACK_S)
                self.assertGreaterEqual(sim.connections(), 2)


if __name__ == "__main__":
    harness.main()
