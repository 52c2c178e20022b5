"""Faults of the network path, with the real binary: an instrument that
refuses, one that never answers, an address with no route and address text
that names no host. Each case checks the indicator, that the panel keeps
trying without a crash, and that it finds the instrument once there is one."""

import signal
import socket
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402
from harness import (DEFAULT_ADDRESS, LIGHT_RED, PORT, TXTIP_BOX, WHITE, E2ETestCase,
                     connect_sequence, tcp_counters, tcp_sockets, wait_for)

WATCHDOG_S = 2.5
ATTEMPT_S = 5.0  # the client gives up on an attempt nobody answers
SLACK_S = 1.5
# The link's trace names each attempt ("connect to ...") on standard error.
TRACE = {"QT_LOGGING_RULES": "quillon.link.debug=true"}


def attempts(panel):
    return panel.output().count("quillon.link: connect to ")


class NetworkFaultsTest(E2ETestCase):
    def start_panel_at(self, address):
        harness.write_hive_values(self.session.hive_path, {"IP Address": address})
        panel = self.session.start_panel(extra_env=TRACE)
        panel.window()
        panel.wait_address_box(LIGHT_RED, 5)
        return panel

    def assert_still_down(self, panel):
        self.assertTrue(panel.running(), panel.output())
        self.assertEqual(panel.address_box_colour(), LIGHT_RED)

    def test_proxy_set_for_the_desktop_does_not_carry_the_link(self):
        """A web proxy named in the environment, as on machines behind a
        site's firewall, is for browsers: the panel still reaches the
        instrument itself. The proxies named here listen nowhere, so a link
        sent through one of them would never connect."""
        nowhere = "127.0.0.1:9"
        proxies = {"http_proxy": "http://" + nowhere, "https_proxy": "http://" + nowhere,
                   "all_proxy": "socks5://" + nowhere}
        # An exception list inherited from the runner, which often names
        # loopback, would let the link pass even through a panel that obeys
        # the proxies.
        proxies["no_proxy"] = None
        proxies.update({name.upper(): value for name, value in proxies.items()})
        sim = self.session.start_sim()
        self.session.start_panel(extra_env=proxies).window()
        sim.wait_commands(connect_sequence(), 10)

    def test_refused_attempts_repeat_each_watchdog_period(self):
        refusing = self.session.start_sim("--refuse", name="refusing")
        panel = self.start_panel_at(DEFAULT_ADDRESS)
        # Over three periods, three attempts are due. Refusals reach no
        # listener; the namespace's own counters show that each attempt really
        # went out (Qt's socket engine asks the kernel a second time after a
        # refusal, which sends a second SYN: up to two each).
        before, tried = tcp_counters(), attempts(panel)
        time.sleep(3 * WATCHDOG_S)
        after, tried = tcp_counters(), attempts(panel) - tried
        self.assertGreaterEqual(tried, 2, "the watchdog stopped retrying")
        self.assertLessEqual(tried, 4, "attempts come faster than one a period")
        syns = after["ActiveOpens"] - before["ActiveOpens"]
        self.assertGreaterEqual(syns, tried - 1, "attempts that never reached the network")
        self.assertLessEqual(syns, 2 * tried + 2, panel.output())
        self.assertEqual(after["AttemptFails"] - before["AttemptFails"], syns)
        self.assert_still_down(panel)

        refusing.stop()
        sim = self.session.start_sim()
        sim.wait_commands(connect_sequence(), WATCHDOG_S + SLACK_S)
        self.assertEqual(sim.commands(), connect_sequence())
        panel.wait_address_box(WHITE, 5)

    def test_black_holed_attempt_is_given_up_and_retried(self):
        # No answer at all: a listener whose accept queue is full and never
        # served drops every further SYN, as a host that has gone away would.
        address = "10.9.9.9"
        remote = "%s:%d" % (address, PORT)
        hole = socket.socket()
        hole.bind((address, PORT))
        hole.listen(0)
        fillers = []
        for _ in range(2):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex((address, PORT))
            fillers.append(filler)
        time.sleep(0.2)
        filler_ports = {f.getsockname()[1] for f in fillers}
        try:
            panel = self.start_panel_at(address)
            seen = {}  # local port of each of the panel's attempts: [first, last] seen

            def two_attempts_seen():
                now = time.monotonic()
                for port, _, _ in tcp_sockets("02", remote):
                    if port not in filler_ports:
                        seen.setdefault(port, [now, now])[1] = now
                return len(seen) >= 2
            wait_for("a second attempt", two_attempts_seen,
                     2 + ATTEMPT_S + WATCHDOG_S + SLACK_S, interval=0.1)
            first, second = sorted(seen.values())
            # The first attempt waits for its answer for about five seconds;
            # the retry comes at a watchdog tick after it was given up.
            self.assertGreater(first[1] - first[0], ATTEMPT_S - 1.5, seen)
            self.assertLess(first[1] - first[0], ATTEMPT_S + SLACK_S, seen)
            self.assertGreater(second[0], first[1], "one attempt at a time: %s" % seen)
            self.assertLess(second[0] - first[1], WATCHDOG_S + SLACK_S, seen)
            self.assert_still_down(panel)
        finally:
            for s in fillers + [hole]:
                s.close()

        # The host answers again: the attempt under way or the next one finds it.
        sim = self.session.start_sim(address=address)
        sim.wait_commands(connect_sequence(), ATTEMPT_S + WATCHDOG_S + SLACK_S)
        panel.wait_address_box(WHITE, 5)

    def test_unreachable_address_is_retried_until_a_route_appears(self):
        address = "10.9.9.10"
        harness.ip("route", "add", "unreachable", address + "/32", "table", "local")
        panel = self.start_panel_at(address)
        time.sleep(2 * WATCHDOG_S)  # attempts fail at once, each period
        self.assert_still_down(panel)
        self.assertGreaterEqual(attempts(panel), 2, "the watchdog stopped retrying")

        harness.ip("route", "del", "unreachable", address + "/32", "table", "local")
        sim = self.session.start_sim(address=address)
        sim.wait_commands(connect_sequence(), WATCHDOG_S + SLACK_S)
        panel.wait_address_box(WHITE, 5)

    def test_address_text_that_is_no_host(self):
        text = "not a host!"
        sim = self.session.start_sim()
        before = tcp_counters()
        panel = self.start_panel_at(text)
        time.sleep(2 * WATCHDOG_S)
        self.assert_still_down(panel)
        self.assertEqual(tcp_counters()["ActiveOpens"], before["ActiveOpens"],
                         "no connection is attempted to a name that resolves to nothing")
        self.assertEqual(sim.connections(), 0)
        self.assertGreaterEqual(attempts(panel), 2, "the watchdog stopped retrying")

        # The operator types the right address: the next tick uses it.
        panel.type_into(TXTIP_BOX, DEFAULT_ADDRESS)
        sim.wait_commands(connect_sequence(), WATCHDOG_S + SLACK_S)
        panel.wait_address_box(WHITE, 5)
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        self.assertEqual(self.session.settings()["IP Address"], DEFAULT_ADDRESS)

    def test_address_text_that_is_no_host_is_kept(self):
        # Nothing is lost: the text the operator saved comes back as it was.
        text = "not a host!"
        panel = self.start_panel_at(text)
        panel.signal(signal.SIGTERM)
        self.assertEqual(panel.wait_exit(10), 0, panel.output())
        self.assertEqual(self.session.settings()["IP Address"], text)


if __name__ == "__main__":
    harness.main()
