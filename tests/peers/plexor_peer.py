#!/usr/bin/python3
"""Client and scripted server of the remote-server wire protocol, for tests.

Wire conventions (both sides here follow them):
  * Numbers are little-endian: device ids 2 bytes unsigned, integer values and
    buffer lengths 4 bytes signed, float values 4-byte IEEE floats.
  * Strings are NUL-terminated; an absent string is a single NUL.  Names,
    qualifiers, device-list texts and the client information are at most 256
    bytes with their NUL; anything longer is a protocol fault (the client reports 3, the server
    drops the connection).  The challenge path is at most 1024 bytes with the
    NUL, the challenge answer at most 1023 bytes of file content plus NUL.
  * Every exchange opens with SOH, command, ETB and the server's ACK.
    Commands: 1 flush, 8 flush with priority, 2 device list, 3 client info.
  * Login: user and password strings, one byte back (ACK = logged in, any
    other byte and a closed socket = refused).  Challenge login sends
    "CHALLENGE" as the user and no password (so no user can have that name); the server answers ACK and the
    path of a secret file (or a non-ACK byte when challenges are off), the
    client answers with the file's content, the server with ACK or another
    byte.
  * Device list: per device STX, id, type byte, name, description, hardware,
    then ETB when more devices follow or ETX after the last one; the client
    answers each device with ACK.  After the last device (or at once for an
    empty list) the server sends EOT and the client answers EOT.
  * Flush: runs of STX, id, items (type 'I'/'F'/'S', op 1 read / 2 write,
    name, qualifier, write value or the length wanted by an 'S' read), ETB
    between runs (server ACKs each), ETX after the last; server ACK.  Answers
    per device: STX, id, items (type, value-present byte, status byte, name,
    qualifier, value when present), ETB (more follow) or ETX (last); the
    client ACKs each device.  Then server EOT, client EOT.
  * Client info: header, then STX, text, ETX from the client; EOT from the
    server, EOT from the client.

Use as a library (PlexorClient, PlexorSimulator) or run
  plexor_peer.py serve --port 0 --script FILE.json [--record OUT.json]
which prints "READY <port>" once listening; see serve_main() for the options
and PlexorSimulator for the script keys.
"""
import argparse
import json
import os
import select
import signal
import socket
import struct
import sys
import tempfile
import threading
import secrets

SOH, STX, ETX, EOT, ACK, NAK, ETB = 0x01, 0x02, 0x03, 0x04, 0x06, 0x15, 0x17
CMD_FLUSH, CMD_DEVLIST, CMD_INFO, CMD_FLUSH_PRIO = 1, 2, 3, 8
READ, WRITE = 1, 2
MAX_STRING = 256          # bytes with the NUL
MAX_PATH = 1024           # challenge path, bytes with the NUL
MAX_CHALLENGE = 1023      # challenge content bytes without the NUL
CHALLENGE_USER = "CHALLENGE"

# Client status codes, numbered as the library client numbers them so that
# results of both clients can be compared.
OK = 0
NO_CONNECTION = 1
WRITE_FAILED = 2
READ_FAILED = 3
NOT_ACKNOWLEDGED = 4
INVALID_DATATYPE = 5
UNEXPECTED = 6
ALREADY_CONNECTED = 7
SERVER_NOT_FOUND = 9
NO_RESPONSE = 10
LOGIN_FAILED = 11
CHALLENGE_DISABLED = 17
CHALLENGE_NOT_FOUND = 18
CHALLENGE_OPEN_FAILED = 19


def encode_string(text):
    """NUL-terminated UTF-8; None is an absent string (one NUL)."""
    if text is None:
        return b"\0"
    data = text if isinstance(text, bytes) else text.encode("utf-8")
    return data + b"\0"


def encode_value(vtype, value):
    if vtype == "I":
        return struct.pack("<i", int(value))
    if vtype == "F":
        return struct.pack("<f", float(value))
    if vtype == "S":
        data = bytes(value)
        return struct.pack("<i", len(data)) + data
    raise ValueError("unknown value type %r" % (vtype,))


class ProtocolError(Exception):
    """The peer broke the exchange; code is the client status it maps to."""

    def __init__(self, code, detail):
        super().__init__(detail)
        self.code = code


class Closed(Exception):
    """The connection ended (or timed out) in the middle of an exchange."""


class Conn:
    """Blocking socket with the reads both sides need."""

    def __init__(self, sock):
        self.sock = sock

    def send(self, data):
        self.sock.sendall(bytes(data))

    def byte(self):
        return self.exact(1)[0]

    def exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            try:
                part = self.sock.recv(n - len(buf))
            except (socket.timeout, OSError) as e:
                raise Closed(str(e))
            if not part:
                raise Closed("connection closed after %d of %d bytes" % (len(buf), n))
            buf += part
        return bytes(buf)

    def string(self, limit=MAX_STRING):
        """Reads a NUL-terminated string of at most limit bytes with the NUL;
        returns bytes, or raises ProtocolError when it is longer."""
        buf = bytearray()
        while True:
            b = self.byte()
            if b == 0:
                return bytes(buf)
            buf.append(b)
            if len(buf) >= limit:
                raise ProtocolError(READ_FAILED, "string longer than %d bytes" % (limit - 1))

    def u16(self):
        return struct.unpack("<H", self.exact(2))[0]

    def i32(self):
        return struct.unpack("<i", self.exact(4))[0]

    def f32(self):
        return struct.unpack("<f", self.exact(4))[0]

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def _text(raw):
    return raw.decode("utf-8", "replace")


# --------------------------------------------------------------------------
# Client
# --------------------------------------------------------------------------

class Device:
    __slots__ = ("id", "type", "name", "description", "hardware")

    def __init__(self, id, type=0, name="", description="", hardware=""):
        self.id, self.type, self.name = id, type, name
        self.description, self.hardware = description, hardware

    def as_dict(self):
        return {k: getattr(self, k) for k in self.__slots__}

    def __repr__(self):
        return "Device(%r)" % (self.as_dict(),)


class Request:
    """One queued read or write and, after a flush, its answer."""

    def __init__(self, device, vtype, op, name, qualifier, value=None, length=-1):
        self.device, self.type, self.op = device, vtype, op
        self.name, self.qualifier = name, "" if qualifier is None else qualifier
        self.int_value = self.float_value = 0
        self.buf = None
        self.length = length
        if op == WRITE:
            if vtype == "I":
                self.int_value, self.float_value = int(value), float(int(value))
            elif vtype == "F":
                self.float_value, self.int_value = float(value), int(float(value))
            elif vtype == "S":
                self.buf = bytes(value)
                self.length = len(self.buf)
            else:
                self.buf = value      # not encodable: the flush reports 5
        self.status = 1          # not processed until the server answers
        self.answers = 0         # answer items that matched this request

    @property
    def value(self):
        return {"I": self.int_value, "F": self.float_value}.get(self.type, self.buf)

    def encode(self):
        out = bytearray((ord(self.type), self.op))
        out += encode_string(self.name) + encode_string(self.qualifier)
        if self.op == WRITE:
            if self.type == "I":
                out += struct.pack("<i", self.int_value)
            elif self.type == "F":
                out += struct.pack("<f", self.float_value)
            elif self.type == "S":
                out += encode_value("S", self.buf)
            else:
                raise ProtocolError(INVALID_DATATYPE, "write of type %r" % (self.type,))
        elif self.type == "S":
            out += struct.pack("<i", self.length)
        return bytes(out)

    def __repr__(self):
        return "Request(dev=%d %s op=%d %r:%r status=%d value=%r)" % (
            self.device, self.type, self.op, self.name, self.qualifier, self.status, self.value)


def encode_flush(requests, command=CMD_FLUSH):
    """The bytes a client sends for a flush, in pieces: the header, then one
    piece per run ending in ETB or ETX.  For building truncated exchanges."""
    ordered = sorted(requests, key=lambda r: r.device)
    runs = []
    for r in ordered:
        if not runs or runs[-1][0] != r.device:
            runs.append((r.device, []))
        runs[-1][1].append(r)
    pieces = [bytes((SOH, command, ETB))]
    for i, (dev, reqs) in enumerate(runs):
        body = bytes((STX,)) + struct.pack("<H", dev) + b"".join(r.encode() for r in reqs)
        pieces.append(body + bytes((ETX if i == len(runs) - 1 else ETB,)))
    return pieces


class PlexorClient:
    """A client for driving a server in tests.  Methods return the status
    codes above; detail holds a readable reason for the last failure, and
    warnings collects answers that matched no request."""

    def __init__(self, host="127.0.0.1", port=7878, timeout=5.0):
        self.host, self.port, self.timeout = host, port, timeout
        self.conn = None
        self.connected = False
        self.devices = []
        self.requests = []
        self.detail = ""
        self.warnings = []

    # -- connection ---------------------------------------------------------
    def open(self):
        """Opens the TCP connection without logging in (raw use)."""
        if self.conn is not None:
            return ALREADY_CONNECTED
        try:
            sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        except socket.gaierror as e:
            self.detail = str(e)
            return SERVER_NOT_FOUND
        except OSError as e:
            self.detail = str(e)
            return NO_RESPONSE
        sock.settimeout(self.timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conn = Conn(sock)
        return OK

    def close(self):
        if self.conn is not None:
            self.conn.close()
        self.conn = None
        self.connected = False

    disconnect = close

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _fail(self, code, detail, drop=False):
        self.detail = detail
        if drop:
            self.close()
        return code

    def _run(self, body):
        """Runs an exchange; maps lost connections to 3 (and forgets the
        socket) and protocol faults to their codes."""
        try:
            return body()
        except Closed as e:
            return self._fail(READ_FAILED, "read failed: %s" % e, drop=True)
        except ProtocolError as e:
            return self._fail(e.code, str(e))
        except OSError as e:     # sends: reset, broken pipe, time-out
            return self._fail(WRITE_FAILED, "write failed: %s" % e, drop=True)

    def connect(self, user, password):
        if self.connected:
            return ALREADY_CONNECTED
        rc = self.open()
        if rc != OK:
            return rc

        def body():
            self.conn.send(encode_string(user) + encode_string(password))
            b = self.conn.byte()
            if b != ACK:
                return self._fail(LOGIN_FAILED, "login answered 0x%02x" % b, drop=True)
            self.connected = True
            return OK
        return self._run(body)

    def connect_with_challenge(self):
        if self.connected:
            return ALREADY_CONNECTED
        rc = self.open()
        if rc != OK:
            return rc

        def body():
            self.conn.send(encode_string(CHALLENGE_USER))
            b = self.conn.byte()
            if b != ACK:
                return self._fail(CHALLENGE_DISABLED, "challenge answered 0x%02x" % b, drop=True)
            path = self.conn.string(MAX_PATH)
            self.challenge_path = _text(path)
            if not os.path.exists(path):
                return self._fail(CHALLENGE_NOT_FOUND, "no file %r" % path, drop=True)
            try:
                with open(path, "rb") as f:
                    content = f.read(MAX_CHALLENGE)
            except OSError as e:
                return self._fail(CHALLENGE_OPEN_FAILED, str(e), drop=True)
            # The answer is a string: content after a NUL would not arrive.
            content = content.split(b"\0", 1)[0]
            self.conn.send(content + b"\0")
            b = self.conn.byte()
            if b != ACK:
                return self._fail(LOGIN_FAILED, "challenge answer refused: 0x%02x" % b, drop=True)
            self.connected = True
            return OK
        return self._run(body)

    def _header(self, command):
        self.conn.send(bytes((SOH, command, ETB)))
        b = self.conn.byte()
        if b != ACK:
            raise ProtocolError(NOT_ACKNOWLEDGED, "command %d answered 0x%02x" % (command, b))

    # -- device list ----------------------------------------------------------
    def sync_devicelist(self):
        if not self.connected:
            return NO_CONNECTION

        def body():
            self._header(CMD_DEVLIST)
            self.devices = []
            b = self.conn.byte()
            while b != EOT:
                if b != STX:
                    raise ProtocolError(UNEXPECTED, "device list: 0x%02x instead of STX" % b)
                dev = Device(self.conn.u16(), self.conn.byte())
                dev.name = _text(self.conn.string())
                dev.description = _text(self.conn.string())
                dev.hardware = _text(self.conn.string())
                end = self.conn.byte()
                self.conn.send(bytes((ACK,)))
                self.devices.append(dev)
                if end == ETB:
                    b = self.conn.byte()
                    continue
                if end != ETX:
                    raise ProtocolError(UNEXPECTED, "device list: 0x%02x after a device" % end)
                b = self.conn.byte()
                if b != EOT:
                    raise ProtocolError(UNEXPECTED, "device list: 0x%02x instead of EOT" % b)
            self.conn.send(bytes((EOT,)))
            return OK
        return self._run(body)

    def device(self, name):
        for d in self.devices:
            if d.name == name:
                return d
        return None

    # -- client information ------------------------------------------------
    def send_client_info(self, text):
        if not self.connected:
            return NO_CONNECTION

        def body():
            self._header(CMD_INFO)
            self.conn.send(bytes((STX,)) + encode_string(text) + bytes((ETX,)))
            b = self.conn.byte()
            if b != EOT:
                raise ProtocolError(UNEXPECTED, "client info: 0x%02x instead of EOT" % b)
            self.conn.send(bytes((EOT,)))
            return OK
        return self._run(body)

    # -- requests --------------------------------------------------------------
    def _queue(self, device, vtype, op, name, qualifier, value=None, length=-1):
        """device: a name from the synchronised list, or an id (sent as is)."""
        if isinstance(device, int):
            dev_id = device
        else:
            d = self.device(device)
            if d is None or d.id == 0:
                return None
            dev_id = d.id
        r = Request(dev_id, vtype, op, name, qualifier, value, length)
        self.requests.append(r)
        return r

    def read_int(self, device, name, qualifier=""):
        return self._queue(device, "I", READ, name, qualifier)

    def read_float(self, device, name, qualifier=""):
        return self._queue(device, "F", READ, name, qualifier)

    def read_buf(self, device, name, qualifier, size):
        return self._queue(device, "S", READ, name, qualifier, length=size)

    def write_int(self, device, name, qualifier, value):
        return self._queue(device, "I", WRITE, name, qualifier, value)

    def write_float(self, device, name, qualifier, value):
        return self._queue(device, "F", WRITE, name, qualifier, value)

    def write_buf(self, device, name, qualifier, data):
        return self._queue(device, "S", WRITE, name, qualifier, bytes(data))

    def reset(self):
        self.requests = []

    def flush(self, priority=False):
        if not self.connected:
            return NO_CONNECTION
        if not self.requests:
            return OK
        command = CMD_FLUSH_PRIO if priority else CMD_FLUSH

        def body():
            pieces = encode_flush(self.requests, command)   # may raise 5 first
            self._header(command)
            for piece in pieces[1:]:
                self.conn.send(piece)
                if piece[-1] == ETB:
                    b = self.conn.byte()
                    if b != ACK:
                        raise ProtocolError(NOT_ACKNOWLEDGED, "run answered 0x%02x" % b)
            b = self.conn.byte()
            if b != ACK:
                raise ProtocolError(NOT_ACKNOWLEDGED, "requests answered 0x%02x" % b)
            self.requests.sort(key=lambda r: r.device)
            while True:
                b = self.conn.byte()
                if b != STX:
                    raise ProtocolError(UNEXPECTED, "answers: 0x%02x instead of STX" % b)
                dev = self.conn.u16()
                end = self._answer_items(dev)
                self.conn.send(bytes((ACK,)))
                if end == ETX:
                    break
            b = self.conn.byte()
            if b != EOT:
                raise ProtocolError(UNEXPECTED, "answers: 0x%02x instead of EOT" % b)
            self.conn.send(bytes((EOT,)))
            return OK
        return self._run(body)

    def _answer_items(self, dev):
        while True:
            t = self.conn.byte()
            if t in (ETB, ETX):
                return t
            vtype = chr(t)
            if vtype not in "IFS":
                raise ProtocolError(INVALID_DATATYPE, "answer of type 0x%02x" % t)
            present = self.conn.byte()
            status = self.conn.byte()
            name = _text(self.conn.string())
            qual = _text(self.conn.string())
            ival = fval = buf = None
            if present == 1:
                if vtype == "F":
                    fval = self.conn.f32()
                    ival = int(fval) if fval == fval and abs(fval) < 2 ** 31 else 0
                elif vtype == "I":
                    ival = self.conn.i32()
                    fval = float(ival)
                else:
                    n = self.conn.i32()
                    if n < 0:
                        raise ProtocolError(UNEXPECTED, "buffer length %d" % n)
                    buf = self.conn.exact(n)
            matched = [r for r in self.requests if r.device == dev and r.type == vtype
                       and r.name == name and r.qualifier == qual]
            if not matched:
                self.warnings.append("answer for no request: %d %s %r:%r" % (dev, vtype, name, qual))
            for r in matched:
                r.status, r.answers = status, r.answers + 1
                if present == 1:
                    r.int_value, r.float_value = ival, fval
                    if buf is not None:
                        r.buf = bytes(buf)

    # -- raw use ---------------------------------------------------------------
    def send_raw(self, data):
        """Sends bytes as they are; opens the connection first if needed.
        Returns False when the peer has already gone."""
        if self.conn is None and self.open() != OK:
            return False
        try:
            self.conn.send(data)
            return True
        except OSError:
            return False

    def recv_raw(self, n=1, timeout=None):
        """Up to n bytes; fewer (maybe none) when the peer closes or is silent
        for the time-out."""
        self.conn.sock.settimeout(self.timeout if timeout is None else timeout)
        out = bytearray()
        try:
            while len(out) < n:
                part = self.conn.sock.recv(n - len(out))
                if not part:
                    break
                out += part
        except (socket.timeout, OSError):
            pass
        finally:
            self.conn.sock.settimeout(self.timeout)
        return bytes(out)

    def peer_closed(self, timeout=None):
        """True when the peer closes the connection within the time-out
        (bytes it still sends are skipped)."""
        self.conn.sock.settimeout(self.timeout if timeout is None else timeout)
        try:
            while True:
                if not self.conn.sock.recv(4096):
                    return True
        except ConnectionError:
            return True
        except (socket.timeout, OSError):
            return False
        finally:
            self.conn.sock.settimeout(self.timeout)


# --------------------------------------------------------------------------
# Scripted server
# --------------------------------------------------------------------------

class _Abort(Exception):
    """The script ends the connection at this step."""


def _script_bytes(entry):
    if "hex" in entry:
        return bytes.fromhex(entry["hex"])
    v = entry.get("value", "")
    return v.encode("utf-8") if isinstance(v, str) else bytes(v)


class PlexorSimulator:
    """A one-connection-at-a-time server driven by a script (a dict, or the
    JSON file of the command line).  Keys, all optional:

      users        {"name": "password"}; a login with any other pair is refused
      challenge    true to accept challenge logins (default false)
      challenge_file  "fresh" (default) or "missing": the path sent names no file
      challenge_size  bytes of the secret (default 64 hex digits); the answer
                   must equal its first 1023 bytes
      challenge_dir   where secret files go (default: the temporary folder)
      devices      [{"id", "type", "name", "description", "hardware"}]
      values       [{"device", "name", "qualifier", "value" | "hex"}]: initial
                   setpoint values; every other setpoint starts at 0 / empty.
                   Writes store their value, reads answer the stored one.
      answers      [{"device", "name", "qualifier", "type"?, "op"?, "status",
                   "present"?, "value" | "hex"?}]: fixed answers that override
                   the store for matching items (type/op only when given)
      unknown_device_status  status for items of a device id not in the list (2)
      misbehave    [{"at": STEP, "do": ACTION, "byte": N, "length": N,
                   "nth": K (1 = first time, 0 = every time),
                   "client": I (only that connection, counted from 0)}]
      clients      serve this many connections, then stop (0 = until stopped)
      login_delay  seconds before refusing a login (default 0)
      timeout      seconds a silent client may take before it is dropped (10)

    Actions: "close" drops the connection instead of sending; at the
    control-byte steps "nak" sends NAK and "byte" the given byte instead;
    at the string steps "long" sends a string of "length" bytes (default 300,
    1100 for the path); at answer_buffer "length" sends that 4-byte length
    (maybe negative or huge) in front of the real bytes.
    Control-byte steps: login, challenge, challenge_result (the login
    answers); header (ACK of any command header); run (ACK after an ETB
    between runs); requests (ACK after the last run); answer_stx, answer_end
    (ETB/ETX after a device's answers), answer_eot; device_stx, device_end
    (ETB/ETX after a device), device_eot; info_eot.
    String steps: challenge_path, answer_name, device_name.
    Other: answer_buffer (the value of an "S" answer).
    Everything received is in .record (see dump()).
    """
    CONTROL_STEPS = {"login", "challenge", "challenge_result", "header", "run", "requests",
                     "answer_stx", "answer_end", "answer_eot", "device_stx", "device_end",
                     "device_eot", "info_eot"}
    STRING_STEPS = {"challenge_path", "answer_name", "device_name"}

    def __init__(self, script=None, host="127.0.0.1", port=0):
        self.script = dict(script or {})
        s = self.script
        self.users = dict(s.get("users", {}))
        self.devices = [Device(int(d["id"]), int(d.get("type", 0)), d.get("name", ""),
                               d.get("description", ""), d.get("hardware", ""))
                        for d in s.get("devices", [])]
        self.store = {}
        for v in s.get("values", []):
            key = (int(v["device"]), v["name"], v.get("qualifier", ""))
            self.store[key] = _script_bytes(v) if "hex" in v or isinstance(v.get("value"), str) \
                else v.get("value", 0)
        self.answers = list(s.get("answers", []))
        self.misbehave = [dict(m) for m in s.get("misbehave", [])]
        for m in self.misbehave:
            at, do = m.get("at"), m.get("do")
            ok = do == "close" and (at in self.CONTROL_STEPS or at in self.STRING_STEPS
                                    or at == "answer_buffer")
            ok = ok or (do in ("nak", "byte") and at in self.CONTROL_STEPS)
            ok = ok or (do == "long" and at in self.STRING_STEPS)
            ok = ok or (do == "length" and at == "answer_buffer" and "length" in m)
            if not ok:
                raise ValueError("misbehaviour %r: no such action at that step" % (m,))
        self.timeout = float(s.get("timeout", 10))
        self.record = {"sessions": [], "flushes": [], "requests": [], "client_info": [],
                       "challenges": [], "exchanges": []}
        self.record_path = None
        self._lock = threading.RLock()
        self._stop = threading.Event()
        self._thread = None
        self._secret_path = None
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]

    # -- running ---------------------------------------------------------------
    def start(self):
        """Serves in a background thread (for tests in this process)."""
        self._thread = threading.Thread(target=self.serve, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(10)
        self.listener.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def serve(self):
        limit = int(self.script.get("clients", 0))
        served = 0
        while not self._stop.is_set() and (limit == 0 or served < limit):
            try:
                ready, _, _ = select.select([self.listener], [], [], 0.1)
            except (OSError, ValueError):
                break
            if not ready:
                continue
            try:
                sock, _ = self.listener.accept()
            except OSError:
                break
            try:
                self._session(sock, served)
            finally:
                served += 1
                self.save()
        self._stop.set()

    def dump(self):
        """The record as JSON text.  sessions: one per connection (client,
        login kind, user, ok, end); flushes: command and runs of items as
        received; requests: the same items flat, with client and command;
        client_info: texts; challenges: path, answer length, ok; exchanges:
        every command in order.  Buffer values are hex strings."""
        with self._lock:
            return json.dumps(self.record, sort_keys=True)

    def save(self):
        if not self.record_path:
            return
        tmp = self.record_path + ".tmp"
        with open(tmp, "w") as f:
            f.write(self.dump())
        os.replace(tmp, self.record_path)

    # -- misbehaviour ------------------------------------------------------------
    def _fault(self, step):
        for m in self.misbehave:
            if m.get("at") != step:
                continue
            if "client" in m and int(m["client"]) != self._client:
                continue
            m["_seen"] = m.get("_seen", 0) + 1
            nth = int(m.get("nth", 1))
            if nth == 0 or nth == m["_seen"]:
                return m
        return None

    def _ctl(self, conn, step, byte):
        m = self._fault(step)
        if m is not None:
            if m["do"] == "close":
                raise _Abort("closed at " + step)
            byte = NAK if m["do"] == "nak" else int(m.get("byte") or 0) & 0xFF
        conn.send(bytes((byte,)))

    def _str(self, step, text):
        m = self._fault(step)
        if m is not None:
            if m["do"] == "close":
                raise _Abort("closed at " + step)
            if m["do"] == "long":
                default = MAX_PATH + 76 if step == "challenge_path" else 300
                return b"x" * int(m.get("length") or default) + b"\0"
        return encode_string(text)

    def _expect(self, conn, want, where):
        b = conn.byte()
        if b != want:
            raise ProtocolError(UNEXPECTED, "%s: 0x%02x instead of 0x%02x" % (where, b, want))

    # -- one connection ----------------------------------------------------------
    def _session(self, sock, index):
        self._client = index
        sock.settimeout(self.timeout)
        conn = Conn(sock)
        sess = {"client": index, "login": None, "user": None, "ok": False, "end": None}
        with self._lock:
            self.record["sessions"].append(sess)
        try:
            first = _text(conn.string())
            if first == CHALLENGE_USER:
                sess["login"] = "challenge"
                sess["ok"] = self._challenge(conn)
            else:
                sess["login"], sess["user"] = "password", first
                password = _text(conn.string())
                sess["ok"] = self.users.get(first) == password
                if not sess["ok"]:
                    self._stop.wait(float(self.script.get("login_delay", 0)))
                self._ctl(conn, "login", ACK if sess["ok"] else NAK)
            if not sess["ok"]:
                sess["end"] = "login refused"
                return
            while True:
                try:
                    b = conn.byte()
                except Closed:
                    sess["end"] = "closed by client"
                    return
                if b != SOH:
                    raise ProtocolError(UNEXPECTED, "0x%02x instead of SOH" % b)
                cmd = conn.byte()
                self._expect(conn, ETB, "header")
                with self._lock:
                    self.record["exchanges"].append({"client": index, "command": cmd})
                if cmd not in (CMD_FLUSH, CMD_FLUSH_PRIO, CMD_DEVLIST, CMD_INFO):
                    raise ProtocolError(UNEXPECTED, "unknown command %d" % cmd)
                self._ctl(conn, "header", ACK)
                if cmd == CMD_DEVLIST:
                    self._devlist(conn)
                elif cmd == CMD_INFO:
                    conn_text = self._info(conn)
                    with self._lock:
                        self.record["client_info"].append({"client": index, "text": conn_text})
                else:
                    self._flush(conn, cmd, index)
                self.save()
        except _Abort as e:
            sess["end"] = str(e)
        except Closed as e:
            sess["end"] = "fault: " + str(e)
        except ProtocolError as e:
            sess["end"] = "fault: " + str(e)
        except OSError as e:       # a send to a client that has gone
            sess["end"] = "fault: send failed: %s" % e
        finally:
            conn.close()

    def _challenge(self, conn):
        entry = {"client": self._client, "path": None, "answer_length": None, "ok": False}
        with self._lock:
            self.record["challenges"].append(entry)
        if not self.script.get("challenge", False):
            self._ctl(conn, "challenge", NAK)
            return False
        self._ctl(conn, "challenge", ACK)
        size = int(self.script.get("challenge_size", 64))
        secret = (secrets.token_hex(size // 2 + 1)[:size]).encode("ascii")
        fd, path = tempfile.mkstemp(prefix="plexor-challenge-", dir=self.script.get("challenge_dir"))
        try:
            os.fchmod(fd, 0o600)
            os.write(fd, secret)
            os.close(fd)
            entry["path"] = self._secret_path = path
            sent = path + ".missing" if self.script.get("challenge_file") == "missing" else path
            conn.send(self._str("challenge_path", sent))
            answer = conn.string(MAX_CHALLENGE + 1)
            # Gone before the client hears the verdict: one secret, one try.
            self._secret_path = None
            os.unlink(path)
            entry["answer_length"] = len(answer)
            entry["ok"] = secrets.compare_digest(answer, secret[:MAX_CHALLENGE])
            self._ctl(conn, "challenge_result", ACK if entry["ok"] else NAK)
            return entry["ok"]
        finally:
            if self._secret_path:
                self._secret_path = None
                os.unlink(path)

    def _devlist(self, conn):
        for i, d in enumerate(self.devices):
            last = i == len(self.devices) - 1
            self._ctl(conn, "device_stx", STX)
            out = struct.pack("<HB", d.id, d.type & 0xFF) + self._str("device_name", d.name)
            out += encode_string(d.description) + encode_string(d.hardware)
            conn.send(out)
            self._ctl(conn, "device_end", ETX if last else ETB)
            self._expect(conn, ACK, "device list")
        self._ctl(conn, "device_eot", EOT)
        self._expect(conn, EOT, "device list end")

    def _info(self, conn):
        self._expect(conn, STX, "client info")
        text = _text(conn.string())
        self._expect(conn, ETX, "client info end")
        self._ctl(conn, "info_eot", EOT)
        self._expect(conn, EOT, "client info end")
        return text

    def _read_runs(self, conn, flush):
        """Reads runs up to ETX; each item is recorded as soon as it is whole."""
        self._expect(conn, STX, "run")
        while True:
            run = {"device": conn.u16(), "items": []}
            flush["runs"].append(run)
            while True:
                t = conn.byte()
                if t in (ETB, ETX):
                    break
                item = self._read_item(conn, t)
                run["items"].append(item)
                with self._lock:
                    self.record["requests"].append(dict(item, device=run["device"],
                                                        client=flush["client"],
                                                        command=flush["command"]))
            if t == ETX:
                return
            self._ctl(conn, "run", ACK)
            self._expect(conn, STX, "run")

    def _read_item(self, conn, t):
        vtype = chr(t)
        if vtype not in "IFS":
            raise ProtocolError(INVALID_DATATYPE, "request of type 0x%02x" % t)
        op = conn.byte()
        if op not in (READ, WRITE):
            raise ProtocolError(UNEXPECTED, "operation %d" % op)
        item = {"type": vtype, "op": op, "name": _text(conn.string()),
                "qualifier": _text(conn.string()), "value": None, "length": None}
        if op == WRITE and vtype == "I":
            item["value"] = conn.i32()
        elif op == WRITE and vtype == "F":
            item["value"] = conn.f32()
        elif vtype == "S":
            n = conn.i32()
            item["length"] = n
            if n < 0 or n > 65536:
                raise ProtocolError(UNEXPECTED, "buffer length %d" % n)
            if op == WRITE:
                item["value"] = conn.exact(n).hex()
        return item

    def _answer(self, dev, item):
        """(status, present, value) for one request."""
        for a in self.answers:
            if (int(a["device"]) == dev and a["name"] == item["name"]
                    and a.get("qualifier", "") == item["qualifier"]
                    and a.get("type", item["type"]) == item["type"]
                    and int(a.get("op", item["op"])) == item["op"]):
                if item["type"] == "S":
                    value = _script_bytes(a)
                else:
                    value = a.get("value", 0)
                return int(a.get("status", 0)), bool(a.get("present", "value" in a or "hex" in a)), value
        if not any(d.id == dev for d in self.devices):
            return int(self.script.get("unknown_device_status", 2)), False, None
        key = (dev, item["name"], item["qualifier"])
        if item["op"] == WRITE:
            self.store[key] = bytes.fromhex(item["value"]) if item["type"] == "S" else item["value"]
            return 0, False, None
        cell = self.store.get(key, 0)
        if item["type"] == "S":
            data = cell if isinstance(cell, bytes) else b""
            return 0, True, data[:max(item["length"], 0)]
        if isinstance(cell, bytes):
            cell = 0
        return 0, True, int(cell) if item["type"] == "I" else float(cell)

    def _flush(self, conn, cmd, index):
        flush = {"client": index, "command": cmd, "runs": [], "complete": False}
        with self._lock:
            self.record["flushes"].append(flush)
        self._read_runs(conn, flush)
        self._ctl(conn, "requests", ACK)
        runs = flush["runs"]
        for i, run in enumerate(runs):
            self._ctl(conn, "answer_stx", STX)
            out = bytearray(struct.pack("<H", run["device"]))
            for item in run["items"]:
                status, present, value = self._answer(run["device"], item)
                out += bytes((ord(item["type"]), 1 if present else 0, status & 0xFF))
                out += self._str("answer_name", item["name"]) + encode_string(item["qualifier"])
                if present and item["type"] == "S":
                    m = self._fault("answer_buffer")
                    if m is not None and m["do"] == "close":
                        conn.send(out)
                        raise _Abort("closed at answer_buffer")
                    data = bytes(value)
                    n = len(data) if m is None else int(m["length"])
                    out += struct.pack("<i", n) + data
                elif present:
                    out += encode_value(item["type"], value)
            conn.send(out)
            self._ctl(conn, "answer_end", ETX if i == len(runs) - 1 else ETB)
            self._expect(conn, ACK, "answers")
        self._ctl(conn, "answer_eot", EOT)
        self._expect(conn, EOT, "answers end")
        flush["complete"] = True


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------

def _parse_flags(args):
    script = {}
    if args.script:
        with open(args.script) as f:
            script = json.load(f)
    for u in args.user or []:
        name, _, password = u.partition(":")
        script.setdefault("users", {})[name] = password
    if args.challenge:
        script["challenge"] = True
    for d in args.device or []:
        parts = d.split(":", 4) + ["", ""]
        script.setdefault("devices", []).append(
            {"id": int(parts[0]), "type": int(parts[1]), "name": parts[2],
             "description": parts[3], "hardware": parts[4]})
    for m in args.misbehave or []:
        at, _, rest = m.partition(":")
        do, _, byte = rest.partition(":")
        entry = {"at": at, "do": do or "nak"}
        if byte:
            entry["length" if do in ("long", "length") else "byte"] = int(byte, 0)
        script.setdefault("misbehave", []).append(entry)
    if args.clients is not None:
        script["clients"] = args.clients
    return script


def serve_main(argv):
    p = argparse.ArgumentParser(prog="plexor_peer.py serve",
                                description="Scripted server; prints 'READY <port>' when listening. "
                                "Reads 'dump' (prints 'RECORD <json>') and 'quit' on standard input.")
    p.add_argument("--port", type=int, default=0, help="0 picks a free port")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--script", help="JSON script (see PlexorSimulator)")
    p.add_argument("--record", help="write what was received here, as JSON, after every exchange and at exit")
    p.add_argument("--clients", type=int, help="connections to serve before exiting (0 = until killed)")
    p.add_argument("--user", action="append", metavar="NAME:PASSWORD")
    p.add_argument("--challenge", action="store_true", help="accept challenge logins")
    p.add_argument("--device", action="append", metavar="ID:TYPE:NAME[:DESC[:HW]]")
    p.add_argument("--misbehave", action="append", metavar="STEP:ACTION[:N]",
                   help="ACTION nak, close, byte:N, long[:N] or length:N (see PlexorSimulator)")
    args = p.parse_args(argv)
    sim = PlexorSimulator(_parse_flags(args), args.host, args.port)
    sim.record_path = args.record
    def finish(*_):
        # A session may be blocked in a read: save, clean up and leave now.
        sim._stop.set()
        if sim._secret_path:
            try:
                os.unlink(sim._secret_path)
            except OSError:
                pass
        sim.save()
        os._exit(0)
    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)

    def commands():
        for line in sys.stdin:
            word = line.strip()
            if word == "dump":
                sys.stdout.write("RECORD " + sim.dump() + "\n")
                sys.stdout.flush()
            elif word == "quit":
                sim._stop.set()
                return
    threading.Thread(target=commands, daemon=True).start()
    print("READY %d" % sim.port, flush=True)
    sim.serve()
    sim.listener.close()
    sim.save()
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] != "serve":
        sys.stderr.write("usage: plexor_peer.py serve [--help]\n")
        sys.exit(2)
    sys.exit(serve_main(sys.argv[2:]))
