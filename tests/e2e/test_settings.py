"""The seven settings of the real binary survive a SIGTERM and a new start."""

import signal
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (CMBDDS_BOX, CMBROSA_BOX, E2ETestCase, TXTFREQ_BOX, TXTIP_BOX, TXTSYSCLK_BOX,
                     connect_sequence, tuning_word_message, wait_for)

# Another private address, so that the second run can only find its instrument
# through the restored address.
SAVED_ADDRESS = "10.1.2.3"
POSITION = (200, 150)  # X pixels; there is no window manager to move it


class SettingsTest(E2ETestCase):
    def test_settings_survive_a_restart(self):
        session = self.session
        # First run, no settings file at all.
        sim = session.start_sim(name="sim1")
        panel = session.start_panel("run1")
        wid = panel.window()
        sim.wait_commands(connect_sequence(), 10)
        self.assertEqual(session.settings(), {"DDS Prescaler": "1", "Rosa Prescaler": "1"})

        # The operator's changes, with real X input.
        panel.type_into(TXTSYSCLK_BOX, "500")
        panel.type_into(TXTFREQ_BOX, "80")
        panel.type_into(TXTIP_BOX, SAVED_ADDRESS)
        panel.pick(CMBDDS_BOX, 2)  # ÷4
        sim.wait_commands(["A8 04"], 5)
        panel.pick(CMBROSA_BOX, 3)  # ÷64
        sim.wait_commands(["B0 03"], 5)
        session.xdotool("windowmove", str(wid), str(POSITION[0]), str(POSITION[1]))
        wait_for("the window to move", lambda: panel.geometry()[:2] == POSITION, 5)

        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        saved = {
            "Left": str(POSITION[0] * harness.TWIPS_PER_PIXEL),
            "Top": str(POSITION[1] * harness.TWIPS_PER_PIXEL),
            "Frequency": "80",
            "System Clock": "500",
            "IP Address": SAVED_ADDRESS,
            "DDS Prescaler": "2",
            "Rosa Prescaler": "3",
        }
        self.assertEqual(session.settings(), saved)
        self.assertEqual(sim.stop(), 0)

        # Second run: the instrument is only at the saved address.
        sim = session.start_sim(name="sim2", address=SAVED_ADDRESS)
        panel = session.start_panel("run2")
        panel.window()
        wait_for("the window at its saved place", lambda: panel.geometry()[:2] == POSITION, 5)
        # The connect sequence carries the restored prescalers.
        sim.wait_commands(connect_sequence(rosa_index=3, dds_divider=4), 10)
        self.assertEqual(sim.commands()[:7], connect_sequence(rosa_index=3, dds_divider=4))
        # Enter runs the Update on the restored texts: 80 MHz at a 500 MHz clock.
        panel.focus()
        panel.click(TXTFREQ_BOX)
        session.xdotool("key", "Return")
        update = [tuning_word_message(80, 500), "A2", "A7 00"]
        self.assertEqual(update[0], "A5 00 8F C2 F5 28")
        sim.wait_commands(update, 5)

        # A second copy started meanwhile changes nothing.
        before = session.hive_fingerprint()
        second = session.start_panel("second")
        self.assertEqual(second.wait_exit(5), 0, second.output())
        self.assertEqual(session.hive_fingerprint(), before)
        self.assertEqual(sim.connections(), 1)

        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        self.assertEqual(session.settings(), saved)


if __name__ == "__main__":
    harness.main()
