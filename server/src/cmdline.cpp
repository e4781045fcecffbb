#include "cmdline.h"

#include <charconv>
#include <system_error>

namespace {

bool ParseInt(const std::string& text, int& value)
{
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && end == last && first != last;
}

} // namespace

bool ParseListen(const std::string& text, std::string& address, int& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    int value = 0;
    if (host.empty() || !ParseInt(text.substr(colon + 1), value) || value < 0 || value > 65535)
        return false;
    address = host;
    port = value;
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, ServerOptions& options, std::string& error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (name.rfind("--", 0) == 0) {
            const size_t eq = name.find('=');
            if (eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name.resize(eq);
            }
        }
        // The option's value: after "=" or the next argument.
        auto value = [&](std::string& out) {
            if (inlineValue)
                out = *inlineValue;
            else if (i + 1 < args.size())
                out = args[++i];
            else {
                error = "option " + name + " needs a value";
                return false;
            }
            if (out.empty()) {
                error = "option " + name + " needs a value";
                return false;
            }
            return true;
        };
        auto flag = [&](bool& out) {
            if (inlineValue) {
                error = "option " + name + " takes no value";
                return false;
            }
            out = true;
            return true;
        };

        if (name == "--config") {
            if (!value(options.config))
                return false;
        } else if (name == "--data-path") {
            if (!value(options.data))
                return false;
        } else if (name == "--plugin-path") {
            if (!value(options.plugins))
                return false;
        } else if (name == "--listen") {
            std::string text;
            if (!value(text))
                return false;
            if (!ParseListen(text, options.listenAddress, options.listenPort)) {
                error = "bad listen address '" + text + "' (ADDRESS:PORT, port 0 to 65535)";
                return false;
            }
            options.listen = true;
        } else if (name == "--debug-level") {
            // As in the console: without a number the level is 10 and the
            // next argument is left for the scan.
            int level = 10;
            if (inlineValue) {
                if (!ParseInt(*inlineValue, level)) {
                    error = "bad debug level '" + *inlineValue + "'";
                    return false;
                }
            } else if (i + 1 < args.size() && ParseInt(args[i + 1], level)) {
                ++i;
            } else {
                level = 10;
            }
            options.debugLevel = level;
        } else if (name == "--no-demo") {
            if (!flag(options.noDemo))
                return false;
        } else if (name == "--help" || name == "-h") {
            if (!flag(options.help))
                return false;
        } else if (name == "--version") {
            if (!flag(options.version))
                return false;
        } else {
            error = "unknown argument '" + args[i] + "'";
            return false;
        }
    }
    return true;
}

std::string Usage(const std::string& program)
{
    return "Usage: " + program + " [OPTION]...\n"
           "Runs the Plexord server core without a window, from the 'bin' folder of its installation.\n"
           "\n"
           "  --config DIR          configuration folder (default: from the installation layout)\n"
           "  --listen ADDRESS:PORT where remote clients connect; port 0 picks a free one\n"
           "                        (default: the configured address; saved with the configuration)\n"
           "  --no-demo             a missing configuration starts empty instead of the demo plant\n"
           "  --data-path DIR       data folder (when the layout gives none)\n"
           "  --plugin-path DIR     plug-in folder (when the layout gives none)\n"
           "  --debug-level [N]     field-bus library debug level (10 without N)\n"
           "  --help                this text\n"
           "  --version             the version\n"
           "\n"
           "SIGTERM or SIGINT saves the configuration and stops the server.\n";
}
