// The broker's texts: topics, payloads and set messages, and the queue of
// publications. Plain functions, no broker.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "mqtt.h"
#include "util.h"

namespace plexord::mqtt {

std::string topic_level(std::string_view name)
{
    std::string out;
    for (char ch : name) {
        auto u = static_cast<unsigned char>(ch);
        out += (ch == '/' || ch == '+' || ch == '#' || u < 0x20 || u == 0x7f) ? '_' : ch;
    }
    return out.empty() ? "_" : out;
}

std::string setpoint_name(const std::string &item, const std::string &flag)
{
    return flag.empty() ? item : item + ":" + flag;
}

std::string value_topic(const std::string &prefix, const ScanSample &s)
{
    return prefix + "/" + topic_level(s.network_name) + "/" + topic_level(s.device_name) + "/" +
           topic_level(setpoint_name(s.item, s.flag));
}

std::string status_topic(const std::string &prefix)
{
    return prefix + "/status";
}

std::string iso_time(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(ms / 1000 - (ms % 1000 < 0));
    int frac = static_cast<int>((ms % 1000 + 1000) % 1000);
    struct tm tm {};
    localtime_r(&secs, &tm);
    int off = static_cast<int>(std::labs(tm.tm_gmtoff) % 86400);
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", tm.tm_gmtoff < 0 ? '-' : '+', off / 3600, off % 3600 / 60);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%s", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, frac, zone);
    return buf;
}

namespace {

std::string json_string(std::string_view s)
{
    std::string out = "\"";
    for (char ch : s) {
        auto u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

} // namespace

std::string payload(std::optional<double> value, const std::string &status, std::chrono::system_clock::time_point t)
{
    bool good = value && std::isfinite(*value);
    return "{\"value\":" + (good ? format_double(*value) : std::string("null")) + ",\"status\":" + json_string(status) +
           ",\"time\":" + json_string(iso_time(t)) + "}";
}

std::string payload(const ScanSample &s, const std::string &status)
{
    bool good = s.result.code == NCERR_OK && s.result.detail == 0;
    return payload(good ? std::optional<double>(s.value) : std::nullopt, status, s.when);
}

std::optional<SetRequest> parse_set_topic(std::string_view prefix, std::string_view topic)
{
    if (prefix.empty() || topic.size() <= prefix.size() || topic.substr(0, prefix.size()) != prefix ||
        topic[prefix.size()] != '/')
        return std::nullopt;
    std::vector<std::string> levels;
    std::string_view rest = topic.substr(prefix.size() + 1);
    while (true) {
        size_t slash = rest.find('/');
        levels.emplace_back(rest.substr(0, slash));
        if (slash == std::string_view::npos)
            break;
        rest = rest.substr(slash + 1);
    }
    if (levels.size() != 4 || levels[3] != "set")
        return std::nullopt;
    for (size_t i = 0; i < 3; ++i)
        if (levels[i].empty())
            return std::nullopt;
    return SetRequest{levels[0], levels[1], levels[2]};
}

std::optional<double> parse_set_value(std::string_view payload)
{
    double v = 0;
    if (payload.size() > 64 || !parse_double(trim(payload), v) || !std::isfinite(v))
        return std::nullopt;
    return v;
}

bool Queue::push(Message m)
{
    bool kept_all = true;
    while (q_.size() >= limit_) {
        q_.pop_front();
        ++dropped_;
        kept_all = false;
    }
    q_.push_back(std::move(m));
    return kept_all;
}

void Queue::requeue(Message m)
{
    if (q_.size() >= limit_)
        ++dropped_;
    else
        q_.push_front(std::move(m));
}

} // namespace plexord::mqtt
