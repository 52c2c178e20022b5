"""The Windows panel: the real quillon.exe, cross-built by scripts/build-windows,
under Wine on Xvfb against the Linux quillon-sim, driven by real X input, in
a private network namespace. Its settings go to Wine's registry through the
panel's advapi32 calls. Also the installer: a silent install, the installed
panel, a silent uninstall that leaves the operator's settings alone.

Also what a standard operator meets: the key the installer opens to Users,
one panel per machine, which keeps the installer away, and a session end.

Run by scripts/test-windows, which builds everything and passes QUILLON_EXE,
QUILLON_INSTALLER, QUILLON_SIM_BIN and QUILLON_KEYSECURITY.
"""

import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (CAPTION, CMBDDS_BOX, CMBROSA_BOX, E2ETestCase, IDN, KEY,  # noqa: E402
                     TXTFREQ_BOX, TXTIP_BOX, TXTSYSCLK_BOX, Script, connect_sequence,
                     free_port, tuning_word_message, update_messages, wait_for)

# Wine takes a few seconds to start a program; the waits end as soon as the
# awaited thing is seen.
START_S = 60
SAVED_ADDRESS = "10.1.2.3"
# How far the window is moved during the first run, in pixels.
MOVE = (-160, -74)
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
SETTINGS_PATH = "SOFTWARE\\Oxwell\\Quillon"
# A folder without blanks: an uninstaller's "_?=FOLDER" cannot be quoted.
FOLDER = "C:\\Quillon"
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
        # One server for the whole test, which keeps the keys' access rules.
        WINE.keep_server()
        # Every test starts without saved settings and without an installed
        # panel; the prefix is shared.
        for key in (KEY, UNINSTALL_KEY, INSTALLER_KEY):
            WINE.run(self.session, "reg", "delete", key, "/f")
        for folder in (WINE.drive_c("Quillon"), WINE.drive_c("Program Files", "Quillon")):
            shutil.rmtree(folder, ignore_errors=True)

    def install(self, *args):
        status, output = WINE.run(self.session, os.environ["QUILLON_INSTALLER"], "/S", *args)
        self.assertEqual(status, 0, output)

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
        # The operator moves the window: Wine 10 takes no notice of a move
        # made from outside on the X display, so the helper moves it as
        # Windows does. The next start must show it where it was at the
        # close, not where it started.
        start_place = panel.geometry()[:2]
        place = (start_place[0] + MOVE[0], start_place[1] + MOVE[1])
        status, output = WINE.run(session, os.environ["QUILLON_MOVEWINDOW"], CAPTION,
                                  str(MOVE[0]), str(MOVE[1]))
        self.assertEqual(status, 0, output)
        wait_for("the window to move", lambda: panel.geometry()[:2] == place, 10)

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

    def test_a_script_drives_the_panel_through_the_remote_port(self):
        port = free_port()
        WINE.run(self.session, "reg", "add", KEY, "/v", "Remote Port", "/d", str(port), "/f")
        sim = self.session.start_sim()
        panel = self.start_panel("remote")
        # The port is open before the event loop runs, so before this arrives.
        sim.wait_commands(connect_sequence(), START_S)
        with Script(port) as script:
            self.assertEqual(script.ask("*IDN?"), IDN)
            script.send("FREQ 80")
            self.assertEqual(script.ask("LINK?"), "1")
            sim.wait_commands(update_messages("80"), 10)
        self.assertEqual(sim.commands(), connect_sequence() + update_messages("80"))
        self.close(panel)
        saved = self.settings()
        self.assertEqual((saved.get("Frequency"), saved.get("Remote Port")), ("80", str(port)))

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
        # With a certificate given to the build (scripts/test-windows makes a
        # throwaway one), what the installer wrote is signed, the uninstaller
        # included, which makensis made inside the installer.
        if os.environ.get("QUILLON_SIGN_CA"):
            for name in ("quillon.exe", "quillon-sim.exe", "Uninstall.exe"):
                verified = subprocess.run(
                    ["osslsigncode", "verify", "-CAfile", os.environ["QUILLON_SIGN_CA"], "-in",
                     os.path.join(folder, name)], capture_output=True, text=True)
                self.assertEqual(verified.returncode, 0, name + ":\n" + verified.stdout
                                 + verified.stderr)
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

    def test_an_operator_without_administrator_rights_keeps_the_settings(self):
        self.install()
        # Users may do everything to the key itself, and nothing that subkeys
        # inherit; the entries a new key gets (as its parent has them) stay.
        rules = WINE.key_security(self.session, SETTINGS_PATH)
        parent = WINE.key_security(self.session, SETTINGS_PATH.rpartition("\\")[0])
        self.assertEqual(rules, "D:(A;;KA;;;BU)" + parent[2:])
        stored = {"IP Address": SAVED_ADDRESS, "DDS Prescaler": "2", "Rosa Prescaler": "3"}
        for name, text in stored.items():
            WINE.run(self.session, "reg", "add", "HKLM\\" + SETTINGS_PATH, "/v", name, "/d", text)
        # Wine's programs hold an administrator's token: with the
        # Administrators' write rights gone, the key's rules are what a
        # standard user's token meets.
        cut = rules.replace(";KA;;;BA)", ";KR;;;BA)")
        self.assertNotEqual(cut, rules)
        WINE.key_security(self.session, SETTINGS_PATH, cut)

        sim = self.session.start_sim(address=SAVED_ADDRESS)
        panel = self.start_panel("operator", exe=INSTALLED)
        sim.wait_commands(connect_sequence(rosa_index=3, dds_divider=4), START_S)
        panel.type_into(TXTFREQ_BOX, "77")
        self.close(panel)
        self.assertEqual(WINE.key_security(self.session, SETTINGS_PATH), cut)
        saved = WINE.query(self.session, KEY)
        self.assertEqual((saved.get("Frequency"), saved.get("IP Address")), ("77", SAVED_ADDRESS))

    def test_after_a_session_end_the_settings_are_saved_and_the_panel_starts(self):
        # Each session on a server of its own, whose first program gets the
        # same process id: an id reused, as Windows reuses them.
        WINE.keep_server()
        sim = self.session.start_sim()
        panel = self.start_panel("ended")
        sim.wait_commands(connect_sequence(), START_S)
        panel.type_into(TXTFREQ_BOX, "77")
        WINE.run(self.session, "wineboot", "--end-session")
        panel.wait_exit(20)
        saved = WINE.query(self.session, KEY)
        self.assertEqual(sorted(saved), sorted(SEVEN), saved)
        self.assertEqual(saved["Frequency"], "77")
        # Whether the session's end left the panel time to clean up or not
        # (a race), and after one ended with no cleanup at all (killed with
        # its server), the next start shows its window.
        for name in ("next", "after-kill"):
            WINE.keep_server()
            panel = self.start_panel(name)
        self.close(panel)

    def test_a_second_panel_ends_at_once_and_a_third_starts_after_the_first(self):
        first = self.start_panel("first")
        second = self.session.start_panel("second", wine=WINE)
        # A second panel that missed the first would show its window and run.
        self.assertEqual(second.wait_exit(START_S), 0, second.output())
        self.assertTrue(first.running())
        self.close(first)
        third = self.start_panel("third")
        self.close(third)

    def test_no_install_or_uninstall_while_a_panel_runs(self):
        folder = WINE.drive_c("Quillon")
        installer = os.environ["QUILLON_INSTALLER"]

        def installation():
            """What an install or an uninstall changes: files and records."""
            files = {f.name: (f.inode(), f.stat().st_ctime_ns)
                     for f in (os.scandir(folder) if os.path.isdir(folder) else [])}
            return files, [WINE.query(self.session, k) for k in (UNINSTALL_KEY, INSTALLER_KEY)]

        def refused(*args):
            status, output = WINE.run(self.session, *args)
            self.assertEqual(status, 2, output)

        # A panel from the zip keeps a first install away.
        panel = self.start_panel("unpacked")
        refused(installer, "/S", "/D=" + FOLDER)
        self.assertEqual(installation(), ({}, [{}, {}]))
        self.close(panel)
        self.install("/D=" + FOLDER)
        # The installed panel keeps an upgrade and the uninstaller away.
        panel = self.start_panel("installed", exe=FOLDER + "\\quillon.exe")
        before = installation()
        refused(installer, "/S")
        refused(FOLDER + "\\Uninstall.exe", "/S", "_?=" + FOLDER)
        self.assertEqual(installation(), before)
        self.close(panel)
        # Then the upgrade replaces the files, in the installed version's folder.
        self.install()
        self.assertNotEqual(installation()[0], before[0])
        self.assertFalse(os.path.exists(WINE.drive_c("Program Files", "Quillon")))


if __name__ == "__main__":
    harness.main(binaries=("QUILLON_EXE", "QUILLON_INSTALLER", "QUILLON_SIM_BIN",
                           "QUILLON_KEYSECURITY", "QUILLON_MOVEWINDOW"),
                 tools=[(harness.wine_program(), "wine64"), ("setxkbmap", "x11-xkb-utils")])
