// Start-up of the real console, from the program's start to the main frame
// shown with the demo plant's panels, in a scratch copy of the build
// directory layout. Each run is its own process; prints every run and the
// median. Run with a display: xvfb-run -a build/bench/bench_startup [runs]
#include "main.h"
#include "mainframe.h"

#include <wx/app.h>
#include <wx/init.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
Clock::time_point g_start;
// Where the figures go while standard output is silenced.
int g_resultFd = STDOUT_FILENO;

// The real application object; it only adds the stopwatch.
class TimedPlexord : public Plexord
{
public:
    bool OnInit() override
    {
        if (!Plexord::OnInit())
            return false;
        m_initMs = Elapsed();
        Bind(wxEVT_IDLE, &TimedPlexord::OnIdle, this);
        return true;
    }

private:
    static double Elapsed() { return std::chrono::duration<double, std::milli>(Clock::now() - g_start).count(); }

    void OnIdle(wxIdleEvent& event)
    {
        event.Skip();
        MainFrame* frame = GetMainFrame();
        if (m_done || !frame)
            return;
        // The demo plant: one network and four devices.
        if (frame->IsShown() && frame->GetNetworkPanels().size() == 1 && frame->GetDevicePanels().size() == 4) {
            m_done = true;
            dprintf(g_resultFd, "RESULT %.1f %.1f\n", m_initMs, Elapsed());
            frame->Close(true);
        } else {
            event.RequestMore();
        }
    }

    double m_initMs = 0;
    bool m_done = false;
};

int RunOnce(int argc, char** argv)
{
    g_start = Clock::now();
    char root[] = "/tmp/opsdesk-startup-XXXXXX";
    if (!mkdtemp(root))
        return 1;
    const fs::path build(OPSDESK_BENCH_BUILD_DIR);
    fs::create_directories(fs::path(root) / "bin");
    fs::create_directory_symlink(build / "bin" / "plugins", fs::path(root) / "bin" / "plugins");
    fs::create_directory_symlink(build / "data", fs::path(root) / "data");
    fs::create_directory_symlink(build / "locale", fs::path(root) / "locale");
    fs::current_path(fs::path(root) / "bin");

    // Progress lines of the start-up are not part of the figures.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    g_resultFd = saved;
    if (!std::freopen("/dev/null", "w", stdout))
        return 1;
    wxApp::SetInstance(new TimedPlexord);
    const int status = wxEntry(argc, argv);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    fs::remove_all(root);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("OPSDESK_STARTUP_CHILD"))
        return RunOnce(1, argv);

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<double> totals;
    for (int i = 0; i < runs; ++i) {
        int out[2];
        if (pipe(out) != 0)
            return 1;
        const pid_t child = fork();
        if (child == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            setenv("OPSDESK_STARTUP_CHILD", "1", 1);
            execl("/proc/self/exe", argv[0], static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        double init = 0, shown = 0;
        const size_t at = text.find("RESULT ");
        if (at == std::string::npos || std::sscanf(text.c_str() + at, "RESULT %lf %lf", &init, &shown) != 2) {
            std::fprintf(stderr, " ! run %d gave no figure (another console running? no display?)\n", i + 1);
            return 1;
        }
        std::printf("run %d: OnInit done after %.1f ms, main frame shown with the demo plant after %.1f ms\n", i + 1,
                    init, shown);
        totals.push_back(shown);
    }
    std::sort(totals.begin(), totals.end());
    std::printf("start-up to the main frame on the demo plant: median %.1f ms over %d runs\n",
                totals[totals.size() / 2], runs);
    return 0;
}
