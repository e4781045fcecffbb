#include "lct1_calibration.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace lct1net {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

template <class T>
bool parse_number(std::string_view text, T &value)
{
    const char *end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && p == end;
}

bool parse_weight(std::string_view text, double &value)
{
    return parse_number(text, value) && std::isfinite(value);
}

void append_number(std::string &out, double value)
{
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, ec == std::errc() ? end : buffer);
}

} // namespace

std::optional<Calibrations> parse_calibrations(std::string_view text)
{
    Calibrations result;
    if (text.empty())
        return result;
    for (const std::string_view entry : split(text, ';')) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos)
            return std::nullopt;
        int node = -1;
        if (!parse_number(entry.substr(0, equals), node) || node < 0 || node > 15 || result.count(node))
            return std::nullopt;
        const auto fields = split(entry.substr(equals + 1), ':');
        Points points;
        if (fields.size() != 4 || !parse_number(fields[0], points.raw1) || !parse_weight(fields[1], points.weight1) ||
            !parse_number(fields[2], points.raw2) || !parse_weight(fields[3], points.weight2))
            return std::nullopt;
        result.emplace(node, points);
    }
    return result;
}

std::string format_calibrations(const Calibrations &calibrations)
{
    std::string text;
    for (const auto &[node, points] : calibrations) {
        if (!text.empty())
            text += ';';
        text += std::to_string(node) + '=' + std::to_string(points.raw1) + ':';
        append_number(text, points.weight1);
        text += ':' + std::to_string(points.raw2) + ':';
        append_number(text, points.weight2);
    }
    return text;
}

} // namespace lct1net
