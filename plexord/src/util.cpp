#include "util.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

namespace plexord {

bool RwLock::lock_shared_for(int ms)
{
    std::unique_lock lk(m_);
    if (!cv_.wait_until(lk, deadline_in(ms), [&] { return !writer_; }))
        return false;
    ++readers_;
    return true;
}

bool RwLock::lock_for(int ms)
{
    std::unique_lock lk(m_);
    if (!cv_.wait_until(lk, deadline_in(ms), [&] { return !writer_ && readers_ == 0; }))
        return false;
    writer_ = true;
    return true;
}

void RwLock::release()
{
    {
        std::lock_guard lk(m_);
        if (writer_)
            writer_ = false;
        else if (readers_ > 0)
            --readers_;
        else
            return;
    }
    cv_.notify_all();
}

bool RwLock::exclusive() const
{
    std::lock_guard lk(m_);
    return writer_;
}

bool RwLock::free() const
{
    std::lock_guard lk(m_);
    return !writer_ && readers_ == 0;
}

bool OwnedLock::note_hold()
{
    try {
        std::lock_guard lk(m_);
        auto me = std::this_thread::get_id();
        for (auto &[id, n] : holds_)
            if (id == me) {
                ++n;
                return true;
            }
        holds_.emplace_back(me, 1);
        return true;
    } catch (...) {
        lock_.release(); // a hold nobody knows of could never be dropped
        return false;
    }
}

bool OwnedLock::lock_shared_for(int ms)
{
    return lock_.lock_shared_for(ms) && note_hold();
}

bool OwnedLock::lock_for(int ms)
{
    return lock_.lock_for(ms) && note_hold();
}

bool OwnedLock::release()
{
    {
        std::lock_guard lk(m_);
        auto me = std::this_thread::get_id();
        auto it = std::find_if(holds_.begin(), holds_.end(), [&](const auto &h) { return h.first == me; });
        if (it == holds_.end())
            return false;
        if (--it->second == 0)
            holds_.erase(it);
    }
    // This thread's hold is the writer's when there is one: nobody else can
    // hold the lock beside an exclusive holder.
    lock_.release();
    return true;
}

bool OwnedLock::held() const
{
    std::lock_guard lk(m_);
    auto me = std::this_thread::get_id();
    return std::any_of(holds_.begin(), holds_.end(), [&](const auto &h) { return h.first == me; });
}

void set_cstr(char *&field, const char *s, bool allow_null)
{
    char *copy = nullptr;
    if (s || !allow_null) {
        copy = strdup(s ? s : "");
        if (!copy)
            return; // keep the old text rather than lose it
    }
    std::free(field);
    field = copy;
}

std::string trim(std::string_view s)
{
    auto sp = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && sp(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && sp(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

static char lc(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lc(a[i]) != lc(b[i]))
            return false;
    return true;
}

std::string lower(std::string_view s)
{
    std::string r(s);
    for (char &c : r)
        c = lc(c);
    return r;
}

// Both number kinds accept the same text: surrounding blanks and a leading
// '+' that from_chars would refuse.
template <typename T>
static bool parse_number(std::string_view s, T &out)
{
    std::string t = trim(s);
    std::string_view v = t;
    if (!v.empty() && v.front() == '+')
        v.remove_prefix(1);
    if (v.empty())
        return false;
    T r = 0;
    auto res = std::from_chars(v.data(), v.data() + v.size(), r);
    if (res.ec != std::errc() || res.ptr != v.data() + v.size())
        return false;
    out = r;
    return true;
}

bool parse_long(std::string_view s, long &out)
{
    return parse_number(s, out);
}

bool parse_double(std::string_view s, double &out)
{
    return parse_number(s, out);
}

std::string format_double(double v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

bool glob_match(std::string_view p, std::string_view t)
{
    // Iterative match with one back-tracking point: linear enough for the
    // short names and patterns of access texts.
    size_t pi = 0, ti = 0, star = std::string_view::npos, mark = 0;
    while (ti < t.size()) {
        if (pi < p.size() && (p[pi] == '?' || lc(p[pi]) == lc(t[ti]))) {
            ++pi;
            ++ti;
        } else if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = ti;
        } else if (star != std::string_view::npos) {
            pi = star + 1;
            ti = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*')
        ++pi;
    return pi == p.size();
}

bool access_match(std::string_view patterns, std::string_view name)
{
    while (true) {
        size_t comma = patterns.find(',');
        std::string one = trim(patterns.substr(0, comma));
        if (!one.empty() && glob_match(one, name))
            return true;
        if (comma == std::string_view::npos)
            return false;
        patterns.remove_prefix(comma + 1);
    }
}

} // namespace plexord
