// Secrets the core must recover to log in elsewhere (a "plexor" network's
// password): kept in the configuration file encrypted, under a key of their
// own in a file beside it that only the server's user can read.
#pragma once

#include <string>

#include "plexord_plugin.h"

namespace plexord::secrets {

// The key file in the configuration folder.
inline constexpr const char *kKeyFile = "secret.key";

// True when the type's parameter of that key is a secret.
bool is_secret(const pxp_type_t *type, const std::string &key);

// The text as the configuration file keeps it; the key file is made on
// first need. False, with the reason, when the key cannot be made or read.
bool seal(const std::string &config_dir, const std::string &plain, std::string &sealed, std::string &why);

// True when the text has the form seal gives (it may still not decrypt).
bool is_sealed(const std::string &text);

// What seal was given; false, with the reason, when the value does not
// decrypt (edited, cut, made under another key, or no key at all).
bool unseal(const std::string &config_dir, const std::string &sealed, std::string &plain, std::string &why);

} // namespace plexord::secrets
