#!/usr/bin/python3
"""A scripted DirectNET PLC (HEX mode) on a serial line or pseudo-terminal, for tests.

Run:  directnet_plc.py --port /dev/pts/N [--script FILE.json] [--record OUT.json] [--node N]
It prints "READY <port>" once it listens and saves the record after every
exchange and on SIGTERM/SIGINT.

Wire rules this PLC follows (M = master, P = this PLC):
  * M: "N", node + 0x20, ENQ.  P: "N", node + 0x20, ACK, CR.  An enquiry for
    another node gets no answer (it belongs to another PLC on the line).
  * M: header of 18 bytes: SOH, node (2 hex), "0" read / "8" write, data type
    character, reference address (4 hex, memory address + 1), full 256-char
    blocks (2 hex), characters of the last partial block (2 hex), master id
    (2 hex), ETB, LRC (2 hex; XOR of the 14 characters between SOH and ETB).
    Hex is accepted in either case; everything P sends is upper-case.
  * Every acknowledgement P sends is two bytes: ACK, NAK or EOT, then CR.
    P answers NAK to a header with a bad LRC, a node that is not its own, an
    odd character count, a reference address of 0 or a bad field, and then
    waits for M's EOT.  An EOT instead of the header ends the session (a
    master that only polls the PLC sends it after the enquiry answer).
  * Write: after each data block (STX, hex data, ETB or ETX, LRC) P answers
    ACK+CR, or NAK+CR when the LRC or the end character is wrong (nothing is
    stored then); M ends with EOT.  The run is stored only when every block
    was accepted.
  * Read: P sends each block as STX, hex data, ETB (more follow) or ETX
    (last), LRC, CR and waits for M's ACK; after the last block, EOT+CR, and
    M answers EOT.  A read with no data characters gets EOT+CR straight after
    the header's ACK.
  * Element sizes by data type: "1" 2 bytes (V memory; timer accumulators at
    V0 + n, counter accumulators at V1000 + n), "A" 4, "2"/"3"/"9" 1, others
    2.  Words are little-endian; element index = reference address - 1.
  * Clock: V7766 seconds, V7767 minutes, V7770 hours, V7771 day of week
    (0 = Sunday), V7772 day, V7773 month, V7774 four-digit year, all BCD,
    ticking from the script's start time.  Writing V7775 (day bits 0-4, month
    bits 5-8, years since 1970 bits 9-15) sets the date; writing V7776
    (minutes since midnight) sets the time with seconds 0.
  * Running timers count their accumulator up in BCD tenths of a second,
    wrapping after 9999.

Script (JSON object, every key optional):
  "node": 1                      the PLC's node (0 to 89)
  "v": {"2000": 1234, "2001": {"bcd": 99}, "2002": {"float": 1.5},
        "2004": {"u32": 70000}, "2006": {"bcd32": 12345678}}
                                 V memory by octal address (int = one word)
  "raw": [{"type": "A", "address": 6, "hex": "0000C03F"}]
                                 bytes at a reference address of a data type
  "timers": {"3": {"value": 0, "running": true}}   TA by octal number
  "counters": {"5": 12}          CTA by octal number (stored BCD)
  "clock": "2026-03-05T14:07:00" start time of the clock (default: local now)
  "silent": true                 never answer anything
  "faults": [{"request": 2, "action": "nak", "stage": "header", "ms": 0}]
      request: N (the Nth enquiry for this node, from 1) or "always";
      action:  "silent"     no answer at the stage (default stage "enquiry")
               "nak"        NAK+CR instead of ACK+CR ("enquiry", "header"
                            (default) or "block" = a write's data block)
               "bad_lrc"    a read's data block goes out with a wrong LRC
               "wrong_node" the enquiry answer names node + 1
               "truncate"   the answer stops half-way ("enquiry" or "data"
                            (default): a read's first block loses its end)
               "delay"      wait "ms" before the answer at the stage
                            (default "enquiry"; also "header", "data", "block")
               "no_eot"     a read ends with ACK+CR instead of EOT+CR

Record (JSON): {"requests": [...], "clock_sets": [...], "v_written": {...},
"other_nodes": [...]} (the nodes of enquiries meant for other PLCs).
Each request: "n", "node", "direction" ("read"/"write"), "type", "address"
(reference), "v" (octal V address, type "1" only), "bytes", "blocks",
"partial", "master", "data" (hex of the written bytes), "words" (written
words for type "1"), "result" ("ok" or what went wrong), "faults" (actions
applied).  Enquiries that never reach a header are recorded with their result
only.  "v_written": the last value written to each V word, by octal address.
"""
import argparse
import datetime
import json
import os
import select
import signal
import struct
import sys
import termios
import time
import tty

SOH, STX, ETX, EOT, ENQ, ACK, NAK, ETB, CR = 1, 2, 3, 4, 5, 6, 0x15, 0x17, 0x0D
BLOCK = 256
BYTE_TIMEOUT = 2.0   # a master that stops mid-exchange is given up after this
CLOCK_V = 0o7766     # first clock register
DATE_V, TIME_V = 0o7775, 0o7776
COUNTER_BASE = 0o1000
# Fault actions and the stage each applies to unless the script names one.
FAULT_STAGES = {"silent": "enquiry", "nak": "header", "bad_lrc": "data", "wrong_node": "enquiry",
                "truncate": "data", "delay": "enquiry", "no_eot": "data"}


def elem_size(dtype):
    return {"1": 2, "A": 4, "2": 1, "3": 1, "9": 1}.get(dtype, 2)


def lrc(chars):
    x = 0
    for c in chars:
        x ^= c
    return x


def hex2(v):
    return b"%02X" % (v & 0xFF)


def bcd(v):
    v %= 10000
    return ((v // 1000) << 12) | ((v // 100 % 10) << 8) | ((v // 10 % 10) << 4) | (v % 10)


def unbcd(b):
    return ((b >> 12 & 15) * 10 + (b >> 8 & 15)) * 100 + (b >> 4 & 15) * 10 + (b & 15)


class Abort(Exception):
    """The exchange is over (the master went quiet or broke the rules)."""


class Plc:
    def __init__(self, fd, script, record_path=None):
        self.fd = fd
        self.node = int(script.get("node", 1))
        if not 0 <= self.node <= 89:
            raise ValueError("node %d is not 0 to 89" % self.node)
        self.silent = bool(script.get("silent", False))
        self.faults = list(script.get("faults", []))
        for f in self.faults:
            if f.get("action") not in FAULT_STAGES:
                raise ValueError("unknown fault action %r" % f.get("action"))
        self.record_path = record_path
        self.record = {"requests": [], "clock_sets": [], "v_written": {}, "other_nodes": []}
        self.mem = {}
        self.count = 0
        self.pending = bytearray()
        start = script.get("clock")
        now = time.time()
        base = datetime.datetime.fromisoformat(start).timestamp() if start else now
        self.clock_offset = base - now
        self.timers = {}
        for num, t in script.get("timers", {}).items():
            self.timers[int(num, 8)] = (int(t.get("value", 0)), bool(t.get("running", True)), now)
        for addr, val in script.get("v", {}).items():
            self.poke_v(int(addr, 8), val)
        for num, val in script.get("counters", {}).items():
            self.set_word(COUNTER_BASE + int(num, 8), bcd(int(val)))
        for r in script.get("raw", []):
            self.store(r["type"], int(r["address"]), bytes.fromhex(r["hex"]))

    # -- memory ---------------------------------------------------------
    def area(self, dtype):
        if dtype not in self.mem:
            self.mem[dtype] = bytearray(0x10000 * elem_size(dtype))
        return self.mem[dtype]

    def store(self, dtype, ref, data):
        a, off = self.area(dtype), (ref - 1) * elem_size(dtype)
        data = data[:max(0, len(a) - off)]
        a[off:off + len(data)] = data

    def load(self, dtype, ref, n):
        a, off = self.area(dtype), (ref - 1) * elem_size(dtype)
        return bytes(a[off:off + n]).ljust(n, b"\0")

    def set_word(self, v, word):
        self.store("1", v + 1, struct.pack("<H", word & 0xFFFF))

    def word(self, v):
        return struct.unpack("<H", self.load("1", v + 1, 2))[0]

    def poke_v(self, v, val):
        if isinstance(val, int):
            self.set_word(v, val)
            return
        (kind, x), = val.items()
        packed = {"bcd": lambda: struct.pack("<H", bcd(int(x))),
                  "float": lambda: struct.pack("<f", float(x)),
                  "u32": lambda: struct.pack("<I", int(x) & 0xFFFFFFFF),
                  "bcd32": lambda: struct.pack("<HH", bcd(int(x)), bcd(int(x) // 10000))}[kind]()
        self.store("1", v + 1, packed)

    def now(self):
        return datetime.datetime.fromtimestamp(time.time() + self.clock_offset)

    def refresh(self):
        """Bring the ticking registers up to date before a read."""
        t = self.now()
        for i, val in enumerate([t.second, t.minute, t.hour, (t.weekday() + 1) % 7,
                                 t.day, t.month, t.year]):
            self.set_word(CLOCK_V + i, bcd(val))
        mono = time.time()
        for num, (start, running, since) in self.timers.items():
            tenths = start + (int((mono - since) * 10) if running else 0)
            self.set_word(num, bcd(tenths % 10000))

    def written(self, dtype, ref, data):
        self.store(dtype, ref, data)
        if dtype != "1":
            return
        first = ref - 1
        for i in range(len(data) // 2):
            v = first + i
            w = self.word(v)
            self.record["v_written"]["%o" % v] = w
            if v in self.timers:    # a written accumulator restarts from there
                _, running, _ = self.timers[v]
                self.timers[v] = (unbcd(w), running, time.time())
        touched = set(range(first, first + len(data) // 2))
        if DATE_V in touched or TIME_V in touched:
            self.set_clock(DATE_V in touched, TIME_V in touched)

    def set_clock(self, date, tod):
        t = self.now()
        try:
            if date:
                d = self.word(DATE_V)
                t = t.replace(year=1970 + (d >> 9), month=(d >> 5) & 15, day=d & 31)
            if tod:
                m = self.word(TIME_V)
                t = t.replace(hour=m // 60, minute=m % 60, second=0, microsecond=0)
        except ValueError as e:
            self.record["clock_sets"].append({"error": str(e)})
            return
        self.clock_offset = t.timestamp() - time.time()
        self.record["clock_sets"].append({"time": t.isoformat(timespec="seconds")})

    # -- line -----------------------------------------------------------
    def read(self, n, timeout=BYTE_TIMEOUT):
        out = bytearray()
        deadline = time.monotonic() + timeout
        while len(out) < n:
            if self.pending:
                take = self.pending[:n - len(out)]
                del self.pending[:len(take)]
                out += take
                deadline = time.monotonic() + timeout   # the time-out is between bytes
                continue
            left = deadline - time.monotonic()
            r = select.select([self.fd], [], [], max(0.0, left))[0] if left > 0 else []
            if not r:
                raise Abort("timeout after %d of %d bytes" % (len(out), n))
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:   # a pty whose other end is closed reports EIO at once
                chunk = b""
            if not chunk:
                time.sleep(0.05)
            self.pending += chunk
        return bytes(out)

    def send(self, data):
        while data:
            k = os.write(self.fd, data)
            data = data[k:]

    def answer(self, code):
        self.send(bytes([code, CR]))

    def save(self):
        if not self.record_path:
            return
        tmp = self.record_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(self.record, f, sort_keys=True, indent=1)
        os.replace(tmp, self.record_path)

    # -- faults ---------------------------------------------------------
    def fault(self, entry, stage, action=None):
        for f in self.faults:
            req = f.get("request", "always")
            if req != "always" and int(req) != self.count:
                continue
            act = f.get("action")
            if action is not None and act != action:
                continue
            if f.get("stage", FAULT_STAGES[act]) != stage:
                continue
            if act == "delay":
                time.sleep(float(f.get("ms", 0)) / 1000.0)
                entry["faults"].append("delay")
                continue
            entry["faults"].append(act)
            return act
        return None

    # -- exchanges ------------------------------------------------------
    def serve(self, stop):
        while not stop():
            try:
                b = self.read(1, timeout=0.2)
            except Abort:
                continue
            if b != b"N":
                continue
            try:
                nb, enq = self.read(2, timeout=0.5)
            except Abort:
                continue
            if enq != ENQ:
                self.pending[:0] = bytes([nb, enq])
                continue
            if nb - 0x20 != self.node:
                self.record["other_nodes"].append(nb - 0x20)
                self.save()
                continue
            if self.silent:
                continue
            self.count += 1
            entry = {"n": self.count, "node": self.node, "result": "ok", "faults": []}
            try:
                self.exchange(entry)
            except Abort as e:
                entry["result"] = str(e)
            self.record["requests"].append(entry)
            self.save()

    def exchange(self, e):
        act = self.fault(e, "enquiry")
        if act == "silent":
            raise Abort("silent")
        if act == "truncate":
            self.send(b"N" + bytes([self.node + 0x20]))
            raise Abort("truncated")
        node = self.node + (1 if act == "wrong_node" else 0)
        self.send(b"N" + bytes([node + 0x20, NAK if act == "nak" else ACK, CR]))
        if act in ("nak", "wrong_node"):
            raise Abort(act)
        # A master that only polls the PLC ends the session with EOT here.
        h = self.read(1)
        if h == bytes([EOT]):
            raise Abort("ended by master")
        h += self.read(17)
        problem = self.header(h, e)
        act = self.fault(e, "header")
        if act == "silent":
            raise Abort("silent")
        if problem or act == "nak":
            self.answer(NAK)
            self.expect_eot()
            raise Abort(problem or "nak")
        self.answer(ACK)
        chars = e["blocks"] * BLOCK + e["partial"]
        if e["direction"] == "write":
            self.take_write(e, chars)
        else:
            self.give_read(e, chars)

    def header(self, h, e):
        if h[0] != SOH or h[15] != ETB:
            return "bad header framing"
        body = h[1:15]
        try:
            node = int(body[0:2], 16)
            e["direction"] = {ord("0"): "read", ord("8"): "write"}[body[2]]
            e["type"] = chr(body[3])
            e["address"] = int(body[4:8], 16)
            e["blocks"] = int(body[8:10], 16)
            e["partial"] = int(body[10:12], 16)
            e["master"] = body[12:14].decode("ascii")
            sent = int(h[16:18], 16)
        except (ValueError, KeyError, UnicodeDecodeError):
            return "bad header field"
        if e["type"] == "1":
            e["v"] = "%o" % (e["address"] - 1)
        if sent != lrc(body):
            return "bad header LRC"
        if node != self.node:
            return "header for node %d" % node
        chars = e["blocks"] * BLOCK + e["partial"]
        e["bytes"] = chars // 2
        if chars % 2:
            return "odd character count"
        if e["address"] == 0:
            return "address 0"
        return None

    def expect_eot(self):
        if self.read(1) != bytes([EOT]):
            raise Abort("no EOT from master")

    def take_write(self, e, chars):
        data = bytearray()
        left = chars
        while left > 0:
            n = min(BLOCK, left)
            left -= n
            if self.read(1) != bytes([STX]):
                raise Abort("no STX")
            block = self.read(n)
            tail = self.read(3)
            ok = tail[0] == (ETX if left == 0 else ETB)
            try:
                ok = ok and int(tail[1:3], 16) == lrc(block)
                data += bytes.fromhex(block.decode("ascii"))
            except ValueError:
                ok = False
            act = self.fault(e, "block")
            if act == "silent":
                raise Abort("silent")
            if not ok or act == "nak":
                self.answer(NAK)
                self.expect_eot()
                raise Abort("nak" if ok else "bad data block")
            self.answer(ACK)
        self.expect_eot()
        e["data"] = data.hex().upper()
        if e["type"] == "1":
            e["words"] = [w for (w,) in struct.iter_unpack("<H", bytes(data[:len(data) & ~1]))]
        self.written(e["type"], e["address"], bytes(data))

    def give_read(self, e, chars):
        self.refresh()
        text = self.load(e["type"], e["address"], chars // 2).hex().upper().encode()
        if chars == 0:
            self.answer(EOT)
            return
        pos, first = 0, True
        while pos < chars:
            block = text[pos:pos + BLOCK]
            pos += len(block)
            end = ETX if pos >= chars else ETB
            check = lrc(block) ^ (0xFF if self.fault(e, "data", "bad_lrc") else 0)
            frame = bytes([STX]) + block + bytes([end]) + hex2(check) + bytes([CR])
            self.fault(e, "data", "delay")
            if first and self.fault(e, "data", "truncate"):
                self.send(frame[:1 + len(block) // 2])
                raise Abort("truncated")
            first = False
            self.send(frame)
            if self.read(1) != bytes([ACK]):
                raise Abort("block not acknowledged")
        self.answer(ACK if self.fault(e, "data", "no_eot") else EOT)
        self.expect_eot()


def open_port(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    if os.isatty(fd):
        tty.setraw(fd, termios.TCSANOW)
    return fd


def main(argv):
    p = argparse.ArgumentParser(description="Scripted DirectNET PLC (HEX mode); prints "
                                "'READY <port>' when listening.")
    p.add_argument("--port", required=True, help="serial device or pty slave path")
    p.add_argument("--script", help="JSON script (see the module help)")
    p.add_argument("--record", help="write every request received here, as JSON")
    p.add_argument("--node", type=int, help="the PLC's node (overrides the script)")
    args = p.parse_args(argv)
    try:
        script = {}
        if args.script:
            with open(args.script) as f:
                script = json.load(f)
        if args.node is not None:
            script["node"] = args.node
        plc = Plc(open_port(args.port), script, args.record)
    except (OSError, ValueError, KeyError, TypeError) as e:
        sys.stderr.write("directnet_plc.py: %s\n" % e)
        return 2
    stopping = []

    def finish(*_):
        stopping.append(1)
    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    plc.save()
    print("READY %s" % args.port, flush=True)
    plc.serve(lambda: bool(stopping))
    plc.save()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
