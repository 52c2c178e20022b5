"""The Windows panel: the real quillon.exe, cross-built by scripts/build-windows,
under Wine on Xvfb against the Linux quillon-sim, driven by real X input, in
a private network namespace. Its settings go to Wine's registry through the
panel's advapi32 calls. Also the installer: a silent install, the installed
panel, a silent uninstall that leaves the operator's settings alone.

Run by scripts/test-windows, which builds everything and passes QUILLON_EXE,
QUILLON_INSTALLER and QUILLON_SIM_BIN.
"""

import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (CAPTION, CMBDDS_BOX, CMBROSA_BOX, E2ETestCase, KEY,  # noqa: E402
                     TXTFREQ_BOX, TXTIP_BOX, TXTSYSCLK_BOX, connect_sequence,
                     tuning_word_message, wait_for)

# Wine takes a few seconds to start a program; the waits end as soon as the
# awaited thing is seen.
START_S = 60
SAVED_ADDRESS = "10.1.2.3"
# How far the stored window position is moved between two runs, in pixels.
MOVE = (-160, -74)
TWIPS_PER_PIXEL = 15  # at Wine's 96 dots per inch
# Wine's ANSI code page under the harness's C.UTF-8 locale, as on a Western
# European Windows: "ü" is the one byte 0xFC there.
ANSI_CODE_PAGE = "1252"
CODE_PAGE_KEY = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\CodePage"
UMLAUT_ADDRESS = "labor-\u00fc.lan"
INSTALLED = "C:\\Program Files\\Quillon\\quillon.exe"
INSTALLED_SIM = "C:\\Program Files\\Quillon\\quillon-sim.exe"
UNINSTALL_KEY = ("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                 "Quillon Installer")
INSTALLER_KEY = "HKEY_LOCAL_MACHINE\\Software\\Oxwell\\Quillon Installer"
SEVEN = ["Left", "Top", "Frequency", "System Clock", "IP Address", "DDS Prescaler",
         "Rosa Prescaler"]

WINE = None


def setUpModule():
    global WINE
    WINE = harness.Wine()


def tearDownModule():
    if WINE is not None:
        WINE.close()


class WindowsPanelTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        # Cleanups run last first: Wine ends before the session's display.
        self.addCleanup(WINE.stop_server)
        # Every test starts without saved settings; the prefix is shared.
        WINE.run(self.session, "reg", "delete", "HKLM\\SOFTWARE\\Oxwell\\Quillon", "/f")

    def settings(self):
        return WINE.registry(KEY)

    def start_panel(self, name, exe=None):
        panel = self.session.start_panel(name, wine=WINE, exe=exe)
        wid = panel.window(START_S)
        self.assertEqual(self.session.xdotool("getwindowname", str(wid)).strip(), CAPTION)
        return panel

    def close(self, panel):
        panel.close_by_keyboard()
        self.assertEqual(panel.wait_exit(20), 0, panel.output())

    def test_connects_updates_closes_by_alt_f4_and_restores_its_settings(self):
        session = self.session
        sim = session.start_sim(name="sim1")
        panel = self.start_panel("run1")
        sim.wait_commands(connect_sequence(), START_S)
        # The very first bytes of the connection, nothing before them.
        self.assertEqual([m for _, m in sim.messages()[:7]], connect_sequence())
        start = sim.messages()[6][0]
        wait_for("three seconds of heartbeats",
                 lambda: any(t > start + 3000 for t in sim.heartbeat_times()), 3 + 5)
        beats = [t for t in sim.heartbeat_times() if start < t <= start + 3000]
        # Six are due; the count is checked loosely, as on Linux.
        self.assertGreaterEqual(len(beats), 4, beats)
        self.assertLessEqual(len(beats), 8, beats)
        self.assertEqual(sim.commands(), connect_sequence(), "nothing but heartbeats after it")

        # 80 and Enter at the default clock of 983.04 MHz.
        panel.type_into(TXTFREQ_BOX, "80", enter=True)
        update = ["A5 00 55 55 D5 14", "A2", "A7 00"]
        sim.wait_commands(update, 10)
        self.assertEqual(sim.commands()[7:], update)

        # The operator's other settings, with real X input.
        panel.type_into(TXTSYSCLK_BOX, "500")
        panel.type_into(TXTIP_BOX, SAVED_ADDRESS)
        panel.pick(CMBDDS_BOX, 2)  # ÷4
        sim.wait_commands(["A8 04"], 10)
        panel.pick(CMBROSA_BOX, 3)  # ÷64
        sim.wait_commands(["B0 03"], 10)
        # Wine 10 ignores a move made from outside (an X move with no window
        # manager), so the place is changed in the registry between the runs:
        # the saved place must be where the window was, and the next start
        # must honour a changed one.
        place = panel.geometry()[:2]

        self.close(panel)
        saved = self.settings()
        self.assertEqual(sorted(saved), sorted(SEVEN), saved)
        self.assertEqual({name: saved[name] for name in SEVEN[2:]}, {
            "Frequency": "80",
            "System Clock": "500",
            "IP Address": SAVED_ADDRESS,
            "DDS Prescaler": "2",
            "Rosa Prescaler": "3",
        })
        self.assertEqual(sim.stop(), 0)
        for name, pixels in (("Left", MOVE[0]), ("Top", MOVE[1])):
            saved[name] = str(int(saved[name]) + pixels * TWIPS_PER_PIXEL)
            WINE.run(session, "reg", "add", KEY, "/v", name, "/f", "/d", saved[name])
        place = (place[0] + MOVE[0], place[1] + MOVE[1])

        # Second run: the instrument is only at the saved address.
        sim = session.start_sim(name="sim2", address=SAVED_ADDRESS)
        panel = self.start_panel("run2")
        wait_for("the window at its saved place", lambda: panel.geometry()[:2] == place, 10)
        sim.wait_commands(connect_sequence(rosa_index=3, dds_divider=4), START_S)
        self.assertEqual(sim.commands()[:7], connect_sequence(rosa_index=3, dds_divider=4))
        # Enter runs the Update on the restored texts: 80 MHz at a 500 MHz clock.
        panel.focus()
        panel.click(TXTFREQ_BOX)
        session.xdotool("key", "Return")
        sim.wait_commands([tuning_word_message(80, 500), "A2", "A7 00"], 10)
        self.close(panel)
        self.assertEqual(self.settings(), saved)

    def test_an_address_with_an_umlaut_is_stored_in_the_ansi_code_page(self):
        self.assertEqual(WINE.registry(CODE_PAGE_KEY).get("ACP"), ANSI_CODE_PAGE)
        # "ü" is a key of its own on a German keyboard, as for the operators
        # who type it.
        self.session.keyboard_layout("de")
        panel = self.start_panel("run1")
        panel.type_into(TXTIP_BOX, UMLAUT_ADDRESS)
        self.close(panel)
        # The registry holds Unicode; Wine made it from the bytes the panel
        # passed to RegSetValueExA, read in code page 1252.
        stored = self.settings().get("IP Address")
        self.assertEqual(stored, UMLAUT_ADDRESS,
                         "the panel wrote the bytes %r, not the code-page-1252 text %r"
                         % (stored.encode("cp1252", "replace") if stored else stored,
                            UMLAUT_ADDRESS.encode("cp1252")))
        # The next start reads it back as typed: closing saves it unchanged.
        panel = self.start_panel("run2")
        self.close(panel)
        self.assertEqual(self.settings().get("IP Address"), UMLAUT_ADDRESS)

    def test_the_installer_installs_and_the_uninstaller_keeps_the_settings(self):
        session = self.session
        status, output = WINE.run(session, os.environ["QUILLON_INSTALLER"], "/S")
        self.assertEqual(status, 0, output)
        folder = WINE.drive_c("Program Files", "Quillon")
        for name in ("quillon.exe", "quillon-sim.exe", "README.txt", "Uninstall.exe"):
            self.assertTrue(os.path.isfile(os.path.join(folder, name)), name)
        shortcut = WINE.drive_c("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                "Quillon", "Quillon.lnk")
        self.assertTrue(os.path.isfile(shortcut), shortcut)
        registered = WINE.registry(UNINSTALL_KEY)
        self.assertEqual(registered.get("DisplayName"), "Quillon 1.0.8", registered)
        self.assertEqual(registered.get("DisplayVersion"), "1.0.8", registered)
        self.assertEqual(registered.get("DisplayIcon"), INSTALLED, registered)

        # The installed panel starts, connects to the installed simulator,
        # both under Wine, and saves its settings.
        sim = session.start_sim(name="installed-sim", wine=WINE, exe=INSTALLED_SIM)
        panel = self.start_panel("installed", exe=INSTALLED)
        sim.wait_commands(connect_sequence(), START_S)
        self.close(panel)
        saved = self.settings()
        self.assertEqual(sorted(saved), sorted(SEVEN), saved)

        # The uninstaller copies itself to a temporary folder and returns at
        # once; the copy does the work.
        status, output = WINE.run(session, os.path.join(folder, "Uninstall.exe"), "/S")
        self.assertEqual(status, 0, output)
        WINE.wait_idle(120)
        self.assertFalse(os.path.exists(folder), os.listdir(folder) if os.path.isdir(folder) else folder)
        self.assertFalse(os.path.exists(shortcut), shortcut)
        self.assertEqual(WINE.registry(UNINSTALL_KEY), {})
        self.assertEqual(WINE.registry(INSTALLER_KEY), {})
        # The operator's settings are left as they were.
        self.assertEqual(self.settings(), saved)


if __name__ == "__main__":
    harness.main(binaries=("QUILLON_EXE", "QUILLON_INSTALLER", "QUILLON_SIM_BIN"),
                 tools=[(harness.wine_program(), "wine64"), ("setxkbmap", "x11-xkb-utils")])
