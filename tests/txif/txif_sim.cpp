#include "txif_sim.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace txiftest {

namespace {

std::string read_all(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool wait_ready(int fd)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.find("READY") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

Adapter::Adapter(const std::string &script)
{
    char tmpl[] = "/tmp/txiftest.XXXXXX";
    if (!::mkdtemp(tmpl))
        return;
    dir_ = tmpl;
    std::ofstream(dir_ + "/script.json") << script;
    char name[256] = "";
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        return;
    path_ = name;
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);

    const std::string fd = std::to_string(master_);
    const std::string peer = std::string(TXIFTEST_PEERS_DIR) + "/txif_adapter.py";
    const std::string script_path = dir_ + "/script.json", record = dir_ + "/record.json";
    const char *argv[] = {"/usr/bin/python3", peer.c_str(), "--fd", fd.c_str(), "--script", script_path.c_str(),
                          "--record", record.c_str(), nullptr};
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::close(slave_);
        ::execv(argv[0], const_cast<char *const *>(argv));
        ::_exit(127);
    }
    ::close(out[1]);
    // Kept open while the simulator runs: READY and its newline may come
    // in two writes, and a closed pipe would end it at the second.
    out_ = out[0];
    if (pid_ > 0 && !wait_ready(out_))
        vanish();
}

Adapter::~Adapter()
{
    vanish();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void Adapter::vanish()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    for (int *fd : {&master_, &slave_, &out_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

bool Adapter::wait_heard(std::size_t count) const
{
    for (int i = 0; i < 100; ++i) {
        if (heard().size() >= count)
            return true;
        ::usleep(10000);
    }
    return false;
}

std::vector<Heard> Adapter::heard() const
{
    // Every packet of the record has one "raw" and one "kind", in order.
    const std::string text = read_all(dir_ + "/record.json");
    static const std::regex raw(R"re("raw":\s*"([0-9a-fA-F]*)")re");
    static const std::regex kind(R"re("kind":\s*"([^"]*)")re");
    std::vector<Heard> all;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), raw); it != std::sregex_iterator(); ++it)
        all.push_back(Heard{"", (*it)[1]});
    std::size_t i = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kind); it != std::sregex_iterator() && i < all.size();
         ++it)
        all[i++].kind = (*it)[1];
    return all;
}

unsigned crc16(const std::string &bytes)
{
    unsigned crc = 0xFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int i = 0; i < 8; ++i)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xA001u : 0u);
    }
    return crc;
}

std::string packet(int fun, const std::string &payload)
{
    std::string p;
    p += static_cast<char>(fun);
    p += static_cast<char>(payload.size() & 0xFF);
    p += static_cast<char>(payload.size() >> 8);
    p += payload;
    p += '\x04';
    const unsigned crc = crc16(p);
    p += static_cast<char>(crc & 0xFF);
    p += static_cast<char>(crc >> 8);
    return p;
}

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

} // namespace txiftest
