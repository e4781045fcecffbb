#include "lct1_peer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace lct1test {

namespace {

// Decodes the JSON string that starts at text[at] (after its opening quote).
std::string json_string(const std::string &text, std::size_t at)
{
    std::string out;
    while (at < text.size() && text[at] != '"') {
        char c = text[at++];
        if (c == '\\' && at < text.size()) {
            const char e = text[at++];
            switch (e) {
            case 'r': c = '\r'; break;
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'u':
                c = static_cast<char>(std::strtol(text.substr(at, 4).c_str(), nullptr, 16));
                at += 4;
                break;
            default: c = e;
            }
        }
        out += c;
    }
    return out;
}

} // namespace

Transmitter::Transmitter(const std::string &script)
{
    char tmpl[] = "/tmp/lct1-peer-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    std::ofstream(dir_ + "/script.json") << script;

    int master = -1, slave = -1;
    char name[128] = "";
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty");
    path_ = name;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);

    int ready[2];
    if (pipe(ready) != 0)
        throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(ready[1], STDOUT_FILENO);
        close(ready[0]);
        close(slave);
        const std::string fd = std::to_string(master);
        const std::string script_path = dir_ + "/script.json", record = dir_ + "/record.json";
        execl("/usr/bin/python3", "python3", LCT1_PEERS_DIR "/lct1_transmitter.py", "--fd", fd.c_str(), "--script",
              script_path.c_str(), "--record", record.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    close(master);
    close(slave);
    std::string line;
    char c;
    while (read(ready[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(ready[0]);
    if (line != "READY")
        throw std::runtime_error("simulator did not start: " + line);
}

Transmitter::~Transmitter()
{
    stop();
    std::remove((dir_ + "/script.json").c_str());
    std::remove((dir_ + "/record.json").c_str());
    rmdir(dir_.c_str());
}

void Transmitter::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::vector<std::string> Transmitter::requests(std::size_t count) const
{
    std::vector<std::string> raws;
    // The record is rewritten after each request; a partial one is read again.
    for (int tries = 0; tries < 100; ++tries) {
        std::ifstream in(dir_ + "/record.json");
        std::stringstream text;
        text << in.rdbuf();
        const std::string record = text.str();
        raws.clear();
        const std::string key = "\"raw\": \"";
        for (std::size_t at = record.find(key); at != std::string::npos; at = record.find(key, at + 1))
            raws.push_back(json_string(record, at + key.size()));
        const bool whole = record.find_last_of('}') != std::string::npos;
        if (whole && raws.size() >= count)
            break;
        usleep(10000);
    }
    return raws;
}

} // namespace lct1test
