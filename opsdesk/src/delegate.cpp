#include "delegate.h"

#include <atomic>
#include <csignal>
#include <fstream>
#include <string>

namespace {

bool DebuggerAttached()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("TracerPid:", 0) == 0)
            return std::stol(line.substr(10)) != 0;
    }
    return false;
}

// Without a debugger SIGTRAP would end the program, which is worse than the
// warning already printed.
void DefaultHandler(const char*)
{
    if (DebuggerAttached())
        std::raise(SIGTRAP);
}

std::atomic<ProgrammingErrorHandler> g_handler{&DefaultHandler};

} // namespace

ProgrammingErrorHandler SetProgrammingErrorHandler(ProgrammingErrorHandler handler)
{
    return g_handler.exchange(handler ? handler : &DefaultHandler);
}

void ProgrammingError(const char* what)
{
    g_handler.load()(what);
}
