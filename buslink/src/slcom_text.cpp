#include "slcom.h"

#include <charconv>
#include <climits>
#include <cmath>

namespace buslink::sl {

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_control(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim_end(std::string_view s)
{
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A decimal number in the "C" notation and nothing else but blanks.
bool parse_value(std::string_view s, double *out)
{
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    s = trim_end(s);
    if (s.size() > 1 && s.front() == '+' && s[1] != '-')
        s.remove_prefix(1);
    if (s.empty())
        return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

void parse_line(std::string_view line, std::vector<ResultLine> &out)
{
    ResultLine r;
    const std::size_t equals = line.find('=');
    const std::string_view head = line.substr(0, equals);
    // The name may hold colons of its own; the department and number never do.
    const std::size_t colon = head.rfind(':');
    if (colon == std::string_view::npos)
        return;
    r.name = head.substr(0, colon);
    std::string_view rest = trim_end(head.substr(colon + 1));
    if (!rest.empty() && !is_digit(rest[0]) && !(rest[0] == '-' && rest.size() > 1 && is_digit(rest[1]))) {
        r.department = rest[0];
        rest.remove_prefix(1);
    }
    if (rest.empty())
        return;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), r.number);
    if (ec != std::errc() || end != rest.data() + rest.size())
        return;
    if (equals != std::string_view::npos) {
        r.has_value = true;
        r.value_ok = parse_value(line.substr(equals + 1), &r.value);
    }
    out.push_back(r);
}

} // namespace

int check_request(std::string_view name, char department)
{
    if (name.size() > SLCOM_MAX_NAME)
        return SLCOM_E_BAD_REQUEST;
    for (char c : name)
        if (c == '=' || is_control(c))
            return SLCOM_E_BAD_REQUEST;
    if (department != 0 && (is_digit(department) || is_control(department) || department == ' ' ||
                            department == '-' || department == '+' || department == ':' || department == '='))
        return SLCOM_E_BAD_REQUEST;
    return SLCOM_SUCCESS;
}

std::string request_line(std::string_view name, char department, int number, Kind kind, double value)
{
    std::string line(name);
    line += ':';
    if (department)
        line += department;
    char buffer[400];
    if (number >= 0 && number < 10)
        line += '0';
    auto r = std::to_chars(buffer, buffer + sizeof buffer, number);
    line.append(buffer, r.ptr);
    if (kind == Kind::write) {
        line += '=';
        // Fixed notation of the largest double takes 310 characters.
        r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
        line.append(buffer, r.ec == std::errc() ? r.ptr : buffer);
    }
    line += '\n';
    return line;
}

std::vector<ResultLine> parse_results(std::string_view text)
{
    std::vector<ResultLine> out;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        parse_line(trim_end(text.substr(0, eol)), out);
        if (eol == std::string_view::npos)
            break;
        text.remove_prefix(eol + 1);
    }
    return out;
}

bool round_result(double value, int *out)
{
    if (!std::isfinite(value))
        return false;
    double whole = std::trunc(value);
    const double cut = value - whole;
    if (cut > 0.5)
        whole += 1;
    else if (cut < -0.5)
        whole -= 1;
    if (whole < INT_MIN || whole > INT_MAX)
        return false;
    *out = static_cast<int>(whole);
    return true;
}

} // namespace buslink::sl
