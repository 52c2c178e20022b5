"""The running panel as a screen reader sees it, through AT-SPI.

The real quillon binary runs under Xvfb with the accessibility bus, against
quillon-sim, and this test reads its accessibility tree over D-Bus with
pyatspi, as Orca would: every input, list, button and the check box carries
its name (a list on Linux by its "labelled by" frame), the readout is
readable, and the address box's description says whether the instrument link
is up, following the link down when the instrument stops and up again when it
returns.

Run it through scripts/netns-run (CTest does): the panel connects at start-up,
and although its settings file here holds 127.0.0.1, the private namespace
also keeps the simulator's fixed port away from anything else on the machine.
The file re-runs itself inside dbus-run-session for a session bus of its own.
Exits 77 (skipped) when a tool is missing.

Environment: QUILLON_BIN, QUILLON_SIM_BIN (CTest passes them).
"""

import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SKIP = 77
PORT = 1111  # the panel's fixed port; private to this network namespace
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
LINK_UP = "Instrument link up"
LINK_DOWN = "Instrument link down"


def missing_tools():
    missing = [tool for tool in ("Xvfb", "dbus-run-session", "dbus-send") if not shutil.which(tool)]
    if not os.access(BUS_LAUNCHER, os.X_OK):
        missing.append(BUS_LAUNCHER + " (at-spi2-core)")
    if importlib.util.find_spec("pyatspi") is None:
        missing.append("pyatspi (python3-pyatspi) for " + sys.executable)
    for variable in ("QUILLON_BIN", "QUILLON_SIM_BIN"):
        if not os.access(os.environ.get(variable, ""), os.X_OK):
            missing.append(variable)
    return missing


def wait_for(what, condition, timeout=20.0):
    """Polls `condition` until it returns something true; these are real
    processes talking over D-Bus, so there is no signal to wait on."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


class Session:
    """Xvfb, the accessibility bus, the simulator and the panel, each stopped
    on close whatever happened."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-atspi-")
        os.chmod(self.folder, 0o700)
        self.processes = []
        self.sim = None
        self.env = dict(os.environ)
        # Private runtime and settings folders: the panel's single-instance
        # lock and settings never meet the user's.
        self.env["XDG_RUNTIME_DIR"] = self.folder
        self.env["XDG_CONFIG_HOME"] = self.folder
        self.env["QUILLON_REGISTRY"] = os.path.join(self.folder, "registry.reg")
        with open(self.env["QUILLON_REGISTRY"], "w", encoding="utf-8") as settings:
            settings.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell\\Quillon]\n'
                       '"IP Address"="127.0.0.1"\n')

    def start(self, args, log, extra_env=None, **kwargs):
        env = dict(self.env, **(extra_env or {}))
        with open(os.path.join(self.folder, log), "wb") as out:
            process = subprocess.Popen(args, env=env, stdout=out, stderr=subprocess.STDOUT,
                                       **kwargs)
        self.processes.append(process)
        return process

    def log(self, name):
        with open(os.path.join(self.folder, name), encoding="utf-8", errors="replace") as text:
            return text.read()

    def start_display(self):
        read_end, write_end = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                    "-nolisten", "tcp"], "xvfb.log", pass_fds=(write_end,))
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                raise AssertionError("Xvfb did not start:\n" + self.log("xvfb.log"))
            number += chunk
        os.close(read_end)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        os.environ["DISPLAY"] = self.env["DISPLAY"]

    def start_accessibility_bus(self):
        self.start([BUS_LAUNCHER, "--launch-immediately"], "bus.log")

        def bus_named():
            reply = subprocess.run(
                ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                 "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                 "string:org.a11y.Bus"], capture_output=True, text=True, check=False)
            return "boolean true" in reply.stdout

        wait_for("the accessibility bus", bus_named)

    def start_sim(self):
        self.sim = self.start([os.environ["QUILLON_SIM_BIN"], "--listen", "127.0.0.1", "--port",
                               str(PORT), "--quiet"], "sim.log")
        wait_for("quillon-sim to listen", lambda: "listening on" in self.log("sim.log"))

    def stop_sim(self):
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(timeout=10)

    def start_panel(self):
        # Qt exposes its tree on the bus when a reader says it is running, or
        # always with QT_LINUX_ACCESSIBILITY_ALWAYS_ON.
        self.start([os.environ["QUILLON_BIN"]], "quillon.log",
                   {"QT_QPA_PLATFORM": "xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def nodes_of(accessible):
    """(role, name, description, labelled-by names, the accessible) of every
    node below `accessible`."""
    import pyatspi

    found = []
    for index in range(accessible.childCount):
        child = accessible.getChildAtIndex(index)
        if child is None:
            continue
        labels = []
        for relation in child.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                labels += [relation.getTarget(i).name for i in range(relation.getNTargets())]
        found.append((child.getRole(), child.name, child.description, labels, child))
        found += nodes_of(child)
    return found


class AccessibilityTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = Session()
        try:
            cls.session.start_display()
            cls.session.start_accessibility_bus()
            cls.session.start_sim()
            cls.session.start_panel()
            import pyatspi  # after the display and the bus exist

            desktop = pyatspi.Registry.getDesktop(0)

            def panel_app():
                for index in range(desktop.childCount):
                    app = desktop.getChildAtIndex(index)
                    if app is not None and app.name == "quillon" and app.childCount > 0:
                        return app
                return None

            cls.app = wait_for("the panel on the accessibility bus", panel_app)
        except BaseException:
            cls.session.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    def node(self, role, name=None, label=None):
        """The one node of `role` (by its AT-SPI 2.46 name, "push button"),
        compared by the role's number: 2.56 names it "button"."""
        import pyatspi

        number = getattr(pyatspi, "ROLE_" + role.upper().replace(" ", "_"))
        matches = [node for node in nodes_of(self.app) if node[0] == number
                   and (name is None or node[1] == name)
                   and (label is None or label in node[3])]
        self.assertEqual(len(matches), 1, "%s %r labelled %r: %d matches in\n%s" % (
            role, name, label, len(matches),
            "\n".join("%s %r %r %r" % node[:4] for node in nodes_of(self.app))))
        return matches[0]

    def test_window(self):
        frames = [self.app.getChildAtIndex(i) for i in range(self.app.childCount)]
        self.assertIn("Quillon Test", [frame.name for frame in frames])

    def test_every_control_named(self):
        # Text boxes, buttons and the check box by name; each also says which
        # frame labels it.
        named = [
            ("text", "Set DDS Frequency (MHz)", "Set DDS Frequency (MHz)"),
            ("push button", "Update frequency", "Set DDS Frequency (MHz)"),
            ("text", "IP Address", "IP Address"),
            ("text", "Port", "Port"),
            ("push button", "Update CP currents", "CP Currents"),
            ("check box", "Set to 1MHz first.", "Set DDS Frequency (MHz)"),
            ("text", "System Clock (MHz)", "System Clock (MHz)"),
        ]
        for role, name, label in named:
            with self.subTest(name=name):
                self.node(role, name, label)
        # A list is named by the entry it shows and labelled by its frame,
        # which a reader speaks first: "DDS Prescaler, combo box, ÷2".
        lists = [("Freq. Detect", "X20"), ("Wide Lock", "X2"), ("Final Lock", "X1"),
                 ("ROSA Prescaler", "\u00f716"), ("DDS Prescaler", "\u00f72")]
        for label, entry in lists:
            with self.subTest(list=label):
                self.node("combo box", entry, label)

    def test_readout_readable(self):
        self.node("label", "Laser offset = 394.88MHz", "Set DDS Frequency (MHz)")

    def test_link_state_in_words(self):
        def description():
            return self.node("text", "IP Address")[2]

        # Up while the simulator answers, down when it stops, up again when
        # it is back and the watchdog has reconnected.
        wait_for(LINK_UP, lambda: description() == LINK_UP)
        self.session.stop_sim()
        wait_for(LINK_DOWN, lambda: description() == LINK_DOWN)
        self.session.start_sim()
        wait_for(LINK_UP + " again", lambda: description() == LINK_UP)


def main():
    if os.environ.get("QUILLON_ATSPI_SESSION") != "1":
        missing = missing_tools()
        if missing:
            print("test_atspi: SKIP: missing " + ", ".join(missing))
            sys.exit(SKIP)
        # A session bus of our own; the marker tells the re-run from the first.
        env = dict(os.environ)
        env["QUILLON_ATSPI_SESSION"] = "1"
        os.execvpe("dbus-run-session",
                   ["dbus-run-session", "--", sys.executable, "-B", os.path.abspath(__file__)]
                   + sys.argv[1:], env)
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
