// The "db" network type: a simulated plant whose setpoints live in an INI
// file, one section per device address and one key per setpoint ("item" or
// "item:flag"). Every device also keeps a controller clock on the V77xx
// items, running on from the last value set.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "basekit.h"
#include "db_clock.h"
#include "plexord_plugin.h"

namespace fs = std::filesystem;

namespace {

enum Status {
    ST_OK = 0,
    ST_UNKNOWN_SETPOINT,
    ST_READ_FILE,
    ST_SAVE_FILE,
    ST_NO_FILENAME,
    ST_CLOCK_READ_ONLY,
    ST_CLOCK_VALUE,
    ST_CLOCK_FLAG,
    ST_NOT_A_NUMBER,
    ST_UNKNOWN_PARAM,
    ST_DELAY_RANGE,
    ST_ABORTED,
    ST_NO_ADDRESS,
    ST_NO_MEMORY,
    ST_COUNT
};

const char *const kStatus[ST_COUNT] = {
    "success",
    "unknown setpoint",
    "cannot read the setpoint file",
    "cannot save the setpoint file",
    "no setpoint file name",
    "clock item is read-only",
    "invalid clock value",
    "unsupported flag for a clock item",
    "stored value is not a number",
    "unknown parameter",
    "delay out of range (0 to 60000 ms)",
    "request aborted",
    "device has no address",
    "out of memory",
};

constexpr int kMaxDelay = 60000;
// Clock offsets live in the setpoint file under this section.
constexpr const char *kClockSection = "@clock";

using Ini = std::unique_ptr<inifile_t, void (*)(inifile_t *)>;

struct DbNet {
    const pxp_host_t *host;
    std::string filename = "plexord-db.ini";
    int delay = 0;

    std::string path; // resolved at start
    Ini ini{nullptr, inifile_delete};

    std::mutex m;
    std::condition_variable cv;
    bool aborting = false;
};

void log(DbNet *n, const std::string &line)
{
    if (n->host && n->host->log)
        n->host->log(n->host->ctx, line.c_str());
}

std::string shortest(double v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

bool parse_number(const char *s, double &out)
{
    std::string t(s);
    auto b = t.find_first_not_of(" \t");
    auto e = t.find_last_not_of(" \t");
    if (b == std::string::npos)
        return false;
    t = t.substr(b, e - b + 1);
    if (t[0] == '+')
        t.erase(0, 1);
    auto r = std::from_chars(t.data(), t.data() + t.size(), out);
    return r.ec == std::errc() && r.ptr == t.data() + t.size() && std::isfinite(out);
}

void fail(pxp_request_t &r, int cls, int status)
{
    r.result = cls;
    r.status = status;
}

void *db_create(const pxp_host_t *host)
{
    try {
        auto *n = new DbNet;
        n->host = host;
        return n;
    } catch (...) {
        return nullptr;
    }
}

void db_destroy(void *net)
{
    delete static_cast<DbNet *>(net);
}

int db_get_text(void *net, const char *key, const char **value)
{
    auto *n = static_cast<DbNet *>(net);
    if (std::strcmp(key, "filename") != 0)
        return ST_UNKNOWN_PARAM;
    *value = n->filename.c_str();
    return ST_OK;
}

int db_get_integer(void *net, const char *key, int *value)
{
    auto *n = static_cast<DbNet *>(net);
    if (std::strcmp(key, "delay") != 0)
        return ST_UNKNOWN_PARAM;
    *value = n->delay;
    return ST_OK;
}

int db_set_text(void *net, const char *key, const char *value)
{
    auto *n = static_cast<DbNet *>(net);
    if (std::strcmp(key, "filename") != 0)
        return ST_UNKNOWN_PARAM;
    try {
        n->filename = value;
    } catch (...) {
        return ST_NO_MEMORY;
    }
    return ST_OK;
}

int db_set_integer(void *net, const char *key, int value)
{
    auto *n = static_cast<DbNet *>(net);
    if (std::strcmp(key, "delay") != 0)
        return ST_UNKNOWN_PARAM;
    if (value < 0 || value > kMaxDelay)
        return ST_DELAY_RANGE;
    n->delay = value;
    return ST_OK;
}

int db_start(void *net)
{
    auto *n = static_cast<DbNet *>(net);
    try {
        if (n->filename.empty()) {
            log(n, " ! Database network: no setpoint file name");
            return ST_NO_FILENAME;
        }
        fs::path p(n->filename);
        if (p.is_relative() && n->host && n->host->config_dir)
            p = fs::path(n->host->config_dir) / p;
        n->path = p.lexically_normal().string();
        Ini ini(inifile_new(), inifile_delete);
        if (!ini)
            return ST_NO_MEMORY;
        std::error_code ec;
        if (fs::exists(n->path, ec) && !fs::is_regular_file(n->path, ec)) {
            log(n, " ! Database network: " + n->path + " is not a plain file");
            return ST_READ_FILE;
        }
        if (fs::exists(n->path, ec)) {
            uxerror_t *err = nullptr;
            if (inifile_open(ini.get(), n->path.c_str(), &err) != 0) {
                // Refuse to run on a file we could not read, so that a write
                // never replaces it with a partial copy.
                log(n, std::string(" ! Database network: ") + (err ? uxerror_region(err) : n->path.c_str()) + ": " +
                           (err ? uxerror_message(err) : "cannot be read"));
                uxerror_free(err);
                return ST_READ_FILE;
            }
        }
        n->ini = std::move(ini);
        std::lock_guard lk(n->m);
        n->aborting = false;
    } catch (...) {
        return ST_NO_MEMORY;
    }
    return ST_OK;
}

void db_stop(void *net)
{
    auto *n = static_cast<DbNet *>(net);
    n->ini.reset();
}

void db_abort(void *net)
{
    auto *n = static_cast<DbNet *>(net);
    {
        std::lock_guard lk(n->m);
        n->aborting = true;
    }
    n->cv.notify_all();
}

// One clock request; true when the item is a clock item (handled here).
bool clock_request(DbNet *n, pxp_request_t &r, bool &changed)
{
    int item = dbclock::item_of(r.item);
    if (item < 0)
        return false;
    inifile_t *ini = n->ini.get();
    int64_t offset = inifile_read_long(ini, kClockSection, r.address, 0);
    int64_t now = static_cast<int64_t>(time(nullptr));
    if (r.op == PXP_READ) {
        int64_t v = 0;
        int st = dbclock::read(item, r.flag, now + offset, v);
        if (st != dbclock::OK) {
            fail(r, PXP_FAIL_INVALID, st == dbclock::BAD_FLAG ? ST_CLOCK_FLAG : ST_CLOCK_VALUE);
            return true;
        }
        r.ivalue = v;
        r.fvalue = static_cast<double>(v);
        r.result = PXP_OK;
        return true;
    }
    int64_t value = r.kind == PXP_INTEGER ? r.ivalue : static_cast<int64_t>(std::llround(r.fvalue));
    int64_t device_time = 0;
    int st = dbclock::write(item, r.flag, value, now + offset, device_time);
    switch (st) {
    case dbclock::OK:
        inifile_write_long(ini, kClockSection, r.address, static_cast<long>(device_time - now));
        changed = true;
        r.result = PXP_OK;
        break;
    case dbclock::READ_ONLY: fail(r, PXP_FAIL_READ_ONLY, ST_CLOCK_READ_ONLY); break;
    case dbclock::BAD_FLAG: fail(r, PXP_FAIL_INVALID, ST_CLOCK_FLAG); break;
    default: fail(r, PXP_FAIL_INVALID, ST_CLOCK_VALUE); break;
    }
    return true;
}

int db_perform(void *net, pxp_request_t *reqs, int count)
{
    auto *n = static_cast<DbNet *>(net);
    {
        std::unique_lock lk(n->m);
        if (n->delay > 0)
            n->cv.wait_for(lk, std::chrono::milliseconds(n->delay), [&] { return n->aborting; });
        if (n->aborting) {
            for (int i = 0; i < count; ++i)
                fail(reqs[i], PXP_FAIL_ABORTED, ST_ABORTED);
            return ST_OK;
        }
    }
    if (!n->ini)
        return ST_READ_FILE;
    try {
        inifile_t *ini = n->ini.get();
        bool changed = false;
        for (int i = 0; i < count; ++i) {
            pxp_request_t &r = reqs[i];
            if (!*r.address) {
                fail(r, PXP_FAIL_INVALID, ST_NO_ADDRESS);
                continue;
            }
            if (clock_request(n, r, changed))
                continue;
            std::string key = *r.flag ? std::string(r.item) + ":" + r.flag : std::string(r.item);
            if (r.op == PXP_READ) {
                if (!inifile_has_key(ini, r.address, key.c_str())) {
                    fail(r, PXP_FAIL_UNKNOWN_SETPOINT, ST_UNKNOWN_SETPOINT);
                    continue;
                }
                double v = 0;
                if (!parse_number(inifile_read_string(ini, r.address, key.c_str(), ""), v)) {
                    fail(r, PXP_FAIL_DRIVER, ST_NOT_A_NUMBER);
                    continue;
                }
                r.fvalue = v;
                r.ivalue = static_cast<int64_t>(std::llround(std::clamp(v, -9.2e18, 9.2e18)));
                r.result = PXP_OK;
            } else {
                std::string text = r.kind == PXP_INTEGER ? std::to_string(r.ivalue) : shortest(r.fvalue);
                inifile_write_string(ini, r.address, key.c_str(), text.c_str());
                changed = true;
                r.result = PXP_OK;
            }
        }
        if (changed) {
            uxerror_t *err = nullptr;
            if (inifile_save(ini, n->path.c_str(), &err) != 0) {
                log(n, " ! Database network: cannot save " + n->path + ": " + (err ? uxerror_message(err) : "?"));
                uxerror_free(err);
                // The writes are not on disk: say so for each of them.
                for (int i = 0; i < count; ++i)
                    if (reqs[i].op == PXP_WRITE && reqs[i].result == PXP_OK)
                        fail(reqs[i], PXP_FAIL_IO, ST_SAVE_FILE);
            }
        }
    } catch (...) {
        return ST_NO_MEMORY;
    }
    return ST_OK;
}

const char *db_status_text(int status)
{
    return status >= 0 && status < ST_COUNT ? kStatus[status] : "unknown status";
}

const pxp_param_t kParams[] = {
    {"filename", PXP_PARAM_TEXT},
    {"delay", PXP_PARAM_INTEGER},
};

const pxp_type_t kDbType = {
    "db",
    "Database",
    kParams,
    2,
    db_create,
    db_destroy,
    db_get_text,
    db_get_integer,
    db_set_text,
    db_set_integer,
    db_start,
    db_stop,
    db_perform,
    db_abort,
    db_status_text,
    nullptr, // no link to make: the file is read at start
};

const pxp_type_t *const kTypes[] = {&kDbType};

const pxp_plugin_t kPlugin = {PXP_ABI_VERSION, "db", 1, kTypes};

} // namespace

extern "C" PXP_EXPORT const pxp_plugin_t *plexord_plugin_describe(void)
{
    return &kPlugin;
}
