// The XML pull reader over any file: every step, skip and lookup on what it
// reads, and a parse error that must stay an error.
#include "xmlcore.h"

#include <libxml/xmlerror.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace xc = widgetkit::xmlcore;

namespace {

void Quiet(void*, const char*, ...) {}

std::string g_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    xmlSetGenericErrorFunc(nullptr, Quiet);
    g_path = "/tmp/fuzz_xml_reader." + std::to_string(getpid()) + ".xml";
    std::atexit([] { std::remove(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte picks steps and skips; the rest is the file.
    const unsigned pattern = size > 0 ? data[0] : 0;
    FILE* file = std::fopen(g_path.c_str(), "wb");
    if (file == nullptr)
        return 0;
    if (size > 1)
        std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);

    xc::Reader reader;
    if (!reader.Open(g_path.c_str()))
        return 0;
    int rc = 1;
    for (unsigned step = 0; step < 20000 && rc == 1; ++step) {
        rc = (pattern >> (step % 8)) & 1 ? reader.Next() : reader.Read();
        if (rc != 1)
            break;
        const int kind = reader.Kind();
        if (kind == 8 || kind == 13 || kind == 14 || xc::ReaderKindName(kind) == nullptr)
            __builtin_trap(); // skipped kinds never surface, and every kind has a name
        if (reader.Name() == nullptr)
            __builtin_trap();
        if (kind == 1) {
            int value = 0;
            if (auto a = reader.Attr("a"); a && xc::ParseDecimal(a->c_str(), value))
                (void)xc::BoolFromValue(a->c_str(), false);
            (void)reader.IsEmptyElement();
        }
        if (step % 3 == 0)
            (void)reader.Text();
    }
    if (rc < 0 && (reader.Read() != -1 || reader.Next() != -1))
        __builtin_trap();
    return 0;
}
