#!/usr/bin/python3
"""superlink_program.py answers request files as the library expects: the
decoding and answering of request lines and the result-file faults directly,
then the folder exchange with its flags, stale files and timing faults
through the program started from its command line."""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import superlink_program as slp  # noqa: E402

TABLE = {"A": {"T:5": 21.26, "P:12": "7.0", "a:b:3": 1}, "": {"T:7": 2.5}, "B": {"T:-2": 4}}


def answer(script, text, times=1):
    sim = slp.SuperLink(dict(script, departments=TABLE))
    for _ in range(times):
        entry, result, flag, delay = sim.handle(text.encode())
    return entry, result, flag, delay


class Answers(unittest.TestCase):
    def test_request_lines(self):
        request = ("T:A05\nT:07\nT:A05=21.3\nT:A05\nX:A05\nX:A05=1.0\nT:C05\na:b:A03\nT:B-2\n"
                   "T:A05=1,5\ngarbage\n  9 requests sent\n")
        entry, result, flag, delay = answer({}, request)
        self.assertEqual(result, "T:A5=21.26\nT:7=2.5\nT:A5=21.3\nT:A5=21.3\nX:A5\nX:A5\nT:C5\n"
                                 "a:b:A3=1\nT:B-2=4\n")
        self.assertTrue(flag and not delay and entry["ends_with_newline"])
        kinds = [(l["kind"], l.get("name"), l.get("dept"), l.get("number"), l.get("known"))
                 for l in entry["lines"]]
        self.assertEqual(kinds[:3], [("read", "T", "A", 5, True), ("read", "T", "", 7, True),
                                     ("write", "T", "A", 5, True)])
        self.assertEqual(kinds[5], ("write", "X", "A", 5, False))
        self.assertEqual(kinds[7:9], [("read", "a:b", "A", 3, True), ("read", "T", "B", -2, True)])
        self.assertEqual(entry["lines"][2]["number_text"], "05")
        self.assertEqual(entry["lines"][2]["value"], 21.3)
        # A decimal comma is refused, not stored; junk and the count line are not answered.
        self.assertEqual([(l["kind"], l.get("reason"), l["answer"]) for l in entry["lines"][9:]],
                         [("invalid", "value", None), ("invalid", "syntax", None), ("trailer", None, None)])
        self.assertEqual(entry["lines"][11]["count"], 9)

    def test_unknown_and_result_faults(self):
        cases = [  # script, request, result text
            ({"unknown_answer": "omit"}, "X:A05\nT:A05\n", "T:A5=21.26\n"),
            ({"misbehave": [{"do": "unknown", "nth": 1}]}, "T:A05=3.0\nT:A05\n", "T:A5\nT:A5\n"),
            ({"misbehave": [{"do": "unknown", "always": True, "mode": "omit"}]}, "T:07\n", ""),
            ({"misbehave": [{"do": "malformed", "nth": 1}]}, "T:A05\nT:07\n", "TA5=21.26\nT7=2.5\n"),
            ({"misbehave": [{"do": "malformed", "nth": 1, "line": 2, "form": "no_equals"}]},
             "T:A05\nT:07\n", "T:A5=21.26\nT:7\n"),
            ({"misbehave": [{"do": "malformed", "from": 1, "form": "bad_value", "text": "x1"},
                            {"do": "malformed", "always": True, "form": "wrong_number"}]},
             "T:A05\n", "T:A6=x1\n"),
            ({"misbehave": [{"do": "malformed", "nth": 1, "form": "wrong_department"}]},
             "T:A05\nT:07\n", "T:B5=21.26\nT:Z7=2.5\n"),
            ({"misbehave": [{"do": "truncate", "nth": 1}]}, "T:07\nT:A05\n", "T:7=2.5\nT:A5="),
            ({"misbehave": [{"do": "truncate", "nth": 1, "keep": 4}]}, "T:07\n", "T:7="),
            ({"misbehave": [{"do": "extra", "nth": 1, "lines": ["junk", "T:A5=9"], "at": "end"}],
              "eol": "\r\n"}, "T:07\n", "T:7=2.5\r\njunk\r\nT:A5=9\r\n"),
            ({"misbehave": [{"do": "no_result", "nth": 1}]}, "T:07\n", None),
        ]
        for script, request, expected in cases:
            self.assertEqual(answer(script, request)[1], expected, script)
        # Faults by file number: the 2nd file only, from the 2nd on.
        for key, results in (("nth", ["T:7=2.5\n", None, "T:7=2.5\n"]), ("from", ["T:7=2.5\n", None, None])):
            sim = slp.SuperLink({"departments": TABLE, "misbehave": [{"do": "no_result", key: 2}]})
            self.assertEqual([sim.handle(b"T:07\n")[1] for _ in range(3)], results, key)
        _, _, flag, delay = answer({"misbehave": [{"do": "no_flag", "nth": 1},
                                                  {"do": "delay", "nth": 1, "ms": 250}]}, "T:07\n")
        self.assertEqual((flag, delay), (False, 0.25))
        for bad in ({"departments": {"5": {}}}, {"departments": {"A": {"T5": 1}}},
                    {"misbehave": [{"do": "explode", "nth": 1}]}, {"misbehave": [{"do": "delay"}]},
                    {"misbehave": [{"do": "malformed", "nth": 1, "form": "odd"}]}):
            self.assertRaises(ValueError, slp.SuperLink, bad)


class Folder:
    """The library's side of the exchange, played by hand."""

    def __init__(self, tmp, script, network=3):
        self.dir, self.n = tmp, network
        path = os.path.join(tmp, "script.json")
        with open(path, "w") as f:
            json.dump(script, f)
        self.record = os.path.join(tmp, "record.json")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "superlink_program.py"), "--folder", tmp,
             "--network", str(network), "--script", path, "--record", self.record],
            stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "READY"

    def path(self, fmt):
        return os.path.join(self.dir, fmt % self.n)

    def send(self, text):
        with open(self.path("net%d.sl2"), "w") as f:
            f.write(text)
        open(self.path("nettmp%d.sl2"), "w").close()
        os.rename(self.path("nettmp%d.sl2"), self.path("netflag%d.sl2"))

    def collect(self, wait=5.0, clean=True):
        """The result text, None when the flag came without one, or False when no flag came."""
        end = time.monotonic() + wait
        while not os.path.exists(self.path("lccflag%d.sl2")):
            if time.monotonic() > end:
                return False
            time.sleep(0.01)
        try:
            with open(self.path("lcc%d.sl2")) as f:
                text = f.read()
        except FileNotFoundError:
            text = None
        if clean:
            self.clean()
        return text

    def clean(self):
        for fmt in ("net%d.sl2", "netflag%d.sl2", "lcc%d.sl2", "lccflag%d.sl2"):
            try:
                os.remove(self.path(fmt))
            except FileNotFoundError:
                pass

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()
        with open(self.record) as f:
            return json.load(f)


class Exchanges(unittest.TestCase):
    def test_folder_exchange(self):
        script = {"departments": TABLE, "misbehave": [
            {"do": "delay", "nth": 2, "ms": 600}, {"do": "no_result", "nth": 3},
            {"do": "no_flag", "nth": 4}, {"do": "delay", "nth": 5, "ms": 800}]}
        with tempfile.TemporaryDirectory() as tmp:
            for stale in ("netflag3.sl2", "lccflag3.sl2", "netflag1.sl2"):
                open(os.path.join(tmp, stale), "w").close()
            f = Folder(tmp, script)
            try:
                self.assertEqual(sorted(os.listdir(tmp)), ["netflag1.sl2", "record.json", "script.json"])
                f.send("T:A05=21.3\nT:07\n")
                self.assertEqual(f.collect(), "T:A5=21.3\nT:7=2.5\n")
                # The library's flag is taken once: no second answer to the same file.
                self.assertFalse(f.collect(wait=0.2))
                f.send("T:A05\n")
                self.assertFalse(f.collect(wait=0.3))
                self.assertEqual(f.collect(), "T:A5=21.3\n")
                f.send("T:07\n")
                self.assertIsNone(f.collect())
                f.send("T:07\n")
                self.assertFalse(f.collect(wait=0.5))
                self.assertTrue(os.path.exists(f.path("lcc%d.sl2")))
                # Given up after a late answer: the new request gets the only answer.
                f.clean()
                f.send("T:A05\n")
                time.sleep(0.2)
                f.clean()
                f.send("T:07\n")
                self.assertEqual(f.collect(), "T:7=2.5\n")
                # The library left our flag behind before the next request.
                f.send("T:07\n")
                self.assertEqual(f.collect(clean=False), "T:7=2.5\n")
                os.remove(f.path("lcc%d.sl2"))
                f.send("T:A05\n")
                end = time.monotonic() + 5
                while not os.path.exists(f.path("lcc%d.sl2")) and time.monotonic() < end:
                    time.sleep(0.01)
                self.assertEqual(f.collect(), "T:A5=21.3\n")
            finally:
                record = f.close()
        self.assertEqual(sorted(record["stale_at_start"]), ["lccflag3.sl2", "netflag3.sl2"])
        files = record["files"]
        self.assertEqual([x["seq"] for x in files], list(range(1, 9)))
        self.assertEqual([x["lines"][0]["raw"] for x in files[:2]], ["T:A05=21.3", "T:A05"])
        self.assertEqual([(x["faults"], x["flag"], x["result"] is None) for x in files[1:4]],
                         [(["delay"], True, False), (["no_result"], True, True), (["no_flag"], False, False)])
        self.assertTrue(files[4]["superseded"] and not files[5]["superseded"])
        self.assertEqual([x["stale_answer"] for x in files[5:]], [False, False, True])


if __name__ == "__main__":
    unittest.main()
