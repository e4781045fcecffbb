#include "slcom.h"

#include "core.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include <poll.h>
#include <unistd.h>

namespace {

namespace rules = buslink::sl;
using Clock = std::chrono::steady_clock;

// How often a flush looks for the answer.
constexpr int poll_step_ms = 100;

std::string exchange_file(const slcom *s, const char *stem)
{
    return s->folder + stem + std::to_string(s->network) + ".sl2";
}

void clean_up(const slcom *s)
{
    if (s->folder.empty())
        return;
    for (const char *stem : {"net", "netflag", "lcc", "lccflag", "nettmp"})
        ::unlink(exchange_file(s, stem).c_str());
}

void discard(slcom *s)
{
    s->pending.clear();
    s->sent.clear();
    s->answered.clear();
}

int fail(slcom *s, int status)
{
    discard(s);
    clean_up(s);
    return status;
}

// The temporary file renamed into place, so that the program never reads
// it half written.
int publish(const std::string &tmp, const std::string &final_name)
{
    if (::rename(tmp.c_str(), final_name.c_str()) != 0) {
        buslink_eprintf("slcom: rename failed: %s\n", std::strerror(errno));
        ::unlink(tmp.c_str());
        return SLCOM_E_RENAME;
    }
    return SLCOM_SUCCESS;
}

int send_batch(slcom *s)
{
    if (s->folder.empty())
        return SLCOM_E_OPEN;
    const std::string tmp = exchange_file(s, "nettmp");
    FILE *f = std::fopen(tmp.c_str(), "we");
    if (!f)
        return SLCOM_E_OPEN;
    buslink_oprintf("slcom_send_request:\n");
    int count = 0;
    bool written = true;
    while (!s->pending.empty() && count < SLCOM_BATCH_SIZE) {
        s->sent.splice(s->sent.end(), s->pending, s->pending.begin());
        const rules::Request &r = s->sent.back();
        const std::string line = rules::request_line(r.name, r.department, r.number, r.kind, r.value);
        written = written && std::fwrite(line.data(), 1, line.size(), f) == line.size();
        buslink_oprintf("  %s", line.c_str());
        ++count;
    }
    buslink_oprintf("  %d requests sent\n", count);
    // A full disk must not hand the program a cut request file.
    if (std::fclose(f) != 0 || !written) {
        ::unlink(tmp.c_str());
        return SLCOM_E_OPEN;
    }
    if (int st = publish(tmp, exchange_file(s, "net")))
        return st;
    f = std::fopen(tmp.c_str(), "we");
    if (!f || std::fclose(f) != 0)
        return SLCOM_E_OPEN;
    return publish(tmp, exchange_file(s, "netflag"));
}

int collect(slcom *s)
{
    if (::access(exchange_file(s, "lccflag").c_str(), F_OK) != 0)
        return SLCOM_NOT_READY;
    FILE *f = std::fopen(exchange_file(s, "lcc").c_str(), "rbe");
    if (!f)
        return errno == ENOENT ? SLCOM_E_NO_RESULT : SLCOM_E_OPEN;
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() <= rules::max_result_file)
        text.append(buffer, n);
    const bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad)
        return SLCOM_E_OPEN;
    if (text.size() > rules::max_result_file)
        return SLCOM_E_ILLEGAL_RESPONSE;

    s->answered.splice(s->answered.end(), s->sent);
    for (const rules::ResultLine &line : rules::parse_results(text)) {
        if (!line.has_value)
            continue;
        for (rules::Request &r : s->answered) {
            if (r.number != line.number || r.department != line.department || r.name != line.name)
                continue;
            if (line.value_ok) {
                r.value = line.value;
                r.status = SLCOM_SUCCESS;
            } else {
                r.status = SLCOM_E_ILLEGAL_RESPONSE;
            }
        }
    }
    return SLCOM_SUCCESS;
}

// Waits one polling step, never past the deadline. False when the time is
// used up or slcom_abort cut the wait.
bool wait_step(const slcom *s, Clock::time_point deadline)
{
    if (s->wakeup.fired())
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return false;
    pollfd p{s->wakeup.fd(), POLLIN, 0};
    const int step = left < poll_step_ms ? static_cast<int>(left) : poll_step_ms;
    while (::poll(&p, 1, step) < 0 && errno == EINTR) {
    }
    return !s->wakeup.fired();
}

int queue(slcom *s, const char *name, int number, char department, rules::Kind kind, double value)
{
    if (!s)
        return SLCOM_E_BAD_REQUEST;
    if (!name || rules::check_request(name, department) != SLCOM_SUCCESS)
        return SLCOM_E_BAD_REQUEST;
    try {
        s->pending.push_back(rules::Request{name, number, department, kind, value});
    } catch (const std::bad_alloc &) {
        return SLCOM_E_BAD_REQUEST;
    }
    return SLCOM_SUCCESS;
}

const rules::Request *find(const slcom *s, const char *name, int number, char department)
{
    if (!s || !name)
        return nullptr;
    for (const rules::Request &r : s->answered)
        if (r.number == number && r.department == department && r.name == name)
            return &r;
    return nullptr;
}

} // namespace

BUSLINK_API slcom_t *slcom_new(void)
{
    auto *s = new (std::nothrow) slcom;
    if (s && !s->wakeup.valid()) {
        delete s;
        return nullptr;
    }
    return s;
}

BUSLINK_API slcom_t *slcom_new_with_values(const char *folder, int network)
{
    slcom_t *s = slcom_new();
    if (s)
        slcom_set_values(s, folder, network);
    return s;
}

BUSLINK_API void slcom_delete(slcom_t *sl)
{
    delete sl;
}

BUSLINK_API void slcom_set_values(slcom_t *sl, const char *folder, int network)
{
    if (!sl)
        return;
    try {
        sl->folder = folder ? folder : "";
        if (!sl->folder.empty() && sl->folder.back() != '/' && sl->folder.back() != '\\')
            sl->folder += '/';
    } catch (const std::bad_alloc &) {
        sl->folder.clear();
    }
    sl->network = network;
}

BUSLINK_API const char *slcom_get_compath(const slcom_t *sl)
{
    return sl ? sl->folder.c_str() : "";
}

BUSLINK_API int slcom_get_flag(const slcom_t *sl)
{
    return sl ? sl->network : 0;
}

BUSLINK_API void slcom_set_timeout(slcom_t *sl, int seconds)
{
    if (!sl)
        return;
    if (seconds < 0)
        seconds = 0;
    sl->timeout_ms = seconds > INT_MAX / 1000 ? INT_MAX / 1000 * 1000 : seconds * 1000;
}

BUSLINK_API int slcom_get_timeout(const slcom_t *sl)
{
    return sl ? sl->timeout_ms / 1000 : 0;
}

BUSLINK_API int slcom_write(slcom_t *sl, const char *name, int number, char department, double value)
{
    return queue(sl, name, number, department, rules::Kind::write, value);
}

BUSLINK_API int slcom_request(slcom_t *sl, const char *name, int number, char department)
{
    return queue(sl, name, number, department, rules::Kind::read, 0);
}

BUSLINK_API int slcom_flush(slcom_t *sl)
{
    if (!sl)
        return SLCOM_E_OPEN;
    if (sl->wakeup.fired())
        return fail(sl, SLCOM_E_NO_RESPONSE);
    const auto deadline = Clock::now() + std::chrono::milliseconds(sl->timeout_ms);
    // Files of an exchange given up are stale; those of requests still
    // outstanding (sent by slcom_ready) are what their answer needs.
    if (sl->sent.empty())
        clean_up(sl);
    for (;;) {
        if (!sl->sent.empty()) {
            const int st = collect(sl);
            if (st == SLCOM_NOT_READY) {
                if (!wait_step(sl, deadline))
                    return fail(sl, SLCOM_E_NO_RESPONSE);
                continue;
            }
            if (st != SLCOM_SUCCESS)
                return fail(sl, st);
            clean_up(sl);
        }
        if (sl->pending.empty()) {
            clean_up(sl);
            return SLCOM_SUCCESS;
        }
        if (int st = send_batch(sl))
            return fail(sl, st);
        if (!wait_step(sl, deadline))
            return fail(sl, SLCOM_E_NO_RESPONSE);
    }
}

BUSLINK_API int slcom_flush_async(slcom_t *sl)
{
    if (!sl)
        return SLCOM_E_OPEN;
    clean_up(sl);
    // Their request file is gone: they go out again, first.
    sl->pending.splice(sl->pending.begin(), sl->sent);
    return slcom_ready(sl);
}

BUSLINK_API int slcom_ready(slcom_t *sl)
{
    if (!sl)
        return SLCOM_E_OPEN;
    if (sl->wakeup.fired())
        return fail(sl, SLCOM_E_NO_RESPONSE);
    if (!sl->sent.empty()) {
        const int st = collect(sl);
        if (st == SLCOM_NOT_READY)
            return st;
        if (st != SLCOM_SUCCESS)
            return fail(sl, st);
        clean_up(sl);
    }
    if (!sl->pending.empty()) {
        if (int st = send_batch(sl))
            return fail(sl, st);
        return SLCOM_NOT_READY;
    }
    clean_up(sl);
    return SLCOM_SUCCESS;
}

BUSLINK_API int slcom_result(slcom_t *sl, const char *name, int number, char department, double *value)
{
    const rules::Request *r = find(sl, name, number, department);
    if (!r)
        return SLCOM_E_NOT_IN_LIST;
    if (r->status == SLCOM_SUCCESS && value)
        *value = r->value;
    return r->status;
}

BUSLINK_API int slcom_result_int(slcom_t *sl, const char *name, int number, char department, int *value)
{
    const rules::Request *r = find(sl, name, number, department);
    if (!r)
        return SLCOM_E_NOT_IN_LIST;
    if (r->status != SLCOM_SUCCESS)
        return r->status;
    int rounded = 0;
    if (!rules::round_result(r->value, &rounded))
        return SLCOM_E_ILLEGAL_RESPONSE;
    if (value)
        *value = rounded;
    return SLCOM_SUCCESS;
}

BUSLINK_API void slcom_reset(slcom_t *sl)
{
    if (sl)
        discard(sl);
}

BUSLINK_API void slcom_abort(slcom_t *sl)
{
    if (sl)
        sl->wakeup.fire();
}

BUSLINK_API void slcom_clear_abort(slcom_t *sl)
{
    if (sl)
        sl->wakeup.clear();
}

BUSLINK_API const char *slcom_error_string(int code)
{
    static const char *const texts[] = {
        "Success",
        "No response",
        "Failed to open file",
        "Failed to rename flag file",
        "Not in request list",
        "Request not handled",
        "Illegal response from SL",
        "Not ready",
        "Missing result file",
        "Illegal setpoint name or department",
    };
    if (code < 0 || code >= static_cast<int>(sizeof texts / sizeof texts[0]))
        return "Unhandled error";
    return texts[code];
}
