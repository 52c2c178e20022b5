"""The programs a test runs: the panel and the simulator, each with its
output in a log file, and the one way to wait for what they do. Every wait
polls with a short sleep and has a deadline: these tests drive real
processes, so there is no signal to wait on."""

import ctypes
import os
import re
import signal
import subprocess
import time

from .expected import CAPTION, HEARTBEAT, PORT, TXTIP_BOX


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


class Process:
    """One started program, with its output in a log file."""

    def __init__(self, name, argv, env, log_path):
        self.name, self.argv, self.log_path = name, argv, log_path
        # Read back through this handle, so that the output stays readable
        # however long the run and whatever happens to the folder meanwhile.
        self.log = open(log_path, "w+b")
        self.final_output = None
        self.popen = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=self.log,
                                      stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        self.started = time.monotonic()

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def output(self):
        if self.final_output is not None:
            return self.final_output
        self.log.flush()
        # pread leaves alone the offset the program writes at, which it shares.
        size = os.fstat(self.log.fileno()).st_size
        return os.pread(self.log.fileno(), size, 0).decode("utf-8", "replace")

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
        if self.final_output is None:
            self.final_output = self.output()
            self.log.close()
        return self.popen.returncode


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
    """The real quillon binary, with the session's settings file and lock folder; or,
    given `wine` and `exe`, the Windows panel under Wine."""

    def __init__(self, session, name, extra_env=None, prefix=(), wine=None, exe=None):
        env = session.env()
        if wine is None:
            argv = [os.environ["QUILLON_BIN"]]
        else:
            env = wine.env(env)
            argv = [wine.program, exe or os.environ["QUILLON_EXE"]]
        # A value of None removes the variable the panel would inherit.
        extra_env = extra_env or {}
        env.update({key: value for key, value in extra_env.items() if value is not None})
        for key in [key for key, value in extra_env.items() if value is None]:
            env.pop(key, None)
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
        """The window's client area as a PNG picture."""
        return self.session.x11.png(self.geometry())

    def address_box_colour(self):
        """The background of txtIP, sampled at its right end where the
        address's text does not reach."""
        x, y, _, _ = self.geometry()
        left, top, width, height = TXTIP_BOX
        return self.session.x11.commonest_colour((x + left + width - 16, y + top + 5, 10,
                                                   height - 10))

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
