#!/usr/bin/python3
"""The client and the scripted server of plexor_peer.py fit together: the
main exchanges, the challenge file, the misbehaviours a client test relies
on, and the command line a C++ test starts."""
import json
import os
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import plexor_peer as pp  # noqa: E402

DEVICES = [
    {"id": 5, "type": 1, "name": "boiler", "description": "Boiler house", "hardware": "PLC-5"},
    {"id": 2, "type": 3, "name": "pump", "description": "", "hardware": "rtu"},
    {"id": 9, "type": 7, "name": "valve", "description": "Valve \u00e9", "hardware": ""},
]
SCRIPT = {
    "users": {"op": "secret"},
    "challenge": True,
    "devices": DEVICES,
    "values": [{"device": 9, "name": "pos", "value": 17}],
    "answers": [
        {"device": 2, "name": "locked", "status": 4},
        {"device": 2, "name": "busy", "status": 1},
        {"device": 5, "name": "broken", "qualifier": "q", "status": 9},
        {"device": 5, "name": "fixed", "type": "S", "hex": "deadbeef"},
    ],
}


def logged_in(sim, sync=True):
    c = pp.PlexorClient(port=sim.port, timeout=5)
    assert c.connect("op", "secret") == pp.OK, c.detail
    assert not sync or c.sync_devicelist() == pp.OK, c.detail
    return c


class Exchanges(unittest.TestCase):
    def test_logins_devices_flush_and_info(self):
        with pp.PlexorSimulator(SCRIPT) as sim:
            bad = pp.PlexorClient(port=sim.port)
            self.assertEqual(bad.connect("op", "wrong"), pp.LOGIN_FAILED)
            self.assertIsNone(bad.conn)

            c = logged_in(sim)
            self.assertEqual(c.connect("op", "secret"), pp.ALREADY_CONNECTED)
            self.assertEqual([d.as_dict() for d in c.devices], DEVICES)
            self.assertIsNone(c.read_int("nosuch", "x"))
            self.assertEqual(c.requests, [])

            # Queued 5, 2, 5, 9: runs go out as 2, 5, 9 with 5's order kept.
            w = c.write_float("boiler", "temp", "hi", 61.5)
            locked = c.read_int("pump", "locked")
            busy = c.write_int("pump", "busy", "", 3)
            r = c.read_float("boiler", "temp", "hi")
            broken = c.read_int("boiler", "broken", "q")
            plain = c.read_int("boiler", "broken")     # differs only by qualifier
            fixed = c.read_buf("boiler", "fixed", "", 16)
            pos = c.read_int("valve", "pos")
            blob = c.write_buf("valve", "blob", None, b"\x00\xffab")
            self.assertEqual(c.flush(), pp.OK, c.detail)
            self.assertEqual(c.warnings, [])
            self.assertEqual([(x.status, x.value) for x in (w, locked, busy, r, broken, plain, fixed, pos)],
                             [(0, 61.5), (4, 0), (1, 3), (0, 61.5), (9, 0), (0, 0),
                              (0, b"\xde\xad\xbe\xef"), (0, 17)])
            self.assertEqual(r.int_value, 61)

            rd = c.read_buf("valve", "blob", "", 2)
            self.assertEqual(c.flush(priority=True), pp.OK, c.detail)
            self.assertEqual(rd.buf, b"\x00\xff")
            self.assertEqual(c.send_client_info("line 4 \u00fc"), pp.OK)
            self.assertEqual(c.send_client_info(None), pp.OK)
            c.close()

        rec = json.loads(sim.dump())
        first, second = rec["flushes"]
        self.assertEqual([run["device"] for run in first["runs"]], [2, 5, 9])
        self.assertEqual([(i["name"], i["op"], i["value"]) for i in first["runs"][1]["items"]],
                         [("temp", 2, 61.5), ("temp", 1, None), ("broken", 1, None),
                          ("broken", 1, None), ("fixed", 1, None)])
        self.assertEqual(first["runs"][2]["items"][1]["value"], "00ff6162")
        self.assertEqual(first["runs"][2]["items"][1]["qualifier"], "")
        self.assertEqual((first["command"], second["command"]), (1, 8))
        self.assertTrue(first["complete"] and second["complete"])
        self.assertEqual([i["text"] for i in rec["client_info"]], ["line 4 \u00fc", ""])
        self.assertEqual([(s["user"], s["ok"]) for s in rec["sessions"]],
                         [("op", False), ("op", True)])

    def test_challenge(self):
        with pp.PlexorSimulator(SCRIPT) as sim:
            c = pp.PlexorClient(port=sim.port)
            self.assertEqual(c.connect_with_challenge(), pp.OK, c.detail)
            self.assertFalse(os.path.exists(c.challenge_path))
            c.close()

            # By hand: the file is the server's alone, a wrong answer is
            # refused and the file goes all the same.
            raw = pp.PlexorClient(port=sim.port)
            raw.send_raw(b"CHALLENGE\0")
            self.assertEqual(raw.recv_raw(1), bytes((pp.ACK,)))
            path = pp.Conn(raw.conn.sock).string(pp.MAX_PATH).decode()
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
            raw.send_raw(b"guess\0")
            self.assertEqual(raw.recv_raw(1), bytes((pp.NAK,)))
            self.assertTrue(raw.peer_closed())
            self.assertFalse(os.path.exists(path))
            raw.close()

        for script, code in (({}, pp.CHALLENGE_DISABLED),
                             ({"challenge": True, "challenge_file": "missing"}, pp.CHALLENGE_NOT_FOUND)):
            with pp.PlexorSimulator(script) as sim:
                c = pp.PlexorClient(port=sim.port)
                self.assertEqual(c.connect_with_challenge(), code)
                self.assertFalse(c.connected)

        # A long secret: the client sends its first 1023 bytes.
        with pp.PlexorSimulator({"challenge": True, "challenge_size": 2000}) as sim:
            c = pp.PlexorClient(port=sim.port)
            self.assertEqual(c.connect_with_challenge(), pp.OK)
            c.close()
        self.assertEqual(json.loads(sim.dump())["challenges"][0]["answer_length"], 1023)


class Misbehaviour(unittest.TestCase):
    def test_client_reports_each_fault(self):
        flush = lambda c: (c.read_int("pump", "a"), c.read_int("boiler", "b"), c.flush())[-1]
        flush_buf = lambda c: (c.read_buf("boiler", "fixed", "", 16), c.flush())[-1]
        cases = [
            ("header", "nak", None, flush, pp.NOT_ACKNOWLEDGED),
            ("run", "nak", None, flush, pp.NOT_ACKNOWLEDGED),
            ("requests", "close", None, flush, pp.READ_FAILED),
            ("answer_stx", "byte", 0x41, flush, pp.UNEXPECTED),
            ("answer_end", "byte", 0x00, flush, pp.INVALID_DATATYPE),
            ("answer_eot", "close", None, flush, pp.READ_FAILED),
            ("answer_name", "long", None, flush, pp.READ_FAILED),
            ("device_stx", "byte", 0x00, lambda c: c.sync_devicelist(), pp.UNEXPECTED),
            ("device_name", "long", None, lambda c: c.sync_devicelist(), pp.READ_FAILED),
            ("info_eot", "nak", None, lambda c: c.send_client_info("x"), pp.UNEXPECTED),
            ("answer_buffer", "length", -1, flush_buf, pp.UNEXPECTED),
        ]
        for at, do, byte, action, code in cases:
            with self.subTest(at=at, do=do):
                # nth 2: the set-up's device list takes the first header.
                fault = {"at": at, "do": do, "byte": byte, "length": byte, "client": 0,
                         "nth": 2 if at == "header" else 1}
                script = dict(SCRIPT, misbehave=[fault])
                with pp.PlexorSimulator(script) as sim:
                    c = logged_in(sim, sync=not at.startswith("device"))
                    self.assertEqual(action(c), code, c.detail)
                    if code == pp.READ_FAILED and do == "close":
                        self.assertFalse(c.connected)
                    c.close()
                    # The server itself goes on with the next client.
                    c = logged_in(sim)
                    self.assertEqual(flush(c), pp.OK, c.detail)
                    c.close()

    def test_server_drops_malformed_and_truncated_clients(self):
        head = bytes((pp.SOH, pp.CMD_FLUSH, pp.ETB))
        req = pp.Request(2, "I", pp.READ, "a", "")
        run = b"\x02\x02\x00" + req.encode()
        cases = [
            ("unknown command", bytes((pp.SOH, 7, pp.ETB)), "unknown command"),
            ("bad type", head + b"\x02\x02\x00X\x01a\0\0\x03", "type"),
            ("bad operation", head + b"\x02\x02\x00I\x05a\0\0\x03", "operation"),
            ("long name", head + b"\x02\x02\x00I\x01" + b"n" * 400, "longer"),
            ("truncated run", head + run[:-2], "closed"),
        ]
        with pp.PlexorSimulator(SCRIPT) as sim:
            for _, data, _ in cases:
                c = pp.PlexorClient(port=sim.port, timeout=5)
                self.assertEqual(c.connect("op", "secret"), pp.OK)
                c.send_raw(data)
                try:
                    c.conn.sock.shutdown(1)    # the server sees the end
                except OSError:
                    pass                       # it has already reset the connection
                self.assertTrue(c.peer_closed())
                c.close()
        ends = [s["end"] for s in json.loads(sim.dump())["sessions"]]
        for (name, _, word), end in zip(cases, ends):
            self.assertIn(word, end, name)
            self.assertTrue(end.startswith("fault"), name)


class CommandLine(unittest.TestCase):
    def test_serve_prints_port_and_records(self):
        with tempfile.TemporaryDirectory() as tmp:
            record = os.path.join(tmp, "record.json")
            cmd = [sys.executable, os.path.join(os.path.dirname(pp.__file__), "plexor_peer.py"),
                   "serve", "--port", "0", "--clients", "1", "--record", record,
                   "--user", "op:pw", "--device", "3:1:tank:Tank:hw", "--misbehave", "info_eot:byte:0x15"]
            with subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as proc:
                words = proc.stdout.readline().split()
                self.assertEqual(words[0], "READY")
                c = pp.PlexorClient(port=int(words[1]))
                self.assertEqual(c.connect("op", "pw"), pp.OK)
                self.assertEqual(c.sync_devicelist(), pp.OK)
                c.write_int("tank", "level", "", -7)
                self.assertEqual(c.flush(), pp.OK)
                proc.stdin.write("dump\n")
                proc.stdin.flush()
                line = proc.stdout.readline()
                self.assertTrue(line.startswith("RECORD "))
                self.assertEqual(json.loads(line[7:])["requests"][0]["value"], -7)
                self.assertEqual(c.send_client_info("x"), pp.UNEXPECTED)
                c.close()
                self.assertEqual(proc.wait(10), 0)
            with open(record) as f:
                rec = json.load(f)
            self.assertEqual([(r["device"], r["name"], r["value"]) for r in rec["requests"]],
                             [(3, "level", -7)])
            self.assertIn("fault", rec["sessions"][0]["end"])   # the client left after the bad byte


if __name__ == "__main__":
    unittest.main()
