#!/usr/bin/python3
"""Simulated TXIF ARCNET adapter on its RS-232 line (the far end of a pty pair).

  txif_adapter.py --port /dev/pts/N [--script FILE.json] [--record OUT.json]
  txif_adapter.py --fd N ...      (an inherited pty master whose slave the driver opens)

prints "READY" once it listens, then answers packets until SIGTERM/SIGINT or
(with --port) the other side hangs up; with --fd a closed slave is waited out,
so a driver may close and reopen its port.  The record is rewritten after
every packet, before its answer goes out, and at exit.

Wire rules settled here (the driver follows them):
  * Packet: byte 0 function code, bytes 1-2 payload length n (little-endian),
    n payload bytes, then three trailer bytes: 0x04 (end mark), then the
    CRC-16 of every byte before it (bytes 0 to n+3), low byte first.  The CRC
    is the MODBUS one: reflected polynomial 0xA001, start 0xFFFF, no final
    xor ("123456789" gives 0x4B37).  The sender fills the trailer just before
    sending; the information request is thus 1E 00 00 04 + CRC.
  * All numbers little-endian.  Requests: 10 read (network 1 byte, node 4
    bytes, entries of 8: identifier 4, type 1, three zero bytes), 20 write
    (network, node, entries of 10: identifier 4, type 1, status 0, value 4),
    30 information (no payload).  Answers: 110 read answer (entries of 10:
    identifier, type, status, value), 130 information answer (14 bytes: type,
    version major, minor, patch, node, next node, reconfiguration count
    (signed 32-bit), status, diagnostic status, parameter count (16-bit)),
    255 NAK (code, 16-bit).
  * A write is answered with a read answer: each entry as written, with its
    status and the value now stored (or 0).
  * Answer entries keep the request's order.  Entry status 0 is success; a
    failing entry carries the NAK number of its fault: 6 setpoint unknown to
    the node, 5 value type outside 1-7, a type other than the setpoint's
    fixed one, a value that does not fit the type, or (in a write) unused
    high value bytes that are not zero.  A failing write entry stores nothing.
  * Values take 4 bytes, the unused high bytes zero: type 1 s8, 2 u8, 3 s16,
    4 u16, 5 s32, 6 u32, 7 IEEE float.  So -1 of type 3 is FF FF 00 00.  An
    integer type read from a stored float is truncated toward zero.
  * Whole-packet refusals are NAKs: 1 unknown function code, 2 network not in
    the table, 3 network 0 with a node above 254, 4 node not in the table
    (no controller answers), 5 malformed packet: bad trailer (end mark or
    CRC), a length that does not fit the function, more entries than
    "max_entries" (default 11), or a length field above 325 (the largest
    request); in that last case input is dropped until the line has been
    quiet for "gap_ms", then the one NAK goes out.
  * A packet that stays unfinished for "gap_ms" (default 500) is recorded as
    incomplete and not answered.

Script (JSON, every key optional):
  {"networks": {"0": {"12": {"100": 5, "101": {"value": 2.5, "type": 7}}},
                "1": {"70000": {"7": -1}}},
   "info": {"type": 2, "version": [1, 4, 0], "node": 1, "next_node": 12,
            "reconf": 3, "status": 0, "diag": 0, "params": 640},
   "max_entries": 11, "gap_ms": 500,
   "misbehave": [{"do": ACTION, "nth": N | [N, ...] | "always": true,
                  "fun": 10, "network": 0, "node": 12, ...}]}
"networks" maps network -> node -> setpoint identifier -> value (a number,
or {"value", "type"} to fix the setpoint's type).  A misbehaviour counts the
well-formed packets (complete, good trailer) that match its optional "fun",
"network" and "node", from 1, and applies to the Nth (or listed) ones or to
all with "always"; every entry that applies acts.  Actions:
  nak        code     answer NAK code (1-7 or 100, default 7); a refused
                      write stores nothing
  silent              no answer (the request still takes effect)
  truncate   keep     send only the first "keep" bytes (default: all but the
                      trailer)
  late       ms       answer after "ms" milliseconds (default 3000); nothing
                      is read meanwhile
  bad_trailer byte    trailer byte 0-2 (default 1, the CRC's low byte) xor 0xFF

Record (JSON): {"packets": [{"seq", "time" (s since READY), "raw" (hex),
"fun", "length", "trailer_ok", "kind" (read, write, info, other, incomplete,
bad_length), "network", "node", "entries": [{"id", "type", "status", "value",
"pad"}], "error", "faults", "answer" (hex or null), "answer_fun",
"nak"}]}.  "pad" is the hex of a read entry's three spare bytes.
"""
import argparse
import json
import math
import os
import select
import signal
import struct
import sys
import termios
import time
import tty

FUN_READ, FUN_WRITE, FUN_INFO = 10, 20, 30
FUN_READ_ANSWER, FUN_INFO_ANSWER, FUN_NAK = 110, 130, 255
END_MARK = 0x04
MAX_PAYLOAD = 5 + 32 * 10
NAK_FUN, NAK_NETWORK, NAK_NODE, NAK_TIMEOUT, NAK_FORMAT, NAK_SETPOINT, NAK_GENERIC = range(1, 8)
NAK_NOT_READY = 100
NAK_CODES = (1, 2, 3, 4, 5, 6, 7, 100)
ACTIONS = ("nak", "silent", "truncate", "late", "bad_trailer")
# type -> (struct code of the used low bytes, their width, lowest, highest)
INT_TYPES = {1: ("<b", 1, -0x80, 0x7F), 2: ("<B", 1, 0, 0xFF), 3: ("<h", 2, -0x8000, 0x7FFF),
             4: ("<H", 2, 0, 0xFFFF), 5: ("<i", 4, -2 ** 31, 2 ** 31 - 1), 6: ("<I", 4, 0, 2 ** 32 - 1)}
FLOAT_TYPE = 7


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def build_packet(fun, payload=b""):
    body = bytes([fun]) + struct.pack("<H", len(payload)) + bytes(payload) + bytes([END_MARK])
    return body + struct.pack("<H", crc16(body))


def trailer_ok(packet):
    return packet[-3] == END_MARK and struct.unpack("<H", packet[-2:])[0] == crc16(packet[:-2])


def encode_value(vtype, value):
    """Stored value -> (status, 4 value bytes) for the requested type."""
    if vtype == FLOAT_TYPE:
        try:
            return 0, struct.pack("<f", float(value))
        except OverflowError:
            return NAK_FORMAT, bytes(4)
    if vtype not in INT_TYPES:
        return NAK_FORMAT, bytes(4)
    code, width, low, high = INT_TYPES[vtype]
    if isinstance(value, float) and not math.isfinite(value):
        return NAK_FORMAT, bytes(4)
    v = int(value)
    if not low <= v <= high:
        return NAK_FORMAT, bytes(4)
    return 0, struct.pack(code, v).ljust(4, b"\0")


def decode_value(vtype, raw):
    """4 value bytes of a write -> (status, value)."""
    if vtype == FLOAT_TYPE:
        return 0, struct.unpack("<f", raw)[0]
    if vtype not in INT_TYPES:
        return NAK_FORMAT, None
    code, width, _, _ = INT_TYPES[vtype]
    if any(raw[width:]):
        return NAK_FORMAT, None
    return 0, struct.unpack(code, raw[:width])[0]


def json_number(v):
    # The record stays strict JSON even for a NaN or infinite float.
    return v if not isinstance(v, float) or math.isfinite(v) else repr(v)


class Adapter:
    """The adapter's state and packet handling, free of any port."""

    def __init__(self, script=None):
        s = dict(script or {})
        self.networks = {}
        for net_key, nodes in (s.get("networks") or {}).items():
            net = int(net_key)
            if not 0 <= net <= 255:
                raise ValueError("network %r is not 0 to 255" % net_key)
            table = self.networks.setdefault(net, {})
            for node_key, points in nodes.items():
                node = int(node_key)
                if not 0 <= node < 2 ** 32:
                    raise ValueError("node %r does not fit 4 bytes" % node_key)
                table[node] = {int(k): self._setpoint(v) for k, v in points.items()}
        info = dict(s.get("info") or {})
        version = list(info.get("version", [1, 0, 0]))
        if len(version) != 3:
            raise ValueError("info version needs three numbers")
        self.info = struct.pack("<6BiBBH", int(info.get("type", 2)), *version,
                                int(info.get("node", 1)), int(info.get("next_node", 1)),
                                int(info.get("reconf", 0)), int(info.get("status", 0)),
                                int(info.get("diag", 0)), int(info.get("params", 0)))
        self.max_entries = int(s.get("max_entries", 11))
        if not 0 <= self.max_entries <= 32:
            raise ValueError("max_entries must be 0 to 32")
        self.gap = int(s.get("gap_ms", 500)) / 1000.0
        self.misbehave = []
        for m in s.get("misbehave") or []:
            m = dict(m)
            if m.get("do") not in ACTIONS:
                raise ValueError("misbehaviour %r: unknown action" % (m,))
            nth = m.get("nth")
            if not m.get("always") and not (isinstance(nth, int) or isinstance(nth, list) and nth):
                raise ValueError("misbehaviour %r: needs nth or always" % (m,))
            if m["do"] == "nak" and int(m.get("code", NAK_GENERIC)) not in NAK_CODES:
                raise ValueError("misbehaviour %r: NAK code must be 1 to 7 or 100" % (m,))
            if m["do"] == "bad_trailer" and int(m.get("byte", 1)) not in (0, 1, 2):
                raise ValueError("misbehaviour %r: trailer byte must be 0 to 2" % (m,))
            m["_count"] = 0
            self.misbehave.append(m)
        self.packets = []
        self.record_path = None
        self.start = time.monotonic()

    @staticmethod
    def _setpoint(v):
        vtype = None
        if isinstance(v, dict):
            vtype = v.get("type")
            if vtype is not None and vtype not in INT_TYPES and vtype != FLOAT_TYPE:
                raise ValueError("setpoint type %r is not 1 to 7" % (vtype,))
            v = v["value"]
        if not isinstance(v, (int, float)) or isinstance(v, bool):
            raise ValueError("setpoint value %r is not a number" % (v,))
        return {"value": float(v) if vtype == FLOAT_TYPE else v, "type": vtype}

    # -- record -------------------------------------------------------------
    def save(self):
        if not self.record_path:
            return
        tmp = self.record_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"packets": self.packets}, f, indent=1)
        os.replace(tmp, self.record_path)

    def _entry(self, raw, kind=None):
        e = {"seq": len(self.packets) + 1, "time": round(time.monotonic() - self.start, 4),
             "raw": raw.hex(), "kind": kind, "error": None, "faults": [], "answer": None,
             "answer_fun": None, "nak": None}
        self.packets.append(e)
        return e

    # -- protocol -----------------------------------------------------------
    def incomplete(self, raw):
        """A packet that stopped arriving: recorded, not answered."""
        self._entry(raw, "incomplete")["error"] = "incomplete"
        self.save()

    def bad_length(self, raw):
        e = self._entry(raw, "bad_length")
        e["error"] = "length field above %d" % MAX_PAYLOAD
        return self._finish(e, build_packet(FUN_NAK, struct.pack("<H", NAK_FORMAT)), 0.0)

    def handle(self, packet):
        """One complete packet (n + 6 bytes) -> (answer bytes or None, delay in s)."""
        e = self._entry(packet)
        fun, n = packet[0], struct.unpack("<H", packet[1:3])[0]
        payload = packet[3:3 + n]
        e.update(fun=fun, length=n, trailer_ok=trailer_ok(packet))
        e["kind"] = {FUN_READ: "read", FUN_WRITE: "write", FUN_INFO: "info"}.get(fun, "other")
        if fun in (FUN_READ, FUN_WRITE) and n >= 5:
            e["network"], e["node"] = payload[0], struct.unpack("<I", payload[1:5])[0]
        if fun in (FUN_READ, FUN_WRITE):
            self._decode_entries(e, fun, payload)
        if not e["trailer_ok"]:
            e["error"] = "bad trailer"
            return self._finish(e, self._nak(NAK_FORMAT), 0.0)
        faults = self._faults_for(e)
        e["faults"] = [m["do"] for m in faults]
        naks = [m for m in faults if m["do"] == "nak"]
        if naks:
            # A refused request leaves the table as it was.
            answer = self._nak(int(naks[-1].get("code", NAK_GENERIC)))
        else:
            answer = self._answer(e, fun, payload)
        delay = 0.0
        for m in faults:
            if m["do"] == "silent":
                answer = None
            elif m["do"] == "late":
                delay += int(m.get("ms", 3000)) / 1000.0
        if answer is not None:
            for m in faults:
                if m["do"] == "bad_trailer":
                    b = bytearray(answer)
                    b[len(b) - 3 + int(m.get("byte", 1))] ^= 0xFF
                    answer = bytes(b)
            for m in faults:
                if m["do"] == "truncate":
                    answer = answer[:int(m.get("keep", len(answer) - 3))]
        return self._finish(e, answer, delay)

    def _finish(self, e, answer, delay):
        if answer is not None:
            e["answer"] = answer.hex()
            e["answer_fun"] = answer[0] if answer else None
            if answer[:1] == bytes([FUN_NAK]) and len(answer) >= 5:
                e["nak"] = struct.unpack("<H", answer[3:5])[0]
        e["delay_ms"] = round(delay * 1000)
        self.save()
        return answer, delay

    @staticmethod
    def _nak(code):
        return build_packet(FUN_NAK, struct.pack("<H", code))

    def _faults_for(self, e):
        found = []
        for m in self.misbehave:
            if any(k in m and m[k] != e.get(want) for k, want in
                   (("fun", "fun"), ("network", "network"), ("node", "node"))):
                continue
            m["_count"] += 1
            nth = m.get("nth")
            if m.get("always") or m["_count"] == nth or (isinstance(nth, list) and m["_count"] in nth):
                found.append(m)
        return found

    def _answer(self, e, fun, payload):
        n = len(payload)
        if fun == FUN_INFO:
            if n:
                e["error"] = "information request with a payload"
                return self._nak(NAK_FORMAT)
            return build_packet(FUN_INFO_ANSWER, self.info)
        if fun not in (FUN_READ, FUN_WRITE):
            e["error"] = "unknown function code"
            return self._nak(NAK_FUN)
        if e.get("entries") is None:
            e["error"] = "length %d does not fit the entries" % n
            return self._nak(NAK_FORMAT)
        size = 8 if fun == FUN_READ else 10
        entries = [payload[i:i + size] for i in range(5, n, size)]
        if len(entries) > self.max_entries:
            e["error"] = "%d entries, at most %d" % (len(entries), self.max_entries)
            return self._nak(NAK_FORMAT)
        net, node = e["network"], e["node"]
        if net not in self.networks:
            e["error"] = "unavailable network"
            return self._nak(NAK_NETWORK)
        if net == 0 and node > 254:
            e["error"] = "invalid node"
            return self._nak(NAK_NODE)
        points = self.networks[net].get(node)
        if points is None:
            e["error"] = "no such node"
            return self._nak(NAK_TIMEOUT)
        out = b""
        for raw, dec in zip(entries, e["entries"]):
            vtype = raw[4]
            point = points.get(dec["id"])
            status, value = 0, bytes(4)
            if point is None:
                status = NAK_SETPOINT
            elif point["type"] is not None and point["type"] != vtype:
                status = NAK_FORMAT
            elif fun == FUN_WRITE:
                status, new = decode_value(vtype, raw[6:10])
                if not status:
                    status, value = encode_value(vtype, new)
                    if not status:
                        point["value"] = new
            else:
                status, value = encode_value(vtype, point["value"])
            if status:
                value = bytes(4)
            dec["answer_status"] = status
            out += raw[:5] + bytes([status]) + value
        return build_packet(FUN_READ_ANSWER, out)

    @staticmethod
    def _decode_entries(e, fun, payload):
        """Records the entries; leaves "entries" None when the length does not fit them."""
        size, n = (8 if fun == FUN_READ else 10), len(payload)
        e["entries"] = None
        if n < 5 or (n - 5) % size:
            return
        e["entries"] = [Adapter._decode_entry(fun, payload[i:i + size]) for i in range(5, n, size)]

    @staticmethod
    def _decode_entry(fun, raw):
        d = {"id": struct.unpack("<I", raw[:4])[0], "type": raw[4]}
        if fun == FUN_READ:
            d["pad"] = raw[5:8].hex()
        else:
            d["status"] = raw[5]
            d["value_hex"] = raw[6:10].hex()
            d["value"] = json_number(decode_value(raw[4], raw[6:10])[1])
        return d


class Framer:
    """Cuts the byte stream into packets by their length field; a packet
    left unfinished, or garbage after a bad length, ends at a quiet gap."""

    def __init__(self, adapter):
        self.adapter = adapter
        self.buf = b""
        self.last = None
        self.resync = False

    def feed(self, data, now):
        """-> list of (answer, delay) for what the bytes complete."""
        self.buf += data
        self.last = now
        out = []
        while not self.resync and len(self.buf) >= 3:
            n = struct.unpack("<H", self.buf[1:3])[0]
            if n > MAX_PAYLOAD:
                self.resync = True
                break
            if len(self.buf) < n + 6:
                break
            packet, self.buf = self.buf[:n + 6], self.buf[n + 6:]
            out.append(self.adapter.handle(packet))
        return out

    def idle(self, now):
        """Called when nothing arrived for a while -> answer or None."""
        if not self.buf or now - self.last < self.adapter.gap:
            return None
        raw, self.buf = self.buf, b""
        if self.resync:
            self.resync = False
            return self.adapter.bad_length(raw)
        self.adapter.incomplete(raw)
        return None


def serve(adapter, fd, wait_on_hangup):
    framer = Framer(adapter)

    def send(answer, delay):
        if answer is None:
            return
        if delay:
            time.sleep(delay)
        try:
            os.write(fd, answer)
        except OSError:
            pass
    while True:
        ready, _, _ = select.select([fd], [], [], 0.05)
        now = time.monotonic()
        if not ready:
            got = framer.idle(now)
            if got:
                send(*got)
            continue
        try:
            chunk = os.read(fd, 1024)
        except OSError:
            chunk = b""
        if not chunk:
            if not wait_on_hangup:
                return
            # A pty master reads EIO while the driver has its end closed.
            time.sleep(0.05)
            continue
        for answer, delay in framer.feed(chunk, now):
            send(answer, delay)


def main(argv):
    p = argparse.ArgumentParser(prog="txif_adapter.py",
                                description="Simulated TXIF adapter on RS-232; prints READY when listening.")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", help="serial device, e.g. a pty slave; set raw, and the simulator "
                       "exits when the other side hangs up")
    where.add_argument("--fd", type=int, help="inherited descriptor, e.g. a pty master whose slave "
                       "the driver opens; its settings are left to the driver")
    p.add_argument("--script", help="JSON script (see the module text)")
    p.add_argument("--record", help="write the received packets here as JSON")
    args = p.parse_args(argv)
    try:
        script = {}
        if args.script:
            with open(args.script) as f:
                script = json.load(f)
        adapter = Adapter(script)
    except (OSError, ValueError, TypeError, KeyError, AttributeError, struct.error) as e:
        sys.stderr.write("txif_adapter: bad script: %s\n" % e)
        return 2
    adapter.record_path = args.record
    if args.port:
        fd = os.open(args.port, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd, termios.TCSANOW)
    else:
        fd = args.fd

    def finish(*_):
        adapter.save()
        os._exit(0)
    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    adapter.save()
    adapter.start = time.monotonic()
    print("READY", flush=True)
    serve(adapter, fd, wait_on_hangup=args.fd is not None)
    adapter.save()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
