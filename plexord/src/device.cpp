// Devices and their manager.
#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>

#include "core.h"

namespace fs = std::filesystem;

plexord_dev::~plexord_dev()
{
    free(name);
    free(description);
    free(address);
    free(doc_path);
}

namespace plexord {

plexord_dev *DeviceManager::create(uint16_t network_id, uint16_t want_id)
{
    std::lock_guard lk(m_);
    uint16_t id = take_id_locked(want_id);
    if (id == 0)
        return nullptr;
    auto d = std::make_unique<plexord_dev>();
    d->network_id = network_id;
    d->id = id;
    d->name = strdup(("Device " + std::to_string(id)).c_str());
    d->description = nullptr;
    d->address = nullptr;
    d->hardware = nullptr;
    d->doc_path = nullptr;
    if (!d->name)
        return nullptr;
    return keep_locked(std::move(d));
}

ncerr_t DeviceManager::add(device_t *pub)
{
    auto *d = static_cast<plexord_dev *>(pub);
    if (!d)
        return fail(NCERR_INVALID);
    {
        std::lock_guard lk(m_);
        if (d->in_manager || d->removed)
            return fail(NCERR_INVALID);
        active_[d->id] = d;
        d->in_manager = true;
    }
    touch();
    post_simple(NCEVENT_DEVICE_ADDED, d->id, 0);
    return ok();
}

ncerr_t DeviceManager::remove(uint16_t id)
{
    {
        std::lock_guard lk(m_);
        auto it = active_.find(id);
        if (it == active_.end())
            return fail(NCERR_NO_DEVICE);
        // The record stays allocated for holders of a fetched handle.
        it->second->in_manager = false;
        it->second->removed = true;
        active_.erase(it);
    }
    touch();
    post_simple(NCEVENT_DEVICE_REMOVED, id, 0);
    return ok();
}

device_t *DeviceManager::fetch(uint16_t id, int mode, int wait_ms)
{
    plexord_dev *d = get(id);
    if (!d)
        return nullptr;
    bool got = mode == 1 ? d->lock.lock_for(wait_ms) : d->lock.lock_shared_for(wait_ms);
    if (!got)
        return nullptr;
    std::lock_guard lk(m_);
    if (d->removed) {
        d->lock.release();
        return nullptr;
    }
    return d;
}

void DeviceManager::drop(device_t *pub)
{
    auto *d = static_cast<plexord_dev *>(pub);
    if (!d || !d->lock.release())
        return; // not held by this thread: dropped twice
    bool in;
    {
        std::lock_guard lk(m_);
        in = d->in_manager;
    }
    if (d->changed.exchange(false) && in)
        post_simple(NCEVENT_DEVICE_CHANGED, d->id, 0);
}

void DeviceManager::changed(plexord_dev *d)
{
    bool in;
    {
        std::lock_guard lk(m_);
        in = d->in_manager;
    }
    if (!in)
        return;
    touch();
    if (d->lock.free())
        post_simple(NCEVENT_DEVICE_CHANGED, d->id, 0);
    else
        d->changed = true;
}

bool DeviceManager::info(uint16_t id, DeviceInfo &out)
{
    plexord_dev *d = get(id);
    if (!d)
        return false;
    std::lock_guard lk(d->data);
    out.network_id = d->network_id;
    out.name = nz(d->name);
    out.address = nz(d->address);
    out.doc_path.clear();
    if (d->doc_path && *d->doc_path) {
        fs::path p = d->doc_path;
        if (p.is_relative() && core())
            p = fs::path(core()->config_dir) / p;
        out.doc_path = p.lexically_normal().string();
    } else if (d->hardware) {
        out.doc_path = d->hardware->doc_path;
    }
    return true;
}

} // namespace plexord

using namespace plexord;

namespace {

DeviceManager *mgr()
{
    Core *c = core();
    return c ? &c->devices : nullptr;
}

using Calls = ManagerCalls<&mgr>;

plexord_dev *dev(device_t *d)
{
    return static_cast<plexord_dev *>(d);
}

// Applies a change under the record's lock and announces it.
template <typename F> ncerr_t modify(device_t *pub, F &&f)
{
    plexord_dev *d = dev(pub);
    if (!d)
        return fail(NCERR_INVALID);
    ncerr_t r = ok();
    try {
        std::lock_guard lk(d->data);
        r = f(*d);
    } catch (...) {
        return fail(NCERR_INVALID);
    }
    if (DeviceManager *m = mgr())
        m->changed(d);
    return r;
}

} // namespace

extern "C" {

PLEXORD_API device_t *device_new(uint16_t network_id)
{
    return Calls::create(network_id);
}

PLEXORD_API ncerr_t devicemgr_add_device(device_t *device)
{
    return Calls::add(device);
}

PLEXORD_API ncerr_t devicemgr_remove_device(uint16_t id)
{
    return Calls::remove(id);
}

PLEXORD_API int devicemgr_get_device_count(void)
{
    return Calls::count();
}

PLEXORD_API device_t *devicemgr_fetch_device(uint16_t id, int mode)
{
    return Calls::fetch(id, mode, kFetchWaitMs);
}

PLEXORD_API void devicemgr_drop_device(device_t *device)
{
    Calls::drop(device);
}

PLEXORD_API void devicemgr_iterate_start(void)
{
    Calls::iterate_start();
}

PLEXORD_API uint16_t devicemgr_iterate_get_next(void)
{
    return Calls::iterate_next();
}

PLEXORD_API void devicemgr_iterate_end(void)
{
    Calls::iterate_end();
}

PLEXORD_API const char *device_get_name(device_t *device)
{
    return device ? nz(device->name) : "";
}

PLEXORD_API const char *device_get_address(device_t *device)
{
    return device ? device->address : nullptr;
}

PLEXORD_API const char *device_get_description(device_t *device)
{
    return device ? device->description : nullptr;
}

PLEXORD_API hwinfo_t *device_get_hardware(device_t *device)
{
    return device ? device->hardware : nullptr;
}

PLEXORD_API ncerr_t device_set_name(device_t *device, const char *name)
{
    return modify(device, [&](plexord_dev &d) {
        set_cstr(d.name, nz(name));
        return ok();
    });
}

PLEXORD_API ncerr_t device_set_description(device_t *device, const char *text)
{
    return modify(device, [&](plexord_dev &d) {
        set_cstr(d.description, text && *text ? text : nullptr, true);
        return ok();
    });
}

PLEXORD_API ncerr_t device_set_address(device_t *device, const char *address)
{
    return modify(device, [&](plexord_dev &d) {
        set_cstr(d.address, address, true);
        d.cache.clear(); // values of another device
        return ok();
    });
}

PLEXORD_API ncerr_t device_set_hardware(device_t *device, const char *hardware_name)
{
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    hwinfo_t *hw = nullptr;
    if (hardware_name && *hardware_name) {
        hw = c->hardware.find(hardware_name);
        if (!hw) {
            log_line(std::string(" ! Unknown hardware type \"") + hardware_name + "\"");
            return fail(NCERR_INVALID);
        }
    }
    return modify(device, [&](plexord_dev &d) {
        d.hardware = hw;
        d.hw_missing.clear();
        return ok();
    });
}

PLEXORD_API ncerr_t device_load_documentation(device_t *device, const char *path)
{
    Core *c = core();
    if (!c)
        return fail(NCERR_STATE);
    if (!device)
        return fail(NCERR_INVALID);
    if (!path || !*path)
        return modify(device, [&](plexord_dev &d) {
            set_cstr(d.doc_path, nullptr, true);
            d.doc = nullptr;
            return ok();
        });
    try {
        std::string full = path;
        if (fs::path(full).is_relative())
            full = (fs::path(c->config_dir) / full).lexically_normal().string();
        bool loaded = false;
        int err = 0;
        doc_t *doc = c->docs.load(full, loaded, err);
        if (!loaded)
            log_line(" ! Cannot read documentation " + full);
        return modify(device, [&](plexord_dev &d) {
            set_cstr(d.doc_path, path, true);
            d.doc = doc;
            return loaded ? ok() : fail(NCERR_IO, err);
        });
    } catch (...) {
        return fail(NCERR_INVALID);
    }
}

PLEXORD_API doc_t *device_get_doc(device_t *device)
{
    plexord_dev *d = dev(device);
    if (!d)
        return nullptr;
    std::lock_guard lk(d->data);
    if (d->doc)
        return d->doc;
    return d->hardware ? d->hardware->doc : nullptr;
}

PLEXORD_API ncerr_t device_cache_enforce(device_t *device, int enforce, int64_t max_age_s)
{
    // Kept within what the clock arithmetic of the cache can hold.
    max_age_s = std::clamp<int64_t>(max_age_s, 0, 1000000000);
    return modify(device, [&](plexord_dev &d) {
        d.cache_enforced = enforce != 0;
        d.max_age = max_age_s;
        return ok();
    });
}

PLEXORD_API int device_cache_is_enforced(device_t *device)
{
    plexord_dev *d = dev(device);
    if (!d)
        return 0;
    std::lock_guard lk(d->data);
    return d->cache_enforced ? 1 : 0;
}

PLEXORD_API int device_get_max_cache_age(device_t *device)
{
    plexord_dev *d = dev(device);
    if (!d)
        return 0;
    std::lock_guard lk(d->data);
    return d->max_age > INT_MAX ? INT_MAX : static_cast<int>(d->max_age);
}

} // extern "C"
