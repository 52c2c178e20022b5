"""End-to-end harness: the real quillon binary against quillon-sim, under Xvfb.

Every test runs inside a private network namespace (scripts/netns-run) in
which the private address ranges are routed to loopback, so the panel's
default address reaches the simulator started here and nothing else. A test
file run directly re-runs itself through scripts/netns-run.

A Session owns one temporary folder, one Xvfb display and every process it
starts; closing it stops them all, whatever happened. Every wait polls with a
short sleep and has a deadline: these tests drive real processes, so there is
no signal to wait on.

The Windows panel runs the same way under Wine (class Wine), against the
same Linux quillon-sim (test_windows.py, run by scripts/test-windows).

Environment:
  QUILLON_BIN, QUILLON_SIM_BIN   the binaries (CTest passes them)
  QUILLON_EXE, QUILLON_INSTALLER the Windows panel and its installer
                                 (scripts/test-windows passes them)
  QUILLON_E2E_KEEP=1             keep each session's folder (logs, hive, record)
  QUILLON_UPDATE_SCREENSHOT=1    test_window rewrites docs/screenshot.png
"""

import ctypes
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
NETNS_RUN = os.path.join(REPO, "scripts", "netns-run")

CAPTION = "Quillon Test"
DEFAULT_ADDRESS = "192.168.1.100"
PORT = 1111
KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell\\Quillon"

# The address box's two colours: the link indicator.
LIGHT_RED = (255, 192, 192)
WHITE = (255, 255, 255)

TWIPS_PER_PIXEL = 15
# The address box inside the window's client area, in pixels: Frame1 at
# (120, 120) twips, txtIP at (240, 240) inside it, 1455 x 375 twips.
TXTIP_BOX = ((120 + 240) // 15, (120 + 240) // 15, 1455 // 15, 375 // 15)
# The frequency and system-clock boxes and the two prescaler lists, likewise.
TXTFREQ_BOX = ((105 + 240) // 15, (1050 + 240) // 15, 1200 // 15, 375 // 15)
TXTSYSCLK_BOX = ((105 + 240) // 15, (2520 + 240) // 15, 1200 // 15, 375 // 15)
CMBDDS_BOX = ((2880 + 240) // 15, (3120 + 300) // 15, 975 // 15, 315 // 15)
CMBROSA_BOX = ((2880 + 240) // 15, (3960 + 300) // 15, 975 // 15, 315 // 15)
CLIENT_SIZE = (4560 // 15, 4785 // 15)

# What every connect sends with the start-up defaults (DDS "÷2", ROSA "÷16",
# the charge-pump lists at "X20", "X2", "X1").
HEARTBEAT = "7F"


def connect_sequence(rosa_index=1, dds_divider=2):
    return ["A0 01", "A6 03", "A9 61 00", "B0 %02X" % rosa_index, "A8 %02X" % dds_divider,
            "AF 01", "A3 00"]


def tuning_word_message(frequency_mhz, clock_mhz, slot=0):
    """SetTuningWord as the panel computes it: floor(A / (H / 2^32))."""
    word = int((abs(frequency_mhz) * 1e6) // ((clock_mhz * 1e6) / 4294967296.0))
    return "A5 %02X " % slot + " ".join("%02X" % b for b in struct.pack("<I", word))


# ---------------------------------------------------------------------------
# Running a test file


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


def in_private_network():
    """True when this process sees loopback alone and the panel's default
    address is local: the namespace that scripts/netns-run makes."""
    with open("/proc/self/net/dev") as dev:
        interfaces = [line.split(":")[0].strip() for line in dev.readlines()[2:]]
    if interfaces != ["lo"]:
        return False
    routes = subprocess.run(["ip", "route", "show", "table", "local"], capture_output=True,
                            text=True).stdout
    return "192.168.0.0/16" in routes and "10.0.0.0/8" in routes


# ---------------------------------------------------------------------------
# Waiting


class Timeout(AssertionError):
    pass


def wait_for(what, predicate, timeout, interval=0.05):
    """Polls predicate until it returns something true, and returns that;
    raises Timeout naming `what` when the deadline passes."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise Timeout("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def _die_with_parent():
    # A child that outlives a harness killed outright would hold the display
    # or the port; the kernel ends it when the harness goes.
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)


# ---------------------------------------------------------------------------
# Images


class Image:
    """An RGB picture, as `import` writes it in PPM form."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    @classmethod
    def from_ppm(cls, blob):
        # P6 <w> <h> <max>\n<data>; comments are allowed between the fields.
        fields, pos = [], 0
        while len(fields) < 4:
            while blob[pos:pos + 1].isspace():
                pos += 1
            if blob[pos:pos + 1] == b"#":
                pos = blob.index(b"\n", pos) + 1
                continue
            end = pos
            while not blob[end:end + 1].isspace():
                end += 1
            fields.append(blob[pos:end])
            pos = end
        pos += 1
        if fields[0] != b"P6":
            raise ValueError("not a binary PPM: %r" % fields[0])
        width, height, maximum = int(fields[1]), int(fields[2]), int(fields[3])
        data = blob[pos:]
        if maximum > 255:  # 16 bits a sample, big-endian: keep the high byte
            data = data[0::2]
        return cls(width, height, bytes(data[:width * height * 3]))

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def crop(self, x, y, width, height):
        x0, y0 = max(0, x), max(0, y)
        x1, y1 = min(self.width, x + width), min(self.height, y + height)
        rows = [self.data[(row * self.width + x0) * 3:(row * self.width + x1) * 3]
                for row in range(y0, y1)]
        return Image(x1 - x0, y1 - y0, b"".join(rows))

    def commonest(self, x, y, width, height):
        """The colour most pixels of the rectangle have (text and borders
        inside it are outnumbered by the background)."""
        counts = {}
        for row in range(y, y + height):
            for column in range(x, x + width):
                colour = self.pixel(column, row)
                counts[colour] = counts.get(colour, 0) + 1
        return max(counts.items(), key=lambda item: item[1])[0]

    def png(self):
        def chunk(kind, payload):
            return (struct.pack(">I", len(payload)) + kind + payload +
                    struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))

        stride = self.width * 3
        raw = b"".join(b"\x00" + self.data[row * stride:(row + 1) * stride]
                       for row in range(self.height))
        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------------------
# The settings hive (REGEDIT4 text)


def parse_hive(text):
    """{key path: {value name: value}}; strings as str, dword as int, other
    types as (type, bytes). Names are kept as spelled."""
    keys, current = {}, None
    lines = text.splitlines()
    if not lines or lines[0].strip() != "REGEDIT4":
        raise ValueError("hive does not start with REGEDIT4: %r" % text[:40])
    pending = ""
    for line in lines[1:]:
        line = pending + line.strip()
        pending = ""
        if line.endswith("\\") and not line.endswith('"'):
            pending = line[:-1]  # a hex value continued on the next line
            continue
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        match = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        if not match or current is None:
            raise ValueError("unreadable hive line: %r" % line)
        name = "" if match.group(1) == "@" else _unescape(match.group(2))
        data = match.group(3)
        if data.startswith('"') and data.endswith('"'):
            current[name] = _unescape(data[1:-1])
        elif data.startswith("dword:"):
            current[name] = int(data[6:], 16)
        else:
            kind, _, hexes = data.partition(":")
            current[name] = (kind, bytes(int(h, 16) for h in hexes.split(",") if h))
    return keys


def _unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


# ---------------------------------------------------------------------------
# Processes


class Process:
    """One started program, with its output in a log file."""

    def __init__(self, name, argv, env, log_path):
        self.name, self.argv, self.log_path = name, argv, log_path
        self.log = open(log_path, "wb")
        self.popen = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=self.log,
                                      stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        self.started = time.monotonic()

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def output(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace")

    def wait_exit(self, timeout):
        """The exit status; Timeout when it is still running at the deadline."""
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Timeout("%s still running after %.1f s" % (self.name, timeout)) from None

    def signal(self, number):
        if self.running():
            self.popen.send_signal(number)

    def stop(self, timeout=10):
        """SIGTERM, then SIGKILL after `timeout`; returns the exit status."""
        if self.running():
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait(timeout=10)
        self.log.close()
        return self.popen.returncode


def _listening(port):
    """True when a TCP socket of this namespace listens on `port` (read from
    /proc, so that looking does not make a connection the simulator would
    count)."""
    for table in ("/proc/self/net/tcp", "/proc/self/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.readlines()[1:]
        except FileNotFoundError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


class Sim(Process):
    """quillon-sim, recording what it receives; or, given `wine` and `exe`,
    the Windows quillon-sim.exe under Wine (which reads the record's path as
    one on its drive Z:, the host's root)."""

    def __init__(self, session, name, address, args, wine=None, exe=None):
        self.record_path = os.path.join(session.dir, name + ".record")
        argv = [os.environ["QUILLON_SIM_BIN"]]
        env = session.env()
        if wine is not None:
            argv, env = [wine.program, exe], wine.env(env)
        argv += ["--listen", address, "--port", str(PORT), "--record", self.record_path]
        argv += list(args)
        super().__init__(name, argv, env, os.path.join(session.dir, name + ".log"))
        refusing = "--refuse" in args or "--refuse-for" in args
        wait_for("%s to be ready" % name,
                 lambda: (("refusing on" if refusing else "listening on") in self.output()
                          or not self.running()), 10 if wine is None else 60)
        if not self.running():
            raise AssertionError("%s ended at start:\n%s" % (name, self.output()))

    def messages(self):
        """[(ms since the simulator started, "A5 00 ...")], in arrival order."""
        try:
            with open(self.record_path) as record:
                text = record.read()
        except FileNotFoundError:
            return []
        out = []
        for line in text.splitlines():
            ms, _, hexes = line.partition(" ")
            if hexes:
                out.append((float(ms), hexes.strip()))
        return out

    def commands(self):
        """The messages other than the heartbeat, without their times."""
        return [m for _, m in self.messages() if m != HEARTBEAT]

    def heartbeat_times(self):
        return [t for t, m in self.messages() if m == HEARTBEAT]

    def connections(self):
        return self.output().count("-- client connected from")

    def wait_commands(self, expected, timeout, what=None):
        """Waits until the non-heartbeat messages contain `expected` as one
        consecutive run; returns the index where it starts."""
        def find():
            got = self.commands()
            for i in range(len(got) - len(expected) + 1):
                if got[i:i + len(expected)] == expected:
                    return i + 1  # true even at index 0
            return 0
        try:
            return wait_for(what or " ".join(expected), find, timeout) - 1
        except Timeout as timeout_error:
            raise Timeout("%s; received: %s" % (timeout_error, self.commands())) from None


class Panel(Process):
    """The real quillon binary, with the session's hive and lock folder; or,
    given `wine` and `exe`, the Windows panel under Wine."""

    def __init__(self, session, name, extra_env=None, prefix=(), wine=None, exe=None):
        env = session.env()
        if wine is None:
            argv = [os.environ["QUILLON_BIN"]]
        else:
            env = wine.env(env)
            argv = [wine.program, exe or os.environ["QUILLON_EXE"]]
        env.update(extra_env or {})
        # `prefix` runs the panel through another program that execs it, such
        # as setpriv as another user, so that the pid is still the panel's.
        super().__init__(name, list(prefix) + argv, env, os.path.join(session.dir, name + ".log"))
        self.session = session
        self.wine = wine
        self._window = None
        self._lists_ready = False

    def find_windows(self):
        # --all: every condition must hold (xdotool's default is any).
        out = self.session.xdotool("search", "--all", "--onlyvisible", "--pid", str(self.pid),
                                   "--name", "^%s$" % re.escape(CAPTION))
        return [int(w) for w in out.split()]

    def window(self, timeout=20):
        """The id of the panel's visible window named "Quillon Test"."""
        if self._window is None:
            def found():
                if not self.running():
                    raise AssertionError("%s ended before showing a window:\n%s"
                                         % (self.name, self.output()))
                windows = self.find_windows()
                return windows[0] if windows else None
            self._window = wait_for("the window of %s" % self.name, found, timeout)
        return self._window

    def geometry(self):
        """(x, y, width, height) of the window's client area on the screen.
        There is no window manager under bare Xvfb, so these are the window's
        own X position and size."""
        out = self.session.xdotool("getwindowgeometry", "--shell", str(self.window()))
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def screenshot(self):
        x, y, width, height = self.geometry()
        return self.session.screenshot().crop(x, y, width, height)

    def address_box_colour(self):
        """The background of txtIP, sampled at its right end where the
        address's text does not reach."""
        left, top, width, height = TXTIP_BOX
        return self.screenshot().commonest(left + width - 16, top + 5, 10, height - 10)

    def wait_address_box(self, colour, timeout):
        return wait_for("the address box to turn %s" % (colour,),
                        lambda: self.address_box_colour() == colour, timeout, interval=0.2)

    def focus(self):
        """Gives the window the keyboard focus with the X server's own focus
        request: there is no window manager to activate it."""
        wid = str(self.window())
        self.session.xdotool("windowfocus", wid)
        wait_for("the window to take the focus",
                 lambda: self.session.xdotool("getwindowfocus").strip() == wid, 5)

    def click(self, box):
        """A real mouse click in the middle of a control's box (client pixels)."""
        x, y, _, _ = self.geometry()
        left, top, width, height = box
        self.session.xdotool("mousemove", str(x + left + width // 2),
                             str(y + top + height // 2))
        self.session.xdotool("click", "1")

    def type_into(self, box, text, enter=False):
        """Clicks into a text box, selects all, types `text`, optionally Enter."""
        self.focus()
        self.click(box)
        self.session.xdotool("key", "--clearmodifiers", "ctrl+a")
        self.session.xdotool("type", "--delay", "40", "--", text)
        if enter:
            self.session.xdotool("key", "Return")

    def pick(self, box, position):
        """Opens a list with a click and picks the entry at `position` with the
        keyboard: Home, Down `position` times, Return."""
        def closed():
            return len(self.visible_windows()) == 1

        if self.wine is not None and not self._lists_ready:
            # Under Wine a panel built with Qt 6.8 loses its first list: as
            # Qt's Windows style first paints one, it makes a helper window
            # top-level, and Wine gives that window the focus, which closes
            # the list, sometimes only after it was seen open. So one list is
            # opened and closed first, until that window is there (a Qt that
            # keeps it a message-only window shows none).
            self.focus()
            self.click(box)
            try:
                wait_for("Qt's theme helper window", self.has_theme_helper, 3)
            except Timeout:
                pass
            if not closed():
                self.session.xdotool("key", "Escape")
            wait_for("the drop-down list to close", closed, 5)
            self._lists_ready = True
        self.focus()
        self.click(box)
        # The drop-down is a window of its own, which grabs the keyboard.
        wait_for("the drop-down list to open", lambda: not closed(), 5)
        keys = ["Home"] + ["Down"] * position + ["Return"]
        self.session.xdotool("key", "--delay", "60", *keys)
        wait_for("the drop-down list to close", closed, 5)

    def has_theme_helper(self):
        return bool(self.session.xdotool("search", "--pid", str(self.pid), "--name",
                                         "^QTreeViewThemeHelperWindow$").split())

    def visible_windows(self):
        out = self.session.xdotool("search", "--onlyvisible", "--pid", str(self.pid))
        return out.split()

    def close_by_keyboard(self):
        """Alt+F4 to the focused window, as an operator closes it."""
        self.focus()
        self.session.xdotool("key", "--clearmodifiers", "alt+F4")


class Session:
    """One Xvfb display, one temporary folder and the processes of a test."""

    def __init__(self, test_name="e2e"):
        self.dir = tempfile.mkdtemp(prefix="quillon-%s-" % test_name)
        self.hive_path = os.path.join(self.dir, "registry.reg")
        for sub in ("home", "home/.config", "run"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        os.chmod(os.path.join(self.dir, "run"), 0o700)
        self.processes = []
        self.display = None
        self.xvfb = None
        self._start_display()

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
        if self.display is not None:
            env["DISPLAY"] = ":%d" % self.display
        return env

    def _start_display(self):
        read_end, write_end = os.pipe()
        log = open(os.path.join(self.dir, "xvfb.log"), "wb")
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", "-noreset", "-ac"], stdin=subprocess.DEVNULL, stdout=log,
            stderr=subprocess.STDOUT, pass_fds=(write_end,), preexec_fn=_die_with_parent)
        os.close(write_end)
        text = b""
        deadline = time.monotonic() + 15
        while not text.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([read_end], [], [], max(0, remaining))
            if not ready:
                break
            chunk = os.read(read_end, 64)
            if not chunk:
                break
            text += chunk
        os.close(read_end)
        log.close()
        if not text.strip().isdigit():
            self.close()
            raise AssertionError("Xvfb did not start")
        self.display = int(text)

    # -- tools -------------------------------------------------------------

    def xdotool(self, *args, timeout=10):
        result = subprocess.run(["xdotool"] + list(args), env=self.env(), capture_output=True,
                                text=True, timeout=timeout)
        if result.returncode != 0 and args[0] not in ("search",):
            raise AssertionError("xdotool %s failed: %s" % (" ".join(args), result.stderr))
        return result.stdout

    def keyboard_layout(self, layout):
        """Gives the display the keyboard layout `layout` (such as "de"), so
        that characters of that layout are keys of their own. Without it,
        xdotool maps a character that no key carries only for the moment it
        types it, and a program that lags behind the keymap change (Wine under
        load) drops the character. Call it before the program starts."""
        subprocess.run(["setxkbmap", "-display", ":%d" % self.display, layout],
                       env=self.env(), check=True)

    def screenshot(self):
        blob = subprocess.run(["import", "-display", ":%d" % self.display, "-window", "root",
                               "-depth", "8", "ppm:-"], env=self.env(), capture_output=True,
                              timeout=20, check=True).stdout
        return Image.from_ppm(blob)

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
            with open(self.hive_path, encoding="utf-8") as hive:
                return hive.read()
        except FileNotFoundError:
            return None

    def settings(self):
        """The values under the panel's key, {} when there is no hive."""
        text = self.hive_text()
        return parse_hive(text).get(KEY, {}) if text else {}

    def write_hive(self, values):
        lines = ["REGEDIT4", "", "[%s]" % KEY]
        for name, value in values.items():
            lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
        with open(self.hive_path, "w", encoding="utf-8") as hive:
            hive.write("\n".join(lines) + "\n")

    def hive_fingerprint(self):
        """What a write would change: content, inode (files are replaced
        whole) and modification time; None when there is no hive."""
        try:
            st = os.stat(self.hive_path)
        except FileNotFoundError:
            return None
        with open(self.hive_path, "rb") as hive:
            return (hive.read(), st.st_ino, st.st_mtime_ns)

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
        if self.xvfb is not None and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
        if os.environ.get("QUILLON_E2E_KEEP") == "1":
            print("kept %s" % self.dir, file=sys.stderr)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)
        return reports


class E2ETestCase(unittest.TestCase):
    """A test case with a fresh Session per test, closed however it ends; on
    failure the programs' output is printed."""

    def setUp(self):
        self.session = Session(self.id().rsplit(".", 1)[-1])
        self.addCleanup(self._finish)

    def _finish(self):
        outcome = getattr(self, "_outcome", None)
        failed = outcome is not None and not getattr(outcome, "success", True)
        if failed:
            print("\n" + self.session.logs(), file=sys.stderr)
        reports = self.session.close()
        if reports:
            self.fail("sanitizer reports:\n" + "\n".join(reports))


# ---------------------------------------------------------------------------
# Faults: what the fault-matrix tests add (test_faults_*.py)


def tcp_counters():
    """This network namespace's TCP counters from /proc/net/snmp, such as
    ActiveOpens (connect() calls that sent a SYN) and AttemptFails. They count
    connection attempts that no listener ever sees, refused ones included."""
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Tcp:")]
    return {name: int(value) for name, value in zip(rows[0][1:], rows[1][1:])}


def tcp_sockets(state=None, remote=None):
    """[(local port, remote "a.b.c.d:port", state hex)] of this namespace's
    IPv4 TCP sockets, optionally only those in `state` ("02" is SYN_SENT) or
    to `remote`."""
    out = []
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            local, peer, st = fields[1], fields[2], fields[3]
            host, port = peer.split(":")
            address = ".".join(str(b) for b in reversed(bytes.fromhex(host)))
            peer_text = "%s:%d" % (address, int(port, 16))
            if (state is None or st == state) and (remote is None or peer_text == remote):
                out.append((int(local.split(":")[1], 16), peer_text, st))
    return out


def ip(*args):
    """Runs `ip` inside this (private) namespace; raises when it fails."""
    result = subprocess.run(["ip"] + list(args), capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError("ip %s failed: %s" % (" ".join(args), result.stderr.strip()))


def write_hive_values(path, values, key=KEY):
    """A hive file holding `values` (name: text) under the panel's key."""
    lines = ["REGEDIT4", "", "[%s]" % key]
    for name, value in values.items():
        lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
    with open(path, "w", encoding="utf-8") as hive:
        hive.write("\n".join(lines) + "\n")


def update_messages(text_mhz="12.34", clock_mhz=983.04):
    """The three messages of an Update without zero start."""
    sign = "00" if float(text_mhz) > 0 else "01"
    return [tuning_word_message(float(text_mhz), clock_mhz), "A2", "A7 " + sign]


def split_connections(messages):
    """The non-heartbeat messages split where each connect sequence begins
    ("A0 01" is sent nowhere else)."""
    parts = []
    for message in messages:
        if message == "A0 01" or not parts:
            parts.append([])
        parts[-1].append(message)
    return parts


# ---------------------------------------------------------------------------
# Wine: the Windows panel (test_windows.py)


def wine_program():
    """Wine's loader; Debian's wine64 package puts it outside PATH."""
    for candidate in ("wine64", "wine"):
        path = shutil.which(candidate)
        if path:
            return path
    return "/usr/lib/wine/wine64"


class Wine:
    """One Wine prefix in a temporary folder, its registry and C: drive shared
    by the tests of a file: making it (wineboot) is the slow part. Each test
    ends with stop_server(), so that the next one starts Wine afresh on its
    own display. No Mono or Gecko dialogs, no menu entries on the host."""

    def __init__(self):
        self.program = wine_program()
        self.server = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        self.prefix = tempfile.mkdtemp(prefix="quillon-wine-")
        # Made without a display: nothing of it needs one.
        env = self.env(os.environ)
        env.pop("DISPLAY", None)
        result = subprocess.run([self.program, "wineboot", "--init"], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
        if result.returncode != 0:
            raise AssertionError("wineboot failed: %s" % result.stderr.decode(errors="replace"))
        self.stop_server()

    def env(self, base):
        env = dict(base)
        # Debian's Wine finds a prefix's server through a folder under
        # $TMPDIR, or /tmp without it: every call for this prefix must look
        # in the same place, whatever TMPDIR the session gives its programs.
        # It is left unset, because Debian 13's wineserver (10.0) aborts with
        # "free(): invalid pointer" whenever TMPDIR is set at all.
        env.pop("TMPDIR", None)
        env.update({
            # Wine takes the ANSI code page from the locale, and wineboot
            # records it in the registry: the same for every program of the
            # prefix, and the one the session gives its programs.
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree=;mshtml=;winemenubuilder.exe=d",
        })
        return env

    def run(self, session, *args, timeout=120):
        """Runs a Windows program to its end on the session's display;
        returns (status, output)."""
        # Into a file, not a pipe: the Wine services that the program may
        # start outlive it while the server is kept, holding what it had open.
        with tempfile.TemporaryFile() as output:
            status = subprocess.run([self.program] + list(args), env=self.env(session.env()),
                                    stdin=subprocess.DEVNULL, stdout=output,
                                    stderr=subprocess.STDOUT, timeout=timeout).returncode
            output.seek(0)
            return status, output.read().decode(errors="replace")

    def drive_c(self, *parts):
        """The host path of C:\\<parts>."""
        return os.path.join(self.prefix, "drive_c", *parts)

    def registry(self, key):
        """{value name: value} under `key` ("HKEY_LOCAL_MACHINE\\..."), as
        Wine keeps it in the prefix's system.reg; {} when there is no such
        key. Stops Wine first, which writes the registry out. Texts are the
        Unicode that the registry holds: Wine made them from what a program
        passed to an ANSI entry point, in the ANSI code page. (Wine's regedit
        would export a text stored without its terminating zero one
        character short, as the panel stores its texts.)"""
        root, _, path = key.partition("\\")
        if root.upper() not in ("HKEY_LOCAL_MACHINE", "HKLM"):
            raise ValueError("only HKEY_LOCAL_MACHINE is in system.reg: %s" % key)
        self.stop_server()
        with open(os.path.join(self.prefix, "system.reg"), encoding="ascii") as f:
            keys = parse_wine_registry(f.read())
        return keys.get(_wine_resolve_links(keys, path.lower()), {})

    def wait_idle(self, timeout):
        """Waits until every program of the prefix has ended and the server
        with them: a program that outlives the one Wine started (such as an
        uninstaller's copy of itself) has then done its work."""
        subprocess.run([self.server, "-w"], env=self.env(os.environ), capture_output=True,
                       timeout=timeout)

    def keep_server(self):
        """(Re)starts the prefix's server to run until stop_server(), however
        long no program runs: Wine forgets a key's access rules with it."""
        self.stop_server()
        subprocess.run([self.server, "-p"], env=self.env(os.environ), check=True, timeout=30)

    def query(self, session, key):
        """{value name: text} under `key`, read by Wine's reg, with the server
        (and the key's access rules) left running; {} without the key."""
        values = {}
        for line in self.run(session, "reg", "query", key)[1].splitlines():
            if line.startswith("    "):
                name, _, text = (line[4:].rstrip("\r").split("    ", 2) + [""])[:3]
                values[name] = text
        return values

    def key_security(self, session, key, sddl=None):
        """The access rules of HKEY_LOCAL_MACHINE\\`key` as SDDL ("D:..."), or
        replaces them with `sddl` (tests/windows/keysecurity.cpp)."""
        status, output = self.run(session, os.environ["QUILLON_KEYSECURITY"], key,
                                  *([sddl] if sddl else []))
        if status != 0:
            raise AssertionError("keysecurity %s: %s" % (key, output))
        return output.strip()

    def stop_server(self):
        """Ends every program of the prefix and its server, which writes the
        registry to disk as it goes."""
        env = self.env(os.environ)
        subprocess.run([self.server, "-k"], env=env, capture_output=True, timeout=30)
        subprocess.run([self.server, "-w"], env=env, capture_output=True, timeout=60)

    def close(self):
        self.stop_server()
        if os.environ.get("QUILLON_E2E_KEEP") == "1":
            print("kept %s" % self.prefix, file=sys.stderr)
        else:
            shutil.rmtree(self.prefix, ignore_errors=True)


def parse_wine_registry(text):
    """{key path in lower case: {value name: value}} of one of Wine's
    registry files: texts as str, dwords as int, anything else as (type,
    bytes). A text stored without its terminating zero is saved as hex(1)
    and comes back as str too."""
    keys, current, pending = {}, None, ""
    for line in text.splitlines():
        line = pending + line.strip()
        pending = ""
        if line.endswith("\\") and not line.endswith('"'):
            pending = line[:-1]
            continue
        if line.startswith("["):
            end = line.index("]")
            current = keys.setdefault(_wine_unescape(line[1:end]).lower(), {})
            continue
        if current is None or not line or line[0] not in '"@':
            continue  # the header, #time=, #link and the like
        if line[0] == "@":
            name, rest = "", line[2:]
        else:
            match = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
            if not match:
                raise ValueError("unreadable registry line: %r" % line)
            name, rest = _wine_unescape(match.group(1)), match.group(2)
        if rest.startswith('"'):
            current[name] = _wine_unescape(rest[1:-1])
        elif rest.startswith("str("):
            current[name] = _wine_unescape(rest[rest.index(":") + 2:-1])
        elif rest.startswith("dword:"):
            current[name] = int(rest[6:], 16)
        else:
            kind, _, hexes = rest.partition(":")
            data = bytes(int(h, 16) for h in hexes.split(",") if h)
            current[name] = (data.decode("utf-16-le").rstrip("\0") if kind == "hex(1)"
                             else (kind, data))
    return keys


def _wine_resolve_links(keys, path):
    """`path` (in lower case) with a key on it that is a link replaced by the
    link's target, as Wine 10 keeps System\\CurrentControlSet: a link to
    System\\ControlSet001."""
    parts = path.split("\\")
    for n in range(1, len(parts)):
        link = keys.get("\\".join(parts[:n]), {}).get("SymbolicLinkValue")
        if link:
            target = link[1].decode("utf-16-le").rstrip("\0").lower()
            target = target.removeprefix("\\registry\\machine\\")
            return _wine_resolve_links(keys, "\\".join([target] + parts[n:]))
    return path


def _wine_unescape(text):
    """Wine's escapes: \\x and up to four hex digits, up to three octal
    digits, C letters, or the character itself."""
    letters = {"a": "\a", "b": "\b", "t": "\t", "n": "\n", "v": "\v", "f": "\f", "r": "\r",
               "e": "\x1b"}

    def one(match):
        escape = match.group(1)
        if escape[0] == "x":
            return chr(int(escape[1:], 16))
        if escape[0] in "01234567":
            return chr(int(escape, 8))
        return letters.get(escape, escape)

    return re.sub(r"\\(x[0-9a-fA-F]{1,4}|[0-7]{1,3}|.)", one, text)
