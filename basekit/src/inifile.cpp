// INI files: "[section]" headers, "key=value" lines, whole-line comments
// starting with ';' or '#'. Order of sections and keys and the comments are
// kept; a comment belongs to the line that follows it, comments at the end
// of the file are kept as trailing comments.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"

namespace {

constexpr size_t kMaxName = 255;
constexpr char kBom[] = "\xEF\xBB\xBF";

struct Key {
    std::string name;
    std::string value;
    std::vector<std::string> comments;
};

struct Section {
    std::string name;
    std::vector<std::string> comments;
    // unique_ptr keeps the texts handed out by read_string and the name
    // getters in place while other keys come and go.
    std::vector<std::unique_ptr<Key>> keys;
    std::unordered_map<std::string, size_t> index; // folded name -> position in keys
};

struct Data {
    bool case_sensitive = false;
    std::vector<std::unique_ptr<Section>> sections; // section "" is always first
    std::unordered_map<std::string, size_t> index;  // folded name -> position in sections
    std::vector<std::string> trailing;              // comments after the last line
};

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

// Trimmed and cut to kMaxName bytes, backing off so that no UTF-8 sequence
// is split.
std::string normalise_name(std::string_view s)
{
    s = trim(s);
    if (s.size() > kMaxName) {
        auto cont = [&](size_t i) { return (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80; };
        // s[kMaxName] is the first byte left out: when it continues a
        // sequence, cut before that sequence's lead byte instead.
        size_t cut = kMaxName;
        size_t lead = cut;
        while (lead > cut - 3 && cont(lead))
            --lead;
        if (lead < cut && static_cast<unsigned char>(s[lead]) >= 0xC0)
            cut = lead;
        s = trim(s.substr(0, cut));
    }
    return std::string(s);
}

std::string fold(const Data &d, std::string_view name)
{
    std::string f(name);
    if (!d.case_sensitive)
        for (char &c : f)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
    return f;
}

// A key the file syntax can hold: a line starting with ';', '#' or '['
// would not read back as a key, nor would one with '=' or a line break.
bool valid_key(const std::string &k)
{
    return !k.empty() && k.front() != ';' && k.front() != '#' && k.front() != '[' &&
           k.find_first_of("=\n") == std::string::npos;
}

bool valid_section(const std::string &s)
{
    return s.find('\n') == std::string::npos;
}

Section *find_section(const Data &d, const char *name)
{
    if (!name)
        return nullptr;
    auto it = d.index.find(fold(d, normalise_name(name)));
    return it == d.index.end() ? nullptr : d.sections[it->second].get();
}

Key *find_key(const Data &d, const Section &s, const char *name)
{
    if (!name)
        return nullptr;
    auto it = s.index.find(fold(d, normalise_name(name)));
    return it == s.index.end() ? nullptr : s.keys[it->second].get();
}

Key *find_key(const Data &d, const char *section, const char *key)
{
    const Section *s = find_section(d, section);
    return s ? find_key(d, *s, key) : nullptr;
}

void reindex_sections(Data &d)
{
    d.index.clear();
    for (size_t i = 0; i < d.sections.size(); ++i)
        d.index[fold(d, d.sections[i]->name)] = i;
}

// The section of that (normalised) name, created at the end (at the front
// for "") when absent.
Section &get_section(Data &d, const std::string &name)
{
    std::string f = fold(d, name);
    auto it = d.index.find(f);
    if (it != d.index.end())
        return *d.sections[it->second];
    auto s = std::make_unique<Section>();
    s->name = name;
    Section &ref = *s;
    if (name.empty()) {
        d.sections.insert(d.sections.begin(), std::move(s));
        reindex_sections(d);
    } else {
        d.sections.push_back(std::move(s));
        d.index.emplace(std::move(f), d.sections.size() - 1);
    }
    return ref;
}

// Adds a key, or for a name already present takes the new value and adds
// the comments to the existing key: the later line wins, as when reading.
void put_key(const Data &d, Section &s, std::unique_ptr<Key> k)
{
    std::string f = fold(d, k->name);
    auto it = s.index.find(f);
    if (it != s.index.end()) {
        Key &old = *s.keys[it->second];
        old.value = std::move(k->value);
        old.comments.insert(old.comments.end(), std::make_move_iterator(k->comments.begin()),
                            std::make_move_iterator(k->comments.end()));
        return;
    }
    s.keys.push_back(std::move(k));
    s.index.emplace(std::move(f), s.keys.size() - 1);
}

// Moves every section and key into a new structure under the new case rule,
// merging names that now compare equal.
void rebuild(Data &d, bool case_sensitive)
{
    Data n;
    n.case_sensitive = case_sensitive;
    n.trailing = std::move(d.trailing);
    for (auto &sec : d.sections) {
        Section &t = get_section(n, sec->name);
        t.comments.insert(t.comments.end(), std::make_move_iterator(sec->comments.begin()),
                          std::make_move_iterator(sec->comments.end()));
        for (auto &k : sec->keys)
            put_key(n, t, std::move(k));
    }
    d = std::move(n);
}

void set_value(Data &d, const char *section, const char *key, std::string value)
{
    if (!section || !key)
        return;
    std::string sname = normalise_name(section);
    std::string kname = normalise_name(key);
    if (!valid_section(sname) || !valid_key(kname))
        return;
    // Stored as a read of the saved file would give it back.
    std::replace(value.begin(), value.end(), '\n', ' ');
    value = std::string(trim(value));
    auto k = std::make_unique<Key>();
    k->name = std::move(kname);
    k->value = std::move(value);
    put_key(d, get_section(d, sname), std::move(k));
}

bool parse(std::string_view text, bool case_sensitive, const std::string &source, Data &out, uxerror_t **err)
{
    Data d;
    d.case_sensitive = case_sensitive;
    if (text.substr(0, 3) == kBom)
        text.remove_prefix(3);

    std::vector<std::string> pending;
    Section *current = nullptr;
    size_t lineno = 0;
    auto fail = [&](const char *what) {
        basekit::set_error(err, source + ":" + std::to_string(lineno), what);
        return false;
    };

    while (!text.empty()) {
        ++lineno;
        size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (raw.find('\0') != std::string_view::npos)
            return fail("NUL byte in line");
        std::string_view line = trim(raw);
        if (line.empty())
            continue;
        if (line.front() == ';' || line.front() == '#') {
            pending.emplace_back(line);
            continue;
        }
        if (line.front() == '[') {
            if (line.size() < 2 || line.back() != ']')
                return fail("section header without closing ']'");
            current = &get_section(d, normalise_name(line.substr(1, line.size() - 2)));
            current->comments.insert(current->comments.end(), std::make_move_iterator(pending.begin()),
                                     std::make_move_iterator(pending.end()));
            pending.clear();
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return fail("expected '[section]', 'key=value' or a comment");
        auto k = std::make_unique<Key>();
        k->name = normalise_name(line.substr(0, eq));
        if (k->name.empty())
            return fail("empty key");
        k->value = std::string(trim(line.substr(eq + 1)));
        k->comments = std::move(pending);
        pending.clear();
        if (!current)
            current = &get_section(d, "");
        put_key(d, *current, std::move(k));
    }
    d.trailing = std::move(pending);
    out = std::move(d);
    return true;
}

std::string serialise(const Data &d)
{
    std::string out;
    auto comments = [&](const std::vector<std::string> &c) {
        for (const auto &line : c)
            out.append(line).push_back('\n');
    };
    for (const auto &s : d.sections) {
        if (!out.empty())
            out.push_back('\n');
        comments(s->comments);
        // Keys of "" stand before any header; the header "[]" is written
        // only where the section would not otherwise read back as itself.
        if (!s->name.empty() || s->keys.empty() || !s->comments.empty())
            out.append("[").append(s->name).append("]\n");
        for (const auto &k : s->keys) {
            comments(k->comments);
            out.append(k->name).append("=").append(k->value).push_back('\n');
        }
    }
    if (!d.trailing.empty() && !out.empty())
        out.push_back('\n');
    comments(d.trailing);
    // A first key that itself begins with the BOM bytes would lose them to
    // the reader's BOM check: give the reader one to strip.
    if (out.compare(0, 3, kBom) == 0)
        out.insert(0, kBom);
    return out;
}

bool read_file(const std::string &path, std::string &out, uxerror_t **err)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        basekit::set_system_error(err, path, errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        basekit::set_system_error(err, path, EISDIR);
        return false;
    }
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            basekit::set_system_error(err, path, e);
            return false;
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    out = std::move(data);
    return true;
}

bool write_all(int fd, const std::string &text)
{
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Writes beside the target and renames over it, so that a failed or
// interrupted save leaves the old file whole. mode < 0: a new file as the
// umask gives it, an existing one keeps its permissions; else exactly mode.
bool save_atomic(const std::string &path, const std::string &text, int mode, uxerror_t **err)
{
    if (path.empty()) {
        basekit::set_system_error(err, path, ENOENT);
        return false;
    }
    std::string target = path;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Replace the file the link points to, not the link.
        if (char *real = realpath(path.c_str(), nullptr)) {
            target = real;
            free(real);
        }
    }
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) {
        basekit::set_system_error(err, path, EISDIR);
        return false;
    }
    if (base.size() > 200)
        base.resize(200);

    ux_remove_stale_temporaries((dir + "/." + base + ".tmp").c_str());
    static std::atomic<unsigned> counter{0};
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        auto ticks = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
        tmp = dir + "/." + base + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
              std::to_string(ticks % 100000);
        // Never more than mode, not even for the moment before the fchmod.
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode < 0 ? 0666 : mode & 0777);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        basekit::set_system_error(err, path, errno);
        return false;
    }
    auto fail = [&](int e) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(tmp.c_str());
        basekit::set_system_error(err, path, e);
        return false;
    };
    if (mode >= 0) {
        if (fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0)
            return fail(errno); // the file must not end up more open than asked
    } else if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        (void)fchmod(fd, st.st_mode & 07777); // keep the old file's permissions
    }
    if (!write_all(fd, text) || fsync(fd) != 0)
        return fail(errno);
    int rc = ::close(fd);
    fd = -1;
    if (rc != 0)
        return fail(errno);
    if (::rename(tmp.c_str(), target.c_str()) != 0)
        return fail(errno);
    // Make the rename itself durable; the data is already safe if this fails.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool parse_long(std::string_view v, long &out)
{
    v = trim(v);
    bool neg = false;
    if (!v.empty() && (v.front() == '+' || v.front() == '-')) {
        neg = v.front() == '-';
        v.remove_prefix(1);
    }
    int base = 10;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    unsigned long mag = 0;
    auto r = std::from_chars(v.data(), v.data() + v.size(), mag, base);
    if (r.ec != std::errc())
        return false;
    constexpr auto lmax = static_cast<unsigned long>(LONG_MAX);
    if (neg) {
        if (mag > lmax + 1)
            return false;
        out = mag == 0 ? 0 : -static_cast<long>(mag - 1) - 1;
    } else {
        if (mag > lmax)
            return false;
        out = static_cast<long>(mag);
    }
    return true;
}

bool parse_double(std::string_view v, double &out)
{
    v = trim(v);
    if (v.size() > 1 && v[0] == '+' && v[1] != '-')
        v.remove_prefix(1);
    double d = 0;
    auto r = std::from_chars(v.data(), v.data() + v.size(), d, std::chars_format::general);
    if (r.ec != std::errc())
        return false;
    out = d;
    return true;
}

template <typename R, typename F> R guarded(R fallback, F &&f) noexcept
{
    try {
        return f();
    } catch (...) {
        return fallback;
    }
}

// Hands a failure's record to the caller, making one when the failure was
// an exception that left none.
int finish(int rc, uxerror_t *record, const std::string &region, uxerror_t **err)
{
    if (rc == 0) {
        uxerror_free(record);
        return 0;
    }
    if (!record)
        basekit::set_system_error(&record, region, ENOMEM);
    if (err)
        *err = record;
    else
        uxerror_free(record);
    return rc;
}

} // namespace

struct inifile {
    Data d;
};

namespace {

int save_with_mode(inifile_t *h, const char *path, int mode, uxerror_t **err)
{
    if (!h || !path) {
        basekit::set_system_error(err, path ? path : "", EINVAL);
        return -1;
    }
    uxerror_t *record = nullptr;
    bool ok = guarded<bool>(false, [&] { return save_atomic(path, serialise(h->d), mode, &record); });
    return finish(ok ? 0 : -1, record, path, err);
}

} // namespace

extern "C" {

inifile_t *inifile_new(void)
{
    return guarded<inifile_t *>(nullptr, [] { return new inifile; });
}

void inifile_delete(inifile_t *h)
{
    delete h;
}

void inifile_clear(inifile_t *h)
{
    if (!h)
        return;
    Data fresh;
    fresh.case_sensitive = h->d.case_sensitive;
    h->d = std::move(fresh);
}

void inifile_set_case_sensitive(inifile_t *h, int flag)
{
    if (!h || h->d.case_sensitive == (flag != 0))
        return;
    guarded<int>(0, [&] {
        rebuild(h->d, flag != 0);
        return 0;
    });
}

int inifile_open_buffer(inifile_t *h, const char *data, size_t size, const char *name, uxerror_t **err)
{
    std::string source = name ? name : "";
    if (!h || (!data && size > 0)) {
        basekit::set_system_error(err, source, EINVAL);
        return -1;
    }
    uxerror_t *record = nullptr;
    int rc = guarded<int>(-1, [&] {
        Data d;
        if (!parse(std::string_view(data ? data : "", size), h->d.case_sensitive, source, d, &record))
            return -1;
        h->d = std::move(d);
        return 0;
    });
    return finish(rc, record, source, err);
}

int inifile_open(inifile_t *h, const char *path, uxerror_t **err)
{
    if (!h || !path) {
        basekit::set_system_error(err, path ? path : "", EINVAL);
        return -1;
    }
    uxerror_t *record = nullptr;
    int rc = guarded<int>(-1, [&] {
        std::string text;
        if (!read_file(path, text, &record))
            return -1;
        return inifile_open_buffer(h, text.data(), text.size(), path, &record);
    });
    return finish(rc, record, path, err);
}

char *inifile_save_buffer(const inifile_t *h, size_t *size)
{
    if (!h)
        return nullptr;
    return guarded<char *>(nullptr, [&]() -> char * {
        std::string text = serialise(h->d);
        char *out = static_cast<char *>(malloc(text.size() + 1));
        if (!out)
            return nullptr;
        memcpy(out, text.c_str(), text.size() + 1);
        if (size)
            *size = text.size();
        return out;
    });
}

int inifile_save(inifile_t *h, const char *path, uxerror_t **err)
{
    return save_with_mode(h, path, -1, err);
}

int inifile_save_mode(inifile_t *h, const char *path, unsigned mode, uxerror_t **err)
{
    return save_with_mode(h, path, static_cast<int>(mode & 07777), err);
}

int ux_file_copy_atomic(const char *from, const char *to, unsigned mode, uxerror_t **err)
{
    if (!from || !to) {
        basekit::set_system_error(err, to ? to : "", EINVAL);
        return -1;
    }
    uxerror_t *record = nullptr;
    int rc = guarded<int>(-1, [&] {
        std::string text;
        if (!read_file(from, text, &record))
            return -1;
        return save_atomic(to, text, static_cast<int>(mode & 07777), &record) ? 0 : -1;
    });
    return finish(rc, record, to, err);
}

long inifile_read_long(const inifile_t *h, const char *section, const char *key, long def)
{
    if (!h)
        return def;
    return guarded<long>(def, [&] {
        const Key *k = find_key(h->d, section, key);
        long v = def;
        return k && parse_long(k->value, v) ? v : def;
    });
}

double inifile_read_float(const inifile_t *h, const char *section, const char *key, double def)
{
    if (!h)
        return def;
    return guarded<double>(def, [&] {
        const Key *k = find_key(h->d, section, key);
        double v = def;
        return k && parse_double(k->value, v) ? v : def;
    });
}

const char *inifile_read_string(const inifile_t *h, const char *section, const char *key, const char *def)
{
    if (!h)
        return def;
    return guarded<const char *>(def, [&] {
        const Key *k = find_key(h->d, section, key);
        return k ? k->value.c_str() : def;
    });
}

void inifile_write_long(inifile_t *h, const char *section, const char *key, long value)
{
    if (!h)
        return;
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    guarded<int>(0, [&] {
        set_value(h->d, section, key, std::string(buf, r.ptr));
        return 0;
    });
}

void inifile_write_float(inifile_t *h, const char *section, const char *key, double value)
{
    if (!h)
        return;
    // Shortest text that reads back to the same double, in no locale.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    guarded<int>(0, [&] {
        set_value(h->d, section, key, std::string(buf, r.ptr));
        return 0;
    });
}

void inifile_write_string(inifile_t *h, const char *section, const char *key, const char *value)
{
    if (!h)
        return;
    guarded<int>(0, [&] {
        set_value(h->d, section, key, value ? value : "");
        return 0;
    });
}

int inifile_has_section(const inifile_t *h, const char *section)
{
    return h ? guarded<int>(0, [&] { return find_section(h->d, section) ? 1 : 0; }) : 0;
}

int inifile_has_key(const inifile_t *h, const char *section, const char *key)
{
    return h ? guarded<int>(0, [&] { return find_key(h->d, section, key) ? 1 : 0; }) : 0;
}

int inifile_remove_key(inifile_t *h, const char *section, const char *key)
{
    if (!h || !key)
        return 0;
    return guarded<int>(0, [&] {
        Section *s = find_section(h->d, section);
        if (!s)
            return 0;
        auto it = s->index.find(fold(h->d, normalise_name(key)));
        if (it == s->index.end())
            return 0;
        size_t pos = it->second;
        s->index.erase(it);
        s->keys.erase(s->keys.begin() + static_cast<std::ptrdiff_t>(pos));
        for (auto &e : s->index)
            if (e.second > pos)
                --e.second;
        return 1;
    });
}

int inifile_remove_section(inifile_t *h, const char *section)
{
    if (!h || !section)
        return 0;
    return guarded<int>(0, [&] {
        auto it = h->d.index.find(fold(h->d, normalise_name(section)));
        if (it == h->d.index.end())
            return 0;
        size_t pos = it->second;
        h->d.index.erase(it);
        h->d.sections.erase(h->d.sections.begin() + static_cast<std::ptrdiff_t>(pos));
        for (auto &e : h->d.index)
            if (e.second > pos)
                --e.second;
        return 1;
    });
}

int inifile_rename_section(inifile_t *h, const char *old_name, const char *new_name)
{
    if (!h || !old_name || !new_name)
        return 0;
    return guarded<int>(0, [&] {
        Data &d = h->d;
        std::string to = normalise_name(new_name);
        if (!valid_section(to))
            return 0;
        auto from = d.index.find(fold(d, normalise_name(old_name)));
        if (from == d.index.end())
            return 0;
        size_t pos = from->second;
        auto clash = d.index.find(fold(d, to));
        // The same section under another spelling may be renamed.
        if (clash != d.index.end() && clash->second != pos)
            return 0;
        d.sections[pos]->name = to;
        if (to.empty() && pos != 0)
            std::rotate(d.sections.begin(), d.sections.begin() + static_cast<std::ptrdiff_t>(pos),
                        d.sections.begin() + static_cast<std::ptrdiff_t>(pos) + 1);
        reindex_sections(d);
        return 1;
    });
}

int inifile_copy_section(const inifile_t *h, const char *section, inifile_t *other)
{
    if (!h || !other)
        return 0;
    return guarded<int>(0, [&] {
        const Section *src = find_section(h->d, section);
        if (!src)
            return 0;
        if (other == h)
            return 1;
        Section &dst = get_section(other->d, src->name);
        dst.name = src->name;
        dst.comments = src->comments;
        dst.keys.clear();
        dst.index.clear();
        for (const auto &k : src->keys)
            put_key(other->d, dst, std::make_unique<Key>(*k));
        return 1;
    });
}

int inifile_register_section(inifile_t *h, const char *section)
{
    if (!h || !section)
        return 0;
    return guarded<int>(0, [&] {
        std::string name = normalise_name(section);
        if (!valid_section(name))
            return 0;
        get_section(h->d, name);
        return 1;
    });
}

int inifile_get_section_count(const inifile_t *h)
{
    return h ? static_cast<int>(h->d.sections.size()) : 0;
}

const char *inifile_get_section_by_index(const inifile_t *h, int i)
{
    if (!h || i < 0 || static_cast<size_t>(i) >= h->d.sections.size())
        return nullptr;
    return h->d.sections[static_cast<size_t>(i)]->name.c_str();
}

int inifile_get_key_count(const inifile_t *h, const char *section)
{
    if (!h)
        return 0;
    return guarded<int>(0, [&] {
        const Section *s = find_section(h->d, section);
        return s ? static_cast<int>(s->keys.size()) : 0;
    });
}

const char *inifile_get_key_by_index(const inifile_t *h, const char *section, int i)
{
    if (!h || i < 0)
        return nullptr;
    return guarded<const char *>(nullptr, [&]() -> const char * {
        const Section *s = find_section(h->d, section);
        if (!s || static_cast<size_t>(i) >= s->keys.size())
            return nullptr;
        return s->keys[static_cast<size_t>(i)]->name.c_str();
    });
}

} // extern "C"
