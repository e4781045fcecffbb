// INI lookups of 10,000 keys (100 sections of 100) against a plain nested
// std::map lookup of the same names; prints both times and their ratio.
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "basekit.h"

int main()
{
    constexpr int kSections = 100, kKeys = 100, kRounds = 20;
    inifile_t *h = inifile_new();
    std::map<std::string, std::map<std::string, std::string>> plain;
    std::vector<std::pair<std::string, std::string>> names;
    for (int s = 0; s < kSections; ++s)
        for (int k = 0; k < kKeys; ++k) {
            std::string sec = "Network " + std::to_string(s), key = "parameter_" + std::to_string(k);
            std::string value = std::to_string(s * kKeys + k);
            inifile_write_string(h, sec.c_str(), key.c_str(), value.c_str());
            plain[sec][key] = value;
            names.emplace_back(sec, key);
        }

    using Clock = std::chrono::steady_clock;
    size_t sink = 0;
    auto t0 = Clock::now();
    for (int r = 0; r < kRounds; ++r)
        for (const auto &[sec, key] : names)
            sink += inifile_read_string(h, sec.c_str(), key.c_str(), "")[0];
    auto t1 = Clock::now();
    for (int r = 0; r < kRounds; ++r)
        for (const auto &[sec, key] : names)
            sink += plain.find(sec)->second.find(key)->second[0];
    auto t2 = Clock::now();
    inifile_delete(h);

    double lookups = double(names.size()) * kRounds;
    double ini_ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / lookups;
    double map_ns = std::chrono::duration<double, std::nano>(t2 - t1).count() / lookups;
    std::printf("inifile_read_string: %.1f ns/lookup\nstd::map:            %.1f ns/lookup\nratio:               %.2f\n",
                ini_ns, map_ns, ini_ns / map_ns);
    return sink == 0; // keeps the loops from being optimised away
}
