#!/usr/bin/python3
"""dgt_line.py, started from its command line on one end of a pty pair,
answers the LCC1200 texts sent from the other end as the line should: reads,
writes, broadcasts, unavailable setpoints, silent departments, the requested
misbehaviours, and the record of what it received."""
import json
import os
import select
import subprocess
import sys
import tempfile
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = {
    "departments": {"A": {"57": 5.25, "300": "12", "636": "3.5"},
                    "B": {"57": 7, "300": 1}},
    "unavailable": {"B": [57]},
    "misbehave": [
        {"do": "wrong_node", "dept": "A", "number": 57, "nth": 2},
        {"do": "truncate", "dept": "B", "number": 300, "always": True, "keep": 4},
        {"do": "late", "kind": "write", "dept": "A", "number": 636, "nth": 1, "ms": 600},
        {"do": "corrupt", "kind": "read", "number": 636, "nth": 2},
        {"do": "long", "kind": "write", "dept": "A", "number": 300, "nth": 2},
    ],
}


class Line:
    def __init__(self, tmp):
        self.master, slave = os.openpty()
        self.pending = b""
        tty.setraw(self.master)
        path = os.ttyname(slave)
        script = os.path.join(tmp, "script.json")
        with open(script, "w") as f:
            json.dump(SCRIPT, f)
        self.record = os.path.join(tmp, "record.json")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "dgt_line.py"), "--port", path,
             "--script", script, "--record", self.record],
            stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "READY"
        os.close(slave)

    def ask(self, text, wait=None):
        """Sends text; returns what came back up to and including an end of line,
        or all that came before the wait ran out. Bytes after the end of line are
        kept for the next ask, so a stray answer to a request meant to be silent,
        or the second of two answers read together, shows up there."""
        os.write(self.master, text.encode())
        got, end = self.pending, time.monotonic() + (wait or 1.0)
        while not any(c in got for c in (b"\r", b"\n")):
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            got += os.read(self.master, 256)
        cut = min((got.index(c) + 1 for c in (b"\r", b"\n") if c in got), default=len(got))
        got, self.pending = got[:cut], got[cut:]
        return got.decode()

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()
        os.close(self.master)
        with open(self.record) as f:
            return json.load(f)["requests"]


class DgtLineTest(unittest.TestCase):
    def test_exchanges_misbehaviours_and_record(self):
        with tempfile.TemporaryDirectory() as tmp:
            line = Line(tmp)
            try:
                cases = [  # request, answer expected (with the time limit given to it)
                    ("A057 ", "*A57=5.25\r"),
                    ("A057 ", "*B57=5.25\r"),          # 2nd read of A57: wrong department
                    ("A300=12.0 ", "*A300=12.0\r"),     # a write answers the new value
                    ("A300 ", "*A300=12.0\r"),
                    ("B057 ", "*B57=?\r"),             # listed unavailable
                    ("B058 ", "*B58=?\r"),             # not present at all
                    ("B058=1 ", "*B58=?\r"),           # writing it changes nothing
                    ("C057 ", ""),                     # no such department: silence
                    ("/300=1.50 ", ""),                # broadcasts are not answered
                    ("A300 ", "*A300=1.50\r"),
                    ("B300 ", "*B30"),                 # truncated, no end of line
                    ("A636 ", "/47=3.5\r"),
                    ("A636 ", "#47=3.5\r"),            # corrupted first character
                    ("/@ ", ""),
                    ("garbage ", ""),
                ]
                for request, expected in cases:
                    wait = 5.0 if expected.endswith("\r") else None
                    self.assertEqual(line.ask(request, wait), expected, request)
                too_long = line.ask("A300=2 ", 5.0)
                self.assertTrue(too_long.startswith("*A300=2") and too_long.endswith("\r")
                                and len(too_long) > 64, too_long)
                # Late: nothing within 0.3 s, the answer after 0.6 s.
                self.assertEqual(line.ask("A636=4.0 ", wait=0.3), "")
                self.assertEqual(line.ask("", wait=5.0), "/47=4.0\r")
                # Two requests in one chunk are both answered, in order.
                self.assertEqual(line.ask("A057 B300=5 ", 5.0), "*A57=5.25\r")
                self.assertEqual(line.ask(""), "*B30")
            finally:
                requests = line.close()
        kinds = [(r["kind"], r.get("dept"), r.get("number"), r.get("value_text"), r["fault"])
                 for r in requests]
        self.assertEqual(kinds[1], ("read", "A", 57, None, "wrong_node"))
        self.assertEqual(kinds[2], ("write", "A", 300, "12.0", None))
        self.assertEqual(kinds[8], ("broadcast", None, 300, "1.50", None))
        self.assertEqual([k[0] for k in kinds[13:15]], ["node_list", "invalid"])
        self.assertEqual(kinds[-3][4], "late")
        self.assertEqual(requests[2]["value"], 12.0)
        self.assertEqual(requests[7]["answer"], None)
        self.assertEqual(len(requests), 19)
        # The late answer held the line: the next request was taken after it.
        self.assertGreaterEqual(requests[17]["time"] - requests[16]["time"], 0.5)


if __name__ == "__main__":
    unittest.main()
