#!/usr/bin/python3
"""directnet_plc.py speaks the DirectNET HEX exchange as a master expects it:
enquiry, reads and writes over several blocks, the clock, and the
misbehaviours that driver tests provoke.  Talks to it over a real pty pair."""
import datetime
import json
import os
import select
import struct
import subprocess
import sys
import tempfile
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOH, STX, ETX, EOT, ENQ, ACK, NAK, ETB, CR = 1, 2, 3, 4, 5, 6, 0x15, 0x17, 0x0D
NODE = 7
SCRIPT = {
    "node": NODE,
    "v": {"2000": 0x1234, "2001": {"bcd": 4321}, "2002": {"float": 1.5}},
    "counters": {"10": 77},
    "timers": {"3": {"value": 50, "running": False}},
    "clock": "2026-03-05T14:07:30",
    "faults": [
        {"request": 3, "action": "nak"},
        {"request": 4, "action": "bad_lrc"},
        {"request": 5, "action": "silent"},
        {"request": 6, "action": "wrong_node"},
        {"request": 7, "action": "truncate"},
        {"request": 8, "action": "delay", "ms": 300},
    ],
}


def xor(chars):
    x = 0
    for c in chars:
        x ^= c
    return x


class Master:
    def __init__(self, fd):
        self.fd = fd

    def read(self, n, timeout=1.0):
        out = b""
        while len(out) < n:
            if not select.select([self.fd], [], [], timeout)[0]:
                break
            out += os.read(self.fd, n - len(out))
        return out

    def enquire(self, node=NODE):
        os.write(self.fd, b"N" + bytes([node + 0x20, ENQ]))
        return self.read(4)

    def header(self, write, dtype, ref, nbytes, node=NODE, bad_lrc=False):
        chars = nbytes * 2
        body = b"%02X%s%s%04X%02X%02X00" % (node, b"8" if write else b"0", dtype.encode(),
                                             ref, chars // 256, chars % 256)
        os.write(self.fd, bytes([SOH]) + body + bytes([ETB]) +
                 b"%02X" % (xor(body) ^ (1 if bad_lrc else 0)))
        return self.read(2)

    def read_run(self, ref, nbytes, dtype="1"):
        """Returns (data, problems): problems name every rule the PLC broke."""
        if self.enquire() != b"N" + bytes([NODE + 0x20, ACK, CR]):
            return None, ["enquiry"]
        if self.header(False, dtype, ref, nbytes)[:1] != bytes([ACK]):
            return None, ["header"]
        text, left, problems = b"", nbytes * 2, []
        while left:
            n = min(256, left)
            left -= n
            frame = self.read(1 + n + 4)
            if len(frame) < n + 5 or frame[0] != STX:
                return None, ["short block"]
            if frame[1 + n] != (ETX if left == 0 else ETB):
                problems.append("end char")
            if int(frame[n + 2:n + 4], 16) != xor(frame[1:1 + n]):
                problems.append("lrc")
            text += frame[1:1 + n]
            os.write(self.fd, bytes([ACK]))
        if self.read(2)[:1] != bytes([EOT]):
            problems.append("eot")
        os.write(self.fd, bytes([EOT]))
        return bytes.fromhex(text.decode()), problems

    def write_run(self, ref, data, dtype="1"):
        assert self.enquire()[2] == ACK
        assert self.header(True, dtype, ref, len(data))[:1] == bytes([ACK])
        text = data.hex().upper().encode()
        for i in range(0, len(text), 256):
            block = text[i:i + 256]
            last = i + 256 >= len(text)
            os.write(self.fd, bytes([STX]) + block + bytes([ETX if last else ETB]) +
                     b"%02X" % xor(block))
            assert self.read(2) == bytes([ACK, CR])
        os.write(self.fd, bytes([EOT]))


class DirectNetPlcTest(unittest.TestCase):
    def start(self, script):
        self.tmp = tempfile.TemporaryDirectory()
        script_path = os.path.join(self.tmp.name, "s.json")
        self.record = os.path.join(self.tmp.name, "r.json")
        with open(script_path, "w") as f:
            json.dump(script, f)
        self.mfd, sfd = os.openpty()
        tty.setraw(self.mfd)
        path = os.ttyname(sfd)
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "directnet_plc.py"),
                                      "--port", path, "--script", script_path,
                                      "--record", self.record],
                                     stdout=subprocess.PIPE, text=True)
        os.close(sfd)
        self.assertEqual(self.proc.stdout.readline().split()[0], "READY")
        self.m = Master(self.mfd)

    def tearDown(self):
        if not hasattr(self, "proc"):
            return
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()
        os.close(self.mfd)
        self.tmp.cleanup()

    def recorded(self):
        """The record as saved at exit, so the last exchange is in it."""
        self.proc.terminate()
        self.proc.wait(10)
        with open(self.record) as f:
            return json.load(f)

    def test_exchanges_and_faults(self):
        self.start(SCRIPT)
        m = self.m
        # 1: words, BCD and float from V2000 on (reference = V address + 1).
        data, problems = m.read_run(0o2000 + 1, 8)
        self.assertEqual(problems, [])
        self.assertEqual(struct.unpack("<HHf", data), (0x1234, 0x4321, 1.5))
        # 2: a 258-byte write spans three blocks and lands word by word.
        words = list(range(129))
        m.write_run(0o3000 + 1, struct.pack("<129H", *words))
        # 3: NAK after the header; the master answers EOT.
        self.assertEqual(m.enquire()[2], ACK)
        self.assertEqual(m.header(False, "1", 1, 2), bytes([NAK, CR]))
        os.write(self.mfd, bytes([EOT]))
        # 4: the block's LRC is wrong, the data still intact.
        data, problems = m.read_run(0o3000 + 1, 4)
        self.assertEqual((data, problems), (struct.pack("<2H", 0, 1), ["lrc"]))
        # 5, 6: silence, the wrong node; 7: a data block cut short.
        self.assertEqual(m.enquire(), b"")
        self.assertEqual(m.enquire(), b"N" + bytes([NODE + 0x21, ACK, CR]))
        self.assertEqual(m.read_run(0o2000 + 1, 2), (None, ["short block"]))
        # 8: late answer, then 256 written bytes read back in two full blocks.
        t0 = datetime.datetime.now()
        data, problems = m.read_run(0o3000 + 1, 256)
        self.assertGreaterEqual((datetime.datetime.now() - t0).total_seconds(), 0.29)
        self.assertEqual((list(struct.unpack("<128H", data)), problems), (words[:128], []))
        # Another node's enquiry and a header with a bad LRC.
        self.assertEqual(m.enquire(NODE + 1), b"")
        self.assertEqual(m.enquire()[2], ACK)
        self.assertEqual(m.header(True, "1", 1, 2, bad_lrc=True), bytes([NAK, CR]))
        os.write(self.mfd, bytes([EOT]))
        # Timer and counter accumulators (BCD).
        data, _ = m.read_run(3 + 1, 2)
        self.assertEqual(data, struct.pack("<H", 0x0050))
        data, _ = m.read_run(0o1010 + 1, 2)
        self.assertEqual(data, struct.pack("<H", 0x0077))

        rec = self.recorded()
        reqs = rec["requests"]
        self.assertEqual([r["n"] for r in reqs], list(range(1, 12)))
        self.assertEqual({k: reqs[0][k] for k in ("direction", "type", "address", "v", "bytes")},
                         {"direction": "read", "type": "1", "address": 0o2001, "v": "2000",
                          "bytes": 8})
        self.assertEqual((reqs[1]["direction"], reqs[1]["blocks"], reqs[1]["partial"],
                          reqs[1]["words"], reqs[1]["result"]), ("write", 2, 4, words, "ok"))
        self.assertEqual([r["result"] for r in reqs[2:7]],
                         ["nak", "ok", "silent", "wrong_node", "truncated"])
        self.assertEqual(reqs[8]["result"], "bad header LRC")
        self.assertEqual((rec["v_written"]["3143"], rec["v_written"]["3200"]), (99, 128))
        self.assertEqual(rec["other_nodes"], [NODE + 1])

    def test_clock_ticks_and_is_set(self):
        self.start(dict(SCRIPT, faults=[]))
        m = self.m
        regs = lambda: struct.unpack("<7H", m.read_run(0o7766 + 1, 14)[0])
        first = regs()
        self.assertEqual(first[1:], (0x07, 0x14, 4, 0x05, 0x03, 0x2026))
        self.assertIn(first[0], (0x30, 0x31))
        # Date and time in one run: 24 Dec 2030, 23:59.
        m.write_run(0o7775 + 1, struct.pack("<HH", 24 + 12 * 32 + 60 * 512, 1439))
        self.assertEqual(regs()[1:], (0x59, 0x23, 2, 0x24, 0x12, 0x2030))
        # Time alone keeps the date.
        m.write_run(0o7776 + 1, struct.pack("<H", 61))
        self.assertEqual(regs()[1:], (0x01, 0x01, 2, 0x24, 0x12, 0x2030))
        self.assertEqual(len(self.recorded()["clock_sets"]), 2)


if __name__ == "__main__":
    unittest.main()
