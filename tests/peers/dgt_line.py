#!/usr/bin/python3
"""Simulated LCC1200 serial line with several departments (controllers), for tests.

Run on the far end of a pseudo-terminal pair:
  dgt_line.py --port /dev/pts/N --script FILE.json [--record OUT.json]
(or --fd N for an inherited descriptor).  Prints "READY" once it listens;
SIGTERM or SIGINT saves the record and ends it.

Wire rules settled here:
  * The line is 7E2 on real hardware; a pty ignores that, so the port is only
    put in raw mode.  Bytes are taken with the high bit cleared (7 data bits).
  * A request ends with a space.  Read "Dnnn ", write "Dnnn=VALUE ",
    broadcast "/nnn=VALUE ", node-list query "/@ ".  D is a letter; the
    number has at least one digit (the driver pads reads and writes to three).
    Anything else up to a space is recorded as "invalid" and not answered;
    64 bytes without a space are dropped as one invalid request.
  * Reads and writes of a department on the line are answered with
    "*" D number(decimal, no padding) "=" value and the end of line (CR by
    default, script key "eol").  Setpoint 636 is answered "/47=" value.
    A write answers with the new value as it was sent.
  * A setpoint the department does not have (or lists in "unavailable") is
    answered with "*Dn=?" (script key "unavailable_answer", a template with
    {dept} and {number}, e.g. "?" for a bare question mark); a write to it
    changes nothing.
  * A department not on the line stays silent (no controller to answer).
  * A broadcast and the node-list query get no answer.  A broadcast sets the
    setpoint in every department that has it.
  * Stored values are texts: a number in the script is sent in "%g" form,
    a string is sent verbatim, a write stores the value text it carried.

Script (JSON):
  {"departments": {"A": {"57": 5.25, "300": "12"}, "B": {...}},
   "unavailable": {"A": [58]},            # present but answered with "?"
   "eol": "\\r", "unavailable_answer": "*{dept}{number}=?",
   "misbehave": [{"do": ACTION, "nth": N | "always": true,
                  "kind": "read"|"write", "dept": "A", "number": 57,
                  "ms": 2500, "keep": 3}]}
A misbehaviour counts the answerable requests (reads and writes to a
department on the line) that match its filters, from 1, and fires on the Nth
or on every one.  The first entry that fires wins.  Actions:
  silent     no answer
  corrupt    the answer's first character replaced (the protocol has no
             checksum; this is its bad-frame case)
  wrong_node the answer names the next department letter
  wrong_setpoint  the answer names number + 1
  truncate   only the first "keep" characters (default 3), no end of line
  long       the value padded so that the answer exceeds 63 characters
  late       the answer sent after "ms" milliseconds (the simulator does not
             read meanwhile, so the answer may land after the next request)

Setpoint 636 is answered without a department, so wrong_node leaves its
answer as it is (the fault is still recorded).

Record (JSON, rewritten after every request, before its answer goes out):
{"requests": [{"seq", "time", "kind", "raw", "dept", "number", "value_text",
"value", "answer", "fault"}]}: "time" is seconds since READY when the request
was complete (to check the pauses between requests), "answer" the text sent
(null when none), "kind" read, write, broadcast, node_list or invalid.
"""
import argparse
import json
import os
import re
import signal
import sys
import termios
import time
import tty

MAX_REQUEST = 64
REQUEST_RE = re.compile(r"^(?:(?P<dept>[A-Za-z])(?P<num>\d+)(?:=(?P<val>\S*))?"
                        r"|/(?P<bnum>\d+)=(?P<bval>\S*)|(?P<nodes>/@))$")
ACTIONS = {"silent", "corrupt", "wrong_node", "wrong_setpoint", "truncate", "long", "late"}


def value_text(v):
    return v if isinstance(v, str) else "%g" % v


def parse_value(text):
    try:
        return float(text)
    except ValueError:
        return None


class DgtLine:
    """The line's state and request handling, free of any port so it can be driven directly."""

    def __init__(self, script=None):
        s = dict(script or {})
        self.departments = {}
        for dept, points in s.get("departments", {}).items():
            if len(dept) != 1 or not dept.isalpha():
                raise ValueError("department %r: must be one letter" % dept)
            self.departments[dept] = {int(n): value_text(v) for n, v in points.items()}
        self.unavailable = {d: {int(n) for n in nums} for d, nums in s.get("unavailable", {}).items()}
        self.eol = s.get("eol", "\r")
        self.unavailable_answer = s.get("unavailable_answer", "*{dept}{number}=?")
        self.misbehave = []
        for m in s.get("misbehave", []):
            m = dict(m)
            if m.get("do") not in ACTIONS:
                raise ValueError("misbehaviour %r: unknown action" % (m,))
            if not m.get("always") and int(m.get("nth", 0)) < 1:
                raise ValueError("misbehaviour %r: needs nth >= 1 or always" % (m,))
            m["_count"] = 0
            self.misbehave.append(m)
        self.record = {"requests": []}
        self.start = time.monotonic()

    def available(self, dept, number):
        return number in self.departments[dept] and number not in self.unavailable.get(dept, ())

    def _fault(self, entry):
        hit = None
        for m in self.misbehave:
            if any(k in m and m[k] != entry.get(k) for k in ("kind", "dept", "number")):
                continue
            m["_count"] += 1
            if hit is None and (m.get("always") or m["_count"] == int(m["nth"])):
                hit = m
        return hit

    def handle(self, raw):
        """One request text (without its closing space).  Returns (answer text
        or None, delay in seconds) and records the request."""
        entry = {"seq": len(self.record["requests"]) + 1, "raw": raw, "answer": None, "fault": None,
                 "time": round(time.monotonic() - self.start, 4)}
        self.record["requests"].append(entry)
        m = REQUEST_RE.match(raw)
        if not m:
            entry["kind"] = "invalid"
            return None, 0
        if m.group("nodes"):
            entry["kind"] = "node_list"
            return None, 0
        if m.group("bnum") is not None:
            number, text = int(m.group("bnum")), m.group("bval")
            entry.update(kind="broadcast", number=number, value_text=text, value=parse_value(text))
            for dept in self.departments:
                if self.available(dept, number):
                    self.departments[dept][number] = text
            return None, 0
        dept, number, text = m.group("dept"), int(m.group("num")), m.group("val")
        entry.update(kind="read" if text is None else "write", dept=dept, number=number)
        if text is not None:
            entry.update(value_text=text, value=parse_value(text))
        if dept not in self.departments:
            return None, 0
        if not self.available(dept, number):
            answer = self.unavailable_answer.format(dept=dept, number=number)
        else:
            if text is not None:
                self.departments[dept][number] = text
            value = self.departments[dept][number]
            answer = ("/47=%s" % value) if number == 636 else "*%s%d=%s" % (dept, number, value)
        answer += self.eol
        delay = 0
        fault = self._fault(entry)
        if fault:
            do = entry["fault"] = fault["do"]
            if do == "silent":
                return None, 0
            if do == "corrupt":
                answer = ("#" if answer[0] != "#" else "+") + answer[1:]
            elif do == "wrong_node":
                other = chr(ord(dept) + 1) if dept not in "Zz" else chr(ord(dept) - 1)
                answer = answer.replace("*%s" % dept, "*%s" % other, 1)
            elif do == "wrong_setpoint":
                if number == 636:
                    answer = answer.replace("/47=", "/48=", 1)
                else:
                    answer = answer.replace("%s%d=" % (dept, number), "%s%d=" % (dept, number + 1), 1)
            elif do == "truncate":
                answer = answer[:int(fault.get("keep", 3))].rstrip("\r\n")
            elif do == "long":
                body = answer.rstrip("\r\n")
                answer = body + "0" * max(0, 70 - len(body)) + self.eol
            elif do == "late":
                delay = int(fault.get("ms", 2500)) / 1000.0
        entry["answer"] = answer
        return answer, delay

    def dump(self):
        return json.dumps(self.record, sort_keys=True)


class Framer:
    """Cuts the byte stream into requests at spaces."""

    def __init__(self):
        self.buf = ""

    def feed(self, data):
        out = []
        for ch in data:
            c = chr(ch & 0x7F)
            if c == " ":
                if self.buf:
                    out.append(self.buf)
                self.buf = ""
                continue
            self.buf += c
            if len(self.buf) >= MAX_REQUEST:
                out.append(self.buf)
                self.buf = ""
        return out


def save(line, path):
    if not path:
        return
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(line.dump())
    os.replace(tmp, path)


def serve(fd, line, record_path):
    framer = Framer()
    while True:
        try:
            data = os.read(fd, 256)
        except OSError:
            data = b""
        if not data:
            # The other end is not open (EIO on a pty): wait for it.
            time.sleep(0.02)
            continue
        for raw in framer.feed(data):
            answer, delay = line.handle(raw)
            # Saved before answering, so a driver that has its answer finds the request recorded.
            save(line, record_path)
            if answer is not None:
                if delay:
                    time.sleep(delay)
                try:
                    os.write(fd, answer.encode("latin-1"))
                except OSError:
                    pass


def main(argv):
    p = argparse.ArgumentParser(prog="dgt_line.py",
                                description="Simulated LCC1200 line; prints READY when it listens.")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", help="path of the pty end (or serial device) to serve")
    where.add_argument("--fd", type=int, help="an inherited, open descriptor to serve")
    p.add_argument("--script", help="JSON script (see the module text)")
    p.add_argument("--record", help="write the received requests here as JSON after each one and at exit")
    args = p.parse_args(argv)
    script = {}
    if args.script:
        with open(args.script) as f:
            script = json.load(f)
    line = DgtLine(script)
    fd = args.fd if args.fd is not None else os.open(args.port, os.O_RDWR | os.O_NOCTTY)
    if os.isatty(fd):
        tty.setraw(fd, termios.TCSANOW)

    def finish(*_):
        save(line, args.record)
        os._exit(0)
    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    save(line, args.record)
    line.start = time.monotonic()
    print("READY", flush=True)
    serve(fd, line, args.record)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
