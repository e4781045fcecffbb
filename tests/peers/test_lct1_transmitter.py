#!/usr/bin/python3
"""Self-check of the LCT-1 transmitter simulator: speaks to it over a pty pair."""
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
SIM = os.path.join(HERE, "lct1_transmitter.py")


def request(node, num, data="", cs=None):
    body = "%X%02d%s" % (node, num, data)
    if cs is None:
        cs = "%02X" % (sum(body.encode()) % 256)
    return ("(" + body + cs + ")\r\n").encode()


class Line:
    def __init__(self, script):
        self.dir = tempfile.TemporaryDirectory()
        path = os.path.join(self.dir.name, "script.json")
        self.record = os.path.join(self.dir.name, "record.json")
        with open(path, "w") as f:
            json.dump(script, f)
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.proc = subprocess.Popen(["/usr/bin/python3", SIM, "--port", os.ttyname(slave),
                                      "--script", path, "--record", self.record],
                                     stdout=subprocess.PIPE, text=True)
        os.close(slave)
        assert self.proc.stdout.readline().strip() == "READY"

    def ask(self, raw, wait=0.5):
        """Sends raw bytes; returns what came back until `wait` s of silence."""
        os.write(self.master, raw)
        got = b""
        while select.select([self.master], [], [], wait)[0]:
            got += os.read(self.master, 256)
        return got.decode()

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)
        self.proc.stdout.close()
        os.close(self.master)
        with open(self.record) as f:
            rec = json.load(f)["requests"]
        self.dir.cleanup()
        return rec


class TransmitterTest(unittest.TestCase):
    def test_exchanges_with_checksum(self):
        line = Line({"nodes": {"1": {"readings": ["000100", "000200"]}, "2": {}}})
        try:
            cases = [  # (request, expected answer)
                (request(1, 60), "(160000100B8)"),          # first reading
                (request(1, 60), "(160000200B9)"),          # readings advance
                (request(1, 60), "(160000200B9)"),          # last one repeats
                (request(1, 2), "(1020104" + "%02X" % (sum(b"1020104") % 256) + ")"),
                (request(2, 10, "C3"), "(210C3" + "%02X" % (sum(b"210C3") % 256) + ")"),
                (request(2, 10), "(210C3" + "%02X" % (sum(b"210C3") % 256) + ")"),
                # relay 2 set, "9" leaves relays 1 and 3 alone
                (request(2, 50, "0A99"), "(2500A00" + "%02X" % (sum(b"2500A00") % 256) + ")"),
                (request(2, 50, "0995"), "(2500A05" + "%02X" % (sum(b"2500A05") % 256) + ")"),
                (request(1, 30, "12x456"), "(19903" + "%02X" % (sum(b"19903") % 256) + ")"),
                (request(1, 30, "123"), "(19902" + "%02X" % (sum(b"19902") % 256) + ")"),
                (request(1, 45), "(19901" + "%02X" % (sum(b"19901") % 256) + ")"),
                (request(1, 3), "(103" + "%02X" % (sum(b"103") % 256) + ")"),
                (request(1, 60, cs="??"), ""),              # checksum required
                (request(5, 60), ""),                       # nobody at node 5
            ]
            for raw, want in cases:
                self.assertEqual(line.ask(raw, 0.3), want, raw)
        finally:
            rec = line.close()
        self.assertEqual(len(rec), len(cases))
        self.assertEqual((rec[4]["node"], rec[4]["message"], rec[4]["data"]), (2, 10, "C3"))
        self.assertFalse(rec[12]["checksum_ok"])
        self.assertIsNone(rec[12]["answer"])

    def test_checksum_off_and_misbehaviour(self):
        line = Line({"checksum": False, "faults": [
            {"action": "silent", "request": 1},
            {"action": "truncate", "request": 2},
            {"action": "wrong_node", "request": 3},
            {"action": "error", "code": "07", "request": 4},
            {"action": "delay", "ms": 600, "request": 5},
            {"action": "bad_checksum", "always": True, "message": 1}]})
        try:
            self.assertEqual(line.ask(request(1, 60, cs="??")), "")
            self.assertEqual(line.ask(request(1, 60, cs="??")), "(160000000??")
            self.assertEqual(line.ask(request(1, 60, cs="??")), "(260000000??)")
            self.assertEqual(line.ask(request(1, 60, cs="??")), "(19907??)")
            # Late answer: nothing within 0.3 s, then it arrives.
            self.assertEqual(line.ask(request(1, 60, cs="??"), 0.3), "")
            time.sleep(0.4)
            self.assertEqual(line.ask(b"", 0.2), "(160000000??)")
            self.assertEqual(line.ask(request(1, 1, cs="??")), "(10100" + "00)")
            self.assertEqual(line.ask(b"junk(G60??)\r\n"), "")
        finally:
            rec = line.close()
        self.assertEqual(rec[4]["delay_ms"], 600)
        self.assertEqual(rec[-1]["error"], "bad node")


if __name__ == "__main__":
    unittest.main()
