// Strings, paths and file opening.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include "internal.h"

extern "C" {

char *ux_strdup(const char *s)
{
    // malloc-based so that callers may release it with the standard free.
    return s ? strdup(s) : nullptr;
}

void ux_free_string(char *s)
{
    free(s);
}

void ux_free_if_not_null(char *s)
{
    if (s)
        free(s);
}

int ux_streq(const char *a, const char *b)
{
    if (!a || !b)
        return a == b;
    return strcmp(a, b) == 0;
}

char *ux_path_concat(const char *dir, const char *name)
{
    if (!dir && !name)
        return nullptr;
    if (!dir || !*dir)
        return ux_strdup(name ? name : "");
    if (!name || !*name)
        return ux_strdup(dir);

    size_t dlen = strlen(dir);
    while (dlen > 1 && dir[dlen - 1] == '/')
        --dlen;
    while (*name == '/')
        ++name;
    bool sep = !(dlen == 1 && dir[0] == '/');
    size_t nlen = strlen(name);
    char *out = static_cast<char *>(malloc(dlen + (sep ? 1 : 0) + nlen + 1));
    if (!out)
        return nullptr;
    memcpy(out, dir, dlen);
    size_t pos = dlen;
    if (sep)
        out[pos++] = '/';
    memcpy(out + pos, name, nlen + 1);
    return out;
}

FILE *ux_fopen(const char *path, const char *mode, uxerror_t **err)
{
    if (!path || !mode) {
        basekit::set_system_error(err, path ? path : "", EINVAL);
        return nullptr;
    }
    // Close-on-exec, so that the files never leak into programs we start.
    std::string m;
    try {
        m = std::string(mode) + "e";
    } catch (...) {
        basekit::set_system_error(err, path, ENOMEM);
        return nullptr;
    }
    FILE *f = fopen(path, m.c_str());
    if (!f)
        basekit::set_system_error(err, path, errno);
    return f;
}

int ux_remove_stale_temporaries(const char *prefix)
{
    if (!prefix || !*prefix)
        return 0;
    try {
        const std::string p(prefix);
        const size_t slash = p.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
        const std::string start = slash == std::string::npos ? p : p.substr(slash + 1);
        DIR *d = opendir(dir.c_str());
        if (!d)
            return 0;
        int removed = 0;
        while (const dirent *e = readdir(d)) {
            const char *name = e->d_name;
            if (std::strncmp(name, start.c_str(), start.size()) != 0)
                continue;
            char *end = nullptr;
            errno = 0;
            const long pid = std::strtol(name + start.size(), &end, 10);
            if (end == name + start.size() || *end != '-' || errno != 0 || pid <= 0 || pid > INT32_MAX ||
                pid == getpid())
                continue;
            // Only a writer that no longer runs left it; a live one may
            // still be about to rename it.
            if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
                continue;
            if (unlink((dir + "/" + name).c_str()) == 0)
                ++removed;
        }
        closedir(d);
        return removed;
    } catch (...) {
        return 0;
    }
}

} // extern "C"
