#include "dgt_peer.h"

#include <cstdlib>
#include <regex>

#include <unistd.h>

namespace dgttest {

bool Line::wait_heard(std::size_t count) const
{
    for (int i = 0; i < 100; ++i) {
        if (heard().size() >= count)
            return true;
        ::usleep(10000);
    }
    return false;
}

std::vector<Heard> Line::heard() const
{
    // The record is one JSON object per request; its fields are plain.
    const std::string text = line_.record();
    static const std::regex entry(R"(\{[^{}]*\})");
    static const std::regex time(R"re("time":\s*([0-9.eE+-]+))re");
    static const std::regex kind(R"re("kind":\s*"([^"]*)")re");
    static const std::regex raw(R"re("raw":\s*"((?:[^"\\]|\\.)*)")re");
    static const std::regex answer(R"re("answer":\s*"((?:[^"\\]|\\.)*)")re");
    std::vector<Heard> all;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it) {
        const std::string e = it->str();
        std::smatch m;
        // The record itself, while it has no requests.
        if (e.find("\"seq\"") == std::string::npos)
            continue;
        Heard h;
        if (std::regex_search(e, m, time))
            h.time = std::strtod(m[1].str().c_str(), nullptr);
        if (std::regex_search(e, m, kind))
            h.kind = m[1];
        if (std::regex_search(e, m, raw))
            h.raw = m[1];
        if (std::regex_search(e, m, answer))
            h.answer = m[1];
        all.push_back(h);
    }
    return all;
}

} // namespace dgttest
