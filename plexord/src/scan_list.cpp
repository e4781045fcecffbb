// The scan list's entries and the choice of what to publish: plain
// functions, without the core's threads.
#include <algorithm>
#include <cmath>

#include "scan.h"
#include "util.h"

namespace plexord {

namespace {

bool has_control(std::string_view s)
{
    return std::any_of(s.begin(), s.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x20; });
}

} // namespace

std::vector<ScanPoint> parse_scan_list(std::string_view text, std::vector<std::string> &problems)
{
    std::vector<ScanPoint> out;
    if (trim(text).empty())
        return out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string_view raw = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        start = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
        std::string entry = trim(raw);
        auto bad = [&](const std::string &why) { problems.push_back("scan entry \"" + entry + "\" " + why); };
        if (entry.empty()) {
            bad("is empty");
            continue;
        }
        if (has_control(entry)) {
            bad("has a control character");
            continue;
        }
        ScanPoint p;
        std::string setpoint = entry;
        size_t slash = entry.find('/');
        if (slash != std::string::npos) {
            setpoint = trim(std::string_view(entry).substr(0, slash));
            std::string band = trim(std::string_view(entry).substr(slash + 1));
            if (!parse_double(band, p.deadband) || !std::isfinite(p.deadband) || p.deadband < 0) {
                bad("has no valid deadband (a number of 0 or more after '/')");
                continue;
            }
        }
        size_t colon = setpoint.find(':');
        p.item = trim(std::string_view(setpoint).substr(0, colon));
        if (colon != std::string::npos)
            p.flag = trim(std::string_view(setpoint).substr(colon + 1));
        if (p.item.empty()) {
            bad("names no item");
            continue;
        }
        out.push_back(std::move(p));
    }
    return out;
}

bool scan_publish(ScanState &s, double value, ncerr_t result, double deadband, unsigned keepalive)
{
    bool good = result.code == NCERR_OK && result.detail == 0;
    bool due = !s.published || good != s.good || result.code != s.code || result.detail != s.detail ||
               (good && (std::isnan(value) != std::isnan(s.value) || std::fabs(value - s.value) > deadband)) ||
               (keepalive > 0 && s.scans + 1 >= keepalive);
    if (!due) {
        ++s.scans;
        return false;
    }
    s.published = true;
    s.good = good;
    s.code = result.code;
    s.detail = result.detail;
    s.value = good ? value : 0;
    s.scans = 0;
    return true;
}

} // namespace plexord
