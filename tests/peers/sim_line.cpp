#include "sim_line.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace peertest {

namespace {

// Waits for the simulator's READY line on fd.
bool wait_ready(int fd)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.find("READY") == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
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

SimLine::SimLine(const std::string &simulator, const std::string &script)
{
    char tmpl[] = "/tmp/simline.XXXXXX";
    if (!::mkdtemp(tmpl))
        return;
    dir_ = tmpl;
    std::ofstream(dir_ + "/script.json") << script;
    int master = -1;
    char name[256] = "";
    if (openpty(&master, &slave_, name, nullptr, nullptr) != 0)
        return;
    path_ = name;
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    // Only this simulator holds the master: once it ends, the line hangs up.
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);

    const std::string fd = std::to_string(master);
    const std::string peer = std::string(MBTEST_PEERS_DIR) + "/" + simulator;
    const std::string script_path = dir_ + "/script.json", record = dir_ + "/record.json";
    const char *argv[] = {"/usr/bin/python3", peer.c_str(), "--fd", fd.c_str(), "--script", script_path.c_str(),
                          "--record", record.c_str(), nullptr};
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(master);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::execv(argv[0], const_cast<char *const *>(argv));
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(master);
    // Kept open while the simulator runs: a closed pipe would end it at its
    // next line of output.
    out_ = out[0];
    if (pid_ > 0 && !wait_ready(out_))
        vanish();
}

SimLine::~SimLine()
{
    vanish();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void SimLine::vanish()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    for (int *fd : {&slave_, &out_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

std::string SimLine::record() const
{
    std::ifstream in(dir_ + "/record.json");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace peertest
