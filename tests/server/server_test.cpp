#include "layout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct TempDir
{
    fs::path path;
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "plexord-server-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp");
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string ReadFile(const fs::path& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The real program as a child, its output in files and HOME in dir.
class Server
{
public:
    Server(const fs::path& dir, const fs::path& cwd, std::vector<std::string> args)
        : m_dir(dir)
    {
        fs::create_directories(dir / "home");
        args.insert(args.begin(), "plexord-server");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = (dir / "out").string(), err = (dir / "err").string(), home = (dir / "home").string();
        m_pid = fork();
        if (m_pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(cwd.c_str()) != 0 ||
                setenv("HOME", home.c_str(), 1) != 0)
                _exit(126);
            execv(SERVER_PROGRAM, argv.data());
            _exit(127);
        }
    }
    ~Server()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    std::string Out() const { return ReadFile(m_dir / "out"); }
    std::string Err() const { return ReadFile(m_dir / "err"); }
    void Signal(int signal) { kill(m_pid, signal); }

    // The first match of pattern on standard output; empty when the program
    // ended or the time ran out first.
    std::smatch WaitForOutput(const std::regex& pattern, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::smatch match;
        while (!std::regex_search(m_out = Out(), match, pattern) && Running() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return match;
    }

    // The exit status, or -1 when it did not end by itself within the time.
    int WaitExit(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (Running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return m_pid < 0 && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }

private:
    bool Running()
    {
        if (m_pid > 0 && waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_pid = -1;
        return m_pid > 0;
    }

    fs::path m_dir;
    pid_t m_pid = -1;
    int m_status = 0;
    std::string m_out; // what a returned match points into
};

// A build-tree layout of its own around the build's data and plug-ins.
fs::path MakeLayout(const fs::path& root)
{
    fs::create_directories(root / "bin");
    fs::create_directory_symlink(SERVER_DATA_DIR, root / "data");
    fs::create_directory_symlink(SERVER_PLUGIN_DIR, root / "bin" / "plugins");
    return root / "bin";
}

const std::regex kListening(R"( \* Listening for remote clients on 127\.0\.0\.1:(\d+)\n)");

bool Connects(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

} // namespace

TEST(ServerLayout, FoldersFollowTheConsoleRules)
{
    // Folders relative to the root; "=" is the value given before, "" none.
    struct Case
    {
        std::vector<std::string> dirs;
        std::string cwd;
        bool ok;
        std::string config, data, plugins, err;
    };
    const std::vector<Case> cases = {
        {{"bin", "images"}, "bin", true, ".", ".", "plugins", ""},
        {{"bin", "data"}, "bin/", true, ".", "data", "bin/plugins", ""},
        // The installed tree is tested first, keeps the given folders and
        // fills the others.
        {{"bin", "share", "images"}, "bin", true, "home/plexord", "=", "=", ""},
        {{"bin"}, "bin", false, "", "=", "=", " ! Can't determine installation type"},
        {{"tools", "data"}, "tools", false, "", "=", "=", "CWD is not 'bin'"},
        {{}, "bin", false, "", "=", "=", "is not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cwd + " beside " + std::to_string(c.dirs.size()) + " folders");
        TempDir root;
        for (const std::string& d : c.dirs)
            fs::create_directories(root.path / d);
        LayoutFolders folders{"", "given", "given", ""};
        LayoutEnvironment env;
        env.userConfig = root.path / "home" / "plexord";
        std::ostringstream out, err;
        EXPECT_EQ(DetermineInstallation(root.path / c.cwd, folders, out, err, env), c.ok);
        const auto normal = [](const std::string& p) {
            return p.empty() || p == "given" ? p : (fs::path(p) / "").lexically_normal().string();
        };
        const auto expect = [&](const std::string& rel) {
            return rel == "=" ? "given" : rel.empty() ? "" : normal((root.path / rel).string());
        };
        EXPECT_EQ(normal(folders.config), expect(c.config));
        EXPECT_EQ(normal(folders.data), expect(c.data));
        EXPECT_EQ(normal(folders.plugins), expect(c.plugins));
        EXPECT_TRUE(c.err.empty() ? err.str().empty() : Contains(err.str(), c.err)) << err.str();
    }
}

TEST(ServerProgram, OptionsAnswerWithoutStarting)
{
    struct Case
    {
        std::vector<std::string> args;
        int status;
        std::string out, err; // must appear; the other stream stays empty
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, "Usage: plexord-server", ""},
        {{"--version"}, 0, "plexord-server 1.", ""},
        {{"--bogus"}, 2, "", "Usage: plexord-server"},
        {{"extra"}, 2, "", "unknown argument 'extra'"},
        {{"--config"}, 2, "", "--config needs a value"},
        {{"--no-demo=1"}, 2, "", "Usage: plexord-server"},
        {{"--listen", "127.0.0.1"}, 2, "", "bad listen address"},
        {{"--listen=:7878"}, 2, "", "bad listen address"},
        {{"--listen", "127.0.0.1:65536"}, 2, "", "bad listen address"},
        {{"--listen", "127.0.0.1:-1"}, 2, "", "bad listen address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        TempDir dir;
        std::vector<std::string> args = {"--config", (dir.path / "config").string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Server server(dir.path, dir.path, args);
        EXPECT_EQ(server.WaitExit(10s), c.status);
        const std::string out = server.Out(), err = server.Err();
        EXPECT_TRUE(c.out.empty() ? out.empty() : Contains(out, c.out)) << out;
        EXPECT_TRUE(c.err.empty() ? err.empty() : Contains(err, c.err)) << err;
        // Nothing was started, so nothing was made.
        EXPECT_FALSE(fs::exists(dir.path / "config"));
    }
}

// Both stop signals save and end with 0 within the bound; the configuration
// goes to the layout's folder, or to the one given.
TEST(ServerProgram, StopSignalsSaveTheConfiguration)
{
    for (const bool configOption : {false, true}) {
        const int signal = configOption ? SIGINT : SIGTERM;
        SCOPED_TRACE(strsignal(signal));
        TempDir root;
        const fs::path config = configOption ? root.path / "config" : root.path;
        std::vector<std::string> args = {"--listen", "127.0.0.1:0"};
        if (configOption)
            args.insert(args.end(), {"--config", config.string()});
        Server server(root.path / "run", MakeLayout(root.path), args);

        // The core reports itself started after it listens.
        ASSERT_FALSE(server.WaitForOutput(std::regex(R"( \* Server core started\n)"), 30s).empty())
            << server.Out() << server.Err();
        const std::string started = server.Out();
        for (const char* line : {" - Running from build directory", " * Loaded plug-in db.so",
                                 "started the demo plant", " * Network 1 \"Demo plant\" started",
                                 " * Listening for remote clients on 127.0.0.1:"})
            EXPECT_TRUE(Contains(started, line)) << line << " in\n" << started;
        // The demo plant is written at the first save, the stop's. Stopping
        // may cut a scheduler task's request, which is reported; starting
        // reports nothing.
        EXPECT_FALSE(fs::exists(config / "plexord.ini"));
        EXPECT_EQ(server.Err(), "");

        server.Signal(signal);
        EXPECT_EQ(server.WaitExit(2s), 0) << server.Err();
        EXPECT_TRUE(Contains(ReadFile(config / "plexord.ini"), "type=db"));
        EXPECT_TRUE(Contains(server.Out(), " * Configuration saved to " + (config / "plexord.ini").string()));
        EXPECT_EQ(fs::exists(root.path / "plexord.ini"), !configOption);
    }
}

// Port 0 listens on a free port that the log names; a port taken already is
// a failed start, not a server nobody can reach. The first server starts in
// "/", as a service manager starts it: the program's own folder gives the
// layout then.
TEST(ServerProgram, ListensWhereAsked)
{
    TempDir dir;
    const fs::path firstConfig = dir.path / "first";
    Server first(firstConfig, "/", {"--no-demo", "--config", firstConfig.string(), "--listen", "127.0.0.1:0"});
    const std::smatch listening = first.WaitForOutput(kListening, 30s);
    ASSERT_FALSE(listening.empty()) << first.Out() << first.Err();
    const int port = std::stoi(listening[1]);
    for (const char* line : {" - Trying the program's folder instead", " * Loaded plug-in db.so", "starting empty"})
        EXPECT_TRUE(Contains(first.Out(), line)) << line << " in\n" << first.Out();
    EXPECT_TRUE(Connects(port));

    const fs::path config = dir.path / "second";
    Server second(config, dir.path,
                  {"--no-demo", "--config", config.string(), "--listen", "127.0.0.1:" + std::to_string(port)});
    EXPECT_EQ(second.WaitExit(10s), 1);
    EXPECT_TRUE(Contains(second.Err(), " ! Cannot listen for remote clients on 127.0.0.1:" + std::to_string(port)))
        << second.Err();
    EXPECT_FALSE(fs::exists(config / "plexord.ini"));

    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitExit(2s), 0) << first.Err();
    EXPECT_TRUE(fs::exists(firstConfig / "plexord.ini"));
    EXPECT_FALSE(Connects(port));
}
