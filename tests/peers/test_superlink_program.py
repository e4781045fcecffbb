#!/usr/bin/python3
"""superlink_program.py answers request files as the library expects: request
lines and result-file faults directly, then the folder exchange with its
flags, stale files and timing faults through its command line."""
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

TABLE = {"A": {"T:5": 21.26, "a:b:3": 1, "\u00b0C:1": 3}, "": {"T:7": 2.5}, "B": {"T:-2": 4}}


def results(script, *requests):
    sim = slp.SuperLink(dict(script, departments=TABLE))
    return [sim.handle(r.encode())[1] for r in requests], sim.record["files"]


class Answers(unittest.TestCase):
    def test_request_lines(self):
        (res,), (entry,) = results({}, "T:A05\nT:07\nT:A05=21.3\nT:A05\nX:A05=1.0\nT:C05\na:b:A03\n"
                                       "T:B-2\nT:A05=1,5\ngarbage\n  9 requests sent\n")
        self.assertEqual(res, "T:A5=21.26\nT:7=2.5\nT:A5=21.3\nT:A5=21.3\nX:A5\nT:C5\na:b:A3=1\nT:B-2=4\n")
        self.assertEqual([(l["kind"], l.get("name"), l.get("dept"), l.get("number"), l.get("known"))
                          for l in entry["lines"][1:5]],
                         [("read", "T", "", 7, True), ("write", "T", "A", 5, True),
                          ("read", "T", "A", 5, True), ("write", "X", "A", 5, False)])
        self.assertEqual((entry["lines"][2]["number_text"], entry["lines"][2]["value"]), ("05", 21.3))
        # A decimal comma is refused and not stored; junk and the count line are not answered.
        self.assertEqual([(l["kind"], l.get("reason"), l.get("count"), l["answer"]) for l in entry["lines"][8:]],
                         [("invalid", "value", None, None), ("invalid", "syntax", None, None),
                          ("trailer", None, 9, None)])

    def test_unknown_and_result_faults(self):
        def bad(n=1, **kw):
            return {"misbehave": [dict(kw, nth=n)]}
        cases = [  # script, request, result text
            ({"unknown_answer": "omit"}, "X:A05\nT:A05\n", "T:A5=21.26\n"),
            (bad(do="unknown"), "T:A05=3.0\nT:A05\n", "T:A5\nT:A5\n"),
            (bad(do="malformed"), "T:A05\nT:07\n", "TA5=21.26\nT7=2.5\n"),
            (bad(do="malformed", line=2, form="no_equals"), "T:A05\nT:07\n", "T:A5=21.26\nT:7\n"),
            ({"misbehave": [{"do": "malformed", "from": 1, "form": "bad_value", "text": "x"},
                            {"do": "malformed", "always": True, "form": "wrong_number"}]}, "T:A05\n", "T:A6=x\n"),
            (bad(do="malformed", form="wrong_department"), "T:A05\nT:07\n", "T:B5=21.26\nT:Z7=2.5\n"),
            (bad(do="truncate"), "T:07\nT:A05\n", "T:7=2.5\nT:A5="),
            (dict(bad(do="extra", lines=["junk"], at="end"), eol="\r\n"), "T:07\n", "T:7=2.5\r\njunk\r\n"),
            (bad(do="no_result"), "T:07\n", None),
        ]
        for script, request, expected in cases:
            self.assertEqual(results(script, request)[0], [expected], script)
        self.assertEqual(results(bad(2, do="no_result"), "T:07\n", "T:07\n", "T:07\n")[0],
                         ["T:7=2.5\n", None, "T:7=2.5\n"])
        self.assertEqual(results({"misbehave": [{"do": "no_result", "from": 2}]}, "T:07\n", "T:07\n", "T:07\n")[0],
                         ["T:7=2.5\n", None, None])
        for script in ({"departments": {"5": {}}}, {"departments": {"A": {"T5": 1}}}, bad(do="explode"),
                       {"misbehave": [{"do": "delay"}]}, bad(do="malformed", form="odd")):
            self.assertRaises(ValueError, slp.SuperLink, script)


class Folder:
    """The library's side of the exchange, played by hand."""

    def __init__(self, tmp, script, network=3):
        self.dir, self.n = tmp, network
        with open(os.path.join(tmp, "script.json"), "w") as f:
            json.dump(script, f)
        self.record = os.path.join(tmp, "record.json")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "superlink_program.py"), "--folder", tmp, "--network",
             str(network), "--script", os.path.join(tmp, "script.json"), "--record", self.record],
            stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "READY"

    def path(self, name):
        return os.path.join(self.dir, "%s%d.sl2" % (name, self.n))

    def send(self, data):
        with open(self.path("net"), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        open(self.path("nettmp"), "w").close()
        os.rename(self.path("nettmp"), self.path("netflag"))

    def collect(self, wait=5.0, clean=True, flag="lccflag"):
        """The result bytes, None when the flag came alone, False when no flag came."""
        end = time.monotonic() + wait
        while not os.path.exists(self.path(flag)):
            if time.monotonic() > end:
                return False
            time.sleep(0.01)
        try:
            with open(self.path("lcc"), "rb") as f:
                data = f.read()
        except FileNotFoundError:
            data = None
        for name in ("net", "netflag", "lcc", "lccflag") if clean else ():
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
        return data

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
                self.assertEqual(f.collect(), b"T:A5=21.3\nT:7=2.5\n")
                self.assertFalse(f.collect(wait=0.2))   # each request file is answered once
                f.send("T:A05\n")
                self.assertFalse(f.collect(wait=0.3))
                self.assertEqual(f.collect(), b"T:A5=21.3\n")
                f.send("T:07\n")
                self.assertIsNone(f.collect())
                f.send("T:07\n")
                self.assertFalse(f.collect(wait=0.5, clean=False))
                self.assertTrue(os.path.exists(f.path("lcc")))
                # Given up during a late answer: only the new request is answered.
                f.collect(wait=0, flag="lcc")
                f.send("T:A05\n")
                time.sleep(0.2)
                f.send("T:07\n")
                self.assertEqual(f.collect(), b"T:7=2.5\n")
                # Names go back in the request file's encoding; our flag left behind is noticed.
                f.send("\u00b0C:A01\n".encode("latin-1"))
                self.assertEqual(f.collect(clean=False), "\u00b0C:A1=3\n".encode("latin-1"))
                os.remove(f.path("lcc"))
                f.send("T:A05\n")
                self.assertEqual(f.collect(flag="lcc"), b"T:A5=21.3\n")
            finally:
                record = f.close()
        self.assertEqual(sorted(record["stale_at_start"]), ["lccflag3.sl2", "netflag3.sl2"])
        files = record["files"]
        self.assertEqual([x["seq"] for x in files], list(range(1, 9)))
        self.assertEqual([x["lines"][0]["raw"] for x in files[:2]], ["T:A05=21.3", "T:A05"])
        self.assertEqual([(x["faults"], x["flag"], x["result"] is None) for x in files[1:4]],
                         [(["delay"], True, False), (["no_result"], True, True), (["no_flag"], False, False)])
        self.assertEqual([x["superseded"] for x in files[3:6]], [False, True, False])
        self.assertEqual([x["stale_answer"] for x in files[5:]], [False, False, True])


if __name__ == "__main__":
    unittest.main()
