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
    bool listen = false; // "--listen" was given; otherwise the configured address holds
    std::string listenAddress;
    int listenPort = 0;
    bool noDemo = false;
    bool help = false;
    bool version = false;
};

// Splits "ADDRESS:PORT" at its last colon; "[::1]:7878" gives "::1". The port
// is decimal, 0 to 65535 (0 picks a free one); the address must not be empty.
bool ParseListen(const std::string& text, std::string& address, int& port);

// Scans the arguments after the program name. Options take their value as
// the next argument or after "=". An unknown argument or a missing or bad
// value answers false with the reason in error.
bool ParseCommandLine(const std::vector<std::string>& args, ServerOptions& options, std::string& error);

std::string Usage(const std::string& program);

#endif
