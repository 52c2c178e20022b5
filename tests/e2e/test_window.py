"""The real binary shows its window, and a second copy ends at once."""

import os
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import CAPTION, CLIENT_SIZE, E2ETestCase, LIGHT_RED, WHITE
from harness.x11 import png_size


class WindowTest(E2ETestCase):
    def test_window_is_shown_with_its_caption_and_size(self):
        panel = self.session.start_panel()
        wid = panel.window()
        name = self.session.xdotool("getwindowname", str(wid)).strip()
        self.assertEqual(name, CAPTION)
        _, _, width, height = panel.geometry()
        self.assertEqual((width, height), CLIENT_SIZE)
        # Nobody listens at the default address: the indicator stays light red.
        panel.wait_address_box(LIGHT_RED, 10)

    def test_second_copy_ends_at_once_without_window_or_settings(self):
        sim = self.session.start_sim()
        first = self.session.start_panel("first")
        first.window()
        sim.wait_commands(harness.connect_sequence(), 10)
        before = self.session.hive_fingerprint()
        self.assertIsNotNone(before, "the first copy wrote its prescalers at start-up")

        # Judged by what it does, not by how long it takes on a loaded
        # machine: it ends, successfully, without a window at any moment, and
        # leaves the settings, the instrument and the first copy alone.
        second = self.session.start_panel("second")
        shown = set()

        def ended():
            shown.update(second.find_windows())
            return not second.running()

        harness.wait_for("the second copy to end", ended, 20)
        self.assertEqual(second.wait_exit(0), 0, second.output())
        self.assertEqual(shown, set())
        self.assertEqual(self.session.hive_fingerprint(), before)
        self.assertEqual(sim.connections(), 1)
        self.assertTrue(first.running())
        self.assertEqual(first.find_windows(), [first.window()])

    def test_lock_left_by_a_killed_copy_does_not_block_the_next(self):
        first = self.session.start_panel("killed")
        first.window()
        first.signal(9)
        first.wait_exit(5)
        second = self.session.start_panel("next")
        second.window()

    def test_screenshot(self):
        """The README's picture: the window against the simulator, link up.
        Written to docs/screenshot.png with QUILLON_UPDATE_SCREENSHOT=1."""
        sim = self.session.start_sim()
        panel = self.session.start_panel()
        panel.window()
        sim.wait_commands(harness.connect_sequence(), 10)
        panel.wait_address_box(WHITE, 10)
        time.sleep(0.5)  # the last repaint after the connect
        picture = panel.screenshot()
        self.assertEqual(png_size(picture), CLIENT_SIZE)
        if os.environ.get("QUILLON_UPDATE_SCREENSHOT") == "1":
            path = os.path.join(harness.REPO, "docs", "screenshot.png")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(picture)


if __name__ == "__main__":
    harness.main()
