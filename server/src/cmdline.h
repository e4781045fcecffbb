// The headless server's command line.
#ifndef PLEXORD_SERVER_CMDLINE_H
#define PLEXORD_SERVER_CMDLINE_H

#include <optional>
#include <string>
#include <vector>

struct ServerOptions
{
    std::string config;  // empty: the layout's
    std::string data;    // as the console's "--data-path"
    std::string plugins; // as the console's "--plugin-path"
    std::optional<int> debugLevel;
    bool noDemo = false;
    bool help = false;
    bool version = false;
};

// Scans the arguments after the program name. Options take their value as
// the next argument or after "=". An unknown argument or a missing or bad
// value answers false with the reason in error.
bool ParseCommandLine(const std::vector<std::string>& args, ServerOptions& options, std::string& error);

std::string Usage(const std::string& program);

#endif
