// Users that remote clients log in as.
#include <cstring>

#include <sodium.h>

#include "core.h"

namespace plexord {

std::string hash_password(const std::string &clear, bool fast)
{
    char out[crypto_pwhash_STRBYTES];
    unsigned long long ops = fast ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
    size_t mem = fast ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
    if (crypto_pwhash_str(out, clear.data(), clear.size(), ops, mem) != 0)
        return {};
    return out;
}

bool is_password_hash(const std::string &text)
{
    auto starts = [&](const char *prefix) { return text.rfind(prefix, 0) == 0; };
    if (!starts(crypto_pwhash_STRPREFIX) && !starts(crypto_pwhash_argon2id_STRPREFIX) &&
        !starts(crypto_pwhash_argon2i_STRPREFIX))
        return false;
    // libsodium reads a whole buffer of STRBYTES, and no hash is longer.
    char buf[crypto_pwhash_STRBYTES] = {};
    if (text.size() >= sizeof buf)
        return false;
    text.copy(buf, text.size());
    // -1: not a hash it can read; 0 or 1 (other parameters) are hashes.
    return crypto_pwhash_str_needs_rehash(buf, crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != -1;
}

user_t *UserManager::create(uint16_t want_id)
{
    std::lock_guard lk(m_);
    uint16_t id = take_id_locked(want_id);
    if (id == 0)
        return nullptr;
    auto u = std::make_unique<plexord_user>();
    u->id = id;
    return keep_locked(std::move(u));
}

ncerr_t UserManager::add(user_t *u)
{
    if (!u)
        return fail(NCERR_INVALID);
    {
        std::lock_guard lk(m_);
        if (u->in_manager || active_.count(u->id))
            return fail(NCERR_INVALID);
        active_[u->id] = u;
        u->in_manager = true;
    }
    touch();
    return ok();
}

ncerr_t UserManager::remove(uint16_t id)
{
    {
        std::lock_guard lk(m_);
        auto it = active_.find(id);
        if (it == active_.end())
            return fail(NCERR_INVALID);
        it->second->in_manager = false;
        active_.erase(it);
    }
    touch();
    return ok();
}

user_t *UserManager::fetch(uint16_t id, int mode, int wait_ms)
{
    user_t *u = get(id);
    if (!u)
        return nullptr;
    if (!(mode == 1 ? u->lock.lock_for(wait_ms) : u->lock.lock_shared_for(wait_ms)))
        return nullptr;
    std::lock_guard lk(m_);
    if (!u->in_manager) {
        u->lock.release();
        return nullptr;
    }
    return u;
}

void UserManager::drop(user_t *u)
{
    if (u)
        u->lock.release(); // refused when this thread holds none
}

} // namespace plexord

using namespace plexord;

namespace {

UserManager *mgr()
{
    Core *c = core();
    return c ? &c->users : nullptr;
}

using Calls = ManagerCalls<&mgr>;

ncerr_t set_field(user_t *u, std::string plexord_user::*field, const char *value)
{
    if (!u)
        return fail(NCERR_INVALID);
    try {
        std::string v = nz(value);
        std::lock_guard lk(u->data);
        if (u->*field != v) {
            u->*field = std::move(v);
            if (u->in_manager)
                touch();
        }
    } catch (...) {
        return fail(NCERR_INVALID);
    }
    return ok();
}

} // namespace

extern "C" {

PLEXORD_API user_t *user_new(void)
{
    return Calls::create();
}

PLEXORD_API ncerr_t usermanager_add_user(user_t *user)
{
    return Calls::add(user);
}

PLEXORD_API ncerr_t usermanager_remove_user(uint16_t id)
{
    return Calls::remove(id);
}

PLEXORD_API int usermanager_get_user_count(void)
{
    return Calls::count();
}

PLEXORD_API user_t *usermanager_fetch_user(uint16_t id, int mode)
{
    return Calls::fetch(id, mode, kFetchWaitMs);
}

PLEXORD_API void usermanager_drop_user(user_t *user)
{
    Calls::drop(user);
}

PLEXORD_API void usermanager_iterate_start(void)
{
    Calls::iterate_start();
}

PLEXORD_API uint16_t usermanager_iterate_get_next(void)
{
    return Calls::iterate_next();
}

PLEXORD_API void usermanager_iterate_end(void)
{
    Calls::iterate_end();
}

PLEXORD_API uint16_t user_get_id(user_t *user)
{
    return user ? user->id : 0;
}

PLEXORD_API const char *user_get_name(user_t *user)
{
    return user ? user->name.c_str() : "";
}

PLEXORD_API const char *user_get_password(user_t *user)
{
    return user ? user->password.c_str() : "";
}

PLEXORD_API const char *user_get_read_access(user_t *user)
{
    return user ? user->read.c_str() : "";
}

PLEXORD_API const char *user_get_write_access(user_t *user)
{
    return user ? user->write.c_str() : "";
}

PLEXORD_API ncerr_t user_set_name(user_t *user, const char *name)
{
    return set_field(user, &plexord_user::name, name);
}

PLEXORD_API ncerr_t user_set_password(user_t *user, const char *password)
{
    Core *c = core();
    if (!user || !c)
        return fail(user ? NCERR_STATE : NCERR_INVALID);
    std::string pw = nz(password);
    {
        std::lock_guard lk(user->data);
        // The edit dialog hands back the stored hash when the operator left
        // the password alone.
        if (pw == user->password)
            return ok();
    }
    if (pw.empty())
        return set_field(user, &plexord_user::password, "");
    std::string h = hash_password(pw, c->flags & PLEXORD_INIT_FAST_HASH);
    if (h.empty()) {
        log_line(" ! Cannot hash the password of user \"" + std::string(user_get_name(user)) + "\"");
        return fail(NCERR_STATE);
    }
    return set_field(user, &plexord_user::password, h.c_str());
}

PLEXORD_API int user_check_password(user_t *user, const char *password)
{
    if (!user || !password)
        return 0;
    std::string stored;
    {
        std::lock_guard lk(user->data);
        stored = user->password;
    }
    if (stored.empty())
        return 0;
    return crypto_pwhash_str_verify(stored.c_str(), password, strlen(password)) == 0 ? 1 : 0;
}

PLEXORD_API ncerr_t user_set_read_access(user_t *user, const char *patterns)
{
    return set_field(user, &plexord_user::read, patterns);
}

PLEXORD_API ncerr_t user_set_write_access(user_t *user, const char *patterns)
{
    return set_field(user, &plexord_user::write, patterns);
}

PLEXORD_API int user_may_read(user_t *user, const char *device_name)
{
    if (!user || !device_name)
        return 0;
    std::lock_guard lk(user->data);
    return access_match(user->read, device_name) ? 1 : 0;
}

PLEXORD_API int user_may_write(user_t *user, const char *device_name)
{
    if (!user || !device_name)
        return 0;
    std::lock_guard lk(user->data);
    return access_match(user->write, device_name) ? 1 : 0;
}

} // extern "C"
