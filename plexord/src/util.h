// Small shared pieces of the core: a timed reader-writer lock, text helpers
// and C-string ownership.
#ifndef PLEXORD_UTIL_H
#define PLEXORD_UTIL_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace plexord {

// The lock behind fetch and drop. Shared holders do not wait for a waiting
// writer, so that one thread may fetch the same object twice in mode 0.
class RwLock {
public:
    bool lock_shared_for(int ms);
    bool lock_for(int ms);
    // Releases what the caller holds: the exclusive lock when it is taken
    // (no shared holder can exist then), else one shared hold.
    void release();
    bool exclusive() const;
    bool free() const;

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    int readers_ = 0;
    bool writer_ = false;
};

// The lock of records that fetch hands out by pointer (devices, users,
// tasks): every fetch returns the same pointer, so only the thread tells one
// holder from another. A release from a thread that holds nothing, such as a
// handle dropped twice, is refused instead of freeing someone else's hold.
class OwnedLock {
public:
    bool lock_shared_for(int ms);
    bool lock_for(int ms);
    // Releases one hold of the calling thread; false when it has none.
    bool release();
    bool held() const; // by the calling thread
    bool exclusive() const { return lock_.exclusive(); }
    bool free() const { return lock_.free(); }

private:
    bool note_hold();
    RwLock lock_;
    mutable std::mutex m_;
    std::vector<std::pair<std::thread::id, int>> holds_; // thread, holds taken
};

// Replaces a malloc'd text with a copy of s (null stays null when allow_null).
void set_cstr(char *&field, const char *s, bool allow_null = false);
inline const char *nz(const char *s) { return s ? s : ""; }

std::string trim(std::string_view s);
bool iequals(std::string_view a, std::string_view b);
std::string lower(std::string_view s);
// Whole-text number parsing; false on anything else.
bool parse_long(std::string_view s, long &out);
bool parse_double(std::string_view s, double &out);
// Shortest text that reads back to the same double.
std::string format_double(double v);
// Case-insensitive glob match with '*' and '?'.
bool glob_match(std::string_view pattern, std::string_view text);
bool access_match(std::string_view patterns, std::string_view name);

inline std::chrono::steady_clock::time_point deadline_in(int ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
}

} // namespace plexord

#endif
