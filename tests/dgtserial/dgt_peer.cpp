#include "dgt_peer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
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

namespace dgttest {

namespace {

std::string read_all(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits for the child's READY line on fd.
bool wait_ready(int fd)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.find("READY\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0) {
            std::fprintf(stderr, "dgt_line: not ready in time: '%s'\n", got.c_str());
            return false;
        }
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "dgt_line: poll %s\n", std::strerror(errno));
            return false;
        }
        if (ready <= 0)
            continue;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "dgt_line: read %zd %s\n", n, std::strerror(errno));
            return false;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

Line::Line(const std::string &script)
{
    char tmpl[] = "/tmp/dgttest.XXXXXX";
    if (!::mkdtemp(tmpl))
        return;
    dir_ = tmpl;
    std::ofstream(dir_ + "/script.json") << script;
    char name[256] = "";
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        return;
    path_ = name;
    // Only its own simulator gets the master: another one holding it would
    // keep the line up after this one vanished.
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);

    const std::string fd = std::to_string(master_);
    const std::string peer = std::string(DGTTEST_PEERS_DIR) + "/dgt_line.py";
    const std::string script_path = dir_ + "/script.json", record = dir_ + "/record.json";
    const char *argv[] = {"/usr/bin/python3", peer.c_str(), "--fd", fd.c_str(), "--script", script_path.c_str(),
                          "--record", record.c_str(), nullptr};
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::fcntl(master_, F_SETFD, 0);
        ::execv(argv[0], const_cast<char *const *>(argv));
        ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
    if (pid_ > 0 && !wait_ready(out_))
        vanish();
}

Line::~Line()
{
    vanish();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void Line::vanish()
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

bool Line::wait_heard(std::size_t count) const
{
    for (int i = 0; i < 100; ++i) {
        if (heard().size() >= count)
            return true;
        ::usleep(10000);
    }
    return false;
}

std::vector<Heard> Line::heard() const
{
    // The record is one JSON object per request; its fields are plain.
    const std::string text = read_all(dir_ + "/record.json");
    static const std::regex entry(R"(\{[^{}]*\})");
    static const std::regex time(R"re("time":\s*([0-9.eE+-]+))re");
    static const std::regex kind(R"re("kind":\s*"([^"]*)")re");
    static const std::regex raw(R"re("raw":\s*"((?:[^"\\]|\\.)*)")re");
    static const std::regex answer(R"re("answer":\s*"((?:[^"\\]|\\.)*)")re");
    std::vector<Heard> all;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it) {
        const std::string e = it->str();
        std::smatch m;
        // The record itself, while it has no requests.
        if (e.find("\"seq\"") == std::string::npos)
            continue;
        Heard h;
        if (std::regex_search(e, m, time))
            h.time = std::strtod(m[1].str().c_str(), nullptr);
        if (std::regex_search(e, m, kind))
            h.kind = m[1];
        if (std::regex_search(e, m, raw))
            h.raw = m[1];
        if (std::regex_search(e, m, answer))
            h.answer = m[1];
        all.push_back(h);
    }
    return all;
}

} // namespace dgttest
