// Ed25519 through libsodium. The PEM files hold the DER forms OpenSSL uses
// for Ed25519 (RFC 8410): a fixed prefix and the 32-byte seed or public key.
#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "common/codepage.h"
#include "common/input_file.h"
#include "production/job_signing.h"

namespace velkan::production {

namespace {

constexpr std::uint8_t kPrivatePrefix[] = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                           0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};
constexpr std::uint8_t kPublicPrefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                          0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};

bool Ready(std::string& error) {
  if (sodium_init() < 0) {
    error = "libsodium cannot be started";
    return false;
  }
  return true;
}

bool ReadSmall(const std::string& path, std::string& text, std::string& error) {
  InputFileOptions options;
  options.limit = 64 * 1024;
  if (const InputFileError e = ReadInputFile(PathFromUtf8(path), options, text);
      e != InputFileError::kNone) {
    error = Printable(path) + ": " + InputFileErrorText(e, options);
    return false;
  }
  return true;
}

// The DER bytes of the PEM block labelled `label`; empty when there is none.
std::vector<std::uint8_t> PemBlock(const std::string& text, const std::string& label) {
  const std::string begin = "-----BEGIN " + label + "-----";
  const std::string end = "-----END " + label + "-----";
  const std::size_t b = text.find(begin);
  if (b == std::string::npos) return {};
  const std::size_t e = text.find(end, b);
  if (e == std::string::npos) return {};
  const std::string body = text.substr(b + begin.size(), e - b - begin.size());
  std::vector<std::uint8_t> der(body.size());
  std::size_t length = 0;
  if (sodium_base642bin(der.data(), der.size(), body.data(), body.size(), " \t\r\n", &length,
                        nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
    return {};
  }
  der.resize(length);
  return der;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), data, size);
  hex.pop_back();
  return hex;
}

bool FromHex(const std::string& hex, std::uint8_t* out, std::size_t size) {
  std::size_t length = 0;
  return hex.size() == size * 2 &&
         sodium_hex2bin(out, size, hex.data(), hex.size(), nullptr, &length, nullptr) == 0 &&
         length == size;
}

std::string Pem(const std::string& label, const std::uint8_t* prefix, std::size_t prefixSize,
                const std::uint8_t* key, std::size_t keySize) {
  std::vector<std::uint8_t> der(prefix, prefix + prefixSize);
  der.insert(der.end(), key, key + keySize);
  std::string base64(sodium_base64_ENCODED_LEN(der.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(base64.data(), base64.size(), der.data(), der.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  base64.resize(std::strlen(base64.c_str()));
  return "-----BEGIN " + label + "-----\n" + base64 + "\n-----END " + label + "-----\n";
}

bool WriteText(const std::string& path, const std::string& text, std::string& error) {
  std::ofstream out(PathFromUtf8(path), std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    error = Printable(path) + ": cannot be written";
    return false;
  }
  return true;
}

}  // namespace

bool SigningAvailable() {
  return true;
}

bool SignMessage(std::string_view message, const std::string& keyPath, std::string& publicKeyHex,
                 std::string& signatureHex, std::string& error) {
  if (!Ready(error)) return false;
  std::string text;
  if (!ReadSmall(keyPath, text, error)) return false;
  const std::vector<std::uint8_t> der = PemBlock(text, "PRIVATE KEY");
  if (der.size() != sizeof kPrivatePrefix + crypto_sign_SEEDBYTES ||
      std::memcmp(der.data(), kPrivatePrefix, sizeof kPrivatePrefix) != 0) {
    error = Printable(keyPath) +
            ": not an Ed25519 private key (PEM, as openssl genpkey "
            "-algorithm ed25519 writes it)";
    return false;
  }
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> sk{};
  crypto_sign_seed_keypair(pk.data(), sk.data(), der.data() + sizeof kPrivatePrefix);
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  crypto_sign_detached(signature.data(), nullptr,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                       sk.data());
  sodium_memzero(sk.data(), sk.size());
  publicKeyHex = Hex(pk.data(), pk.size());
  signatureHex = Hex(signature.data(), signature.size());
  return true;
}

bool VerifyMessage(std::string_view message, const std::string& publicKeyHex,
                   const std::string& signatureHex, std::string& error) {
  if (!Ready(error)) return false;
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  if (!FromHex(publicKeyHex, pk.data(), pk.size()) ||
      !FromHex(signatureHex, signature.data(), signature.size())) {
    error = "the signature or its public key is not of the right length";
    return false;
  }
  if (crypto_sign_verify_detached(signature.data(),
                                  reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size(), pk.data()) != 0) {
    error = "the signature does not match the content";
    return false;
  }
  return true;
}

bool ReadPublicKey(const std::string& path, std::string& publicKeyHex, std::string& error) {
  if (!Ready(error)) return false;
  std::string text;
  if (!ReadSmall(path, text, error)) return false;
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
  const std::vector<std::uint8_t> der = PemBlock(text, "PUBLIC KEY");
  if (der.size() == sizeof kPublicPrefix + pk.size() &&
      std::memcmp(der.data(), kPublicPrefix, sizeof kPublicPrefix) == 0) {
    publicKeyHex = Hex(der.data() + sizeof kPublicPrefix, pk.size());
    return true;
  }
  std::string hex;
  for (char c : text) {
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t') hex += c;
  }
  if (FromHex(hex, pk.data(), pk.size())) {
    publicKeyHex = Hex(pk.data(), pk.size());
    return true;
  }
  error = Printable(path) +
          ": not an Ed25519 public key (PEM, as openssl pkey -pubout writes "
          "it, or 64 hex digits)";
  return false;
}

bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     std::string& error) {
  if (!Ready(error)) return false;
  std::array<std::uint8_t, crypto_sign_SEEDBYTES> seed{};
  randombytes_buf(seed.data(), seed.size());
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> sk{};
  crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
  std::string privatePem =
      Pem("PRIVATE KEY", kPrivatePrefix, sizeof kPrivatePrefix, seed.data(), seed.size());
  sodium_memzero(seed.data(), seed.size());
  sodium_memzero(sk.data(), sk.size());
  std::error_code ec;
  const auto path = PathFromUtf8(privatePath);
  const bool ok = WriteText(privatePath, privatePem, error);
  sodium_memzero(privatePem.data(), privatePem.size());
  if (!ok) return false;
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
  return WriteText(publicPath,
                   Pem("PUBLIC KEY", kPublicPrefix, sizeof kPublicPrefix, pk.data(), pk.size()),
                   error);
}

}  // namespace velkan::production
