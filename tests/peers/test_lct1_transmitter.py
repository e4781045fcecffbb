#!/usr/bin/python3
"""Self-check of the LCT-1 transmitter simulator: speaks to it over a pty pair."""
import json
import os
import select
import subprocess
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
    """The simulator on one end of a pty pair, the test on the other.  With
    by_fd the simulator gets the master and the test opens the slave, the
    way a driver that opens its port by name would."""
    def __init__(self, script, by_fd=False):
        self.dir = tempfile.TemporaryDirectory()
        path = os.path.join(self.dir.name, "script.json")
        self.record = os.path.join(self.dir.name, "record.json")
        with open(path, "w") as f:
            json.dump(script, f)
        master, slave = os.openpty()
        tty.setraw(slave)
        self.slave_name = os.ttyname(slave)
        where = ["--fd", str(master)] if by_fd else ["--port", self.slave_name]
        self.proc = subprocess.Popen(["/usr/bin/python3", SIM] + where +
                                     ["--script", path, "--record", self.record],
                                     stdout=subprocess.PIPE, text=True,
                                     pass_fds=(master,) if by_fd else ())
        if by_fd:
            os.close(master)
            self.master = slave         # the test's end
        else:
            os.close(slave)
            self.master = master
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
                (request(1, 2), "(102010458)"),
                (request(2, 10, "C3"), "(210C309)"),
                (request(2, 10), "(210C309)"),
                # relay 2 set, "9" leaves relays 1 and 3 alone
                (request(2, 50, "0A99"), "(2500A0068)"),
                (request(2, 50, "0995"), "(2500A056D)"),
                (request(1, 30, "12x456"), "(1990306)"),
                (request(1, 30, "123"), "(1990205)"),
                (request(1, 45), "(1990104)"),
                (request(1, 3), "(10394)"),
                (request(1, 60, cs="??"), ""),              # checksum required
                (request(5, 60), ""),                       # nobody at node 5
            ]
            for raw, want in cases:
                self.assertEqual(line.ask(raw, 0.3), want, raw)
        finally:
            rec = line.close()
        self.assertEqual(len(rec), len(cases))
        self.assertEqual((rec[0]["checksum"], rec[0]["checksum_ok"]), ("97", True))
        self.assertEqual((rec[4]["node"], rec[4]["message"], rec[4]["data"]), (2, 10, "C3"))
        self.assertFalse(rec[12]["checksum_ok"])
        self.assertIsNone(rec[12]["answer"])

    def test_checksum_off_and_misbehaviour(self):
        line = Line({"checksum": False, "nodes": {"1": {}, "3": {}}, "faults": [
            {"action": "silent", "always": True, "node": 3},
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
            self.assertEqual(line.ask(request(1, 30, "123456", cs="??")), "(19907??)")
            # Late answer: nothing within 0.3 s, then it arrives; the refused
            # write above left the limit alone.
            self.assertEqual(line.ask(request(1, 30, cs="??"), 0.3), "")
            time.sleep(0.4)
            self.assertEqual(line.ask(b"", 0.2), "(130000000??)")
            self.assertEqual(line.ask(request(1, 1, cs="??")), "(1010000)")
            self.assertEqual(line.ask(b"junk(G60??)\r\n"), "")
            self.assertEqual(line.ask(request(3, 60, cs="??")), "")
        finally:
            rec = line.close()
        self.assertEqual(rec[4]["delay_ms"], 600)
        self.assertEqual(rec[-2]["error"], "bad node")

    def test_driver_end_reopened(self):
        # The driver closes and opens its port again; the simulator keeps serving.
        line = Line({}, by_fd=True)
        try:
            self.assertEqual(line.ask(request(1, 60)), "(160000000B7)")
            os.close(line.master)
            time.sleep(0.3)
            line.master = os.open(line.slave_name, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(line.master)
            self.assertEqual(line.ask(request(1, 1)), "(10100F2)")
        finally:
            rec = line.close()
        self.assertEqual([r["message"] for r in rec], [60, 1])

    def test_bad_script_is_refused(self):
        for script in ({"faults": [{"action": "explode"}]},
                       {"nodes": {"16": {}}},
                       {"nodes": {"1": {"messages": {"60": "12"}}}}):
            with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
                json.dump(script, f)
                f.flush()
                run = subprocess.run(["/usr/bin/python3", SIM, "--port", "/dev/null",
                                      "--script", f.name], capture_output=True, text=True)
            self.assertEqual(run.returncode, 2, script)
            self.assertIn("bad script", run.stderr)


if __name__ == "__main__":
    unittest.main()
