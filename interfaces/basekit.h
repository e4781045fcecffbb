/* basekit: the common runtime shared by the console, the server core and the
 * protocol library. Plain C over opaque records; no exception crosses it. */
#ifndef BASEKIT_H
#define BASEKIT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BASEKIT_API __attribute__((visibility("default")))

/* ---- error records --------------------------------------------------- */
typedef struct uxerror uxerror_t;

/* Where the error arose ("file:line", a function name...); never null, may be "".
 * Functions that take uxerror_t **err store a new record there on failure only. */
BASEKIT_API const char *uxerror_region(const uxerror_t *e);
BASEKIT_API const char *uxerror_message(const uxerror_t *e);
BASEKIT_API void uxerror_free(uxerror_t *e);
/* Makes a record; used by the libraries built on basekit. */
BASEKIT_API uxerror_t *uxerror_new(const char *region, const char *message);

/* ---- strings, files, paths ------------------------------------------- */
BASEKIT_API char *ux_strdup(const char *s); /* null gives null */
BASEKIT_API void ux_free_string(char *s);
BASEKIT_API void ux_free_if_not_null(char *s);
BASEKIT_API int ux_streq(const char *a, const char *b);
/* Joins with one '/' between; the caller frees the result. */
BASEKIT_API char *ux_path_concat(const char *dir, const char *name);
/* fopen; on failure null and, when err is given, an error record. */
BASEKIT_API FILE *ux_fopen(const char *path, const char *mode, uxerror_t **err);
/* Removes the temporary files that writers killed mid-save left behind: the
 * files named prefix + "<pid>-..." whose process no longer runs. prefix is a
 * path whose last part starts the names. The number removed. */
BASEKIT_API int ux_remove_stale_temporaries(const char *prefix);

/* ---- date-time: seconds since 1970-01-01 00:00:00 UTC ----------------
 * The field accessors work in local time. */
typedef int64_t ux_datetime_t;

BASEKIT_API ux_datetime_t dt_now(void);
BASEKIT_API void dt_get_ymd(const ux_datetime_t *t, int *year, int *month, int *day);
BASEKIT_API void dt_set_ymd(ux_datetime_t *t, int year, int month, int day);
BASEKIT_API void dt_get_hms(const ux_datetime_t *t, int *hour, int *minute, int *second);
BASEKIT_API void dt_set_hms(ux_datetime_t *t, int hour, int minute, int second);

/* ---- INI files ---------------------------------------------------------
 * "[section]", "key=value", whole-line comments starting with ';' or '#'.
 * Order and comments are kept; names compare without ASCII case unless set
 * case-sensitive; names are trimmed and cut to 255 bytes; values are trimmed
 * and kept byte for byte. Keys before any header belong to section "".
 * Writes store what a re-read of the saved file would give: a line break in
 * a value becomes a space, and a key that the syntax cannot hold (empty,
 * with '=', starting with ';', '#' or '[') is not written. */
typedef struct inifile inifile_t;

BASEKIT_API inifile_t *inifile_new(void);
BASEKIT_API void inifile_delete(inifile_t *h);
BASEKIT_API void inifile_clear(inifile_t *h);
BASEKIT_API void inifile_set_case_sensitive(inifile_t *h, int flag);

/* 0 on success; otherwise non-zero and, when err is given, an error record
 * (region "path:line" for a malformed line). A successful open replaces the
 * handle's contents; a failed one leaves them as they were. */
BASEKIT_API int inifile_open(inifile_t *h, const char *path, uxerror_t **err);
/* Atomic: a temporary file in the same folder, flushed, then renamed. */
BASEKIT_API int inifile_save(inifile_t *h, const char *path, uxerror_t **err);
/* As inifile_save, but the file gets exactly the permissions in mode (such as
 * 0600 for a file that holds secrets), whatever the umask and the old file's. */
BASEKIT_API int inifile_save_mode(inifile_t *h, const char *path, unsigned mode, uxerror_t **err);
/* Copies a file byte for byte as inifile_save_mode writes (atomic, exactly
 * mode), e.g. to keep a file that does not parse. Region of a failure: the
 * file that could not be read or written. */
BASEKIT_API int ux_file_copy_atomic(const char *from, const char *to, unsigned mode, uxerror_t **err);
/* As inifile_open on text in memory; name stands for the path in error regions. */
BASEKIT_API int inifile_open_buffer(inifile_t *h, const char *data, size_t size, const char *name,
                                    uxerror_t **err);
/* The text inifile_save would write, NUL-terminated; free with ux_free_string. */
BASEKIT_API char *inifile_save_buffer(const inifile_t *h, size_t *size);

BASEKIT_API long inifile_read_long(const inifile_t *h, const char *section, const char *key, long def);
BASEKIT_API double inifile_read_float(const inifile_t *h, const char *section, const char *key, double def);
/* The stored text (owned by h, valid until the key changes) or def itself. */
BASEKIT_API const char *inifile_read_string(const inifile_t *h, const char *section, const char *key,
                                            const char *def);
BASEKIT_API void inifile_write_long(inifile_t *h, const char *section, const char *key, long value);
BASEKIT_API void inifile_write_float(inifile_t *h, const char *section, const char *key, double value);
BASEKIT_API void inifile_write_string(inifile_t *h, const char *section, const char *key, const char *value);

BASEKIT_API int inifile_has_section(const inifile_t *h, const char *section);
BASEKIT_API int inifile_has_key(const inifile_t *h, const char *section, const char *key);
BASEKIT_API int inifile_remove_key(inifile_t *h, const char *section, const char *key);
BASEKIT_API int inifile_remove_section(inifile_t *h, const char *section);
BASEKIT_API int inifile_rename_section(inifile_t *h, const char *old_name, const char *new_name);
BASEKIT_API int inifile_copy_section(const inifile_t *h, const char *section, inifile_t *other);
/* Creates the section, empty, if it does not exist (so that it is saved). */
BASEKIT_API int inifile_register_section(inifile_t *h, const char *section);

BASEKIT_API int inifile_get_section_count(const inifile_t *h);
BASEKIT_API const char *inifile_get_section_by_index(const inifile_t *h, int i);
BASEKIT_API int inifile_get_key_count(const inifile_t *h, const char *section);
BASEKIT_API const char *inifile_get_key_by_index(const inifile_t *h, const char *section, int i);

/* ---- TCP sockets -----------------------------------------------------
 * Error records, when err is given, have the function name as region and
 * "Error %d: " + the system text as message. A socket that lost its
 * connection (203/204) is closed. */
typedef struct uxsocket {
    int fd; /* -1 when nothing is open */
    /* -1 (set by uxsocket_init), or a descriptor of the owner's (an eventfd
     * or a pipe) that another thread makes readable to cut this socket's
     * waits: while it is readable, connect and send_all fail at once with
     * ECANCELED and recv with -ECANCELED (or the count received before).
     * The socket stays open; the thread that uses it closes it. Never
     * closed here. */
    int wake_fd;
} uxsocket_t;

BASEKIT_API void uxsocket_init(uxsocket_t *s);
BASEKIT_API void uxsocket_close(uxsocket_t *s);
BASEKIT_API int uxsocket_is_connected(const uxsocket_t *s);
/* host: name or address (IPv4 or IPv6); timeout_ms bounds the whole connect
 * over every address (<= 0: no limit of ours). 0 on success, else an errno
 * value (ETIMEDOUT on the time-out). */
BASEKIT_API int uxsocket_connect(uxsocket_t *s, const char *host, int port, int timeout_ms, uxerror_t **err);
BASEKIT_API int uxsocket_set_nodelay(uxsocket_t *s, int on, uxerror_t **err);
BASEKIT_API int uxsocket_set_keepalive(uxsocket_t *s, int on, uxerror_t **err);
/* 0 when all is sent; 203 (not connected) or 204 when the connection is lost,
 * 106 when the peer accepted nothing for a minute, an errno value otherwise. */
BASEKIT_API int uxsocket_send_all(uxsocket_t *s, const void *data, int length, uxerror_t **err);
/* Waits until length bytes arrived or timeout_ms passed (< 0: no limit); the
 * byte count (fewer than length when the time ran out or the peer closed
 * after sending them), -106 on a time-out with nothing received, -203 (peer
 * closed, or not connected) or -204 (reset). */
BASEKIT_API int uxsocket_recv(uxsocket_t *s, void *buffer, int length, int timeout_ms, uxerror_t **err);

#ifdef __cplusplus
}
#endif

#endif
