#!/usr/bin/python3
"""MODBUS/TCP device for the tests that misbehaves on purpose, on a script.

Listens on 127.0.0.1 at a free port and prints "PORT <n>" once it listens,
then one line per request it receives:
  REQ <transaction id> <unit> <function> <address> <count>
(count is 1 for functions 5 and 6; address and count are "-" where the
request holds none: other function codes, requests cut short). Serves any
number of connections, at once or in turn. The lines are written by a thread
of their own, so a test that reads them late never stalls the device.

Data, one table for all units:
  holding and input registers read as their address, coils and discrete
  inputs as address & 1; writes (functions 5, 6, 15, 16) are kept and read
  back afterwards (holding registers and coils).
Answers:
  exception 1 for functions other than 1, 2, 3, 4, 5, 6, 15, 16;
  exception 3 for a count out of range (reads 1..125 registers or 1..2000
  bits, writes 1..123 registers or 1..1968 bits), a byte count that does not
  match it, a coil value other than 0xFF00/0x0000 or a request of the wrong
  length;
  exception 2 when address + count > 65536 or any address the request
  touches lies in a --missing range (a failed write changes nothing).
A frame header with a protocol id other than 0, or a length outside 2..254,
closes the connection.

Modes (the answers' contents are the same in all of them; requests take
effect when they arrive, in arrival order, only the answers are moved):
  inorder  each request answered as soon as it has arrived, in order.
  reverse  requests that arrive within 20 ms of the previous one are
           collected; after 20 ms without a new one they are answered in
           reverse order (a lone request is answered after 20 ms).
  drop     every Nth request of a connection (N = --every) is never
           answered and has no effect, as if lost on the way; the others are
           answered in order.
  close    each answer is sent 30 ms after its request arrived; a request
           that arrives while an earlier one is unanswered closes the
           connection (that request has no effect).
SIGTERM or SIGINT ends the device with exit status 0.
"""
import argparse
import os
import queue
import select
import signal
import socket
import struct
import sys
import threading
import time

REVERSE_QUIET = 0.020
CLOSE_DELAY = 0.030

READ_LIMITS = {1: 2000, 2: 2000, 3: 125, 4: 125}
WRITE_LIMITS = {15: 1968, 16: 123}


class Output:
    """Writes the lines from a thread of its own, so that a test that reads
    them late (or never) cannot stall the device once the pipe is full."""

    def __init__(self):
        self.lines = queue.SimpleQueue()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def emit(self, line):
        self.lines.put(line)

    def run(self):
        broken = False
        while True:
            batch = [self.lines.get()]
            while not self.lines.empty() and len(batch) < 1000:
                batch.append(self.lines.get())
            done = None in batch
            data = "".join(line + "\n" for line in batch if line is not None).encode()
            # os.write, not sys.stdout: no buffer lock for the exit to trip over.
            while data and not broken:
                try:
                    data = data[os.write(1, data):]
                except OSError:
                    broken = True  # nobody reads us any more; keep serving
            if done:
                return

    def close(self, timeout):
        self.lines.put(None)
        self.thread.join(timeout)


output = None


def emit(line):
    output.emit(line)


class Device:
    """The data tables and the request semantics, shared by all connections."""

    def __init__(self, missing):
        self.missing = missing
        self.registers = {}
        self.coils = {}
        self.lock = threading.Lock()

    def touches_missing(self, address, count):
        end = address + count
        return any(address < m_start + m_count and m_start < end for m_start, m_count in self.missing)

    def describe(self, pdu):
        """Function, address and count as the REQ line shows them."""
        function = pdu[0]
        address = count = "-"
        if function not in READ_LIMITS and function not in WRITE_LIMITS and function not in (5, 6):
            return function, address, count
        if len(pdu) >= 3:
            address = struct.unpack_from(">H", pdu, 1)[0]
        if function in (5, 6):
            count = 1
        elif len(pdu) >= 5:
            count = struct.unpack_from(">H", pdu, 3)[0]
        return function, address, count

    def execute(self, pdu):
        """Carries out one request PDU and returns the answer PDU."""
        function = pdu[0]

        def exception(code):
            return bytes((function | 0x80, code))

        if function in READ_LIMITS:
            if len(pdu) != 5:
                return exception(3)
            address, count = struct.unpack_from(">HH", pdu, 1)
            if not 1 <= count <= READ_LIMITS[function]:
                return exception(3)
            if address + count > 65536 or self.touches_missing(address, count):
                return exception(2)
            with self.lock:
                if function in (3, 4):
                    table = self.registers if function == 3 else {}
                    values = [table.get(a, a) for a in range(address, address + count)]
                    return bytes((function, 2 * count)) + struct.pack(">%dH" % count, *values)
                table = self.coils if function == 1 else {}
                bits = [table.get(a, a & 1) for a in range(address, address + count)]
            packed = bytearray((count + 7) // 8)
            for i, bit in enumerate(bits):
                if bit:
                    packed[i // 8] |= 1 << (i % 8)
            return bytes((function, len(packed))) + bytes(packed)

        if function in (5, 6):
            if len(pdu) != 5:
                return exception(3)
            address, value = struct.unpack_from(">HH", pdu, 1)
            if function == 5 and value not in (0xFF00, 0x0000):
                return exception(3)
            if self.touches_missing(address, 1):
                return exception(2)
            with self.lock:
                if function == 5:
                    self.coils[address] = 1 if value else 0
                else:
                    self.registers[address] = value
            return pdu

        if function in WRITE_LIMITS:
            if len(pdu) < 6:
                return exception(3)
            address, count, byte_count = struct.unpack_from(">HHB", pdu, 1)
            data = pdu[6:]
            needed = (count + 7) // 8 if function == 15 else 2 * count
            if not 1 <= count <= WRITE_LIMITS[function] or byte_count != needed or len(data) != needed:
                return exception(3)
            if address + count > 65536 or self.touches_missing(address, count):
                return exception(2)
            with self.lock:
                if function == 15:
                    for i in range(count):
                        self.coils[address + i] = (data[i // 8] >> (i % 8)) & 1
                else:
                    for i, value in enumerate(struct.unpack(">%dH" % count, data)):
                        self.registers[address + i] = value
            return pdu[:5]

        return exception(1)


class Connection:
    def __init__(self, sock, device, mode, every, stop):
        self.sock = sock
        self.device = device
        self.mode = mode
        self.every = every
        self.stop = stop
        self.received = 0
        self.pending = []  # (due time, answer frame)

    def run(self):
        try:
            self.serve()
        except OSError:
            pass  # the client went away
        finally:
            try:
                self.sock.close()
            except OSError:
                pass

    def serve(self):
        buffer = bytearray()
        while not self.stop.is_set():
            timeout = 0.5  # look at the stop flag now and then
            if self.pending:
                timeout = min(timeout, max(0.0, self.next_due() - time.monotonic()))
            readable, _, _ = select.select([self.sock], [], [], timeout)
            now = time.monotonic()
            self.send_due(now)
            if not readable:
                continue
            data = self.sock.recv(4096)
            if not data:
                return
            buffer += data
            # The byte stream may hold several frames, or part of one.
            while len(buffer) >= 7:
                transaction, protocol, length, unit = struct.unpack_from(">HHHB", buffer, 0)
                if protocol != 0 or not 2 <= length <= 254:
                    return  # not MODBUS/TCP framing: nothing can be trusted after it
                if len(buffer) < 6 + length:
                    break
                pdu = bytes(buffer[7:6 + length])
                del buffer[:6 + length]
                if not self.request(transaction, unit, pdu, now):
                    return

    def next_due(self):
        if self.mode == "reverse":
            return self.pending[-1][0]
        return self.pending[0][0]

    def send_due(self, now):
        if not self.pending:
            return
        if self.mode == "reverse":
            if now >= self.pending[-1][0]:
                frames = [frame for _, frame in reversed(self.pending)]
                self.pending.clear()
                self.sock.sendall(b"".join(frames))
            return
        while self.pending and now >= self.pending[0][0]:
            self.sock.sendall(self.pending.pop(0)[1])

    def request(self, transaction, unit, pdu, now):
        """Handles one request; False when the connection is to be closed."""
        function, address, count = self.device.describe(pdu)
        emit("REQ %d %d %d %s %s" % (transaction, unit, function, address, count))
        self.received += 1
        if self.mode == "drop" and self.received % self.every == 0:
            return True
        if self.mode == "close" and self.pending:
            return False
        answer = self.device.execute(pdu)
        frame = struct.pack(">HHHB", transaction, 0, len(answer) + 1, unit) + answer
        if self.mode == "reverse":
            # The batch is due 20 ms after its latest arrival.
            self.pending.append((now + REVERSE_QUIET, frame))
        elif self.mode == "close":
            self.pending.append((now + CLOSE_DELAY, frame))
        else:
            self.sock.sendall(frame)
        return True


def missing_range(text):
    try:
        start, count = (int(part, 0) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError("expected START:COUNT, got %r" % text)
    if not 0 <= start <= 65535 or count < 1 or start + count > 65536:
        raise argparse.ArgumentTypeError("range %r lies outside 0..65535 or is empty" % text)
    return start, count


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


class Stop(Exception):
    pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mode", required=True, choices=("inorder", "reverse", "drop", "close"),
                        help="how answers are given (see above)")
    parser.add_argument("--every", type=positive, default=3, metavar="N",
                        help="drop mode: every Nth request of a connection goes unanswered (default 3)")
    parser.add_argument("--missing", type=missing_range, nargs="+", action="extend", default=[],
                        metavar="START:COUNT", help="addresses that answer exception 2, in every table; "
                        "may be given several times or with several ranges")
    args = parser.parse_args()

    stopping = threading.Event()

    def on_signal(signum, frame):
        if not stopping.is_set():  # a second signal must not break the shutdown
            stopping.set()
            raise Stop()

    global output
    output = Output()
    device = Device(args.missing)
    connections = []
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        signal.signal(signal.SIGTERM, on_signal)
        signal.signal(signal.SIGINT, on_signal)
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        emit("PORT %d" % listener.getsockname()[1])
        while True:
            sock, _ = listener.accept()
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            connection = Connection(sock, device, args.mode, args.every, stopping)
            thread = threading.Thread(target=connection.run, daemon=True)
            thread.start()
            connections = [(c, t) for c, t in connections if t.is_alive()] + [(connection, thread)]
    except Stop:
        pass
    finally:
        # Wake the connection threads and let them finish their last line
        # before the interpreter goes down under them.
        stopping.set()
        listener.close()
        for connection, _ in connections:
            try:
                connection.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for _, thread in connections:
            thread.join(timeout=2)
        output.close(timeout=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
