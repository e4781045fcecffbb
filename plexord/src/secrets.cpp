#include "secrets.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include <sodium.h>

#include "basekit.h"

namespace fs = std::filesystem;

namespace plexord::secrets {

namespace {

// A sealed value: this prefix, then base64 of nonce, tag and cipher text.
constexpr const char *kPrefix = "secretbox:";
constexpr unsigned kKeyMode = 0600;

using IniPtr = std::unique_ptr<inifile_t, void (*)(inifile_t *)>;
using Key = std::vector<unsigned char>;

std::string key_path(const std::string &config_dir)
{
    return (fs::path(config_dir) / kKeyFile).string();
}

std::string take_error(uxerror_t *err, const char *fallback)
{
    std::string what = err ? uxerror_message(err) : fallback;
    uxerror_free(err);
    return what;
}

// The key of the folder: 0 when read, 1 when there is no key file, -1 when
// the file is there but unusable (never replaced: what it sealed would be
// lost for good).
int read_key(const std::string &path, Key &key, std::string &why)
{
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec) {
        why = "no key file " + path;
        return 1;
    }
    IniPtr ini(inifile_new(), inifile_delete);
    uxerror_t *err = nullptr;
    if (!ini || inifile_open(ini.get(), path.c_str(), &err) != 0) {
        why = "cannot read " + path + ": " + take_error(err, "out of memory");
        return -1;
    }
    const char *text = inifile_read_string(ini.get(), "secret", "key", "");
    key.assign(crypto_secretbox_KEYBYTES, 0);
    std::size_t len = 0;
    if (sodium_base642bin(key.data(), key.size(), text, std::strlen(text), nullptr, &len, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        len != crypto_secretbox_KEYBYTES) {
        sodium_memzero(key.data(), key.size());
        why = path + " holds no valid key";
        return -1;
    }
    return 0;
}

bool make_key(const std::string &path, Key &key, std::string &why)
{
    key.assign(crypto_secretbox_KEYBYTES, 0);
    crypto_secretbox_keygen(key.data());
    std::string text(sodium_base64_ENCODED_LEN(crypto_secretbox_KEYBYTES, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), key.data(), key.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    IniPtr ini(inifile_new(), inifile_delete);
    if (!ini) {
        why = "out of memory";
        return false;
    }
    inifile_write_string(ini.get(), "secret", "key", text.c_str());
    sodium_memzero(text.data(), text.size());
    // Written whole under a temporary name and renamed: a crash leaves no
    // half key behind.
    uxerror_t *err = nullptr;
    if (inifile_save_mode(ini.get(), path.c_str(), kKeyMode, &err) != 0) {
        why = "cannot write " + path + ": " + take_error(err, "write failed");
        return false;
    }
    return true;
}

} // namespace

bool is_secret(const pxp_type_t *type, const std::string &key)
{
    if (!type)
        return false;
    for (int i = 0; i < type->param_count; ++i)
        if (type->params[i].key && key == type->params[i].key)
            return type->params[i].kind == PXP_PARAM_SECRET;
    return false;
}

bool seal(const std::string &config_dir, const std::string &plain, std::string &sealed, std::string &why)
{
    if (plain.empty()) {
        sealed.clear(); // nothing to hide, and no key needed
        return true;
    }
    if (sodium_init() < 0) {
        why = "libsodium cannot start";
        return false;
    }
    const std::string path = key_path(config_dir);
    Key key;
    const int got = read_key(path, key, why);
    if (got < 0 || (got == 1 && !make_key(path, key, why)))
        return false;

    std::vector<unsigned char> box(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + plain.size());
    randombytes_buf(box.data(), crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(box.data() + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char *>(plain.data()), plain.size(), box.data(),
                          key.data());
    sodium_memzero(key.data(), key.size());
    std::string text(sodium_base64_ENCODED_LEN(box.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), box.data(), box.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    sealed = kPrefix + text;
    return true;
}

bool is_sealed(const std::string &text)
{
    return text.compare(0, std::strlen(kPrefix), kPrefix) == 0;
}

bool unseal(const std::string &config_dir, const std::string &sealed_in, std::string &plain, std::string &why)
{
    const std::string sealed = sealed_in; // plain may be the same string
    plain.clear();
    if (sealed.empty())
        return true;
    const std::size_t prefix = std::strlen(kPrefix);
    if (sealed.compare(0, prefix, kPrefix) != 0) {
        why = "not an encrypted value";
        return false;
    }
    if (sodium_init() < 0) {
        why = "libsodium cannot start";
        return false;
    }
    std::vector<unsigned char> box(sealed.size());
    std::size_t len = 0;
    if (sodium_base642bin(box.data(), box.size(), sealed.c_str() + prefix, sealed.size() - prefix, nullptr, &len,
                          nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        len < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES) {
        why = "not an encrypted value";
        return false;
    }
    Key key;
    if (read_key(key_path(config_dir), key, why) != 0)
        return false;
    std::string out(len - crypto_secretbox_NONCEBYTES - crypto_secretbox_MACBYTES, '\0');
    const int rc = crypto_secretbox_open_easy(reinterpret_cast<unsigned char *>(out.data()),
                                              box.data() + crypto_secretbox_NONCEBYTES,
                                              len - crypto_secretbox_NONCEBYTES, box.data(), key.data());
    sodium_memzero(key.data(), key.size());
    if (rc != 0) {
        why = "it does not decrypt with the key in " + key_path(config_dir);
        return false;
    }
    plain = std::move(out);
    return true;
}

} // namespace plexord::secrets
