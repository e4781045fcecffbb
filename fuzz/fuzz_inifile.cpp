// INI reader: whatever parses must save and read back to the same sections,
// keys, values and text, through memory and through a real file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "basekit.h"

namespace {

std::string text_of(const inifile_t *h)
{
    size_t n = 0;
    char *t = inifile_save_buffer(h, &n);
    if (!t)
        abort();
    std::string s(t, n);
    ux_free_string(t);
    return s;
}

bool same_contents(const inifile_t *a, const inifile_t *b)
{
    int n = inifile_get_section_count(a);
    if (n != inifile_get_section_count(b))
        return false;
    for (int i = 0; i < n; ++i) {
        const char *sa = inifile_get_section_by_index(a, i);
        const char *sb = inifile_get_section_by_index(b, i);
        if (!sa || !sb || strcmp(sa, sb) != 0)
            return false;
        int k = inifile_get_key_count(a, sa);
        if (k != inifile_get_key_count(b, sb))
            return false;
        for (int j = 0; j < k; ++j) {
            const char *ka = inifile_get_key_by_index(a, sa, j);
            const char *kb = inifile_get_key_by_index(b, sb, j);
            if (!ka || !kb || strcmp(ka, kb) != 0)
                return false;
            if (strcmp(inifile_read_string(a, sa, ka, "\x01"), inifile_read_string(b, sb, kb, "\x02")) != 0)
                return false;
        }
    }
    return true;
}

std::string scratch_dir;

void remove_scratch()
{
    unlink((scratch_dir + "/round.ini").c_str());
    rmdir(scratch_dir.c_str());
}

std::string scratch_path()
{
    if (scratch_dir.empty()) {
        char tmpl[] = "/tmp/fuzz-inifile-XXXXXX";
        if (!mkdtemp(tmpl))
            abort();
        scratch_dir = tmpl;
        atexit(remove_scratch);
    }
    return scratch_dir + "/round.ini";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    inifile_t *first = inifile_new();
    // The first byte picks the case rule, so both are explored.
    bool cs = size > 0 && (data[0] & 1);
    inifile_set_case_sensitive(first, cs);
    uxerror_t *err = nullptr;
    if (inifile_open_buffer(first, reinterpret_cast<const char *>(data), size, "fuzz", &err) != 0) {
        if (!err || strncmp(uxerror_region(err), "fuzz:", 5) != 0)
            abort();
        uxerror_free(err);
        inifile_delete(first);
        return 0;
    }
    std::string saved = text_of(first);

    inifile_t *second = inifile_new();
    inifile_set_case_sensitive(second, cs);
    if (inifile_open_buffer(second, saved.data(), saved.size(), "again", nullptr) != 0)
        abort();
    if (!same_contents(first, second) || text_of(second) != saved)
        abort();

    // Through the file system too, for inputs that the first byte selects
    // (a save syncs to disk, which is slow).
    if (size > 0 && (data[0] & 0x0E) == 0) {
        const std::string path = scratch_path();
        inifile_t *third = inifile_new();
        inifile_set_case_sensitive(third, cs);
        if (inifile_save(first, path.c_str(), nullptr) != 0 || inifile_open(third, path.c_str(), nullptr) != 0 ||
            !same_contents(first, third))
            abort();
        inifile_delete(third);
    }
    inifile_delete(second);
    inifile_delete(first);
    return 0;
}
