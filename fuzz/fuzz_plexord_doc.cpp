// The setpoint documentation parser, and look-ups on what it made.
#include <cstdint>
#include <string>

#include "plexord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    doc_t *doc = doc_parse(reinterpret_cast<const char *>(data), size);
    if (!doc)
        return 0;
    doc_lock(doc);
    int n = doc_get_count(doc);
    for (int i = 0; i < n; ++i) {
        std::string item = doc_get_item(doc, i);
        if (!doc_get_best_description(doc, item.c_str()) || !doc_get_description(doc, i))
            __builtin_trap(); // every parsed item documents itself
        doc_get_best_description(doc, (item + ":x").c_str());
    }
    doc_unlock(doc);
    doc_delete(doc);
    return 0;
}
