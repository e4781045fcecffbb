// DirectNET documentation files: any bytes give (item, nickname) pairs
// without a line end or quote in them, and every item either resolves or not.
#include "dnetio.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::size_t total = 0;
    for (const auto &[item, name] : buslink::dnet::parse_documentation(text)) {
        for (const std::string *field : {&item, &name}) {
            if (field->find_first_of(std::string_view("\r\n\"\0", 4)) != std::string::npos)
                std::abort();
            total += field->size();
        }
        buslink::dnet::Reference ref;
        if (buslink::dnet::parse_reference(item, ref) && ref.address > 0xFFFF)
            std::abort();
    }
    if (total > size)
        std::abort();
    return 0;
}
