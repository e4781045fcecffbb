#include "layout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
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

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "plexord-server-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The real program as a child: output in files beside it, its own HOME.
class Server
{
public:
    explicit Server(const fs::path& dir)
        : m_dir(dir)
    {
        fs::create_directories(dir / "home");
    }
    ~Server()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    void Start(const fs::path& cwd, std::vector<std::string> args)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("HOME=", 0) != 0)
                env.emplace_back(*e);
        env.push_back("HOME=" + (m_dir / "home").string());
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        args.insert(args.begin(), "plexord-server");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = (m_dir / "out.txt").string();
        const std::string err = (m_dir / "err.txt").string();

        m_pid = fork();
        if (m_pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(cwd.c_str()) != 0)
                _exit(126);
            execve(SERVER_PROGRAM, argv.data(), envp.data());
            _exit(127);
        }
        ASSERT_GT(m_pid, 0);
    }

    std::string Out() const { return ReadFile(m_dir / "out.txt"); }
    std::string Err() const { return ReadFile(m_dir / "err.txt"); }

    // Waits until standard output holds the pattern or the program ended.
    std::optional<std::smatch> WaitForOutput(const std::regex& pattern, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            m_out = Out();
            std::smatch match;
            if (std::regex_search(m_out, match, pattern))
                return match;
            if (!Running() || std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            std::this_thread::sleep_for(10ms);
        }
    }

    // The exit status once the program ended within the time.
    std::optional<int> WaitExit(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (Running()) {
            if (std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            std::this_thread::sleep_for(5ms);
        }
        if (!WIFEXITED(m_status))
            return -1000 - (WIFSIGNALED(m_status) ? WTERMSIG(m_status) : 0);
        return WEXITSTATUS(m_status);
    }

    void Signal(int signal) { kill(m_pid, signal); }

private:
    bool Running()
    {
        if (m_pid <= 0)
            return false;
        if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        return true;
    }

    fs::path m_dir;
    pid_t m_pid = -1;
    int m_status = 0;
    std::string m_out; // keeps the text that a returned match points into
};

// A build-tree layout of its own: root/bin is the working directory, data
// and plug-ins are the build's.
fs::path MakeLayout(const fs::path& root)
{
    fs::create_directories(root / "bin");
    fs::create_directory_symlink(SERVER_DATA_DIR, root / "data");
    fs::create_directory_symlink(SERVER_PLUGIN_DIR, root / "bin" / "plugins");
    return root / "bin";
}

const std::regex kReady(R"( \* Server core started\n)");

} // namespace

TEST(ServerLayout, FoldersFollowTheConsoleRules)
{
    struct Case
    {
        std::vector<std::string> dirs; // made under the root
        std::string cwd;               // relative to the root
        bool ok;
        std::string config, data, plugins; // relative to the root; "=" the value given before
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"bin", "images"}, "bin", true, ".", ".", "plugins", ""},
        {{"bin", "data"}, "bin", true, ".", "data", "bin/plugins", ""},
        {{"bin", "data"}, "bin/", true, ".", "data", "bin/plugins", ""},
        // The system-wide layout is tested first and keeps the given folders.
        {{"bin", "share", "images"}, "bin", true, "", "=", "=", " ! Not supported!"},
        {{"bin"}, "bin", false, "", "=", "=", " ! Can't determine installation type"},
        {{"tools", "data"}, "tools", false, "", "=", "=", "CWD is not 'bin'"},
        {{}, "bin", false, "", "=", "=", "is not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cwd + " with " + std::to_string(c.dirs.size()) + " folders");
        TempDir root;
        for (const std::string& d : c.dirs)
            fs::create_directories(root.path() / d);
        Folders folders{"", "given-data", "given-plugins"};
        std::ostringstream out, err;
        EXPECT_EQ(DetermineInstallation(root.path() / c.cwd, folders, out, err), c.ok);
        const auto expect = [&](const std::string& rel, const std::string& given) {
            if (rel == "=")
                return given;
            if (rel.empty() || rel == ".")
                return rel.empty() ? rel : root.path().string();
            return (root.path() / rel).lexically_normal().string();
        };
        const auto normal = [](const std::string& p) {
            return p.empty() ? p : fs::path(p).lexically_normal().string();
        };
        EXPECT_EQ(normal(folders.config), normal(expect(c.config, "")));
        EXPECT_EQ(normal(folders.data), normal(expect(c.data, "given-data")));
        EXPECT_EQ(normal(folders.plugins), normal(expect(c.plugins, "given-plugins")));
        if (c.err.empty())
            EXPECT_EQ(err.str(), "");
        else
            EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        TempDir dir;
        const fs::path config = dir.path() / "config";
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--config", config.string()});
        Server server(dir.path());
        server.Start(dir.path(), args);
        EXPECT_EQ(server.WaitExit(10s), c.status);
        const std::string out = server.Out(), err = server.Err();
        if (c.out.empty())
            EXPECT_EQ(out, "");
        else
            EXPECT_NE(out.find(c.out), std::string::npos) << out;
        if (c.err.empty())
            EXPECT_EQ(err, "");
        else
            EXPECT_NE(err.find(c.err), std::string::npos) << err;
        // Nothing was started, so nothing was made.
        EXPECT_FALSE(fs::exists(config));
    }
}

// Both stop signals save and end with 0 within the bound; the configuration
// goes to the layout's folder, or to the one given.
TEST(ServerProgram, StopSignalsSaveTheConfiguration)
{
    struct Case
    {
        int signal;
        bool configOption;
    };
    for (const Case c : {Case{SIGTERM, false}, Case{SIGINT, true}}) {
        SCOPED_TRACE(strsignal(c.signal));
        TempDir root;
        const fs::path bin = MakeLayout(root.path());
        const fs::path config = c.configOption ? root.path() / "config" : root.path();
        std::vector<std::string> args;
        if (c.configOption)
            args.insert(args.end(), {"--config", config.string()});
        Server server(root.path() / "run");
        server.Start(bin, args);

        ASSERT_TRUE(server.WaitForOutput(kReady, 30s)) << server.Out() << server.Err();
        const std::string started = server.Out();
        EXPECT_NE(started.find(" - Running from build directory"), std::string::npos) << started;
        EXPECT_NE(started.find(" * Loaded plug-in db.so"), std::string::npos) << started;
        EXPECT_NE(started.find("started the demo plant"), std::string::npos) << started;
        EXPECT_NE(started.find(" * Server core started"), std::string::npos) << started;
        // The demo plant is written at the first save, which is the stop's.
        EXPECT_FALSE(fs::exists(config / "plexord.ini"));
        // Stopping may cut a scheduler task's request, which is reported;
        // starting reports nothing.
        EXPECT_EQ(server.Err(), "");

        server.Signal(c.signal);
        EXPECT_EQ(server.WaitExit(2s), 0) << server.Err();
        const std::string ini = ReadFile(config / "plexord.ini");
        EXPECT_NE(ini.find("type=db"), std::string::npos) << ini;
        EXPECT_NE(server.Out().find(" * Configuration saved to " + (config / "plexord.ini").string()),
                  std::string::npos)
            << server.Out();
        if (c.configOption) {
            EXPECT_FALSE(fs::exists(root.path() / "plexord.ini"));
        }
    }
}

// A service manager starts the server in "/": the program's own folder
// gives the layout then.
TEST(ServerProgram, StartsOutsideBinFromItsOwnFolder)
{
    TempDir dir;
    const fs::path config = dir.path() / "config";
    Server server(dir.path());
    server.Start("/", {"--no-demo", "--config", config.string()});
    ASSERT_TRUE(server.WaitForOutput(kReady, 30s)) << server.Out() << server.Err();
    const std::string out = server.Out();
    EXPECT_NE(out.find(" - Trying the program's folder instead"), std::string::npos) << out;
    EXPECT_NE(out.find(" * Loaded plug-in db.so"), std::string::npos) << out;
    EXPECT_NE(out.find("starting empty"), std::string::npos) << out;
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(2s), 0) << server.Err();
    EXPECT_TRUE(fs::exists(config / "plexord.ini"));
}
