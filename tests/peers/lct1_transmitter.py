#!/usr/bin/python3
"""Scripted LCT-1 transmitter line on a serial port (the far end of a pty pair).

  lct1_transmitter.py --port /dev/pts/N [--script FILE.json] [--record OUT.json]
  lct1_transmitter.py --fd N ...      (an inherited pty master)

prints "READY" once the port is open and then answers requests until it gets
SIGTERM/SIGINT or (with --port) the other side hangs up.  The record (every request,
decoded, with the answer sent) is written after every request and at exit.

Wire rules settled here:
  * Request: "(" node-hex number(2 digits) data checksum(2) ")" CR LF.  Bytes
    before "(" are ignored; a frame ends at LF.  A frame without ")" just before
    CR LF, a node that is not one upper-case hex digit or a number that is not
    two digits is recorded as malformed and not answered.  Incoming bytes lose
    their eighth bit (7 data bits on the line).
  * Answer: "(" node number data checksum ")" with no CR LF (script "crlf"
    adds one).  Data lengths follow the message number (DATA_LENGTH).
  * Checksum: sum of the characters between "(" and the checksum, mod 256, two
    upper-case hex digits.  With "checksum": true (default) a request with a
    wrong checksum (also "??") is recorded and ignored; with false the request's
    checksum is not looked at and answers carry "??".
  * A request without data reads a message, one with data of the message's
    length writes it and the answer echoes the stored data.  Message 50 writes
    leave a relay whose character is "9" unchanged.  Message 3 (reset) answers
    without data.  Stored data starts as zeros, version (message 2) "0104".
  * Error answer 99 (two data characters): "01" unknown message number, "02"
    data of the wrong length, "03" a data character that is not 0-9 or A-F.
  * Only nodes listed in the script answer (default: node 1 alone); others
    stay silent, as on a shared line.

Script (JSON, every key optional):
  {"checksum": true, "crlf": false,
   "nodes": {"1": {"messages": {"60": "001234", "2": "0104"},
                   "readings": ["000100", "000200"]}},
   "faults": [{"action": "silent", "request": 3},
              {"action": "delay", "ms": 800, "always": true, "node": 2,
               "message": 60}]}
  "messages" overrides the stored data of a node (defaults below); "readings"
  are handed out by successive reads of message 60, the last one repeating.
  A fault applies to the request numbered "request" (1-based over every framed
  request, an int or a list) or to all with "always", narrowed by optional
  "node" and "message"; faults only touch requests that would be answered.
  All matching faults apply.  A silent or late request still takes effect; an
  error answer leaves the stored data alone.  Actions:
    silent                 no answer
    delay      ms          answer late
    bad_checksum           checksum off by one
    wrong_node             answer from node + 1 (mod 16)
    wrong_message          answer as message 61 (62 when 61 was asked)
    truncate   keep        send only the first "keep" characters (default: all
                           but the closing parenthesis)
    error      code        answer 99 with the code (default "01")
"""
import argparse
import json
import os
import select
import signal
import sys
import termios
import time
import tty

DATA_LENGTH = {3: 0, 20: 0, 1: 2, 10: 2, 99: 2, 2: 4, 50: 4, 63: 4,
               30: 6, 31: 6, 32: 6, 33: 6, 34: 6, 35: 6, 36: 6, 60: 6, 71: 6, 80: 6,
               61: 10, 62: 10, 81: 10, 82: 10}
HEX = "0123456789ABCDEF"
ERR_MESSAGE, ERR_LENGTH, ERR_CHAR = "01", "02", "03"
PARTIAL_TIMEOUT = 2.0     # seconds a frame may stay unfinished


def checksum(text):
    return "%02X" % (sum(text.encode("latin-1")) % 256)


ACTIONS = ("silent", "delay", "bad_checksum", "wrong_node", "wrong_message", "truncate", "error")


def _checked_data(num, data):
    """Script data for a message: must fit the message's data length."""
    data = str(data)
    if num not in DATA_LENGTH or num == 99 or len(data) != DATA_LENGTH[num]:
        raise ValueError("data %r does not fit message %r" % (data, num))
    return data


def default_messages():
    msgs = {n: "0" * length for n, length in DATA_LENGTH.items() if n != 99}
    msgs[2] = "0104"      # version 1.04
    msgs[50] = "0000"
    return msgs


class Transmitter:
    def __init__(self, script):
        self.check = bool(script.get("checksum", True))
        self.crlf = bool(script.get("crlf", False))
        self.nodes = {}
        for key, conf in (script.get("nodes") or {"1": {}}).items():
            node = int(key)
            if not 0 <= node <= 15:
                raise ValueError("node %r is not 0 to 15" % key)
            msgs = default_messages()
            for num, data in (conf.get("messages") or {}).items():
                msgs[int(num)] = _checked_data(int(num), data)
            readings = [_checked_data(60, r) for r in conf.get("readings") or []]
            self.nodes[node] = {"messages": msgs, "readings": readings}
        self.faults = list(script.get("faults") or [])
        for f in self.faults:
            if f.get("action") not in ACTIONS:
                raise ValueError("unknown fault action %r" % f.get("action"))
        self.requests = []
        self.record_path = None

    # -- record -------------------------------------------------------------
    def save(self):
        if not self.record_path:
            return
        tmp = self.record_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"requests": self.requests}, f, indent=1)
        os.replace(tmp, self.record_path)

    # -- protocol -----------------------------------------------------------
    def frame(self, node, num, data, bad_sum=False):
        body = "%X%02d%s" % (node, num, data)
        if self.check:
            cs = checksum(body)
            if bad_sum:
                cs = "%02X" % ((int(cs, 16) + 1) % 256)
        else:
            cs = "00" if bad_sum else "??"
        return "(" + body + cs + ")" + ("\r\n" if self.crlf else "")

    def _faults_for(self, entry):
        found = []
        for f in self.faults:
            if "node" in f and f["node"] != entry.get("node"):
                continue
            if "message" in f and f["message"] != entry.get("message"):
                continue
            which = f.get("request")
            if f.get("always") or entry["index"] == which or (
                    isinstance(which, list) and entry["index"] in which):
                found.append(f)
        return found

    def decode(self, raw):
        """Request text from "(" up to LF -> record entry (no answer yet)."""
        entry = {"index": len(self.requests) + 1, "raw": raw, "time": round(time.time(), 3)}
        if not raw.endswith(")\r\n") or len(raw) < 8:
            entry["error"] = "bad framing"
            return entry
        body = raw[1:-3]
        node_c, num_s, data, cs = body[0], body[1:3], body[3:-2], body[-2:]
        if node_c not in HEX:
            entry["error"] = "bad node"
            return entry
        if not num_s.isdigit():
            entry["error"] = "bad message number"
            return entry
        entry.update(node=int(node_c, 16), message=int(num_s), data=data, checksum=cs,
                     checksum_ok=(cs == checksum(body[:-2])))
        return entry

    def reply(self, entry):
        """Answer data for a good request: (message number, data)."""
        state = self.nodes[entry["node"]]
        num, data = entry["message"], entry["data"]
        if num not in DATA_LENGTH or num == 99:
            return 99, ERR_MESSAGE
        if data and len(data) != DATA_LENGTH[num]:
            return 99, ERR_LENGTH
        if any(c not in HEX for c in data):
            return 99, ERR_CHAR
        msgs = state["messages"]
        if data:
            if num == 50:
                data = "".join(new if new != "9" or i == 0 else old
                               for i, (new, old) in enumerate(zip(data, msgs[50])))
            msgs[num] = data
        elif num == 60 and state["readings"]:
            msgs[60] = state["readings"].pop(0) if len(state["readings"]) > 1 else state["readings"][0]
        return num, msgs[num]

    def handle(self, raw):
        """One framed request; returns the answer bytes (or None) and a delay in s."""
        entry = self.decode(raw)
        self.requests.append(entry)
        answer, delay = None, 0.0
        if "error" not in entry and entry["node"] in self.nodes and (
                entry["checksum_ok"] or not self.check):
            node = entry["node"]
            faults = self._faults_for(entry)
            # An error answer stands for a refused request: the state stays.
            errors = [f for f in faults if f["action"] == "error"]
            if errors:
                num, data = 99, str(errors[-1].get("code", ERR_MESSAGE))
            else:
                num, data = self.reply(entry)
            bad_sum = False
            keep = None
            silent = False
            for f in faults:
                act = f.get("action")
                if act == "silent":
                    silent = True
                elif act == "delay":
                    delay += f.get("ms", 0) / 1000.0
                elif act == "bad_checksum":
                    bad_sum = True
                elif act == "wrong_node":
                    node = (node + 1) % 16
                elif act == "wrong_message":
                    num = 61 if num != 61 else 62
                    data = data.ljust(DATA_LENGTH[num], "0")[:DATA_LENGTH[num]]
                elif act == "truncate":
                    keep = f.get("keep", -1)
            if not silent:
                answer = self.frame(node, num, data, bad_sum)
                if keep is not None:
                    answer = answer.rstrip("\r\n")[:keep]
        entry["answer"] = answer
        entry["delay_ms"] = round(delay * 1000)
        self.save()
        return (answer.encode("latin-1") if answer is not None else None), delay


def serve(sim, fd, wait_on_hangup=False):
    buf = b""
    started = None
    while True:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 512)
            except OSError:
                chunk = b""
            if not chunk:
                if not wait_on_hangup:
                    return          # the other side hung up
                # A pty master reads EIO while the driver has the line closed;
                # it may open it again.
                time.sleep(0.05)
                continue
            buf += bytes(b & 0x7F for b in chunk)   # 7 data bits on the line
        elif started is not None and time.monotonic() - started > PARTIAL_TIMEOUT:
            sim.handle(buf.decode("latin-1"))        # recorded as malformed
            buf, started = b"", None
        while True:
            start = buf.find(b"(")
            if start < 0:
                buf, started = b"", None
                break
            # A new "(" before the LF starts a new frame: the earlier one is junk.
            nxt = buf.find(b"(", start + 1)
            end = buf.find(b"\n", start)
            if nxt >= 0 and (end < 0 or nxt < end):
                sim.handle(buf[start:nxt].decode("latin-1"))
                buf = buf[nxt:]
                continue
            if end < 0:
                buf = buf[start:]
                if started is None:
                    started = time.monotonic()
                break
            answer, delay = sim.handle(buf[start:end + 1].decode("latin-1"))
            buf, started = buf[end + 1:], None
            if answer is not None:
                if delay:
                    time.sleep(delay)
                os.write(fd, answer)


def main(argv):
    p = argparse.ArgumentParser(description="Scripted LCT-1 transmitter; prints READY when listening.")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", help="serial device, e.g. the slave of a pty pair; the simulator "
                       "sets it raw and exits when the other side hangs up")
    where.add_argument("--fd", type=int, help="inherited descriptor, e.g. a pty master whose slave "
                       "the driver opens; its settings are left to the driver and a hang-up is "
                       "waited out")
    p.add_argument("--script", help="JSON script (see the module text)")
    p.add_argument("--record", help="write the received requests here as JSON")
    args = p.parse_args(argv)
    script = {}
    try:
        if args.script:
            with open(args.script) as f:
                script = json.load(f)
        sim = Transmitter(script)
    except (OSError, ValueError, TypeError, AttributeError) as e:
        sys.stderr.write("lct1_transmitter: bad script: %s\n" % e)
        return 2
    sim.record_path = args.record
    if args.port:
        fd = os.open(args.port, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd, termios.TCSANOW)
    else:
        fd = args.fd

    def finish(*_):
        sim.save()
        os._exit(0)
    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    sim.save()
    print("READY", flush=True)
    serve(sim, fd, wait_on_hangup=args.fd is not None)
    sim.save()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
