// Peers for the MODBUS tests: child processes (pymodbus, socat), a
// pseudo-terminal whose master side a scripted slave plays, and a TCP
// listener with a scripted server. The frame arithmetic here is written
// independently of the library's, so that a shared mistake cannot hide.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace mbtest {

using Bytes = std::string;

// Literal bytes, NULs included.
template <std::size_t N>
Bytes B(const char (&s)[N])
{
    return Bytes(s, N - 1);
}

// A piece of an answer, written after a pause.
struct Chunk {
    int delay_ms;
    Bytes bytes;
};
using Answer = std::vector<Chunk>;
// Decides the answer to each request frame (raw bytes as received).
using Script = std::function<Answer(const Bytes &request)>;

uint16_t crc16(const Bytes &bytes);
// Address, PDU and CRC.
Bytes rtu(uint8_t slave, const Bytes &pdu);
Bytes be16(unsigned value);
// The low n bytes of value, most significant first.
Bytes be(uint64_t value, std::size_t n);
uint64_t get_be(const Bytes &bytes, std::size_t at, std::size_t n);
Bytes mbap(uint16_t transaction, uint16_t protocol, uint8_t unit, const Bytes &pdu);
uint16_t transaction_of(const Bytes &request);

// A MODBUS slave at the message level (function code and data). Items that
// are not in the maps answer "illegal data address".
struct Registers {
    std::map<unsigned, bool> coils;
    std::map<unsigned, bool> inputs;
    std::map<unsigned, uint16_t> holding;
    std::map<unsigned, uint16_t> input_registers;
    std::vector<int> functions; // of every request, in order

    Bytes answer(const Bytes &pdu);
};

// A pseudo-terminal; the library opens `path`, the test plays the device
// on `master`.
class Pty {
public:
    Pty();
    ~Pty();
    const std::string &path() const { return path_; }
    int master() const { return master_; }
    // Everything that arrives until `quiet_ms` pass without a byte (the
    // first byte waited for up to `first_ms`).
    Bytes read_burst(int first_ms, int quiet_ms) const;
    void write(const Bytes &bytes) const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Answers every frame that arrives on the pty's master side with the script.
class SerialSlave {
public:
    SerialSlave(const Pty &pty, Script script);
    ~SerialSlave();
    int requests() const { return requests_; }
    // Waits until `count` answers are completely written.
    bool wait_answered(int count, int timeout_ms) const;

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

// A listener on 127.0.0.1 that serves accepted connections one after
// another with the script (MBAP frames, read by their length field).
class TcpSlave {
public:
    explicit TcpSlave(Script script);
    ~TcpSlave();
    int port() const { return port_; }
    int connections() const { return connections_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// A child process with its stdout (and optionally stderr) on a pipe.
// Killed and reaped on destruction.
class Child {
public:
    Child(const std::vector<std::string> &argv, bool capture_stderr);
    ~Child();
    bool started() const { return pid_ > 0; }
    // The next line of output, or "" when none came in time.
    std::string read_line(int timeout_ms);
    void kill();

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

// True when a TCP connect to 127.0.0.1:port succeeds within the time.
bool wait_for_port(int port, int timeout_ms);
// True when /usr/bin/python3 can import pymodbus with its servers.
bool have_pymodbus();
std::string peer_script(const char *name);

// tests/peers/modbus_server.py with the given arguments (--tcp PORT or
// --rtu DEVICE, ...) in `child`; the port it printed once it serves, or ""
// when it did not come up.
std::string start_modbus_server(std::unique_ptr<Child> &child, std::vector<std::string> args);

// Two pseudo-terminals joined by socat: what is written to one is read from
// the other. With link paths, socat also makes symbolic links to them there,
// so that a pair started again can be found under the same names.
class PtyPair {
public:
    explicit PtyPair(const std::vector<std::string> &links = {});
    bool started() const { return paths_.size() == 2; }
    // The two ends (the links when given).
    const std::string &path(int i) const { return paths_[static_cast<std::size_t>(i)]; }
    // Ends socat; both terminals hang up.
    void kill() { socat_.kill(); }

private:
    Child socat_;
    std::vector<std::string> paths_;
};

} // namespace mbtest
