"""The soak's judgements (scripts/soak) on made-up records: how a
connection's bytes are cut and judged, when a heartbeat counts as steady,
and which connections no connect request of their own opened."""

import importlib.machinery
import importlib.util
import os
import sys
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import harness  # noqa: E402

_path = os.path.join(harness.REPO, "scripts", "soak")
_loader = importlib.machinery.SourceFileLoader("soak", _path)
soak = importlib.util.module_from_spec(importlib.util.spec_from_loader("soak", _loader))
_loader.exec_module(soak)

CONNECT = harness.connect_sequence()
FIRST, SECOND = harness.update_messages("12.3455"), harness.update_messages("56.7895")
EXPECTED = {FIRST[0]: (0, FIRST), SECOND[0]: (1, SECOND)}


class SplitMessagesTest(unittest.TestCase):
    def test_bytes_are_cut_by_the_fixed_lengths(self):
        cases = [
            ("heartbeats between messages", "7F A0 01 7F A2", ["7F", "A0 01", "7F", "A2"], b""),
            ("7F inside a tuning word belongs to it", "A5 00 7F 7F 7F 7F 7F",
             ["A5 00 7F 7F 7F 7F", "7F"], b""),
            ("a message cut short by the end", "A0 01 A5 00 7F", ["A0 01"], b"\xa5\x00\x7f"),
            ("a byte that starts no message", "A0 01 55 A2", ["A0 01"],
             "unknown command byte 55 at byte 2"),
        ]
        for name, data, messages, rest in cases:
            with self.subTest(name):
                got, got_rest = soak.split_messages(bytes.fromhex(data))
                self.assertEqual([m for _, m in got], messages)
                self.assertEqual(got_rest, rest)

    def test_a_message_takes_the_time_of_the_chunk_that_completes_it(self):
        conn = soak.Conn(None, 0.0)
        conn.chunks = [(1.0, b"\xa0"), (2.0, b"\x01\x7f"), (3.0, b"\xa5\x00\x11"),
                       (4.0, b"\x22\x33\x44")]
        self.assertEqual(conn.messages(), ([(2.0, "A0 01"), (2.0, "7F"),
                                            (4.0, "A5 00 11 22 33 44")], b""))


class JudgeConnectionTest(unittest.TestCase):
    def test_connect_sequence_then_whole_typed_updates(self):
        never_typed = harness.update_messages("99.9995")
        cases = [
            # name, messages, rest, kinds of the problems, Updates found
            ("no bytes at all", [], b"", [], []),
            ("connect sequence cut short", CONNECT[:3], b"\xb0", [], []),
            ("cut short inside the wrong message", CONNECT[:3], b"\xa8", ["a"], []),
            ("an Update before the connect sequence", FIRST + CONNECT, b"", ["a"], []),
            ("whole Updates", CONNECT + FIRST + SECOND, b"", [],
             [(7, 0, True), (10, 1, True)]),
            ("the last Update cut short", CONNECT + FIRST + SECOND[:1], b"\xa2", [],
             [(7, 0, True), (10, 1, False)]),
            ("the next Update cut inside its word", CONNECT + FIRST, b"\xa5\x00\x12", [],
             [(7, 0, True)]),
            ("an Update cut short, then another", CONNECT + FIRST[:2] + SECOND, b"", ["b"], []),
            ("an Update nobody typed", CONNECT + never_typed, b"", ["b"], []),
            ("the wrong sign", CONNECT + FIRST[:2] + ["A7 01"], b"", ["b"], []),
            ("a message an Update never sends", CONNECT + FIRST + ["A3 01"], b"", ["b"],
             [(7, 0, True)]),
            ("a stray byte after an Update", CONNECT + FIRST, b"\xa3", ["b"], [(7, 0, True)]),
            ("a byte that starts no message", CONNECT + FIRST, "unknown command byte 55",
             ["b"], [(7, 0, True)]),
        ]
        for name, texts, rest, kinds, found in cases:
            with self.subTest(name):
                problems, got = soak.judge_connection(texts, rest, EXPECTED)
                self.assertEqual([kind for kind, _ in problems], kinds, problems)
                self.assertEqual(got, found)


class TimesTest(unittest.TestCase):
    def test_steady_heartbeat(self):
        cases = [
            ("regular", [0, 0.5, 1, 1.5, 2], 0, (0, 1.5)),
            ("after a gap", [0, 2, 2.5, 3, 3.5], 0, (2, 3.5)),
            ("a backlog read at once, then regular", [5, 5, 5, 5.5, 6, 6.5], 5, (5, 6.5)),
            ("two intervals only", [0, 0.5, 1], 0, None),
            ("too slow", [0, 0.9, 1.8, 2.7], 0, None),
            ("regular only before `after`", [0, 0.5, 1, 1.5, 9], 0.2, None),
        ]
        for name, times, after, expected in cases:
            with self.subTest(name):
                self.assertEqual(soak.steady_from(times, after), expected)

    def test_each_connection_needs_a_connect_request_of_its_own(self):
        cases = [
            ("one each", [1.0, 3.5], [0.99, 3.49], []),
            ("two connections from one request", [1.0, 1.001], [0.99], [1.001]),
            ("a refused request earlier lends none", [1.0, 1.001], [0.5, 0.99], [1.001]),
            ("a request stamped up to 50 ms after its accept", [1.0], [1.02], []),
            ("no request at all", [1.0], [], [1.0]),
        ]
        for name, accepts, requests, expected in cases:
            with self.subTest(name):
                self.assertEqual(soak.unrequested(accepts, requests), expected)

    def test_an_update_is_expected_only_when_typed_on_a_healthy_link(self):
        # One connection accepted at 10 s, its connect sequence whole at 10.1 s;
        # the Update typed from 20 to 20.5 s.
        def link(ended=None, cut_at=None, ready=10.1, faults=(), freezes=(), sigterm=100):
            info = [(0, 9, 9, 0.1, []), (10, ended, cut_at, ready, [])]
            return soak.healthy_link(info, 20, 20.5, list(faults), list(freezes), sigterm)
        cases = [
            ("healthy", {}, True),
            ("connect sequence whole only 0.5 s before", {"ready": 19.5}, False),
            ("connect sequence never whole", {"ready": None}, False),
            ("connection cut 2 s after", {"cut_at": 22.5}, False),
            ("connection closed 4 s after", {"ended": 24.5}, True),
            ("SIGTERM 2 s after", {"sigterm": 22.5}, False),
            ("a fault 2 s after", {"faults": [(22.5, 22.5)]}, False),
            ("a fault ended 0.5 s before", {"faults": [(15, 19.5)]}, False),
            ("a fault ended 2 s before", {"faults": [(15, 18)]}, True),
            ("a freeze ended 2 s before", {"freezes": [(15, 18)]}, False),
            ("a freeze ended 4 s before", {"freezes": [(15, 16)]}, True),
        ]
        for name, changes, expected in cases:
            with self.subTest(name):
                self.assertEqual(link(**changes), expected)

    def test_recovery_after_a_fault(self):
        beats = [11, 11.5, 12, 12.5, 13]
        cases = [
            # name, connections, (to connect sequence, to steady heartbeat)
            ("the connection it left alone", [(0, None, None, 0.1, [1] + beats)], (0.0, 1.0)),
            ("a new connection after the one it cut",
             [(0, 10, 10, 0.1, [9.5]), (10.8, None, None, 10.9, beats)], (0.9, 1.0)),
            ("a connection cut by a later fault still counts",
             [(10.8, None, 30, 10.9, beats)], (0.9, 1.0)),
            ("no connect sequence", [(10.8, None, None, None, beats)], None),
            ("steady only after the limit",
             [(10.8, None, None, 10.9, [b + 10 for b in beats])], None),
        ]
        for name, info, expected in cases:
            with self.subTest(name):
                got = soak.recovery(info, 10, 20)
                self.assertEqual(got and tuple(round(x, 3) for x in got), expected)

    def test_slope_per_hour(self):
        self.assertAlmostEqual(soak.slope_per_hour([(0, 10), (900, 11), (1800, 14)]), 8.0)
        self.assertEqual(soak.slope_per_hour([(5, 10)]), 0.0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
