// The LCC1200 text rules, free of I/O: built into tests and fuzzers as well.
#include "dgtserial.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace buslink::dgt {

namespace {

// Setpoints whose values the controllers take as two integer digits and
// two decimals.
constexpr unsigned two_decimals[] = {57,  417, 418, 420, 421, 447, 448, 450, 451, 465,
                                     529, 530, 622, 624, 644, 652, 653, 655, 656, 662,
                                     663, 706, 707, 708, 757, 758, 938, 939};
// Setpoints that always carry one decimal for a whole number.
constexpr unsigned one_decimal_when_whole[] = {104, 105, 526, 527, 611, 612, 613, 682, 683, 684, 686};

template <std::size_t N>
bool listed(const unsigned (&list)[N], unsigned number)
{
    return std::find(std::begin(list), std::end(list), number) != std::end(list);
}

// printf's "%.<precision>f", or "%g" for a negative precision; to_chars
// gives the same digits and never looks at the locale.
std::string number_text(double value, int precision)
{
    char buffer[400];
    const auto result = precision < 0
                            ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6)
                            : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    if (result.ec != std::errc())
        return "0";
    return std::string(buffer, result.ptr);
}

// "0" in front of a single integer digit, judged on the text so that a
// value rounded up to 10 does not get three digits.
std::string two_digit_text(double value, int precision)
{
    std::string text = number_text(value, precision);
    if (text.size() > 1 && text[0] >= '0' && text[0] <= '9' && text[1] == '.')
        text.insert(0, 1, '0');
    return text;
}

bool whole(double value)
{
    return std::isfinite(value) && value == std::trunc(value);
}

} // namespace

std::string value_text(unsigned number, double value, bool integer)
{
    if (integer)
        value = std::trunc(value);
    // A negative zero would otherwise go out as "-0".
    if (value == 0)
        value = 0;
    std::string text;
    if (listed(two_decimals, number)) {
        text = two_digit_text(value, 2);
    } else if (number >= 431 && number <= 440) {
        text = two_digit_text(std::min(value, 99.9), 1);
    } else if (listed(one_decimal_when_whole, number)) {
        text = number_text(value, whole(value) ? 1 : 2);
    } else if (whole(value)) {
        // "%g" turns large whole numbers into exponents and loses digits.
        text = number_text(value, std::fabs(value) < 1e6 ? -1 : 0);
    } else {
        text = number_text(value, 2);
    }
    text += ' ';
    return text;
}

std::string read_text(char department, unsigned number)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%c%03u ", department, number);
    return buffer;
}

std::string write_text(char department, unsigned number, double value, bool integer)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%c%03u=", department, number);
    return buffer + value_text(number, value, integer);
}

std::string broadcast_text(unsigned number, double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "/%u=", number);
    return buffer + value_text(number, value, false);
}

Answer check_answer(const char *data, std::size_t length, char department, unsigned number)
{
    Answer a;
    const char *end = nullptr;
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] == '\r' || data[i] == '\n') {
            end = data + i;
            break;
        }
    }
    if (!end)
        return a;
    const std::size_t line = static_cast<std::size_t>(end - data);
    const auto fail = [&a](int status, Note note) {
        a.status = status;
        a.note = note;
        return a;
    };
    if ((line > 0 && data[0] == '?') || (line > 1 && data[1] == '?'))
        return fail(DGTSERIAL_E_UNAVAILABLE, Note::not_available);

    const bool co2 = number == co2_setpoint;
    std::size_t pos = 0;
    if (co2) {
        if (line < 1 || data[0] != '/')
            return fail(DGTSERIAL_E_BAD_RESPONSE, Note::bad_department);
        pos = 1;
    } else {
        if (line < 1 || data[0] != '*')
            return fail(DGTSERIAL_E_BAD_RESPONSE, Note::bad_start);
        if (line < 2 || data[1] != department)
            return fail(DGTSERIAL_E_BAD_RESPONSE, Note::bad_department);
        pos = 2;
    }

    const std::size_t digits = pos;
    unsigned long answered = 0;
    while (pos < line && data[pos] >= '0' && data[pos] <= '9') {
        // Saturates: any number this large is a wrong one anyway.
        answered = std::min(answered * 10 + static_cast<unsigned long>(data[pos] - '0'), 100000000UL);
        ++pos;
    }
    if (pos == digits || pos >= line || data[pos] != '=')
        return fail(DGTSERIAL_E_BAD_RESPONSE, Note::bad_number);
    if (answered != (co2 ? co2_answer_number : number))
        return fail(DGTSERIAL_E_UNEXPECTED_SETPOINT, Note::none);

    ++pos;
    if (pos < line && data[pos] == '?')
        return fail(DGTSERIAL_E_UNAVAILABLE, Note::none);
    // A value that is not a number must not pass for a reading of 0.
    const char *p = data + pos;
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    if (p < end && *p == '+')
        ++p;
    double value = 0;
    const auto [stop, ec] = std::from_chars(p, end, value, std::chars_format::general);
    if (ec != std::errc() || !std::isfinite(value))
        return fail(DGTSERIAL_E_BAD_RESPONSE, Note::bad_value);
    for (const char *q = stop; q < end; ++q)
        if (*q != ' ' && *q != '\t')
            return fail(DGTSERIAL_E_BAD_RESPONSE, Note::bad_value);
    a.status = DGTSERIAL_SUCCESS;
    a.value = value;
    return a;
}

} // namespace buslink::dgt
