// Error records: a region (where it arose) and a message.
#include <cstring>
#include <new>

#include "internal.h"

namespace basekit {

std::string system_error_text(int errnum)
{
    char buf[256];
    // The GNU strerror_r may return a static string instead of filling buf.
    const char *text = strerror_r(errnum, buf, sizeof buf);
    return "Error " + std::to_string(errnum) + ": " + text;
}

void set_error(uxerror_t **err, const std::string &region, const std::string &message) noexcept
{
    if (!err)
        return;
    try {
        *err = new uxerror{region, message};
    } catch (...) {
        *err = nullptr;
    }
}

void set_system_error(uxerror_t **err, const std::string &region, int errnum) noexcept
{
    if (!err)
        return;
    try {
        set_error(err, region, system_error_text(errnum));
    } catch (...) {
        *err = nullptr;
    }
}

} // namespace basekit

extern "C" {

const char *uxerror_region(const uxerror_t *e)
{
    return e ? e->region.c_str() : "";
}

const char *uxerror_message(const uxerror_t *e)
{
    return e ? e->message.c_str() : "";
}

void uxerror_free(uxerror_t *e)
{
    delete e;
}

uxerror_t *uxerror_new(const char *region, const char *message)
{
    uxerror_t *e = nullptr;
    basekit::set_error(&e, region ? region : "", message ? message : "");
    return e;
}

} // extern "C"
