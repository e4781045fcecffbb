// Setpoint documentation (CSV) and the hardware types of the data folder.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core.h"

namespace fs = std::filesystem;

namespace plexord {

namespace {

constexpr uintmax_t kMaxDocBytes = 16u << 20;

// One field starting at s[pos]: quoted with "" escapes, or up to the next
// comma. An unterminated quote takes the rest of the line.
std::string read_field(std::string_view s, size_t &pos, bool rest_of_line)
{
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
        ++pos;
    std::string out;
    if (pos < s.size() && s[pos] == '"') {
        ++pos;
        while (pos < s.size()) {
            if (s[pos] == '"') {
                if (pos + 1 < s.size() && s[pos + 1] == '"') {
                    out.push_back('"');
                    pos += 2;
                    continue;
                }
                ++pos;
                break;
            }
            out.push_back(s[pos++]);
        }
        size_t comma = s.find(',', pos);
        pos = comma == std::string_view::npos ? s.size() : comma + 1;
        return out;
    }
    size_t end = rest_of_line ? s.size() : s.find(',', pos);
    if (end == std::string_view::npos)
        end = s.size();
    out = trim(s.substr(pos, end - pos));
    pos = end < s.size() ? end + 1 : s.size();
    return out;
}

} // namespace

std::vector<DocEntry> parse_doc(std::string_view text)
{
    std::vector<DocEntry> out;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        // Texts are C strings: whatever follows a NUL cannot be shown.
        line = line.substr(0, line.find('\0'));
        std::string t = trim(line);
        if (t.empty() || t.front() == '#')
            continue;
        size_t pos = 0;
        std::string_view lv = t;
        DocEntry e;
        e.item = read_field(lv, pos, false);
        // An unquoted description keeps its commas: it is the rest of the line.
        e.description = read_field(lv, pos, true);
        if (!e.item.empty())
            out.push_back(std::move(e));
    }
    return out;
}

} // namespace plexord

using namespace plexord;

void plexord_doc::assign(std::vector<DocEntry> e)
{
    entries = std::move(e);
    exact.clear();
    folded.clear();
    for (size_t i = 0; i < entries.size(); ++i) {
        exact.emplace(entries[i].item, i);
        folded.emplace(lower(entries[i].item), i);
    }
}

const char *plexord_doc::best(const char *item) const
{
    auto look = [&](const std::string &key) -> const char * {
        auto it = exact.find(key);
        if (it != exact.end())
            return entries[it->second].description.c_str();
        auto f = folded.find(lower(key));
        return f != folded.end() ? entries[f->second].description.c_str() : nullptr;
    };
    std::string key = item;
    if (const char *d = look(key))
        return d;
    size_t colon = key.find(':');
    if (colon != std::string::npos)
        return look(key.substr(0, colon));
    return nullptr;
}

namespace plexord {

doc_t *DocStore::load(const std::string &path, bool &ok_out, int &err)
{
    std::string text;
    ok_out = false;
    err = 0;
    std::error_code ec;
    // Only plain files of a sane size: a path naming a device or a pipe
    // must not hang the server.
    if (!fs::is_regular_file(path, ec) || fs::file_size(path, ec) > kMaxDocBytes || ec) {
        err = ec ? ec.value() : EINVAL;
    } else {
        std::ifstream f(path, std::ios::binary);
        if (f) {
            std::ostringstream ss;
            ss << f.rdbuf();
            if (!f.bad()) {
                text = ss.str();
                ok_out = true;
            }
        }
        if (!ok_out)
            err = errno ? errno : ENOENT;
    }
    std::vector<DocEntry> entries;
    if (ok_out)
        entries = parse_doc(text);
    std::lock_guard lk(m_);
    auto &slot = docs_[path];
    if (!slot) {
        slot = std::make_unique<plexord_doc>();
        slot->stored = true;
    }
    std::unique_lock dl(slot->m);
    slot->assign(std::move(entries));
    return slot.get();
}

void DocStore::clear()
{
    std::lock_guard lk(m_);
    docs_.clear();
}

void HardwareRegistry::load(const std::string &data_dir, DocStore &docs)
{
    list_.clear();
    if (data_dir.empty())
        return;
    fs::path dir = fs::path(data_dir) / "hardware";
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".ini")
            files.push_back(it->path());
    if (ec) {
        log_line(" ! No hardware types: cannot read " + dir.string() + ": " + ec.message());
        return;
    }
    std::sort(files.begin(), files.end());
    std::unique_ptr<inifile_t, void (*)(inifile_t *)> ini(inifile_new(), inifile_delete);
    if (!ini)
        return;
    for (const auto &f : files) {
        uxerror_t *err = nullptr;
        inifile_clear(ini.get());
        if (inifile_open(ini.get(), f.string().c_str(), &err) != 0) {
            std::string where = err ? uxerror_region(err) : f.string();
            std::string what = err ? uxerror_message(err) : "cannot read";
            uxerror_free(err);
            log_line(" ! Hardware type " + where + ": " + what);
            continue;
        }
        auto hw = std::make_unique<plexord_hwinfo>();
        hw->name = trim(inifile_read_string(ini.get(), "hardware", "name", ""));
        if (hw->name.empty()) {
            log_line(" ! Hardware type " + f.string() + ": no name in [hardware]");
            continue;
        }
        if (find(hw->name)) {
            log_line(" ! Hardware type " + f.string() + ": \"" + hw->name + "\" is defined twice");
            continue;
        }
        hw->icon = trim(inifile_read_string(ini.get(), "hardware", "icon", ""));
        std::string backup = trim(inifile_read_string(ini.get(), "hardware", "backup", ""));
        std::string doc = trim(inifile_read_string(ini.get(), "hardware", "doc", ""));
        if (!backup.empty())
            hw->backup_path = (fs::path(data_dir) / backup).lexically_normal().string();
        if (!doc.empty()) {
            hw->doc_path = (fs::path(data_dir) / doc).lexically_normal().string();
            bool ok = false;
            int e = 0;
            hw->doc = docs.load(hw->doc_path, ok, e);
            if (!ok)
                log_line(" ! Hardware type \"" + hw->name + "\": cannot read documentation " + hw->doc_path);
        }
        list_.push_back(std::move(hw));
    }
    std::sort(list_.begin(), list_.end(), [](const auto &a, const auto &b) { return lower(a->name) < lower(b->name); });
}

hwinfo_t *HardwareRegistry::find(const std::string &name) const
{
    for (const auto &h : list_)
        if (iequals(h->name, name))
            return h.get();
    return nullptr;
}

} // namespace plexord

extern "C" {

PLEXORD_API hwiter_t *hardwaremgr_get_iter_all(void)
{
    return new (std::nothrow) plexord_hwiter;
}

PLEXORD_API hwinfo_t *hardwaremgr_iter_get(hwiter_t *iter)
{
    Core *c = core();
    return c && iter ? c->hardware.at(iter->pos) : nullptr;
}

PLEXORD_API int hardwaremgr_iter_next(hwiter_t *iter)
{
    Core *c = core();
    if (!c || !iter || iter->pos >= c->hardware.count())
        return 0;
    ++iter->pos;
    return iter->pos < c->hardware.count() ? 1 : 0;
}

PLEXORD_API void hardwaremgr_iter_free(hwiter_t *iter)
{
    delete iter;
}

PLEXORD_API hwinfo_t *hardwaremgr_find(const char *name)
{
    Core *c = core();
    if (!c || !name)
        return nullptr;
    try {
        return c->hardware.find(name);
    } catch (...) {
        return nullptr;
    }
}

PLEXORD_API int hardwaremgr_get_count(void)
{
    Core *c = core();
    return c ? static_cast<int>(c->hardware.count()) : 0;
}

PLEXORD_API const char *hwinfo_get_name(hwinfo_t *hw)
{
    return hw ? hw->name.c_str() : "";
}

PLEXORD_API const char *hwinfo_get_icon_path(hwinfo_t *hw)
{
    return hw && !hw->icon.empty() ? hw->icon.c_str() : nullptr;
}

PLEXORD_API const char *hwinfo_get_backup_path(hwinfo_t *hw)
{
    return hw && !hw->backup_path.empty() ? hw->backup_path.c_str() : nullptr;
}

PLEXORD_API const char *hwinfo_get_doc_path(hwinfo_t *hw)
{
    return hw && !hw->doc_path.empty() ? hw->doc_path.c_str() : nullptr;
}

PLEXORD_API doc_t *hwinfo_get_doc(hwinfo_t *hw)
{
    return hw ? hw->doc : nullptr;
}

PLEXORD_API void doc_lock(doc_t *doc)
{
    if (doc)
        doc->m.lock_shared();
}

PLEXORD_API void doc_unlock(doc_t *doc)
{
    if (doc)
        doc->m.unlock_shared();
}

PLEXORD_API const char *doc_get_best_description(doc_t *doc, const char *item)
{
    if (!doc || !item)
        return nullptr;
    try {
        return doc->best(item);
    } catch (...) {
        return nullptr;
    }
}

PLEXORD_API int doc_get_count(doc_t *doc)
{
    return doc ? static_cast<int>(doc->entries.size()) : 0;
}

PLEXORD_API const char *doc_get_item(doc_t *doc, int i)
{
    if (!doc || i < 0 || static_cast<size_t>(i) >= doc->entries.size())
        return nullptr;
    return doc->entries[static_cast<size_t>(i)].item.c_str();
}

PLEXORD_API const char *doc_get_description(doc_t *doc, int i)
{
    if (!doc || i < 0 || static_cast<size_t>(i) >= doc->entries.size())
        return nullptr;
    return doc->entries[static_cast<size_t>(i)].description.c_str();
}

PLEXORD_API doc_t *doc_parse(const char *text, size_t length)
{
    if (!text && length)
        return nullptr;
    try {
        auto d = std::make_unique<plexord_doc>();
        d->assign(parse_doc(std::string_view(text ? text : "", length)));
        return d.release();
    } catch (...) {
        return nullptr;
    }
}

PLEXORD_API void doc_delete(doc_t *doc)
{
    if (doc && !doc->stored)
        delete doc;
}

} // extern "C"
