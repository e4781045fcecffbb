// The LCT-1 answer checks see every byte a transmitter (or line noise) sends.
#include "lct1.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace wire = buslink::lct1;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool with_checksum = data[0] & 1;
    // The driver hands the parser at most one read buffer.
    const std::string_view bytes(reinterpret_cast<const char *>(data + 1),
                                 size - 1 < wire::answer_capacity ? size - 1 : wire::answer_capacity);

    wire::Answer answer;
    const wire::Parse result = wire::parse_answer(bytes, with_checksum, answer);
    const std::size_t complete = wire::complete_length(bytes);
    if (complete > bytes.size())
        __builtin_trap();
    if (result == wire::Parse::ok) {
        const int length = wire::data_length(answer.message);
        if (answer.node < 0 || answer.node > 15 || length < 0 || answer.data[length] != '\0')
            __builtin_trap();
        // An answer that passes has a known end within the bytes.
        if (complete == 0)
            __builtin_trap();
        (void)wire::decode_digits(std::string_view(answer.data, std::size_t(length)));
    }

    // What we format ourselves is accepted back with the same checksum rule.
    const int node = data[0] >> 4;
    const int message = bytes.empty() ? 60 : static_cast<unsigned char>(bytes[0]) % 100;
    if (wire::data_length(message) >= 0) {
        std::string text = wire::format_message(node, message, nullptr, with_checksum);
        if (text.empty() || text.size() > wire::max_message)
            __builtin_trap();
        text.resize(text.size() - 2); // an answer carries no line end
        wire::Answer back;
        if (wire::data_length(message) == 0 && message != 0 &&
            wire::parse_answer(text, with_checksum, back) != wire::Parse::ok)
            __builtin_trap();
    }
    return 0;
}
