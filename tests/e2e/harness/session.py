"""A test's Session: one temporary folder, one virtual display and every
process the test starts, which closing it stops, whatever happened; and the
entry point of every test file."""

import contextlib
import functools
import os
import re
import shutil
import sys
import tempfile
import unittest

from .expected import DEFAULT_ADDRESS, KEY
from .network import in_private_network
from .processes import Panel, Process, Sim, _die_with_parent, wait_for
from .registry_text import parse_hive
from .x11 import Display

SKIP = 77
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(os.path.dirname(HERE))
NETNS_RUN = os.path.join(REPO, "scripts", "netns-run")


def main(binaries=("QUILLON_BIN", "QUILLON_SIM_BIN"), tools=()):
    """Entry point of every test file: skip cleanly when the tools are missing,
    enter a private network namespace, then run the file's tests. `binaries`
    are the environment variables that must name the programs under test,
    `tools` what the file needs besides Xvfb, xdotool and import, as
    (program, package)."""
    needed = [("Xvfb", "xvfb"), ("xdotool", "xdotool"), ("import", "imagemagick")] + list(tools)
    missing = [(tool, package) for tool, package in needed
               if shutil.which(tool) is None and not os.access(tool, os.X_OK)]
    if missing:
        print("SKIP: end-to-end tests need %s (packages %s)"
              % (", ".join(t for t, _ in missing), ", ".join(p for _, p in missing)),
              file=sys.stderr)
        sys.exit(SKIP)
    if not in_private_network():
        # Re-run this file in a namespace of its own; 77 passes through.
        os.execv(NETNS_RUN, [NETNS_RUN, sys.executable, "-B"] + sys.argv)
    for variable in binaries:
        path = os.environ.get(variable)
        if not path or not os.path.isfile(path):
            print("%s must name the built program (CTest or the test script sets it)"
                  % variable, file=sys.stderr)
            sys.exit(2)
    unittest.main(verbosity=2)


class Session:
    """One Xvfb display, one temporary folder and the processes of a test."""

    def __init__(self, test_name="e2e"):
        self.dir = tempfile.mkdtemp(prefix="quillon-%s-" % test_name)
        self.hive_path = os.path.join(self.dir, "registry.reg")
        for sub in ("home", "home/.config", "run"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        os.chmod(os.path.join(self.dir, "run"), 0o700)
        self.processes = []
        self.x11 = None
        try:
            self.x11 = Display(os.path.join(self.dir, "xvfb.log"), self.env, _die_with_parent)
        except AssertionError:
            self.close()
            raise
        self.display = self.x11.number

    def xdotool(self, *args, timeout=10):
        return self.x11.xdotool(*args, timeout=timeout)

    def keyboard_layout(self, layout):
        self.x11.keyboard_layout(layout)

    # -- environment -------------------------------------------------------

    def env(self):
        env = {key: value for key, value in os.environ.items()
               if not key.startswith(("WAYLAND_", "XAUTHORITY", "SESSION_MANAGER", "DBUS_",
                                      "AT_SPI_"))}
        home = os.path.join(self.dir, "home")
        # No D-Bus, on every machine alike: both buses name a socket that does
        # not exist, so the panel neither meets the host's buses nor has
        # libdbus try to autolaunch one (which, without dbus-x11, fails and
        # leaks its error text). Qt then runs without accessibility bus and
        # portal, as in a bare X session. The accessibility test brings a bus
        # of its own.
        no_bus = "unix:path=" + os.path.join(self.dir, "no-dbus-here")
        env.update({
            "DBUS_SESSION_BUS_ADDRESS": no_bus,
            "DBUS_SYSTEM_BUS_ADDRESS": no_bus,
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.dir, "run"),
            "TMPDIR": self.dir,
            "QUILLON_REGISTRY": self.hive_path,
            "QT_QPA_PLATFORM": "xcb",
            # The panel paints with the raster engine and needs no OpenGL, so
            # Qt loads no GL or EGL driver: on a desktop that is Mesa, whose
            # LLVM leaks at exit from a library already unloaded, which no
            # suppression can name.
            "QT_XCB_GL_INTEGRATION": "none",
            "QT_WAYLAND_CLIENT_BUFFER_INTEGRATION": "none",
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            # Leaks are reported, except those inside the libraries named in
            # lsan.supp, which the panel cannot free.
            "LSAN_OPTIONS": ":".join(filter(None, [
                "suppressions=" + os.path.join(HERE, "lsan.supp"), "print_suppressions=0",
                os.environ.get("LSAN_OPTIONS")])),
        })
        if self.x11 is not None and self.x11.number is not None:
            env["DISPLAY"] = self.x11.name()
        return env

    # -- programs ----------------------------------------------------------

    def start_sim(self, *args, name="sim", address=DEFAULT_ADDRESS, wine=None, exe=None):
        sim = Sim(self, name, address, args, wine, exe)
        self.processes.append(sim)
        return sim

    def start_panel(self, name="panel", extra_env=None, prefix=(), wine=None, exe=None):
        panel = Panel(self, name, extra_env, prefix, wine, exe)
        self.processes.append(panel)
        return panel

    def start_wayland(self):
        """A headless Wayland compositor (weston) of this session's own; returns
        what a Qt program needs to run on it instead of on the X display."""
        socket = "wayland-quillon"
        weston = Process("weston", ["weston", "--backend=headless-backend.so",
                                    "--socket=" + socket, "--idle-time=0"],
                         self.env(), os.path.join(self.dir, "weston.log"))
        self.processes.append(weston)
        path = os.path.join(self.env()["XDG_RUNTIME_DIR"], socket)
        wait_for("weston's socket", lambda: os.path.exists(path) or not weston.running(), 10)
        if not weston.running():
            raise AssertionError("weston ended at start:\n" + weston.output())
        return {"QT_QPA_PLATFORM": "wayland", "WAYLAND_DISPLAY": socket}

    # -- settings ----------------------------------------------------------

    def hive_text(self):
        try:
            with open(self.hive_path, encoding="utf-8") as settings:
                return settings.read()
        except FileNotFoundError:
            return None

    def settings(self):
        """The values under the panel's key, {} when there is no settings file."""
        text = self.hive_text()
        return parse_hive(text).get(KEY, {}) if text else {}

    def hive_fingerprint(self):
        """What a write would change: content, inode (files are replaced
        whole) and modification time; None when there is no settings file."""
        try:
            st = os.stat(self.hive_path)
        except FileNotFoundError:
            return None
        with open(self.hive_path, "rb") as settings:
            return (settings.read(), st.st_ino, st.st_mtime_ns)

    # -- the end -----------------------------------------------------------

    def logs(self):
        parts = []
        for process in self.processes:
            parts.append("----- %s (%s) -----\n%s" % (process.name, " ".join(process.argv),
                                                      process.output()[-4000:]))
        return "\n".join(parts)

    def close(self):
        """Stops everything; returns the sanitizer reports found in the
        programs' output, which fail the test."""
        for process in reversed(self.processes):
            try:
                process.stop()
            except Exception:  # keep stopping the others
                pass
        reports = ["%s:\n%s" % (process.name, process.output()[-4000:])
                   for process in self.processes
                   if re.search(r"Sanitizer|runtime error:", process.output())]
        if self.x11 is not None:
            self.x11.close()
        if os.environ.get("QUILLON_E2E_KEEP") == "1":
            print("kept %s" % self.dir, file=sys.stderr)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)
        return reports


@contextlib.contextmanager
def printing_logs(session):
    """Prints the programs' output of `session` when the block fails."""
    try:
        yield session
    except unittest.SkipTest:
        raise
    except BaseException:
        print("\n" + session.logs(), file=sys.stderr)
        raise


def close_failing_on_reports(session):
    reports = session.close()
    if reports:
        raise AssertionError("sanitizer reports:\n" + "\n".join(reports))


@contextlib.contextmanager
def own_session(name):
    """A Session for the block: its programs' output printed when the block
    fails, closed however it ends, its sanitizer reports failing the block."""
    session = Session(name)
    try:
        with printing_logs(session):
            yield session
    except BaseException:
        session.close()
        raise
    close_failing_on_reports(session)


class E2ETestCase(unittest.TestCase):
    """A test case with a fresh Session per test, closed however it ends; on
    failure the programs' output is printed."""

    def __init__(self, methodName="runTest"):
        super().__init__(methodName)
        test = getattr(self, methodName, None)
        if test is not None:
            @functools.wraps(test)
            def logged():
                with printing_logs(self.session):
                    return test()
            setattr(self, methodName, logged)

    def setUp(self):
        self.session = Session(self.id().rsplit(".", 1)[-1])
        self.addCleanup(close_failing_on_reports, self.session)
