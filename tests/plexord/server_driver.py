#!/usr/bin/python3
"""Drives the core's remote-client server with the independent test client.

  server_driver.py PORT SCENARIO [ARG]

Each scenario checks what the client sees and exits 0, or prints the failed
checks to stderr and exits 1.  The calling test checks the server's side
(plant values, events, client count).  The core under test has devices
Boiler1 (hardware "TC-200 Temperature controller", description "Hall"),
Boiler2 and Pump, and users:
  op    / pw  read "Boiler*,Pump"  write "Boiler1"
  guest / gg  read "Pump"          write ""
"""
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
import plexor_peer as pp  # noqa: E402

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
    return cond


def login(port, user="op", password="pw"):
    c = pp.PlexorClient(port=port)
    rc = c.connect(user, password)
    check(rc == pp.OK, "login %s: %d %s" % (user, rc, c.detail))
    return c


def logins(port, challenge_on):
    c = login(port)
    c.close()
    for user, password in () if challenge_on else (("op", "wrong"), ("nobody", "pw"), ("op", "")):
        c = pp.PlexorClient(port=port)
        t0 = time.monotonic()
        rc = c.connect(user, password)
        check(rc == pp.LOGIN_FAILED, "login %s/%r gave %d" % (user, password, rc))
        # Refusals are slowed down so that passwords cannot be tried fast.
        check(time.monotonic() - t0 >= 0.5, "refusal for %s came at once" % user)
        check(c.conn is None, "refused socket kept")
        c.close()
    c = pp.PlexorClient(port=port)
    rc = c.connect_with_challenge()
    if challenge_on:
        check(rc == pp.OK, "challenge login: %d %s" % (rc, c.detail))
        path = getattr(c, "challenge_path", "")
        check(path and not os.path.exists(path), "secret file %r left behind" % path)
        parent = os.path.dirname(path)
        check(not os.path.exists(parent), "secret folder %r left behind" % parent)
        # A challenge-logged-in client is a local administrator.
        check(c.sync_devicelist() == pp.OK, "device list after challenge")
        c.write_float("Boiler2", "SP", "", 55.5)
        check(c.flush() == pp.OK and c.requests[0].status == 0, "admin write: %r" % c.requests)
        c.close()
        # A wrong answer is refused, and the secret is gone all the same.
        raw = pp.PlexorClient(port=port)
        raw.send_raw(b"CHALLENGE\0")
        check(raw.recv_raw(1) == bytes((pp.ACK,)), "challenge not acknowledged")
        path = raw.conn.string(pp.MAX_PATH).decode()
        check(os.path.exists(path), "no secret at %r" % path)
        mode = os.stat(path).st_mode & 0o777
        dmode = os.stat(os.path.dirname(path)).st_mode & 0o777
        check(mode == 0o600 and dmode == 0o700, "secret modes %o %o" % (mode, dmode))
        raw.send_raw(b"0" * 64 + b"\0")
        b = raw.recv_raw(1, timeout=5)
        check(b and b != bytes((pp.ACK,)), "wrong answer accepted: %r" % b)
        check(raw.peer_closed(5), "refused challenge not closed")
        check(not os.path.exists(path), "secret kept after a wrong answer")
        raw.close()
    else:
        check(rc == pp.CHALLENGE_DISABLED, "challenge off gave %d" % rc)


def flush(port):
    c = login(port)
    check(c.sync_devicelist() == pp.OK, "device list: %s" % c.detail)
    names = sorted(d.name for d in c.devices)
    check(names == ["Boiler1", "Boiler2", "Pump"], "devices %r" % names)
    b1 = c.device("Boiler1")
    if b1:
        check(b1.description == "Hall" and b1.hardware == "TC-200 Temperature controller",
              "Boiler1 listed as %r" % b1)
    check(c.send_client_info("driver of the tests") == pp.OK, "client info: %s" % c.detail)

    r_pump = c.read_float("Pump", "P", "")
    w_b1 = c.write_float("Boiler1", "T1", "", 42.25)
    r_b2i = c.read_int("Boiler2", "MODE", "")
    w_b1i = c.write_int("Boiler1", "MODE", "x", 7)
    r_b1 = c.read_int("Boiler1", "T1", "")     # after the write: same run, queue order
    r_miss = c.read_float("Boiler2", "MISSING", "")
    w_b2 = c.write_float("Boiler2", "T1", "", 1.0)  # no write access
    w_pump = c.write_int("Pump", "P", "", 9)         # no write access
    r_buf = c.read_buf("Boiler1", "T1", "", 8)
    rc = c.flush()
    check(rc == pp.OK, "flush: %d %s" % (rc, c.detail))
    expect = [(r_pump, 0, 3.0), (w_b1, 0, 42.25), (r_b2i, 0, 2), (w_b1i, 0, 7), (r_b1, 0, 42),
              (r_miss, 2, None), (w_b2, 4, None), (w_pump, 4, None)]
    for req, status, value in expect:
        check(req.status == status, "%r: status %d, wanted %d" % (req, req.status, status))
        check(req.answers == 1, "%r answered %d times" % (req, req.answers))
        if value is not None:
            check(req.value == value, "%r: value %r, wanted %r" % (req, req.value, value))
    check(r_buf.status not in (0, 1, 4), "buffer read answered %d" % r_buf.status)
    check(not c.warnings, "answers for nothing: %r" % c.warnings)

    # The priority command works the same; a device id nobody has fails alone.
    c.reset()
    r = c.read_float("Pump", "P", "")
    ghost = c.read_float(999, "P", "")
    check(c.flush(priority=True) == pp.OK and r.status == 0 and r.value == 3.0, "priority flush %r" % r)
    check(ghost.status not in (0, 1, 4), "unknown device answered %d" % ghost.status)

    g = login(port, "guest", "gg")
    g.sync_devicelist()
    a = g.read_float("Pump", "P", "")
    d = g.read_float("Boiler1", "T1", "")
    check(g.flush() == pp.OK, "guest flush")
    check(a.status == 0 and d.status == 4, "guest: %r %r" % (a, d))
    g.close()
    c.close()


def malformed(port):
    """Bad and truncated exchanges end their own connection only."""
    good = login(port)
    good.sync_devicelist()
    # A peer that stops in the middle of an exchange and stays silent.
    stalled = login(port)
    stalled.send_raw(bytes((pp.SOH, pp.CMD_FLUSH, pp.ETB, pp.STX, 1)))
    started = time.monotonic()
    header = bytes((pp.SOH, pp.CMD_FLUSH, pp.ETB))
    item = b"F\x01T1\0\0"
    cases = [
        ("unknown command", bytes((pp.SOH, 9, pp.ETB))),
        ("no SOH", b"\x05\x01\x17"),
        ("bad type", header + bytes((pp.STX,)) + struct.pack("<H", 1) + b"Q\x01T1\0\0"),
        ("bad op", header + bytes((pp.STX,)) + struct.pack("<H", 1) + b"F\x07T1\0\0"),
        ("long name", header + bytes((pp.STX,)) + struct.pack("<H", 1) + b"F\x01" + b"N" * 300),
        ("huge buffer", header + bytes((pp.STX,)) + struct.pack("<H", 1) + b"S\x02T\0\0" +
         struct.pack("<i", 1 << 30)),
        ("negative buffer", header + bytes((pp.STX,)) + struct.pack("<H", 1) + b"S\x01T\0\0" +
         struct.pack("<i", -5)),
        ("truncated run", header + bytes((pp.STX,)) + struct.pack("<H", 1) + item[:3]),
        ("truncated header", bytes((pp.SOH, pp.CMD_FLUSH))),
        ("long info", bytes((pp.SOH, pp.CMD_INFO, pp.ETB, pp.STX)) + b"i" * 400),
        ("no answer ACK", header + bytes((pp.STX,)) + struct.pack("<H", 1) + item + bytes((pp.ETX, pp.NAK))),
    ]
    for name, data in cases:
        c = login(port)
        c.send_raw(data)
        if name.startswith("truncated"):
            # The peer leaves in the middle: shut our side so the server sees it.
            c.conn.sock.shutdown(socket.SHUT_WR)
        closed = c.peer_closed(8)
        check(closed, "%s: connection not closed" % name)
        c.close()
        # The good client keeps working after each.
        good.reset()
        r = good.read_float("Pump", "P", "")
        check(good.flush() == pp.OK and r.status == 0, "after %s: %r %s" % (name, r, good.detail))
    # A login that never completes.
    raw = pp.PlexorClient(port=port)
    raw.send_raw(b"op\0" + b"p" * 1000)
    check(raw.peer_closed(5), "long password not refused")
    raw.close()
    # Connections past the limit are closed at once; the others stay.
    crowd = [pp.PlexorClient(port=port) for _ in range(70)]
    for c in crowd:
        c.open()
    time.sleep(1)
    shut = 0
    for c in crowd:
        c.conn.sock.setblocking(False)
        try:
            shut += c.conn.sock.recv(1) == b""
        except BlockingIOError:
            pass
        except OSError:
            shut += 1
    check(0 < shut < 70, "%d of 70 connections closed at once" % shut)
    for c in crowd:
        c.close()
    check(stalled.peer_closed(20), "stalled peer kept")
    check(time.monotonic() - started >= 5, "stalled peer dropped before its time-out")
    stalled.close()
    good.reset()
    r = good.read_float("Pump", "P", "")
    check(good.flush() == pp.OK and r.status == 0, "after the crowd: %r %s" % (r, good.detail))
    good.close()


def hold(port, release):
    """Keeps three clients (two logged in) until the release file appears."""
    held = [login(port), login(port, "guest", "gg"), pp.PlexorClient(port=port)]
    held[2].open()
    print("HELD", flush=True)
    deadline = time.monotonic() + 20
    while not os.path.exists(release) and time.monotonic() < deadline:
        time.sleep(0.02)
    for c in held:
        c.close()


def main():
    port, scenario = int(sys.argv[1]), sys.argv[2]
    arg = sys.argv[3] if len(sys.argv) > 3 else ""
    if scenario == "logins":
        logins(port, arg == "on")
    elif scenario == "flush":
        flush(port)
    elif scenario == "malformed":
        malformed(port)
    elif scenario == "hold":
        hold(port, arg)
    else:
        failures.append("unknown scenario " + scenario)
    for f in failures:
        print("FAILED: " + f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
