#!/usr/bin/python3
"""Simulated SuperLink program serving one shared folder, for tests.

  superlink_program.py --folder DIR [--network N] [--script FILE.json]
                       [--record OUT.json] [--interval MS]
Prints "READY" once it watches the folder; SIGTERM or SIGINT saves the record
and ends it.

Files of network N in the folder (the library's side first):
  netN.sl2       request file, one request per line
  netflagN.sl2   the library's flag: the request file is complete
  lccN.sl2       result file written here
  lccflagN.sl2   our flag: the result file is complete

File rules settled here:
  * At start, before READY, the four exchange files and our temporary file
    are removed: a request from before the start belongs to no exchange a
    test can see, and a stale result flag would hand the library old answers.
    Their names are listed in the record under "stale_at_start".
  * The folder is polled every --interval ms (15 by default) for the
    library's flag.  When it is there, the request file is read whole and
    then the flag is deleted (so each request file is answered once).  A flag
    without a request file is answered with an empty result file.
  * The result file is written under a temporary name (lcctmpN.sl2) and
    renamed, then our flag is created empty.  The request file, the result
    file and our flag are left to the library, which cleans up all four files
    around every exchange; if our flag is still there when a new request comes
    the file's record says "stale_answer".
  * A delayed answer is dropped ("superseded") when the library has raised a
    new flag meanwhile: it gave the old exchange up, and an answer to the old
    request file would be taken for the new one.  Its writes are stored all
    the same.
  * A request file is read as UTF-8, or as Latin-1 when it is not valid
    UTF-8; the result file is written in the same encoding.

Request lines: NAME ":" [DEPT] NUMBER ["=" VALUE], ending in "\\n".  NAME runs
to the last colon before any "="; DEPT is one character that is neither a
digit nor "-"; NUMBER is decimal, optionally negative; VALUE must read as a
number in the "C" locale (a decimal comma makes the line invalid).  A
line "  K requests sent" is recorded as a trailer and not answered.  Other
lines are recorded as invalid and not answered.

Result lines, one per answered request in request order, ending in the
script's "eol" ("\\n" by default): NAME ":" DEPT NUMBER "=" VALUE with the
number in plain decimal (no padding).  Reads answer the stored value, writes
store the value text they carried and answer it.  A setpoint not in the table
is unknown: answered with the line without "=" and value (script
"unknown_answer": "bare", the default), or left out ("omit"); either way the
library keeps the request unhandled.  A write to it changes nothing.

Script (JSON):
  {"departments": {"A": {"T:5": 21.26, "P:12": "7.0"}, "": {"T:7": 2.5}},
   "unknown_answer": "bare" | "omit", "eol": "\\n",
   "misbehave": [{"do": ACTION, "nth": N | "from": N | "always": true, ...}]}
Department "" holds the setpoints requested without a department letter; a
setpoint key is NAME:NUMBER.  Numbers are stored as their shortest round-trip
text, strings verbatim.  A misbehaviour fires for the Nth request file (from
1), for every file from the Nth on, or for all; every entry that fires
applies.  Actions:
  delay      wait "ms" milliseconds (default 1000) before answering
  unknown    answer every request of the file as unknown ("mode" overrides
             unknown_answer)
  no_result  raise our flag without writing a result file
  no_flag    write the result file but never raise our flag
  malformed  change the answer line of request line "line" (1-based position
             in the request file; all lines when absent) by "form":
             no_colon (default), no_equals, bad_value ("text", default "?"),
             wrong_number, wrong_department, wrong_name
  truncate   cut the result file to "keep" characters (default: the last
             line loses its second half and its end of line)
  extra      add the raw "lines" (with eol) at the "at" "start" (default) or
             "end" of the result file

Record (JSON, rewritten atomically before our flag is raised, before a delay
and at exit):
  {"network": N, "stale_at_start": [names],
   "files": [{"seq", "time", "request_missing", "ends_with_newline",
              "stale_answer", "encoding", "faults": [actions], "superseded",
              "result": text written or null, "flag": raised or not,
              "lines": [{"raw", "kind": read|write|trailer|invalid, "name",
                         "dept", "number", "number_text", "value_text",
                         "value", "known", "answer", "reason", "count"}]}]}
"time" is seconds since READY when the flag was seen; "raw" is the line
without its "\n" (a "\r" stays); "known" is false also for a setpoint that
the unknown fault answered.
"""
import argparse
import json
import math
import os
import re
import signal
import sys
import time

REQUEST_RE = re.compile(r"^(?P<name>[^=]*):(?P<dept>[^0-9-]?)(?P<num>-?[0-9]+)(?:=(?P<val>.*))?$",
                        re.S)
TRAILER_RE = re.compile(r"^\s+(?P<count>[0-9]+) requests sent$")
# strtod in the "C" locale: optional sign, digits with a decimal point, exponent, inf/nan.
VALUE_RE = re.compile(r"^[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|inf|infinity|nan)$",
                      re.I)
ACTIONS = {"delay", "unknown", "no_result", "no_flag", "malformed", "truncate", "extra"}
FORMS = {"no_colon", "no_equals", "bad_value", "wrong_number", "wrong_department", "wrong_name"}


def value_text(v):
    if isinstance(v, bool) or not isinstance(v, (int, float, str)):
        raise ValueError("value %r: must be a number or a string" % (v,))
    if isinstance(v, str):
        return v
    return str(v) if isinstance(v, int) else repr(v)


def decode(data):
    """Text and encoding: UTF-8, else Latin-1, so that names go back as they came."""
    try:
        return data.decode("utf-8"), "utf-8"
    except UnicodeDecodeError:
        return data.decode("latin-1"), "latin-1"


class Files:
    def __init__(self, folder, network):
        def name(fmt):
            return os.path.join(folder, fmt % network)
        self.request = name("net%d.sl2")
        self.flag = name("netflag%d.sl2")
        self.result = name("lcc%d.sl2")
        self.result_flag = name("lccflag%d.sl2")
        self.result_tmp = name("lcctmp%d.sl2")

    def all(self):
        return [self.request, self.flag, self.result, self.result_flag, self.result_tmp]


def remove(path):
    try:
        os.remove(path)
        return True
    except FileNotFoundError:
        return False


class SuperLink:
    """The setpoint table and the answering of request files, free of any folder."""

    def __init__(self, script=None, network=1):
        s = dict(script or {})
        self.table = {}
        for dept, points in s.get("departments", {}).items():
            if len(dept) > 1 or (dept and (dept.isdigit() or dept == "-")):
                raise ValueError("department %r: must be empty or one non-digit character" % dept)
            for key, v in points.items():
                name, sep, number = key.rpartition(":")
                if not sep or not re.fullmatch(r"-?[0-9]+", number):
                    raise ValueError("setpoint %r: must be NAME:NUMBER" % key)
                self.table[(name, dept, int(number))] = value_text(v)
        self.unknown_answer = s.get("unknown_answer", "bare")
        if self.unknown_answer not in ("bare", "omit"):
            raise ValueError("unknown_answer must be bare or omit")
        self.eol = s.get("eol", "\n")
        self.misbehave = []
        for m in s.get("misbehave", []):
            m = dict(m)
            if m.get("do") not in ACTIONS:
                raise ValueError("misbehaviour %r: unknown action" % (m,))
            if sum(k in m for k in ("nth", "from", "always")) != 1:
                raise ValueError("misbehaviour %r: needs one of nth, from, always" % (m,))
            if m["do"] == "malformed" and m.get("form", "no_colon") not in FORMS:
                raise ValueError("misbehaviour %r: unknown form" % (m,))
            self.misbehave.append(m)
        self.record = {"network": network, "stale_at_start": [], "files": []}
        self.start = time.monotonic()

    def _faults(self, seq):
        return [m for m in self.misbehave
                if m.get("always") or ("nth" in m and seq == int(m["nth"]))
                or ("from" in m and seq >= int(m["from"]))]

    def _line(self, raw, unknown_mode):
        """Decodes one request line and answers it; returns its record entry."""
        text = raw[:-1] if raw.endswith("\r") else raw
        entry = {"raw": raw, "answer": None}
        t = TRAILER_RE.match(text)
        if t:
            entry.update(kind="trailer", count=int(t.group("count")))
            return entry
        m = REQUEST_RE.match(text)
        if not m:
            entry.update(kind="invalid", reason="syntax")
            return entry
        name, dept, num, val = m.group("name"), m.group("dept"), m.group("num"), m.group("val")
        entry.update(kind="read" if val is None else "write", name=name, dept=dept,
                     number=int(num), number_text=num)
        if val is not None:
            entry["value_text"] = val
            if not VALUE_RE.match(val):
                entry.update(kind="invalid", reason="value", value=None)
                return entry
            number = float(val)
            entry["value"] = number if math.isfinite(number) else val
        key = (name, dept, int(num))
        entry["known"] = key in self.table and unknown_mode is None
        head = "%s:%s%d" % (name, dept, int(num))
        if not entry["known"]:
            if (unknown_mode or self.unknown_answer) == "bare":
                entry["answer"] = head
            return entry
        if val is not None:
            self.table[key] = val
        entry["answer"] = "%s=%s" % (head, self.table[key])
        return entry

    @staticmethod
    def _malform(entry, fault):
        form = fault.get("form", "no_colon")
        name, dept, number = entry["name"], entry["dept"], entry["number"]
        answer = entry["answer"]
        value = answer.partition("=")[2] if "=" in answer else None
        tail = "" if value is None else "=" + value
        if form == "no_colon":
            return "%s%s%d%s" % (name, dept, number, tail)
        if form == "no_equals":
            return "%s:%s%d" % (name, dept, number)
        if form == "bad_value":
            return "%s:%s%d=%s" % (name, dept, number, fault.get("text", "?"))
        if form == "wrong_number":
            return "%s:%s%d%s" % (name, dept, number + 1, tail)
        if form == "wrong_department":
            other = "Z" if not dept else (chr(ord(dept) + 1) if dept not in "Zz" else chr(ord(dept) - 1))
            return "%s:%s%d%s" % (name, other, number, tail)
        return "%s:%s%d%s" % (name + "X", dept, number, tail)

    def handle(self, data, stale_answer=False):
        """One request file (bytes, or None when it was missing).  Returns the
        file's record entry, the result text (None: no result file), whether
        to raise our flag, and the delay in seconds before answering."""
        seq = len(self.record["files"]) + 1
        faults = self._faults(seq)
        entry = {"seq": seq, "time": round(time.monotonic() - self.start, 4),
                 "request_missing": data is None, "stale_answer": stale_answer,
                 "faults": [f["do"] for f in faults], "superseded": False, "lines": []}
        self.record["files"].append(entry)
        text, entry["encoding"] = decode(data or b"")
        entry["ends_with_newline"] = text.endswith("\n")
        raws = text.split("\n")
        if raws and raws[-1] == "":
            raws.pop()
        unknown = next((f for f in faults if f["do"] == "unknown"), None)
        mode = None if unknown is None else unknown.get("mode", self.unknown_answer)
        for raw in raws:
            entry["lines"].append(self._line(raw, mode))
        for f in faults:
            if f["do"] != "malformed":
                continue
            for pos, line in enumerate(entry["lines"], 1):
                if line["answer"] is not None and f.get("line", pos) == pos:
                    line["answer"] = self._malform(line, f)
        lines = [line["answer"] for line in entry["lines"] if line["answer"] is not None]
        delay, flag, has_result = 0.0, True, True
        for f in faults:
            do = f["do"]
            if do == "extra":
                extra = [str(x) for x in f.get("lines", [])]
                lines = lines + extra if f.get("at") == "end" else extra + lines
            elif do == "delay":
                delay += int(f.get("ms", 1000)) / 1000.0
            elif do == "no_result":
                has_result = False
            elif do == "no_flag":
                flag = False
        result = "".join(line + self.eol for line in lines) if has_result else None
        for f in faults:
            if f["do"] == "truncate" and result is not None:
                if "keep" in f:
                    result = result[:int(f["keep"])]
                elif lines:
                    body = result[:-len(self.eol)]
                    last = len(lines[-1])
                    result = body[:len(body) - last + last // 2]
        entry["result"] = result
        entry["flag"] = flag
        return entry, result, flag, delay

    def dump(self):
        return json.dumps(self.record, sort_keys=True)


def save(sim, path):
    if not path:
        return
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(sim.dump())
    os.replace(tmp, path)


def answer_one(sim, files, record_path):
    try:
        with open(files.request, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        data = None
    remove(files.flag)
    entry, result, flag, delay = sim.handle(data, stale_answer=os.path.exists(files.result_flag))
    if delay:
        save(sim, record_path)
        time.sleep(delay)
        if os.path.exists(files.flag):
            entry.update(superseded=True, result=None, flag=False)
            save(sim, record_path)
            return
    if result is not None:
        with open(files.result_tmp, "w", encoding=entry["encoding"], newline="") as f:
            f.write(result)
        os.replace(files.result_tmp, files.result)
    # Saved before the flag, so a library that has its answer finds the request recorded.
    save(sim, record_path)
    if flag:
        open(files.result_flag, "w").close()


def main(argv):
    p = argparse.ArgumentParser(prog="superlink_program.py",
                                description="Simulated SuperLink program; prints READY when it watches.")
    p.add_argument("--folder", required=True, help="the shared folder")
    p.add_argument("--network", type=int, default=1, help="network number in the file names (1)")
    p.add_argument("--script", help="JSON script (see the module text)")
    p.add_argument("--record", help="write the received request files here as JSON")
    p.add_argument("--interval", type=float, default=15, help="polling interval in ms (15)")
    args = p.parse_args(argv)
    if not os.path.isdir(args.folder):
        p.error("no such folder: %s" % args.folder)
    script = {}
    if args.script:
        with open(args.script) as f:
            script = json.load(f)
    sim = SuperLink(script, args.network)
    files = Files(args.folder, args.network)
    sim.record["stale_at_start"] = [os.path.basename(f) for f in files.all() if remove(f)]

    def finish(*_):
        save(sim, args.record)
        os._exit(0)
    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    save(sim, args.record)
    sim.start = time.monotonic()
    print("READY", flush=True)
    interval = max(args.interval, 1) / 1000.0
    while True:
        if os.path.exists(files.flag):
            answer_one(sim, files, args.record)
        else:
            time.sleep(interval)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
