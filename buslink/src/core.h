// Internal helpers shared by every driver of the library.
#pragma once

#include "buslink.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#define BUSLINK_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Formatted output to a stream; a null stream writes nothing. Diagnostics go
// to stderr, traces and dumps to stdout.
int buslink_vfprintf(FILE *stream, const char *format, va_list args);
int buslink_fprintf(FILE *stream, const char *format, ...) BUSLINK_PRINTF(2, 3);
int buslink_eprintf(const char *format, ...) BUSLINK_PRINTF(1, 2);
int buslink_oprintf(const char *format, ...) BUSLINK_PRINTF(1, 2);

// snprintf that reports truncation: the length written, or -1 when the text
// (with its terminator) does not fit or cannot be formatted.
int buslink_snprintf(char *buffer, std::size_t size, const char *format, ...) BUSLINK_PRINTF(3, 4);

// Hex dump without the int range limit of buslink_print_hexm.
void buslink_hexdump(FILE *stream, const unsigned char *data, std::size_t length, int indent);
