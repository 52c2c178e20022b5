"""Faults of the settings file, with the real binary: missing, in a missing
folder, unwritable, read-only, damaged, truncated, huge, replaced while the
panel runs, and the panel killed in the middle of its save at shut-down. Each
case checks what the panel starts with (seen in the connect sequence and its
address), that it runs and shuts down normally, and what the settings file holds
afterwards: nothing the operator had is lost, every line that can be read
counts, and a file with lines that cannot be read is kept aside whole."""

import glob
import os
import random
import shutil
import signal
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (CMBDDS_BOX, DEFAULT_ADDRESS, KEY, WHITE, E2ETestCase, connect_sequence,
                     parse_hive, wait_for, write_hive_values)

SEVEN = ["Left", "Top", "Frequency", "System Clock", "IP Address", "DDS Prescaler",
         "Rosa Prescaler"]
# What a first run saves, the window's place aside.
DEFAULTS = {"Frequency": "12.34", "System Clock": "983.04", "IP Address": DEFAULT_ADDRESS,
            "DDS Prescaler": "1", "Rosa Prescaler": "1"}
SAVED_ADDRESS = "10.1.2.3"
FULL_HIVE = ("REGEDIT4\n\n[%s]\n" % KEY + '"Left"="3000"\n"Top"="2250"\n"Frequency"="80"\n'
             '"System Clock"="500"\n"IP Address"="%s"\n"DDS Prescaler"="2"\n'
             '"Rosa Prescaler"="3"\n' % SAVED_ADDRESS)
# The same, with a frequency that the shut-down saves as "80": a run always writes.
WRITTEN_SETTINGS = FULL_HIVE.replace('"Frequency"="80"', '"Frequency"="80.000"')


# What the settings store says, when asked to.
SETTINGS_LOG = {"QT_LOGGING_RULES": "quillon.settings.debug=true"}
NOBODY = 65534


def read_values(path):
    with open(path, encoding="utf-8") as settings:
        return parse_hive(settings.read()).get(KEY, {})


def kept_aside(path):
    return glob.glob(path + ".corrupt-*")


def fingerprint(path):
    """What a write would change: content, inode (files are replaced whole)
    and modification time."""
    st = os.stat(path)
    with open(path, "rb") as settings:
        return (settings.read(), st.st_ino, st.st_mtime_ns)


class RegFileFaultsTest(E2ETestCase):
    def run_panel(self, settings_path=None, address=DEFAULT_ADDRESS, sequence=None, env=None,
                  prefix=()):
        """Starts the panel with an instrument at `address`, waits for the
        connect sequence it is expected to send, shuts it down with SIGTERM
        and returns its output."""
        sim = self.session.start_sim(address=address)
        env = dict(env or {})
        if settings_path:
            env["QUILLON_REGISTRY"] = settings_path
        panel = self.session.start_panel(extra_env=env, prefix=prefix)
        panel.window()
        sim.wait_commands(sequence or connect_sequence(), 10)
        self.assertEqual(sim.commands()[:7], sequence or connect_sequence())
        panel.wait_address_box(WHITE, 5)
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        self.assertEqual(sim.stop(), 0)
        return panel.output()

    def assert_defaults_saved(self, path):
        values = read_values(path)
        self.assertEqual(sorted(values), sorted(SEVEN))
        self.assertEqual({k: values[k] for k in DEFAULTS}, DEFAULTS)

    def test_missing_hive_or_folder_is_created(self):
        cases = [("missing file", self.session.hive_path),
                 ("missing folders", os.path.join(self.session.dir, "not", "yet", "registry.reg"))]
        for name, path in cases:
            with self.subTest(name):
                self.run_panel(path)
                self.assert_defaults_saved(path)
                self.assertEqual(glob.glob(path + ".tmp"), [])

    def test_unwritable_hive_loses_the_settings_silently(self):
        blocker = os.path.join(self.session.dir, "a-file")
        with open(blocker, "w") as f:
            f.write("not a folder\n")
        folder_as_settings = os.path.join(self.session.dir, "a-folder.reg")
        os.mkdir(folder_as_settings)
        cases = [("parent is a file", os.path.join(blocker, "registry.reg")),
                 ("settings file is a folder", folder_as_settings)]
        for name, path in cases:
            with self.subTest(name):
                # The defaults, a normal run and a normal shut-down.
                self.run_panel(path)
                with open(blocker) as f:
                    self.assertEqual(f.read(), "not a folder\n")
                self.assertEqual(os.listdir(folder_as_settings), [])

    def test_file_without_a_hive_is_kept_aside_whole(self):
        cases = [
            ("not a settings file at all", bytes(range(256)) * 4),
            ("huge", (FULL_HIVE + '"Padding"="%s"\n' % ("x" * (1024 * 1024 + 10))).encode()),
        ]
        for name, blob in cases:
            with self.subTest(name):
                for stale in glob.glob(self.session.hive_path + "*"):
                    os.remove(stale)
                with open(self.session.hive_path, "wb") as settings:
                    settings.write(blob)
                output = self.run_panel(env=SETTINGS_LOG)  # the defaults: nothing was applied
                self.assertIn("the file holds no values", output)
                aside = kept_aside(self.session.hive_path)
                self.assertEqual(len(aside), 1, aside)
                self.assertIn("in %s" % aside[0], output)
                with open(aside[0], "rb") as kept:
                    self.assertEqual(kept.read(), blob, "the operator's file is kept as it was")
                self.assert_defaults_saved(self.session.hive_path)

    def test_damaged_hive_keeps_every_line_it_can_read(self):
        """One line the reader cannot take costs that line alone; the first
        write keeps the whole original aside first. Where a skipped line is
        shows in the quillon.settings category, and nowhere by default."""
        def damaged(old, new):
            assert old in WRITTEN_SETTINGS
            return WRITTEN_SETTINGS.replace(old, new, 1).encode("latin-1")
        saved = {"Left": "3000", "Top": "2250", "Frequency": "80", "System Clock": "500",
                 "IP Address": SAVED_ADDRESS, "DDS Prescaler": "2", "Rosa Prescaler": "3"}
        address_line = '"IP Address"="%s"\n' % SAVED_ADDRESS
        # Each line a reader can skip is the unit tests' business
        # (tests/registry); here the real panel starts from what survives,
        # keeps the original at its first write and logs only when asked.
        cases = [
            # (name, bytes, lines skipped, values lost, logged)
            ("trailing comment", damaged(address_line, address_line[:-1] + " ; lab B\n"), [8],
             ["IP Address"], False),
            ("lone CR", damaged('"2"\n', '"2"\r'), [9], ["DDS Prescaler", "Rosa Prescaler"], True),
            ("cut inside the address", WRITTEN_SETTINGS.split(SAVED_ADDRESS)[0].encode() + b"10.1",
             [8], ["IP Address", "DDS Prescaler", "Rosa Prescaler"], True),
        ]
        for name, blob, skipped, lost, logged in cases:
            with self.subTest(name):
                for stale in glob.glob(self.session.hive_path + "*"):
                    os.remove(stale)
                with open(self.session.hive_path, "wb") as settings:
                    settings.write(blob)
                expected = dict(DEFAULTS, **{k: v for k, v in saved.items() if k not in lost})
                output = self.run_panel(
                    address=expected["IP Address"], env=SETTINGS_LOG if logged else None,
                    sequence=connect_sequence(rosa_index=int(expected["Rosa Prescaler"]),
                                              dds_divider=2 ** int(expected["DDS Prescaler"])))
                values = read_values(self.session.hive_path)
                self.assertEqual({k: values[k] for k in expected}, expected)
                aside = kept_aside(self.session.hive_path)
                self.assertEqual(len(aside), 1, aside)
                with open(aside[0], "rb") as kept:
                    self.assertEqual(kept.read(), blob, "the operator's file is kept as it was")
                if logged:
                    for line in skipped:
                        self.assertIn("%s:%d: skipped" % (self.session.hive_path, line), output)
                else:
                    self.assertNotIn(self.session.hive_path, output, "the panel logs nothing")

    def test_read_only_hive_is_read_and_never_written(self):
        """A file made read-only on purpose, or a folder the user may not
        write: the panel starts with the saved values, runs, shuts down, and
        the file stays as it was. Permissions do not bind root, so the panel
        runs as an unprivileged user."""
        prefix = ()
        if os.geteuid() == 0:
            setpriv = shutil.which("setpriv")
            if setpriv is None:
                self.skipTest("needs setpriv (util-linux) to run the panel as another user")
            prefix = (setpriv, "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                      "--")
        os.chmod(self.session.dir, 0o711)  # the user reaches its folders and nothing else
        home = os.path.join(self.session.dir, "unprivileged")
        for sub in ("", "run"):
            os.mkdir(os.path.join(home, sub) if sub else home, 0o700)
            if prefix:
                os.chown(os.path.join(home, sub), NOBODY, NOBODY)
        env = {"HOME": home, "XDG_CONFIG_HOME": home, "XDG_CACHE_HOME": home, "TMPDIR": home,
               "XDG_RUNTIME_DIR": os.path.join(home, "run")}
        cases = [("file made read-only", 0o444, True), ("folder not writable", 0o644, False)]
        for name, mode, own_folder in cases:
            with self.subTest(name):
                folder = os.path.join(self.session.dir, name.replace(" ", "-"))
                os.mkdir(folder, 0o755)
                path = os.path.join(folder, "registry.reg")
                with open(path, "w") as settings:
                    settings.write(WRITTEN_SETTINGS)
                os.chmod(path, mode)
                if prefix:
                    os.chown(path, NOBODY, NOBODY)
                    if own_folder:
                        os.chown(folder, NOBODY, NOBODY)
                else:
                    os.chmod(folder, 0o755 if own_folder else 0o555)
                before = fingerprint(path)
                self.run_panel(path, address=SAVED_ADDRESS, env=env, prefix=prefix,
                               sequence=connect_sequence(rosa_index=3, dds_divider=4))
                self.assertEqual(fingerprint(path), before)
                self.assertEqual(sorted(os.listdir(folder)), ["registry.reg"])

    def test_hive_truncated_at_a_line_keeps_what_it_holds(self):
        # Cut after the address: the first five values are whole and apply,
        # the prescalers fall back to position 1.
        text = FULL_HIVE.split('"DDS Prescaler"')[0]
        with open(self.session.hive_path, "w") as settings:
            settings.write(text)
        self.run_panel(address=SAVED_ADDRESS)
        values = read_values(self.session.hive_path)
        self.assertEqual(values["IP Address"], SAVED_ADDRESS)
        self.assertEqual(values["Frequency"], "80")
        self.assertEqual(values["System Clock"], "500")
        self.assertEqual((values["DDS Prescaler"], values["Rosa Prescaler"]), ("1", "1"))
        self.assertEqual(glob.glob(self.session.hive_path + ".corrupt-*"), [])

    def test_hive_replaced_while_the_panel_runs(self):
        write_hive_values(self.session.hive_path, {"Frequency": "80"})
        sim = self.session.start_sim()
        panel = self.session.start_panel()
        panel.window()
        sim.wait_commands(connect_sequence(), 10)
        # Another program replaces the file whole, with a value of its own and
        # a key of its own.
        replacement = ("REGEDIT4\n\n[%s]\n\"Frequency\"=\"55\"\n\"Operator Note\"=\"keep me\"\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"x\"=\"y\"\n" % KEY)
        with open(self.session.hive_path + ".new", "w") as new:
            new.write(replacement)
        os.replace(self.session.hive_path + ".new", self.session.hive_path)

        panel.pick(CMBDDS_BOX, 2)  # a write while running: DDS ÷4
        sim.wait_commands(["A8 04"], 5)
        wait_for("the prescaler in the new file",
                 lambda: self.session.settings().get("DDS Prescaler") == "2", 5)
        self.assertEqual(self.session.settings()["Operator Note"], "keep me")
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        keys = parse_hive(self.session.hive_text())
        self.assertEqual(keys["HKEY_LOCAL_MACHINE\\SOFTWARE\\Other"], {"x": "y"})
        values = keys[KEY]
        self.assertEqual(values["Operator Note"], "keep me")
        self.assertEqual(values["Frequency"], "80", "the panel's own text is saved")
        self.assertEqual(values["DDS Prescaler"], "2")
        self.assertEqual(sorted(values), sorted(SEVEN + ["Operator Note"]))

    def test_sigkill_during_the_save_leaves_old_or_new_values(self):
        # Texts that the panel normalises when it applies them, so that the
        # save at shut-down writes different ones: each value is found either
        # as it was or as saved, whichever moment the kill comes.
        old = {"Left": "3000", "Top": "2250", "Frequency": "80.000", "System Clock": "500.0",
               "IP Address": " %s " % SAVED_ADDRESS, "DDS Prescaler": "2", "Rosa Prescaler": "3"}
        new = dict(old, **{"Frequency": "80", "System Clock": "500",
                           "IP Address": SAVED_ADDRESS})
        outcomes = {"old": 0, "new": 0, "mixed": 0}

        def one_run(kill_after):
            for stale in glob.glob(self.session.hive_path + ".tmp"):
                os.remove(stale)
            write_hive_values(self.session.hive_path, old)
            panel = self.session.start_panel("race%d" % len(self.session.processes))
            panel.window()
            time.sleep(random.uniform(0.05, 0.2))  # the restore is done
            started = time.monotonic()
            panel.signal(signal.SIGTERM)
            if kill_after is None:
                panel.wait_exit(10)
            else:
                time.sleep(kill_after)
                panel.signal(signal.SIGKILL)
                panel.wait_exit(10)
            took = time.monotonic() - started
            panel.stop()
            values = parse_hive(self.session.hive_text())[KEY]
            self.assertEqual(sorted(values), sorted(SEVEN), values)
            for name in SEVEN:
                self.assertIn(values[name], (old[name], new[name]), name)
            kind = ("old" if values == old else "new" if values == new else "mixed")
            outcomes[kind] += 1
            return took, values

        took, values = one_run(None)
        self.assertEqual(values, new, "a normal shut-down saves the normalised texts")
        deadline = time.monotonic() + 30
        for _ in range(16):
            if time.monotonic() > deadline:
                break
            one_run(random.uniform(0, took))
        print("SIGKILL races: %s (a normal shut-down took %.0f ms)" % (outcomes, took * 1000),
              file=sys.stderr)

        # Whatever the last race left, the next start finds the instrument at
        # the saved address with the saved prescalers.
        sim = self.session.start_sim(address=SAVED_ADDRESS)
        panel = self.session.start_panel("after")
        panel.window()
        sim.wait_commands(connect_sequence(rosa_index=3, dds_divider=4), 10)
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        self.assertEqual(parse_hive(self.session.hive_text())[KEY], new)


if __name__ == "__main__":
    harness.main()
