#!/usr/bin/python3
"""Self-check of the TXIF adapter simulator: speaks to it over a pty pair.

Run: /usr/bin/python3 tests/peers/test_txif_adapter.py
"""
import json
import os
import select
import struct
import subprocess
import sys
import tempfile
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(HERE, "txif_adapter.py")
sys.path.insert(0, HERE)
from txif_adapter import build_packet, crc16  # noqa: E402


def read_req(net, node, *points):
    return build_packet(10, struct.pack("<BI", net, node) +
                        b"".join(struct.pack("<IB3x", i, t) for i, t in points))


def write_req(net, node, *points):
    return build_packet(20, struct.pack("<BI", net, node) +
                        b"".join(struct.pack("<IBB", i, t, 0) + v for i, t, v in points))


def answer(*entries):
    return build_packet(110, b"".join(struct.pack("<IBB", i, t, s) + v for i, t, s, v in entries))


def nak(code):
    return build_packet(255, struct.pack("<H", code))


class Line:
    """The simulator holds the pty master; the test opens the slave by name, as the driver would."""

    def __init__(self, script):
        self.dir = tempfile.TemporaryDirectory()
        path = os.path.join(self.dir.name, "script.json")
        self.record = os.path.join(self.dir.name, "record.json")
        with open(path, "w") as f:
            json.dump(script, f)
        master, slave = os.openpty()
        tty.setraw(slave)
        self.end = slave
        self.proc = subprocess.Popen(["/usr/bin/python3", SIM, "--fd", str(master), "--script", path,
                                      "--record", self.record], stdout=subprocess.PIPE, text=True,
                                     pass_fds=(master,))
        os.close(master)
        assert self.proc.stdout.readline().strip() == "READY"

    def ask(self, raw, wait=0.3):
        """Sends raw bytes; returns what came back until `wait` s of silence."""
        os.write(self.end, raw)
        got = b""
        while select.select([self.end], [], [], wait)[0]:
            got += os.read(self.end, 512)
        return got

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)
        self.proc.stdout.close()
        os.close(self.end)
        with open(self.record) as f:
            rec = json.load(f)["packets"]
        self.dir.cleanup()
        return rec


TABLE = {"networks": {"0": {"12": {"100": -1, "101": 65535, "102": {"value": 2.5, "type": 7},
                                   "103": 7}},
                      "1": {"70000": {"5": -128}}},
         "info": {"type": 2, "version": [1, 4, 2], "node": 12, "next_node": 30,
                  "reconf": -3, "status": 1, "diag": 2, "params": 640}}
FF00 = b"\xff\xff\x00\x00"


class AdapterTest(unittest.TestCase):
    def test_exchanges(self):
        line = Line(TABLE)
        f25, f9 = struct.pack("<f", 2.5), struct.pack("<f", 9.75)
        cases = [  # (request, expected answer)
            (bytes.fromhex("1e000004") + struct.pack("<H", crc16(b"\x1e\x00\x00\x04")),
             build_packet(130, bytes([2, 1, 4, 2, 12, 30]) + struct.pack("<iBBH", -3, 1, 2, 640))),
            # signed 16 bits go out without sign extension; unknown setpoint 9 gets status 6
            (read_req(0, 12, (100, 3), (101, 4), (102, 7), (9, 3)),
             answer((100, 3, 0, FF00), (101, 4, 0, FF00), (102, 7, 0, f25), (9, 3, 6, bytes(4)))),
            (read_req(0, 12, (101, 2), (102, 3), (103, 8)),   # too big for u8, fixed type, bad type
             answer((101, 2, 5, bytes(4)), (102, 3, 5, bytes(4)), (103, 8, 5, bytes(4)))),
            (read_req(1, 70000, (5, 1)), answer((5, 1, 0, b"\x80\0\0\0"))),
            # set high bytes in an s8 write are refused and store nothing
            (write_req(0, 12, (102, 7, f9), (103, 1, b"\xfe\xff\xff\xff"), (100, 5, b"\xfe\xff\xff\xff")),
             answer((102, 7, 0, f9), (103, 1, 5, bytes(4)), (100, 5, 0, b"\xfe\xff\xff\xff"))),
            (read_req(0, 12, (102, 7), (103, 2), (100, 5)),
             answer((102, 7, 0, f9), (103, 2, 0, b"\x07\0\0\0"), (100, 5, 0, b"\xfe\xff\xff\xff"))),
            (read_req(2, 1, (100, 3)), nak(2)),
            (read_req(0, 255, (100, 3)), nak(3)),
            (read_req(0, 13, (100, 3)), nak(4)),
            (read_req(0, 12, *[(103, 4)] * 12), nak(5)),         # more than eleven entries
            (read_req(0, 12, (103, 4))[:-1] + b"\0", nak(5)),    # bad CRC
            (build_packet(10, b"\0\x0c\0\0\0\x67"), nak(5)),      # length not a whole entry
            (build_packet(40), nak(1)),
        ]
        try:
            for raw, want in cases:
                self.assertEqual(line.ask(raw).hex(), want.hex(), raw.hex())
        finally:
            rec = line.close()
        self.assertEqual(len(rec), len(cases))
        self.assertEqual((rec[1]["kind"], rec[1]["network"], rec[1]["node"]), ("read", 0, 12))
        self.assertEqual([(e["id"], e["type"]) for e in rec[1]["entries"]], [(100, 3), (101, 4), (102, 7), (9, 3)])
        self.assertEqual([e["value"] for e in rec[4]["entries"]], [9.75, None, -2])
        self.assertEqual(rec[9]["nak"], 5)
        self.assertFalse(rec[10]["trailer_ok"])

    def test_misbehaviour(self):
        line = Line(dict(TABLE, gap_ms=200, misbehave=[
            {"do": "nak", "code": 100, "nth": 1},
            {"do": "silent", "nth": 2},
            {"do": "truncate", "keep": 7, "nth": 3},
            {"do": "bad_trailer", "byte": 0, "nth": 4},
            {"do": "late", "ms": 600, "nth": 5},
            {"do": "nak", "code": 3, "always": True, "fun": 30}]))
        good = answer((103, 4, 0, b"\x07\0\0\0"))
        try:
            # The refused write leaves the value alone.
            self.assertEqual(line.ask(write_req(0, 12, (103, 4, b"\x09\0\0\0"))), nak(100))
            self.assertEqual(line.ask(read_req(0, 12, (103, 4))), b"")
            self.assertEqual(line.ask(read_req(0, 12, (103, 4))), good[:7])
            bad = bytearray(good)
            bad[-3] ^= 0xFF
            self.assertEqual(line.ask(read_req(0, 12, (103, 4))), bytes(bad))
            self.assertEqual(line.ask(read_req(0, 12, (103, 4)), 0.3), b"")
            time.sleep(0.4)
            self.assertEqual(line.ask(b""), good)
            self.assertEqual(line.ask(build_packet(30)), nak(3))
            # Half a packet, then a length past any request: recorded, the
            # latter NAKed once the line is quiet; then back in step.
            self.assertEqual(line.ask(read_req(0, 12, (103, 4))[:9], 0.5), b"")
            self.assertEqual(line.ask(b"\x0a\xff\xff" + bytes(20), 0.5), nak(5))
            self.assertEqual(line.ask(read_req(0, 12, (103, 4))), good)
        finally:
            rec = line.close()
        self.assertEqual([r["kind"] for r in rec[-3:]], ["incomplete", "bad_length", "read"])
        self.assertEqual(rec[0]["faults"], ["nak"])
        self.assertEqual(rec[4]["delay_ms"], 600)

    def test_bad_script_is_refused(self):
        for script in ({"misbehave": [{"do": "explode", "always": True}]},
                       {"misbehave": [{"do": "nak", "code": 8, "nth": 1}]},
                       {"networks": {"256": {}}},
                       {"networks": {"0": {"1": {"5": "12"}}}},
                       {"networks": {"0": {"1": {"5": {"value": "12", "type": 3}}}}}):
            with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
                json.dump(script, f)
                f.flush()
                run = subprocess.run(["/usr/bin/python3", SIM, "--port", "/dev/null",
                                      "--script", f.name], capture_output=True, text=True)
            self.assertEqual(run.returncode, 2, script)
            self.assertIn("bad script", run.stderr)


if __name__ == "__main__":
    unittest.main()
