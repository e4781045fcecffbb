#include "plc.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

namespace dnettest {

PtyPair::PtyPair()
{
    char name[256] = "";
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    path = name;
    // Children (the simulator) must not hold the line open.
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
}

PtyPair::~PtyPair()
{
    close_all();
}

void PtyPair::close_all()
{
    if (master >= 0)
        ::close(master);
    if (slave >= 0)
        ::close(slave);
    master = slave = -1;
}

std::string make_temp_dir()
{
    char templ[] = "/tmp/dnet-test-XXXXXX";
    const char *dir = ::mkdtemp(templ);
    return dir ? dir : "";
}

void remove_dir(const std::string &dir)
{
    std::error_code ec;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ec);
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

namespace {

// The next line the child prints, or "" when none comes in time.
std::string read_line(int fd, int timeout_ms)
{
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            return "";
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            return "";
        if (c == '\n')
            return line;
        line += c;
    }
}

} // namespace

Plc::Plc(const std::string &script)
{
    dir_ = make_temp_dir();
    if (line_->master < 0 || plc_.master < 0 || dir_.empty())
        return;
    std::vector<std::string> argv = {"/usr/bin/python3", std::string(DNETTEST_PEERS_DIR) + "/directnet_plc.py",
                                     "--port", plc_.path, "--record", dir_ + "/record.json"};
    if (!script.empty()) {
        write_file(dir_ + "/script.json", script);
        argv.push_back("--script");
        argv.push_back(dir_ + "/script.json");
    }
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ready_ = pid_ > 0 && read_line(out[0], 10000).rfind("READY", 0) == 0;
    ::close(out[0]);
    if (ready_)
        relay_ = std::thread([this] { relay(); });
}

Plc::~Plc()
{
    stop();
    remove_dir(dir_);
}

void Plc::relay()
{
    char buffer[1024];
    while (!stop_) {
        pollfd p[2] = {{line_->master, POLLIN, 0}, {plc_.master, POLLIN, 0}};
        if (::poll(p, 2, 20) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & POLLIN))
                continue;
            const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
            if (n > 0 && ::write(p[1 - i].fd, buffer, static_cast<std::size_t>(n)) != n) {
                // The other side is gone; what it missed is lost as on a cut line.
            }
        }
    }
}

void Plc::cut_line()
{
    stop_ = true;
    if (relay_.joinable())
        relay_.join();
    line_->close_all();
}

void Plc::new_line()
{
    cut_line();
    line_ = std::make_unique<PtyPair>();
    stop_ = false;
    relay_ = std::thread([this] { relay(); });
}

std::vector<Request> Plc::stop()
{
    // The last bytes the driver sent (its closing EOT) still reach the PLC.
    if (relay_.joinable())
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    stop_ = true;
    if (relay_.joinable())
        relay_.join();
    if (pid_ <= 0)
        return {};
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;

    // One line per request: direction type address bytes result data.
    const std::string cmd =
        "/usr/bin/python3 -c \"import json,sys\n"
        "for q in json.load(open(sys.argv[1])).get('requests', []):\n"
        "  print(q.get('direction') or '-', q.get('type') or '-', q.get('address', -1), q.get('bytes', -1),"
        " (q.get('result') or '-').replace(' ', '_'), q.get('data') or '-')\" " +
        dir_ + "/record.json 2>/dev/null";
    std::vector<Request> requests;
    FILE *pipe = ::popen(cmd.c_str(), "r");
    if (!pipe)
        return requests;
    char line[8192];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        Request r;
        in >> r.direction >> r.type >> r.address >> r.bytes >> r.result >> r.data;
        requests.push_back(r);
    }
    ::pclose(pipe);
    return requests;
}

} // namespace dnettest
