"""The Windows panel under Wine (test_windows.py): one prefix, its server,
its registry and its C: drive."""

import os
import shutil
import subprocess
import sys
import tempfile

from .registry_text import parse_wine_registry


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
        return keys.get(_resolve_links(keys, path.lower()), {})

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
        replaces them with `sddl` (tests/packaging/keysecurity.cpp)."""
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


def _resolve_links(keys, path):
    """`path` (in lower case) with a key on it that is a link replaced by the
    link's target, as Wine 10 keeps System\\CurrentControlSet: a link to
    System\\ControlSet001."""
    parts = path.split("\\")
    for n in range(1, len(parts)):
        link = keys.get("\\".join(parts[:n]), {}).get("SymbolicLinkValue")
        if link:
            target = link[1].decode("utf-16-le").rstrip("\0").lower()
            target = target.removeprefix("\\registry\\machine\\")
            return _resolve_links(keys, "\\".join([target] + parts[n:]))
    return path
