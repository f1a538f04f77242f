// The engineer's password that guards leaving operator mode. It is kept
// only as a salted hash from a memory-hard function (Argon2id through
// libsodium's crypto_pwhash_str, interactive limits): the stored string
// ("$argon2id$v=19$m=...,t=...,p=...$salt$hash") holds the parameters and
// the salt, never the password. Built without libsodium, nothing hashes
// and nothing matches.
#pragma once

#include <string>
#include <string_view>

namespace velkan::production {

inline constexpr const char* kPasswordHashingAbsent =
    "password hashing is not available in this build (built without libsodium)";

bool PasswordHashingAvailable();

// A new hash string of `password` (a fresh salt each time); false with
// `error`.
bool HashEngineerPassword(std::string_view password, std::string& hash, std::string& error);

// Whether `password` is the one `hash` was made of. A hash string that is
// not one of this kind matches nothing.
bool EngineerPasswordMatches(std::string_view password, const std::string& hash);

}  // namespace velkan::production
