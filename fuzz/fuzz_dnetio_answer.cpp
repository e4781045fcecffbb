// What a DirectNET PLC sends back: an enquiry answer and a read block. The
// first byte picks the block's length and whether it is the last one.
#include "dnetio.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    namespace dn = buslink::dnet;
    if (size < 5)
        return 0;
    const int node = data[0] % dn::node_count;
    if (dn::enquiry_answer_ok(data + 1, node) && (data[1] != 'N' || data[3] != dn::ACK))
        std::abort();

    const bool last = data[0] & 0x80;
    std::size_t chars = 2 * (data[0] & 0x7F);
    const std::vector<unsigned char> block(data + 1, data + size);
    if (block.size() < chars + 4)
        chars = (block.size() - 4) & ~std::size_t(1);
    std::vector<unsigned char> out(chars / 2 + 1, 0xA5);
    const int status = dn::check_read_block(block.data(), chars, last, out.data());
    if (status != 0 && status != DNETIO_E_ERRONEOUS_RESPONSE && status != DNETIO_E_CHECKSUM)
        std::abort();
    // The guard byte past the data is never touched; nothing is stored unless the block is sound.
    if (out[chars / 2] != 0xA5)
        std::abort();
    if (status != 0)
        for (std::size_t i = 0; i < chars / 2; ++i)
            if (out[i] != 0xA5)
                std::abort();
    return 0;
}
