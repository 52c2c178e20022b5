"""The few Xlib calls the benchmarks need, through ctypes: a key event put in
with XTEST, a pixel read from the screen, and the moment a top-level window
is mapped. Spawning xdotool or import for these costs milliseconds of its
own, more than the figures being measured."""

import ctypes
import ctypes.util
import os
import select
import time

_MAP_NOTIFY = 19
_SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
_Z_PIXMAP = 2
_ALL_PLANES = 0xFFFFFFFF
_XK_RETURN = 0xFF0D


def _library(name, soname):
    found = ctypes.util.find_library(name) or soname
    return ctypes.CDLL(found)


class XClient:
    def __init__(self, display):
        self.x11 = _library("X11", "libX11.so.6")
        self.xtst = _library("Xtst", "libXtst.so.6")
        x, p = self.x11, ctypes.c_void_p
        x.XOpenDisplay.restype = p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [p]
        x.XKeysymToKeycode.restype = ctypes.c_ubyte
        x.XKeysymToKeycode.argtypes = [p, ctypes.c_ulong]
        x.XFlush.argtypes = [p]
        x.XSync.argtypes = [p, ctypes.c_int]
        x.XConnectionNumber.argtypes = [p]
        x.XPending.argtypes = [p]
        x.XNextEvent.argtypes = [p, p]
        x.XSelectInput.argtypes = [p, ctypes.c_ulong, ctypes.c_long]
        x.XFetchName.argtypes = [p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
        x.XGetImage.restype = p
        x.XGetImage.argtypes = [p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XGetPixel.restype = ctypes.c_ulong
        x.XGetPixel.argtypes = [p, ctypes.c_int, ctypes.c_int]
        x.XDestroyImage.argtypes = [p]
        x.XSetInputFocus.argtypes = [p, ctypes.c_ulong, ctypes.c_int, ctypes.c_ulong]
        self.xtst.XTestFakeKeyEvent.argtypes = [p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.dpy = x.XOpenDisplay((":%d" % display).encode())
        if not self.dpy:
            raise RuntimeError("cannot open display :%d" % display)
        self.root = x.XDefaultRootWindow(self.dpy)
        self.return_keycode = x.XKeysymToKeycode(self.dpy, _XK_RETURN)

    def key(self, keycode, press):
        """Puts in a key event and returns the steady-clock time (ms) taken
        just before the request leaves for the server."""
        self.xtst.XTestFakeKeyEvent(self.dpy, keycode, 1 if press else 0, 0)
        stamp = time.monotonic() * 1000.0
        self.x11.XFlush(self.dpy)
        return stamp

    def focus(self, window):
        """Gives `window` the keyboard focus (there is no window manager)."""
        self.x11.XSetInputFocus(self.dpy, window, 2, 0)  # RevertToParent, CurrentTime
        self.x11.XSync(self.dpy, 0)

    def pixel(self, x, y):
        """The screen's 0xRRGGBB at root coordinates (x, y)."""
        image = self.x11.XGetImage(self.dpy, self.root, x, y, 1, 1, _ALL_PLANES, _Z_PIXMAP)
        if not image:
            raise RuntimeError("XGetImage failed")
        try:
            return self.x11.XGetPixel(image, 0, 0) & 0xFFFFFF
        finally:
            self.x11.XDestroyImage(image)

    def watch_maps(self):
        """From now on, top-level windows being mapped are reported by
        wait_map()."""
        self.x11.XSelectInput(self.dpy, self.root, _SUBSTRUCTURE_NOTIFY_MASK)
        self.x11.XSync(self.dpy, 0)

    def wait_map(self, caption, timeout):
        """The steady-clock time (ms) at which a top-level window named
        `caption` was seen mapped; None at the deadline."""
        event = ctypes.create_string_buffer(192)
        fd = self.x11.XConnectionNumber(self.dpy)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            while self.x11.XPending(self.dpy):
                self.x11.XNextEvent(self.dpy, event)
                stamp = time.monotonic() * 1000.0
                kind = ctypes.c_int.from_buffer(event, 0).value
                if kind != _MAP_NOTIFY:
                    continue
                window = ctypes.c_ulong.from_buffer(event, 40).value
                name = ctypes.c_char_p()
                if self.x11.XFetchName(self.dpy, window, ctypes.byref(name)) and name.value:
                    if name.value.decode("utf-8", "replace") == caption:
                        return stamp
            select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        return None

    def stop_watching(self):
        self.x11.XSelectInput(self.dpy, self.root, 0)
        self.x11.XSync(self.dpy, 1)  # and drop what was queued


def cpu_seconds(pid):
    """User plus system CPU time of a process so far, from /proc/PID/stat."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def major_faults(pid):
    """Page faults of a process so far that had to read from the disk."""
    with open("/proc/%d/stat" % pid) as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[9])
