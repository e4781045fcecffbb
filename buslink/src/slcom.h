// SuperLink file exchange: the exchange object, and the text rules (request
// lines, result lines, rounding) kept free of I/O so that tests and fuzzers
// can drive them directly.
#pragma once

#include "buslink.h"
#include "platform/wakeup.h"

#include <list>
#include <string>
#include <string_view>
#include <vector>

namespace buslink::sl {

enum class Kind { write = 1, read = 2 };

// A request file larger than this would hold far more than a batch: a
// result file above it is refused rather than read whole.
constexpr std::size_t max_result_file = 1 << 20;

// SLCOM_SUCCESS, or SLCOM_E_BAD_REQUEST for a name or department that
// would make the line ambiguous or break it in two.
int check_request(std::string_view name, char department);

// "NAME:DNN=V.V\n" for a write, "NAME:DNN\n" for a read; the number with at
// least two digits, the value with one decimal, both in the "C" notation.
std::string request_line(std::string_view name, char department, int number, Kind kind, double value);

struct ResultLine {
    std::string_view name;
    char department = 0;
    int number = 0;
    bool has_value = false; // an "=" was there
    bool value_ok = false;  // and a finite number followed it, nothing else
    double value = 0;
};

// Every result line that names a setpoint (name, colon, department, number).
// Lines without a colon or number are left out. The views point into text.
std::vector<ResultLine> parse_results(std::string_view text);

// Truncated toward zero, then one further from zero when what was cut off
// is above one half. False when the result does not fit an int.
bool round_result(double value, int *out);

struct Request {
    std::string name;
    int number;
    char department;
    Kind kind;
    double value;
    int status = SLCOM_E_NOT_HANDLED;
};

} // namespace buslink::sl

struct slcom {
    buslink::posix::Wakeup wakeup; // cuts the flush's waits (slcom_abort)
    std::string folder;
    int network = 1;
    int timeout_ms = 5000;
    std::list<buslink::sl::Request> pending, sent, answered;
};
