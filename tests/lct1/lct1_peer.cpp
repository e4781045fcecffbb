#include "lct1_peer.h"

#include <cstdlib>
#include <stdexcept>

#include <unistd.h>

namespace lct1test {

namespace {

// Decodes the JSON string that starts at text[at] (after its opening quote).
std::string json_string(const std::string &text, std::size_t at)
{
    std::string out;
    while (at < text.size() && text[at] != '"') {
        char c = text[at++];
        if (c == '\\' && at < text.size()) {
            const char e = text[at++];
            switch (e) {
            case 'r': c = '\r'; break;
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'u':
                c = static_cast<char>(std::strtol(text.substr(at, 4).c_str(), nullptr, 16));
                at += 4;
                break;
            default: c = e;
            }
        }
        out += c;
    }
    return out;
}

} // namespace

Transmitter::Transmitter(const std::string &script) : line_("lct1_transmitter.py", script)
{
    if (!line_.ready())
        throw std::runtime_error("the simulated transmitter did not start");
}

std::vector<std::string> Transmitter::requests(std::size_t count) const
{
    std::vector<std::string> raws;
    // The record is rewritten after each request; a partial one is read again.
    for (int tries = 0; tries < 100; ++tries) {
        const std::string record = line_.record();
        raws.clear();
        const std::string key = "\"raw\": \"";
        for (std::size_t at = record.find(key); at != std::string::npos; at = record.find(key, at + 1))
            raws.push_back(json_string(record, at + key.size()));
        const bool whole = record.find_last_of('}') != std::string::npos;
        if (whole && raws.size() >= count)
            break;
        usleep(10000);
    }
    return raws;
}

} // namespace lct1test
