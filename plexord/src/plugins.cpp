// Loading the network plug-ins of the plug-in folder.
#include <algorithm>
#include <filesystem>

#include <dlfcn.h>

#include "core.h"

namespace fs = std::filesystem;

namespace plexord {

PluginRegistry::~PluginRegistry()
{
    unload();
}

void PluginRegistry::load_folder(const std::string &dir)
{
    if (dir.empty()) {
        log_line(" ! No plug-in folder given; no network types are available");
        return;
    }
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".so" && !it->is_directory())
            files.push_back(it->path());
    if (ec) {
        log_line(" ! Cannot read plug-in folder " + dir + ": " + ec.message());
        return;
    }
    std::sort(files.begin(), files.end()); // a stable load order between runs

    for (const auto &f : files) {
        std::string file = f.string();
        void *h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            const char *e = dlerror();
            log_line(" ! Failed to load plug-in " + file + ": " + (e ? e : "unknown error"));
            continue;
        }
        auto describe = reinterpret_cast<pxp_describe_fn>(dlsym(h, PXP_ENTRY_POINT));
        const pxp_plugin_t *desc = describe ? describe() : nullptr;
        if (!desc || desc->abi_version != PXP_ABI_VERSION || desc->type_count < 0 ||
            (desc->type_count > 0 && !desc->types)) {
            log_line(" ! " + file + " is not a plug-in of this server (no " PXP_ENTRY_POINT " of ABI version " +
                     std::to_string(PXP_ABI_VERSION) + ")");
            dlclose(h);
            continue;
        }
        std::unique_lock lk(m_);
        int index = static_cast<int>(libs_.size()) + 1;
        std::string name = desc->name ? desc->name : f.stem().string();
        libs_.push_back(Lib{h, name, desc});
        std::string keys;
        for (int i = 0; i < desc->type_count; ++i) {
            const pxp_type_t *t = desc->types[i];
            if (!t || !t->key || !t->create || !t->destroy || !t->get_text || !t->get_integer || !t->set_text ||
                !t->set_integer || !t->start || !t->stop || !t->perform || !t->status_text ||
                (t->param_count > 0 && !t->params)) {
                lk.unlock();
                log_line(" ! Plug-in " + name + ": incomplete network type table skipped");
                lk.lock();
                continue;
            }
            std::string key = t->key;
            bool dup = std::any_of(types_.begin(), types_.end(), [&](const auto &x) { return x->key == key; });
            if (dup) {
                lk.unlock();
                log_line(" ! Plug-in " + name + ": network type \"" + key + "\" is already provided; skipped");
                lk.lock();
                continue;
            }
            types_.push_back(std::make_unique<NetworkType>(NetworkType{t, index, key, t->label ? t->label : key}));
            keys += (keys.empty() ? "" : ", ") + key;
        }
        lk.unlock();
        log_line(" * Loaded plug-in " + f.filename().string() + " (" + (keys.empty() ? "no types" : keys) + ")");
    }
}

const NetworkType *PluginRegistry::find(const std::string &key) const
{
    std::shared_lock lk(m_);
    for (const auto &t : types_)
        if (t->key == key)
            return t.get();
    return nullptr;
}

std::string PluginRegistry::status_text(int plugin, int status) const
{
    std::shared_lock lk(m_);
    // Any type of the plug-in will do: they share the plug-in's status table.
    for (const auto &t : types_)
        if (t->plugin == plugin) {
            const char *s = t->ops->status_text(status);
            return s ? s : "status";
        }
    return "status";
}

std::string PluginRegistry::plugin_name(int plugin) const
{
    std::shared_lock lk(m_);
    if (plugin >= 1 && static_cast<size_t>(plugin) <= libs_.size())
        return libs_[static_cast<size_t>(plugin) - 1].name;
    return "plug-in " + std::to_string(plugin);
}

void PluginRegistry::unload()
{
    std::unique_lock lk(m_);
    types_.clear();
    for (auto &l : libs_)
        dlclose(l.handle);
    libs_.clear();
}

} // namespace plexord

using namespace plexord;

extern "C" {

PLEXORD_API int plexord_has_network_type(const char *type_key)
{
    Core *c = core();
    if (!c || !type_key)
        return 0;
    try {
        return c->plugins.find(type_key) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

PLEXORD_API int plexord_get_network_type_count(void)
{
    Core *c = core();
    return c ? static_cast<int>(c->plugins.count()) : 0;
}

PLEXORD_API const char *plexord_get_network_type_key(int i)
{
    Core *c = core();
    const NetworkType *t = c && i >= 0 ? c->plugins.at(static_cast<size_t>(i)) : nullptr;
    return t ? t->key.c_str() : nullptr;
}

PLEXORD_API const char *plexord_get_network_type_label(int i)
{
    Core *c = core();
    const NetworkType *t = c && i >= 0 ? c->plugins.at(static_cast<size_t>(i)) : nullptr;
    return t ? t->label.c_str() : nullptr;
}

} // extern "C"
