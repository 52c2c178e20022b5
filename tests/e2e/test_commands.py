"""What the real binary sends: the connect sequence, the frequency Update by
real X key input, and the prescaler lists picked with the mouse and keys."""

import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (CMBDDS_BOX, CMBROSA_BOX, E2ETestCase, HEARTBEAT, TXTFREQ_BOX,
                     connect_sequence, tuning_word_message, wait_for)


class CommandsTest(E2ETestCase):
    def start(self):
        sim = self.session.start_sim()
        panel = self.session.start_panel()
        panel.window()
        sim.wait_commands(connect_sequence(), 10)
        return sim, panel

    def test_connect_sequence_with_the_start_up_defaults(self):
        sim, _ = self.start()
        # The very first bytes of the connection, no heartbeat among them.
        self.assertEqual([m for _, m in sim.messages()[:7]],
                         ["A0 01", "A6 03", "A9 61 00", "B0 01", "A8 02", "AF 01", "A3 00"])
        # Nothing but heartbeats follows it until the operator acts.
        wait_for("a heartbeat", lambda: HEARTBEAT in [m for _, m in sim.messages()], 3)
        self.assertEqual(sim.commands(), connect_sequence())

    def test_enter_in_the_frequency_box_runs_the_update(self):
        sim, panel = self.start()
        cases = [
            # typed text, what the Update sends (system clock 983.04)
            ("80", ["A5 00 55 55 D5 14", "A2", "A7 00"]),
            ("-80", ["A5 00 55 55 D5 14", "A2", "A7 01"]),
            ("abc", ["A5 00 00 00 00 00", "A2", "A7 01"]),
            ("12.34", [tuning_word_message(12.34, 983.04), "A2", "A7 00"]),
        ]
        self.assertEqual(cases[3][1][0], "A5 00 AA AA 36 03")
        for text, expected in cases:
            with self.subTest(text):
                seen = len(sim.messages())
                panel.type_into(TXTFREQ_BOX, text, enter=True)
                new = lambda: [m for _, m in sim.messages()[seen:]]
                wait_for("the Update for %r" % text, lambda: len(
                    [m for m in new() if m != HEARTBEAT]) >= len(expected), 5)
                got = new()
                first = got.index(expected[0]) if expected[0] in got else -1
                # The Update's messages go out together: no heartbeat between.
                self.assertEqual(got[first:first + len(expected)], expected, got)
                self.assertEqual([m for m in got if m != HEARTBEAT], expected, got)

    def test_holding_enter_repeats_the_update_and_the_heartbeat_goes_on(self):
        sim, panel = self.start()
        panel.type_into(TXTFREQ_BOX, "80")
        seen = len(sim.messages())
        panel.session.xdotool("keydown", "Return")
        try:
            time.sleep(1.5)
        finally:
            panel.session.xdotool("keyup", "Return")
        time.sleep(0.6)
        got = [m for _, m in sim.messages()[seen:]]
        updates = got.count("A2")
        self.assertGreaterEqual(updates, 3, "the key repeats: %s" % got)
        self.assertGreaterEqual(got.count(HEARTBEAT), 1, got)
        commands = [m for m in got if m != HEARTBEAT]
        self.assertEqual(commands, ["A5 00 55 55 D5 14", "A2", "A7 00"] * updates)

    def test_picking_a_prescaler_sends_it_and_saves_it(self):
        sim, panel = self.start()
        cases = [
            # list, position picked, message, value name, saved text
            ("DDS ÷4", CMBDDS_BOX, 2, "A8 04", "DDS Prescaler", "2"),
            ("ROSA ÷64", CMBROSA_BOX, 3, "B0 03", "Rosa Prescaler", "3"),
            ("DDS ÷1", CMBDDS_BOX, 0, "A8 01", "DDS Prescaler", "0"),
            ("ROSA ÷8", CMBROSA_BOX, 0, "B0 00", "Rosa Prescaler", "0"),
        ]
        for name, box, position, message, value, text in cases:
            with self.subTest(name):
                seen = len(sim.commands())
                panel.pick(box, position)
                wait_for(message, lambda: message in sim.commands()[seen:], 5)
                self.assertEqual(sim.commands()[seen:], [message])
                wait_for("%s=%s in the settings file" % (value, text),
                         lambda: self.session.settings().get(value) == text, 5)


if __name__ == "__main__":
    harness.main()
