"""The virtual X display a session runs its programs on: Xvfb, real input
through xdotool, and pictures of the screen through ImageMagick's `import`."""

import os
import re
import select
import subprocess
import time


class Display:
    """One Xvfb server of its own, on a display number it picks itself."""

    def __init__(self, log_path, env, preexec_fn=None):
        # `env` is called for the environment of each tool: the session's,
        # with this display in it.
        self._env = env
        self.number = None
        read_end, write_end = os.pipe()
        with open(log_path, "wb") as log:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-noreset", "-ac"], stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT, pass_fds=(write_end,), preexec_fn=preexec_fn)
        os.close(write_end)
        text = b""
        deadline = time.monotonic() + 15
        while not text.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(read_end, 64) if ready else b""
            if not chunk:
                break
            text += chunk
        os.close(read_end)
        if not text.strip().isdigit():
            self.close()
            raise AssertionError("Xvfb did not start")
        self.number = int(text)

    def name(self):
        return ":%d" % self.number

    def xdotool(self, *args, timeout=10):
        result = subprocess.run(["xdotool"] + list(args), env=self._env(), capture_output=True,
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
        subprocess.run(["setxkbmap", "-display", self.name(), layout], env=self._env(),
                       check=True)

    def grab(self, box, *output):
        """Runs `import` on the rectangle `box` (x, y, width, height) of the
        screen, with `output` as the rest of its arguments; returns what it
        writes to standard output."""
        x, y, width, height = box
        return subprocess.run(
            ["import", "-display", self.name(), "-window", "root", "-crop",
             "%dx%d+%d+%d" % (width, height, x, y), "+repage", "-depth", "8"] + list(output),
            env=self._env(), capture_output=True, timeout=20, check=True).stdout

    def png(self, box):
        """The rectangle as a PNG picture."""
        return self.grab(box, "png:-")

    def commonest_colour(self, box):
        """The (r, g, b) most pixels of the rectangle have: text and borders
        inside it are outnumbered by the background."""
        text = self.grab(box, "-format", "%c", "histogram:info:-").decode()
        counts = [(int(m[0]), tuple(int(v) for v in m[1:4]))
                  for m in re.findall(r"^\s*(\d+):\s*\(\s*(\d+),\s*(\d+),\s*(\d+)", text, re.M)]
        return max(counts)[1]

    def close(self):
        if self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()


def png_size(blob):
    """(width, height) of a PNG picture, as ImageMagick reads it."""
    out = subprocess.run(["identify", "-format", "%w %h", "png:-"], input=blob,
                         capture_output=True, check=True).stdout.split()
    return int(out[0]), int(out[1])
