"""The window's stored position against platforms that do and do not let a
window know where it is: Wayland keeps it from the window, X11 does not."""

import os
import shutil
import signal
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import E2ETestCase, wait_for

STORED = {"Left": "1500", "Top": "1200"}
MOVED_TO = (300, 200)  # X pixels


class WindowPositionTest(E2ETestCase):
    def start_with_stored_position(self, extra_env=None):
        harness.write_hive_values(self.session.hive_path, STORED)
        panel = self.session.start_panel(extra_env=extra_env)
        # The restore's first prescaler write says start-up has got that far.
        wait_for("the start-up's prescaler writes",
                 lambda: "Rosa Prescaler" in self.session.settings(), 20)
        return panel

    def close(self, panel):
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        return self.session.settings()

    def test_wayland_keeps_the_stored_position(self):
        if shutil.which("weston") is None:
            self.skipTest("needs weston")
        panel = self.start_with_stored_position(self.session.start_wayland())
        saved = self.close(panel)
        # The compositor placed the window and told it nothing: what the
        # operator stored stays, and the other five are saved as usual.
        self.assertEqual({name: saved.get(name) for name in STORED}, STORED)
        self.assertEqual(saved.get("Frequency"), "12.34")
        self.assertEqual(saved.get("System Clock"), "983.04")
        self.assertEqual(saved.get("IP Address"), harness.DEFAULT_ADDRESS)

    def test_x11_saves_where_the_window_is(self):
        panel = self.start_with_stored_position()
        wid = panel.window()
        stored = tuple(int(STORED[name]) // harness.TWIPS_PER_PIXEL for name in ("Left", "Top"))
        wait_for("the window at its stored place", lambda: panel.geometry()[:2] == stored, 5)
        self.session.xdotool("windowmove", str(wid), str(MOVED_TO[0]), str(MOVED_TO[1]))
        wait_for("the window to move", lambda: panel.geometry()[:2] == MOVED_TO, 5)
        saved = self.close(panel)
        self.assertEqual((saved.get("Left"), saved.get("Top")),
                         tuple(str(v * harness.TWIPS_PER_PIXEL) for v in MOVED_TO))


if __name__ == "__main__":
    harness.main()
