// The calibrations given to the transmitters of a line, kept as one text
// parameter: "node=raw1:weight1:raw2:weight2" entries joined by ';'.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace lct1net {

struct Points {
    int raw1 = 0, raw2 = 0;
    double weight1 = 0.0, weight2 = 0.0;
    bool operator==(const Points &) const = default;
};

using Calibrations = std::map<int, Points>; // by node 0 to 15

// Parses the text (empty: none); nothing when it is malformed: a node out
// of range or given twice, a field missing, extra or not a finite number.
std::optional<Calibrations> parse_calibrations(std::string_view text);
// The text that parses back to the same calibrations.
std::string format_calibrations(const Calibrations &calibrations);

} // namespace lct1net
