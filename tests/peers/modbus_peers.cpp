#include "modbus_peers.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mbtest {

namespace {

using Clock = std::chrono::steady_clock;

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void write_all(int fd, const Bytes &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads exactly n bytes unless the peer goes or the stop flag rises.
bool read_exact(int fd, std::size_t n, Bytes &out, const std::atomic<bool> &stop)
{
    while (n > 0 && !stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char chunk[512];
        const ssize_t got = ::read(fd, chunk, std::min(n, sizeof chunk));
        if (got <= 0)
            return false;
        out.append(chunk, static_cast<std::size_t>(got));
        n -= static_cast<std::size_t>(got);
    }
    return n == 0;
}

} // namespace

uint16_t crc16(const Bytes &bytes)
{
    unsigned crc = 0xFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<uint16_t>(crc);
}

Bytes be16(unsigned value)
{
    return {static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}

Bytes be(uint64_t value, std::size_t n)
{
    Bytes b;
    for (std::size_t i = n; i-- > 0;)
        b.push_back(static_cast<char>(value >> (8 * i)));
    return b;
}

uint64_t get_be(const Bytes &bytes, std::size_t at, std::size_t n)
{
    uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

Bytes rtu(uint8_t slave, const Bytes &pdu)
{
    Bytes frame = Bytes(1, static_cast<char>(slave)) + pdu;
    const uint16_t crc = crc16(frame);
    frame.push_back(static_cast<char>(crc & 0xFF));
    frame.push_back(static_cast<char>(crc >> 8));
    return frame;
}

uint16_t transaction_of(const Bytes &request)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(request[0]) << 8 | static_cast<unsigned char>(request[1]));
}

Bytes mbap(uint16_t transaction, uint16_t protocol, uint8_t unit, const Bytes &pdu)
{
    return be16(transaction) + be16(protocol) + be16(static_cast<unsigned>(pdu.size() + 1)) +
           Bytes(1, static_cast<char>(unit)) + pdu;
}

Bytes Registers::answer(const Bytes &pdu)
{
    auto byte = [&](std::size_t i) { return i < pdu.size() ? static_cast<unsigned char>(pdu[i]) : 0u; };
    const int function = static_cast<int>(byte(0));
    functions.push_back(function);
    const unsigned first = byte(1) << 8 | byte(2);
    const unsigned count = byte(3) << 8 | byte(4);
    const Bytes exception{static_cast<char>(function | 0x80), '\x02'};
    Bytes data;
    switch (function) {
    case 1:
    case 2: {
        auto &bits = function == 1 ? coils : inputs;
        data.assign((count + 7) / 8, '\0');
        for (unsigned i = 0; i < count; ++i) {
            if (!bits.count(first + i))
                return exception;
            if (bits[first + i])
                data[i / 8] = static_cast<char>(data[i / 8] | 1 << (i % 8));
        }
        break;
    }
    case 3:
    case 4: {
        auto &regs = function == 3 ? holding : input_registers;
        for (unsigned i = 0; i < count; ++i) {
            if (!regs.count(first + i))
                return exception;
            data += be16(regs[first + i]);
        }
        break;
    }
    case 5:
        if (!coils.count(first))
            return exception;
        coils[first] = count == 0xFF00;
        return pdu.substr(0, 5);
    case 6:
        if (!holding.count(first))
            return exception;
        holding[first] = static_cast<uint16_t>(count);
        return pdu.substr(0, 5);
    case 15:
    case 16:
        for (unsigned i = 0; i < count; ++i) {
            if (function == 15 ? !coils.count(first + i) : !holding.count(first + i))
                return exception;
            if (function == 15)
                coils[first + i] = byte(6 + i / 8) >> (i % 8) & 1;
            else
                holding[first + i] = static_cast<uint16_t>(byte(6 + 2 * i) << 8 | byte(7 + 2 * i));
        }
        return pdu.substr(0, 5);
    default:
        return {static_cast<char>(function | 0x80), '\x01'};
    }
    return Bytes(1, static_cast<char>(function)) + static_cast<char>(data.size()) + data;
}

Pty::Pty()
{
    char name[256] = "";
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
        path_ = name;
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
}

Pty::~Pty()
{
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
}

Bytes Pty::read_burst(int first_ms, int quiet_ms) const
{
    Bytes got;
    int wait = first_ms;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, wait) <= 0)
            return got;
        char chunk[512];
        const ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n <= 0)
            return got;
        got.append(chunk, static_cast<std::size_t>(n));
        wait = quiet_ms;
    }
}

void Pty::write(const Bytes &bytes) const
{
    write_all(master_, bytes);
}

SerialSlave::SerialSlave(const Pty &pty, Script script)
{
    thread_ = std::thread([this, &pty, script] {
        while (!stop_) {
            const Bytes request = pty.read_burst(50, 5);
            if (request.empty())
                continue;
            ++requests_;
            for (const Chunk &c : script(request)) {
                sleep_ms(c.delay_ms);
                pty.write(c.bytes);
            }
            ++answered_;
        }
    });
}

bool SerialSlave::wait_answered(int count, int timeout_ms) const
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (answered_ < count) {
        if (Clock::now() >= deadline)
            return false;
        sleep_ms(5);
    }
    return true;
}

SerialSlave::~SerialSlave()
{
    stop_ = true;
    thread_.join();
}

TcpSlave::TcpSlave(Script script)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script] {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int c = ::accept(listener_, nullptr, nullptr);
            if (c < 0)
                continue;
            ++connections_;
            bool open = true;
            while (open && !stop_) {
                Bytes frame;
                if (!read_exact(c, 7, frame, stop_))
                    break;
                const std::size_t length =
                    static_cast<unsigned char>(frame[4]) << 8 | static_cast<unsigned char>(frame[5]);
                if (length > 0 && !read_exact(c, length - 1, frame, stop_))
                    break;
                for (const Chunk &chunk : script(frame)) {
                    if (chunk.delay_ms < 0) {
                        open = false;
                        break;
                    }
                    sleep_ms(chunk.delay_ms);
                    write_all(c, chunk.bytes);
                }
            }
            ::close(c);
        }
    });
}

TcpSlave::~TcpSlave()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
}

Child::Child(const std::vector<std::string> &argv, bool capture_stderr)
{
    // Built before the fork: the child may only make async-signal-safe calls.
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(fds[1], 1);
        ::dup2(capture_stderr ? fds[1] : null, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
}

Child::~Child()
{
    kill();
    if (out_ >= 0)
        ::close(out_);
}

void Child::kill()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string Child::read_line(int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const std::size_t eol = pending_.find('\n');
        if (eol != std::string::npos) {
            std::string line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return "";
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char chunk[512];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0)
            return "";
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool wait_for_port(int port, int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok)
            return true;
        sleep_ms(20);
    }
    return false;
}

bool have_pymodbus()
{
    static const bool present =
        std::system("/usr/bin/python3 -c 'import pymodbus.server.async_io' >/dev/null 2>&1") == 0;
    return present;
}

std::string peer_script(const char *name)
{
    return std::string(MBTEST_PEERS_DIR) + "/" + name;
}

std::string start_modbus_server(std::unique_ptr<Child> &child, std::vector<std::string> args)
{
    // Importing pymodbus is slow on a loaded machine.
    constexpr int ready_ms = 15000;
    args.insert(args.begin(), {"/usr/bin/python3", peer_script("modbus_server.py")});
    child = std::make_unique<Child>(args, false);
    const std::string line = child->read_line(ready_ms);
    return line.rfind("READY ", 0) == 0 ? line.substr(6) : "";
}

namespace {

std::vector<std::string> socat_command(const std::vector<std::string> &links)
{
    std::vector<std::string> argv{"/usr/bin/socat", "-d", "-d"};
    for (std::size_t i = 0; i < 2; ++i)
        argv.push_back("pty,raw,echo=0" + (i < links.size() ? ",link=" + links[i] : std::string()));
    return argv;
}

} // namespace

PtyPair::PtyPair(const std::vector<std::string> &links) : socat_(socat_command(links), true)
{
    std::vector<std::string> ptys;
    while (ptys.size() < 2) {
        const std::string line = socat_.read_line(5000);
        if (line.empty())
            return;
        const std::size_t at = line.find("PTY is ");
        if (at != std::string::npos)
            ptys.push_back(line.substr(at + 7));
    }
    if (links.size() != 2) {
        paths_ = ptys;
        return;
    }
    // socat may report a terminal a moment before its link exists.
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (::access(links[0].c_str(), F_OK) != 0 || ::access(links[1].c_str(), F_OK) != 0) {
        if (Clock::now() >= deadline)
            return;
        sleep_ms(10);
    }
    paths_ = links;
}

} // namespace mbtest
