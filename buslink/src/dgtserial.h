// LCC1200 controllers on a DGT serial line: the line object and the text
// rules (request texts, value texts, answer checking), the latter kept free
// of I/O so that tests and fuzzers can drive them with bytes.
#pragma once

#include "buslink.h"
#include "platform/wakeup.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace buslink::dgt {

// Longest answer line taken, its end of line included.
constexpr std::size_t max_answer = 63;
// Setpoint 636 is the CO2 reading, answered as "/47=".
constexpr unsigned co2_setpoint = 636;
constexpr unsigned co2_answer_number = 47;
// Every exchange starts with a pause, so that late answers of the one
// before have come and are purged; an answer gets this long per wait.
constexpr int read_pause_ms = 100;
constexpr int write_pause_ms = 250;
constexpr int answer_wait_ms = 2000;

// The value as it goes on the line, its closing space included. An integer
// value is truncated first. Numbers are formatted without regard to the
// process's locale.
std::string value_text(unsigned number, double value, bool integer);

std::string read_text(char department, unsigned number);
std::string write_text(char department, unsigned number, double value, bool integer);
std::string broadcast_text(unsigned number, double value);

// Which diagnostic line a checked answer calls for.
enum class Note { none, not_available, bad_start, bad_department, bad_number, bad_value };

struct Answer {
    int status = DGTSERIAL_E_INCOMPLETE;
    double value = 0;
    Note note = Note::none;
};

// Checks the bytes received so far for a request of department and number.
// DGTSERIAL_E_INCOMPLETE while no end of line has come.
Answer check_answer(const char *data, std::size_t length, char department, unsigned number);

struct Request {
    char department; // 0 for a broadcast
    unsigned number;
    int status;
    double value;
    bool integer;
};

struct SerialFree {
    void operator()(cl_serial_t *port) const { cl_serial_free(port); }
};

} // namespace buslink::dgt

struct dgtserial {
    buslink::posix::Wakeup wakeup; // cuts the pauses and waits (dgtserial_abort)
    std::unique_ptr<cl_serial_t, buslink::dgt::SerialFree> port;
    std::string node_list;
    std::string system_error; // of the last failed connect
    // Queued in order; exchanged and looked up newest first. Cleared lists
    // keep their storage, which serves as the pool of free records.
    std::vector<buslink::dgt::Request> reads, writes, broadcasts;
};
