"""SIGTERM at awkward moments, with the real binary: while a connection
attempt waits for an answer that never comes, and while an Update's zero
start is armed. The panel ends at once with status 0 and saves its seven
settings; the instrument sees exactly what was sent before."""

import signal
import socket
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (PORT, TXTFREQ_BOX, E2ETestCase, connect_sequence, tcp_sockets,
                     update_messages, wait_for)

SEVEN = {"Left", "Top", "Frequency", "System Clock", "IP Address", "DDS Prescaler",
         "Rosa Prescaler"}
# chkZero inside Frame13: (105 + 210, 1050 + 945) twips, 2055 x 195.
CHKZERO_BOX = ((105 + 210) // 15, (1050 + 945) // 15, 2055 // 15, 195 // 15)
ZERO_START = ["A5 01 AB AA 42 00", "A3 01", "A2"]


class ShutdownFaultsTest(E2ETestCase):
    def test_sigterm_while_connecting(self):
        # A host that never answers (a full accept queue drops every SYN):
        # the attempt is still waiting when SIGTERM comes.
        address = "10.9.9.9"
        hole = socket.socket()
        hole.bind((address, PORT))
        hole.listen(0)
        fillers = [socket.socket() for _ in range(2)]
        for filler in fillers:
            filler.setblocking(False)
            filler.connect_ex((address, PORT))
        time.sleep(0.2)
        filler_ports = {f.getsockname()[1] for f in fillers}
        try:
            harness.write_hive_values(self.session.hive_path, {"IP Address": address,
                                                               "Frequency": "80"})
            panel = self.session.start_panel()
            panel.window()
            remote = "%s:%d" % (address, PORT)
            wait_for("the attempt to be under way", lambda: [
                s for s in tcp_sockets("02", remote) if s[0] not in filler_ports], 5)
            panel.signal(signal.SIGTERM)
            # Well inside the five seconds the attempt would wait.
            self.assertEqual(panel.wait_exit(3), 0, panel.output())
            self.assertEqual([s for s in tcp_sockets("02", remote) if s[0] not in filler_ports],
                             [], "the attempt ended with the panel")
        finally:
            for s in fillers + [hole]:
                s.close()
        values = self.session.settings()
        self.assertEqual(set(values), SEVEN)
        self.assertEqual((values["IP Address"], values["Frequency"]), (address, "80"))

    def test_sigterm_while_the_zero_start_is_armed(self):
        sim = self.session.start_sim()
        panel = self.session.start_panel()
        panel.window()
        sim.wait_commands(connect_sequence(), 10)
        panel.focus()
        panel.click(CHKZERO_BOX)
        panel.click(TXTFREQ_BOX)
        self.session.xdotool("key", "Return")
        # The zero start's messages are out; its tick (SelectSlot 0) is due
        # 500 ms later. SIGTERM comes first.
        sim.wait_commands(update_messages() + ZERO_START, 5)
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        wait_for("the connection to end", lambda: "closed" in sim.output().split(
            "-- client connected")[-1], 5)
        # The link is closed before anything else at shut-down, so the pending
        # tick never sends: the instrument is left on slot 1, as the Update
        # sequence says when the program ends within the 500 ms.
        self.assertEqual(sim.commands(), connect_sequence() + update_messages() + ZERO_START)
        self.assertEqual(set(self.session.settings()), SEVEN)


if __name__ == "__main__":
    harness.main()
