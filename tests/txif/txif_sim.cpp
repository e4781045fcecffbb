#include "txif_sim.h"

#include <regex>

#include <unistd.h>

namespace txiftest {

bool Adapter::wait_heard(std::size_t count) const
{
    for (int i = 0; i < 100; ++i) {
        if (heard().size() >= count)
            return true;
        ::usleep(10000);
    }
    return false;
}

std::vector<Heard> Adapter::heard() const
{
    // Every packet of the record has one "raw" and one "kind", in order.
    const std::string text = line_.record();
    static const std::regex raw(R"re("raw":\s*"([0-9a-fA-F]*)")re");
    static const std::regex kind(R"re("kind":\s*"([^"]*)")re");
    std::vector<Heard> all;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), raw); it != std::sregex_iterator(); ++it)
        all.push_back(Heard{"", (*it)[1]});
    std::size_t i = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kind); it != std::sregex_iterator() && i < all.size();
         ++it)
        all[i++].kind = (*it)[1];
    return all;
}

unsigned crc16(const std::string &bytes)
{
    unsigned crc = 0xFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int i = 0; i < 8; ++i)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xA001u : 0u);
    }
    return crc;
}

std::string packet(int fun, const std::string &payload)
{
    std::string p;
    p += static_cast<char>(fun);
    p += static_cast<char>(payload.size() & 0xFF);
    p += static_cast<char>(payload.size() >> 8);
    p += payload;
    p += '\x04';
    const unsigned crc = crc16(p);
    p += static_cast<char>(crc & 0xFF);
    p += static_cast<char>(crc >> 8);
    return p;
}

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

} // namespace txiftest
