// Shared pieces of the basekit sources: the error record and its helpers.
#ifndef BASEKIT_INTERNAL_H
#define BASEKIT_INTERNAL_H

#include <string>

#include "basekit.h"

struct uxerror {
    std::string region;
    std::string message;
};

namespace basekit {

// "Error %d: " + strerror text, the system error format of every family.
std::string system_error_text(int errnum);

// Stores a new record in *err when err is given; never throws.
void set_error(uxerror_t **err, const std::string &region, const std::string &message) noexcept;
void set_system_error(uxerror_t **err, const std::string &region, int errnum) noexcept;

} // namespace basekit

#endif
