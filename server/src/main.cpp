// plexord-server: the server core without a window. Log lines go to standard
// output, failures to standard error; SIGTERM or SIGINT saves the
// configuration and stops.
#include "cmdline.h"
#include "layout.h"

#include <buslink.h>
#include <plexord.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// How long the save and stop may take after a stop signal before the
// program leaves anyway; a second signal leaves at once.
constexpr int kStopBoundSeconds = 10;

// Core events come on the core's thread, the program's own lines on the
// main one: whole lines, never interleaved.
std::mutex g_print;

void PrintLine(std::FILE* stream, const std::string& line)
{
    std::lock_guard lock(g_print);
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void OnCoreEvent(const ncevent_t* event)
{
    if (!event)
        return;
    if (event->type == NCEVENT_LOG && event->message) {
        const std::string line = event->message;
        if (line.rfind(" ! ", 0) == 0)
            PrintLine(stderr, line);
        else if (line.empty() || line[0] != ' ')
            PrintLine(stdout, "   " + line);
        else
            PrintLine(stdout, line);
    }
    if (!ncerr_is_ok(event->result))
        PrintLine(stderr, std::string("Error: ") + ncerr_get_string(event->result));
}

bool Report(const char* what, ncerr_t result)
{
    if (ncerr_is_ok(result))
        return true;
    PrintLine(stderr, std::string(" ! ") + what + ": " + ncerr_get_string(result));
    return false;
}

// The console's rule on the working directory; a server started elsewhere
// (a service manager starts it in "/") falls back to the program's own folder.
bool FindFolders(LayoutFolders& folders)
{
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    if (DetermineInstallation(cwd, folders, std::cout, std::cerr))
        return true;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (ec || program.parent_path() == cwd)
        return false;
    std::cout << " - Trying the program's folder instead\n";
    return DetermineInstallation(program.parent_path(), folders, std::cout, std::cerr);
}

// Leaves the process when the shutdown hangs or a second signal comes.
void StartStopWatchdog(sigset_t signals)
{
    std::thread([signals] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStopBoundSeconds);
        int signal = -1;
        // Interruptions (a debugger, the leak checker at exit) are no timeout.
        for (auto left = deadline - std::chrono::steady_clock::now(); left > left.zero();
             left = deadline - std::chrono::steady_clock::now()) {
            const auto s = std::chrono::duration_cast<std::chrono::seconds>(left);
            const timespec bound{static_cast<time_t>(s.count()),
                                 static_cast<long>(std::chrono::nanoseconds(left - s).count())};
            signal = sigtimedwait(&signals, nullptr, &bound);
            if (signal > 0 || errno != EINTR)
                break;
        }
        PrintLine(stderr, signal > 0 ? " ! Second stop signal: leaving without waiting"
                                     : " ! Stopping took too long: leaving without waiting");
        _exit(1);
    }).detach();
}

} // namespace

int main(int argc, char** argv)
{
    const std::string program = argc > 0 ? fs::path(argv[0]).filename().string() : "plexord-server";
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    ServerOptions options;
    std::string error;
    if (!ParseCommandLine(args, options, error)) {
        std::cerr << program << ": " << error << "\n" << Usage(program);
        return 2;
    }
    if (options.help) {
        std::cout << Usage(program);
        return 0;
    }
    if (options.version) {
        std::cout << "plexord-server " << PLEXORD_SERVER_VERSION << "\n";
        return 0;
    }

    // Blocked before the core starts its threads, so that they inherit the
    // mask and the signals wait for sigwait below instead of killing.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    if (options.debugLevel) {
        buslink_set_debug_level(*options.debugLevel);
        std::cout << "Debug level: " << buslink_get_debug_level() << "\n";
    }

    LayoutFolders folders{options.config, options.data, options.plugins, ""};
    if (!FindFolders(folders)) {
        std::cerr << " ! Unable to determine Plexord installation directory. Wrong cwd?\n";
        return 1;
    }
    if (!options.config.empty())
        folders.config = options.config;
    std::cout << std::flush;

    const unsigned flags = options.noDemo ? unsigned(PLEXORD_INIT_NO_DEMO) : 0u;
    if (!Report("plexord_init", plexord_init(folders.config.c_str(), folders.data.c_str(), folders.plugins.c_str(),
                                             &OnCoreEvent, flags, nullptr)))
        return 1;
    Report("plexord_load_plugins", plexord_load_plugins());
    Report("plexord_load_config", plexord_load_config());
    if (options.listen) {
        const ncerr_t result = plexord_set_listen(options.listenAddress.c_str(), options.listenPort);
        if (!ncerr_is_ok(result)) {
            plexord_stop();
            plexord_finalize();
            std::cerr << program << ": bad listen address: " << ncerr_get_string(result) << "\n"
                      << Usage(program);
            return 2;
        }
    }
    Report("plexord_start", plexord_start());
    // The core has logged where it listens, or why it cannot. Whoever asked
    // for an address relies on it: no server that nobody can reach.
    if (options.listen && plexord_get_listen_port() <= 0) {
        plexord_stop();
        plexord_finalize();
        return 1;
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    PrintLine(stdout, std::string(" * ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ": stopping");
    StartStopWatchdog(stopSignals);

    const bool saved = Report("plexord_save_config", plexord_save_config());
    Report("plexord_stop", plexord_stop());
    plexord_finalize();
    // A configuration that was not saved is a failed stop.
    return saved ? 0 : 1;
}
