// Lifecycle, folders and result texts.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_set>

#include <sodium.h>

#include "core.h"
#include "server.h"

namespace fs = std::filesystem;

namespace plexord {

namespace {
std::atomic<Core *> g_core{nullptr};
std::mutex g_lifecycle; // the lifecycle calls, against each other

std::string absolute_or_same(const std::string &p)
{
    if (p.empty())
        return p;
    std::error_code ec;
    fs::path a = fs::absolute(p, ec);
    return ec ? p : a.lexically_normal().string();
}

const char *class_text(int cls)
{
    switch (cls) {
    case NCERR_OK: return "Success";
    case NCERR_NO_DEVICE: return "No such device";
    case NCERR_NO_NETWORK: return "No such network";
    case NCERR_NOT_STARTED: return "Network not started";
    case NCERR_TIMEOUT: return "Time-out";
    case NCERR_UNKNOWN_SETPOINT: return "Unknown setpoint";
    case NCERR_ACCESS_DENIED: return "Access denied";
    case NCERR_INVALID: return "Invalid argument";
    case NCERR_DRIVER: return "Driver error";
    case NCERR_NOT_QUEUED: return "Setpoint was not requested";
    case NCERR_READ_ONLY: return "Setpoint is read-only";
    case NCERR_IO: return "File error";
    case NCERR_NO_TYPE: return "Network type not available";
    case NCERR_STATE: return "Server core not ready";
    case NCERR_BUSY: return "Object is busy";
    case NCERR_ABORTED: return "Request aborted";
    default: return nullptr;
    }
}
} // namespace

Core *core()
{
    return g_core.load(std::memory_order_acquire);
}

ncerr_t ok()
{
    return ncerr_t{NCERR_OK, 0};
}

ncerr_t fail(int cls, int detail, int plugin)
{
    return ncerr_t{cls | (plugin << 8), detail};
}

void touch()
{
    if (Core *c = core())
        c->dirty = true;
}

} // namespace plexord

using namespace plexord;

extern "C" {

PLEXORD_API scheduler_t *g_sched = nullptr;

PLEXORD_API ncerr_t ncerr_ok(void)
{
    return ok();
}

PLEXORD_API int ncerr_is_ok(ncerr_t r)
{
    return is_ok(r) ? 1 : 0;
}

PLEXORD_API const char *ncerr_get_string(ncerr_t r)
{
    // Texts are kept for the life of the process, so that callers may hold
    // them as long as they like; there are few distinct ones.
    static std::mutex m;
    static std::unordered_set<std::string> texts;
    try {
        int cls = r.code & 0xff;
        int plugin = (r.code >> 8) & 0xffffff;
        std::string s;
        if (const char *t = class_text(cls))
            s = t;
        else
            s = "Error " + std::to_string(r.code);
        if (cls == NCERR_OK && r.detail != 0)
            s = "Unexpected result";
        if (plugin) {
            std::string who = "plug-in " + std::to_string(plugin);
            std::string msg = "status";
            if (Core *c = core()) {
                who = c->plugins.plugin_name(plugin);
                msg = c->plugins.status_text(plugin, r.detail);
            }
            s += " (" + who + ": " + msg + ", code " + std::to_string(r.detail) + ")";
        } else if (cls == NCERR_IO && r.detail > 0) {
            s += std::string(" (") + strerror(r.detail) + ")";
        } else if (r.detail != 0) {
            s += " (code " + std::to_string(r.detail) + ")";
        }
        std::lock_guard lk(m);
        return texts.insert(std::move(s)).first->c_str();
    } catch (...) {
        return "Error";
    }
}

PLEXORD_API ncerr_t plexord_init(const char *config_dir, const char *data_dir, const char *plugin_dir,
                                 ncevent_callback_t callback, unsigned flags, void *reserved)
{
    (void)reserved;
    std::lock_guard lk(g_lifecycle);
    if (core())
        return fail(NCERR_STATE);
    try {
        if (sodium_init() < 0)
            return fail(NCERR_STATE);
        auto c = std::make_unique<Core>(callback);
        c->flags = flags;
        c->listen_held = (flags & PLEXORD_INIT_NO_LISTEN) != 0;
        c->data_dir = absolute_or_same(nz(data_dir));
        c->plugin_dir = absolute_or_same(nz(plugin_dir));
        std::string note;
        std::string cfg = nz(config_dir);
        if (cfg.empty()) {
            // The system-wide layout gives no configuration folder.
            const char *home = getenv("HOME");
            cfg = std::string(home && *home ? home : "/tmp") + "/.plexord";
            note = " * No configuration folder given, using " + cfg;
        }
        c->config_dir = absolute_or_same(cfg);
        std::error_code ec;
        fs::create_directories(c->config_dir, ec);
        c->config_path = (fs::path(c->config_dir) / "plexord.ini").string();
        c->events.start();
        Core *raw = c.release();
        g_core.store(raw, std::memory_order_release);
        g_sched = &raw->sched;
        if (!note.empty())
            log_line(note);
        if (ec)
            log_line(" ! Cannot create configuration folder " + raw->config_dir + ": " + ec.message());
        raw->hardware.load(raw->data_dir, raw->docs);
        return ok();
    } catch (...) {
        return fail(NCERR_STATE);
    }
}

PLEXORD_API ncerr_t plexord_load_plugins(void)
{
    std::lock_guard lk(g_lifecycle);
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    if (c->plugins_loaded)
        return ok();
    c->plugins_loaded = true;
    try {
        c->plugins.load_folder(c->plugin_dir);
    } catch (...) {
        return fail(NCERR_STATE);
    }
    return ok();
}

PLEXORD_API ncerr_t plexord_load_config(void)
{
    std::lock_guard lk(g_lifecycle);
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    if (c->config_loaded)
        return ok();
    c->config_loaded = true;
    try {
        ncerr_t r = load_config(*c);
        if (c->started) {
            c->networks.start_all();
            c->sched.start();
            mqtt_start(*c);
            c->scanner.start(c->networks.ids());
        }
        return r;
    } catch (...) {
        log_line(" ! Loading the configuration failed");
        return fail(NCERR_IO);
    }
}

PLEXORD_API ncerr_t plexord_start(void)
{
    std::lock_guard lk(g_lifecycle);
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    if (c->started)
        return ok();
    try {
        c->events.start();
        c->started = true;
        c->networks.start_all();
        c->sched.start();
        mqtt_start(*c);
        c->scanner.start(c->networks.ids());
        server_start(*c);
        log_line(" * Server core started");
    } catch (...) {
        return fail(NCERR_STATE);
    }
    return ok();
}

PLEXORD_API ncerr_t plexord_save_config(void)
{
    std::lock_guard lk(g_lifecycle);
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    try {
        return save_config(*c);
    } catch (...) {
        log_line(" ! Saving the configuration failed");
        return fail(NCERR_IO);
    }
}

PLEXORD_API ncerr_t plexord_stop(void)
{
    std::lock_guard lk(g_lifecycle);
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    try {
        if (c->started) {
            // The scheduler's and the clients' threads may be inside a
            // flush: cut it first.
            c->networks.signal_all();
            server_stop();
            c->sched.stop();
            c->scanner.stop();
            mqtt_stop(*c);
            c->networks.stop_all();
            c->started = false;
            log_line(" * Server core stopped");
        }
        c->events.stop();
    } catch (...) {
        return fail(NCERR_STATE);
    }
    return ok();
}

PLEXORD_API void plexord_finalize(void)
{
    std::lock_guard lk(g_lifecycle);
    Core *c = core();
    if (!c)
        return;
    try {
        c->networks.signal_all();
        server_stop();
        c->sched.stop();
        c->scanner.stop();
        mqtt_stop(*c);
        c->networks.stop_all();
        c->events.stop();
        // Objects first, then the plug-in code their networks run on.
        g_sched = nullptr;
        c->sched.clear();
        c->users.clear();
        c->devices.clear();
        c->networks.clear();
        c->plugins.unload();
        c->hardware.clear();
        c->docs.clear();
    } catch (...) {
    }
    g_core.store(nullptr, std::memory_order_release);
    delete c;
}

PLEXORD_API const char *plexord_get_config_dir_path(void)
{
    Core *c = core();
    return c ? c->config_dir.c_str() : "";
}

PLEXORD_API const char *plexord_get_data_path(void)
{
    Core *c = core();
    return c ? c->data_dir.c_str() : "";
}

PLEXORD_API const char *plexord_get_plugin_path(void)
{
    Core *c = core();
    return c ? c->plugin_dir.c_str() : "";
}

PLEXORD_API const char *plexord_get_config_path(void)
{
    Core *c = core();
    return c ? c->config_path.c_str() : "";
}

PLEXORD_API int plexord_config_is_dirty(void)
{
    Core *c = core();
    return c && c->dirty ? 1 : 0;
}

PLEXORD_API int plexord_is_started(void)
{
    Core *c = core();
    return c && c->started ? 1 : 0;
}

PLEXORD_API void plexord_allow_local_challenge(int allow)
{
    Core *c = core();
    if (!c)
        return;
    if (c->local_challenge.exchange(allow != 0) != (allow != 0))
        touch();
}

PLEXORD_API int plexord_local_challenge_is_allowed(void)
{
    Core *c = core();
    return c && c->local_challenge ? 1 : 0;
}

PLEXORD_API int clientmanager_get_client_count(void)
{
    Core *c = core();
    return c ? c->clients.load() : 0;
}

PLEXORD_API int plexord_access_match(const char *patterns, const char *name)
{
    if (!patterns || !name)
        return 0;
    try {
        return access_match(patterns, name) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

} // extern "C"
