// Argon2id through libsodium.
#include <sodium.h>

#include "production/engineer_password.h"

namespace velkan::production {

namespace {

// The prefix of the strings crypto_pwhash_str makes with Argon2id.
constexpr std::string_view kArgon2idPrefix = "$argon2id$";
// crypto_pwhash_str makes its strings with the default algorithm.
static_assert(crypto_pwhash_ALG_DEFAULT == crypto_pwhash_ALG_ARGON2ID13);

}  // namespace

bool PasswordHashingAvailable() {
  return sodium_init() >= 0;
}

bool HashEngineerPassword(std::string_view password, std::string& hash, std::string& error) {
  if (sodium_init() < 0) {
    error = "libsodium cannot be started";
    return false;
  }
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    error = "the password could not be hashed (out of memory)";
    return false;
  }
  hash.assign(out);
  sodium_memzero(out, sizeof out);
  return true;
}

bool EngineerPasswordMatches(std::string_view password, const std::string& hash) {
  if (sodium_init() < 0) return false;
  if (hash.size() >= crypto_pwhash_STRBYTES ||
      std::string_view(hash).substr(0, kArgon2idPrefix.size()) != kArgon2idPrefix) {
    return false;
  }
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

}  // namespace velkan::production
