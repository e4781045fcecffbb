// The real console program stopped from outside (SIGTERM, SIGINT) while the
// operator has a menu, a message box or modal dialogs open: it must end the
// normal way within 2 s, with the configuration and "gui.ini" saved. The
// console runs as a child on this test's display, in a scratch build-tree
// layout; input reaches it through the X server.
#include "support.h"

#include <gtest/gtest.h>

#include <wx/uiaction.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string Shell(const std::string& command)
{
    std::string out;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

bool Viewable(const std::string& title)
{
    return Shell("xwininfo -name '" + title + "' 2>/dev/null").find("Map State: IsViewable") != std::string::npos;
}

// Ids of the top-level windows on the display that are shown; a pop-up menu
// is one without a title.
std::set<std::string> ShownWindows()
{
    std::set<std::string> shown;
    std::istringstream lines(Shell("xwininfo -root -children 2>/dev/null"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string id;
        words >> id;
        if (id.rfind("0x", 0) == 0 &&
            Shell("xwininfo -id " + id + " 2>/dev/null").find("Map State: IsViewable") != std::string::npos)
            shown.insert(id);
    }
    return shown;
}

bool WaitUntil(const std::function<bool()>& done, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        test::Pump(50);
    }
    return true;
}

void Click(int x, int y, int button = wxMOUSE_BTN_LEFT)
{
    wxUIActionSimulator input;
    input.MouseMove(x, y);
    test::Pump(100);
    input.MouseClick(button);
    test::Pump(300);
}

void Press(int key)
{
    wxUIActionSimulator input;
    input.Char(key);
    test::Pump(150);
}

// The console in a build-tree layout of its own: <root>/bin is its working
// folder, the build's data and plug-ins are linked in, and <root> is its
// configuration folder. No catalogues: titles stay in English. A home of
// its own keeps its single-instance lock apart from any other console.
class Console
{
public:
    Console()
    {
        const fs::path root = m_root.path();
        fs::create_directories(root / "bin");
        fs::create_directories(root / "home");
        fs::create_directory_symlink(OPSDESK_TEST_DATA_DIR, root / "data");
        fs::create_directory_symlink(OPSDESK_TEST_PLUGIN_DIR, root / "bin" / "plugins");
        // Where the input below expects the frame.
        test::WriteFile(GuiIni(), "[opsdesk]\nMainFrmLeft=0\nMainFrmTop=3\nMainFrmWidth=420\nMainFrmHeight=560\n");
    }
    ~Console()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    std::string GuiIni() const { return m_root.file("gui.ini"); }
    std::string Config() const { return m_root.file("plexord.ini"); }
    std::string Errors() const { return test::ReadFile(m_root.file("err.txt")); }

    // Starts the program and waits for its frame.
    bool Start()
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("HOME=", 0) != 0)
                env.emplace_back(*e);
        env.push_back("HOME=" + m_root.file("home"));
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string bin = m_root.file("bin");
        const std::string out = m_root.file("out.txt");
        const std::string err = m_root.file("err.txt");

        m_pid = fork();
        if (m_pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(bin.c_str()) != 0)
                _exit(126);
            execle(OPSDESK_PROGRAM, "opsdesk", static_cast<char*>(nullptr), envp.data());
            _exit(127);
        }
        return m_pid > 0 && WaitUntil([this] { return Running() && Viewable("Plexor server"); }, 20000);
    }

    bool Running()
    {
        if (m_pid <= 0)
            return false;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_status = status;
            return false;
        }
        return true;
    }

    // Sends the signal; true when the program ended by itself within the
    // time, its status then in status.
    bool StopWithin(int signal, int ms, int* status)
    {
        kill(m_pid, signal);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Running()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        *status = m_status;
        return true;
    }

private:
    test::TempDir m_root;
    pid_t m_pid = -1;
    int m_status = 0;
};

struct Scenario
{
    const char* what;
    int signal;
    // Opens it in the console; false when it did not open.
    std::function<bool()> open;
    // Checked in the saved configuration afterwards.
    const char* kept = nullptr;
};

// The frame stands at 0,3 and 420 wide: its menu bar's first menu and the
// first device panel (the demo plant's boiler) are at fixed places.
bool OpenDevicePopup()
{
    const std::set<std::string> before = ShownWindows();
    Click(60, 142, wxMOUSE_BTN_RIGHT);
    return WaitUntil(
        [&] {
            for (const std::string& id : ShownWindows())
                if (!before.count(id))
                    return true;
            return false;
        },
        3000);
}

bool OpenDevicesDialog()
{
    Click(18, 14);
    Press(WXK_DOWN); // "Users"
    Press(WXK_DOWN); // "Devices"
    Press(WXK_RETURN);
    return WaitUntil([] { return Viewable("Devices"); }, 3000);
}

TEST(StopFromOutside, EndsWhateverIsOpenAndSavesEverything)
{
    const Scenario scenarios[] = {
        {"a pop-up menu", SIGTERM, OpenDevicePopup},
        {"a message box asked from a pop-up menu", SIGTERM,
         [] {
             if (!OpenDevicePopup())
                 return false;
             Press(WXK_UP); // the last entry, "Remove device"
             Press(WXK_RETURN);
             return WaitUntil([] { return Viewable("Remove device?"); }, 3000);
         },
         // The question was not answered yes: the device stays.
         "name=Boiler"},
        {"a modal dialog from the menu bar", SIGTERM, OpenDevicesDialog},
        {"two modal dialogs, one over the other", SIGINT,
         [] {
             if (!OpenDevicesDialog())
                 return false;
             // "Add" beside the network list, at the dialog's top right.
             std::istringstream info(Shell("xwininfo -name Devices"));
             int x = -1, y = -1, width = -1;
             for (std::string line; std::getline(info, line);) {
                 std::sscanf(line.c_str(), " Absolute upper-left X: %d", &x);
                 std::sscanf(line.c_str(), " Absolute upper-left Y: %d", &y);
                 std::sscanf(line.c_str(), " Width: %d", &width);
             }
             Click(x + width - 56, y + 44);
             return WaitUntil([] { return Viewable("Network type selection"); }, 3000);
         }},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.what);
        Console console;
        ASSERT_TRUE(console.Start()) << console.Errors();
        ASSERT_TRUE(s.open()) << "could not open " << s.what;
        // Whatever is saved from here on is the shutdown's.
        fs::remove(console.GuiIni());
        fs::remove(console.Config());

        int status = -1;
        ASSERT_TRUE(console.StopWithin(s.signal, 2000, &status)) << "still running 2 s after the signal";
        EXPECT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << console.Errors();
        const std::string gui = test::ReadFile(console.GuiIni());
        EXPECT_NE(gui.find("[opsdesk]"), std::string::npos) << gui;
        EXPECT_NE(gui.find("MainFrmWidth=420"), std::string::npos) << gui;
        const std::string config = test::ReadFile(console.Config());
        EXPECT_NE(config.find("Demo plant"), std::string::npos) << config;
        if (s.kept) {
            EXPECT_NE(config.find(s.kept), std::string::npos) << config;
        }
    }
}

} // namespace
