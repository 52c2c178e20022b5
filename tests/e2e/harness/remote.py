"""A script's connection to the panel's remote-control port, as README.md
shows one: a socket and its lines; and the identity the panel gives."""

import os
import re
import socket

from .session import REPO

with open(os.path.join(REPO, "CMakeLists.txt")) as top:
    VERSION = re.search(r"project\(\s*\w+\s+VERSION\s+([\d.]+)", top.read()).group(1)
IDN = "Oxwell,Quillon,0," + VERSION


def free_port():
    """A loopback port that was free a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Script:
    def __init__(self, port, host="127.0.0.1"):
        self.socket = socket.create_connection((host, port), timeout=10)
        self.replies = self.socket.makefile("r", encoding="ascii", newline="\n")

    def send(self, line):
        """A line (str, LF added) or raw bytes (bytes, as they are)."""
        self.socket.sendall(line if isinstance(line, bytes) else (line + "\n").encode("ascii"))

    def ask(self, line):
        self.send(line)
        return self.replies.readline().rstrip("\n")

    def closed_by_panel(self):
        """True once the panel has ended the connection (FIN or RST)."""
        try:
            return self.socket.recv(1) == b""
        except ConnectionResetError:
            return True

    def close(self):
        self.replies.close()
        self.socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
