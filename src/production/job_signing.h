// Ed25519 signatures of jobs and manifests. Keys are PEM files as OpenSSL
// writes them (`openssl genpkey -algorithm ed25519`: PKCS#8 "PRIVATE KEY";
// `openssl pkey -pubout`: "PUBLIC KEY"); a public key may also be given as
// its 64 hex digits. Built without libsodium, every call fails with
// kSigningAbsent.
#pragma once

#include <string>
#include <string_view>

namespace velkan::production {

inline constexpr const char* kSigningAbsent =
    "signing and checking signatures is not available in this build (built without libsodium)";

bool SigningAvailable();

// Signs `message` with the private key in `keyPath`: the signature and the
// key's public half, lower-case hex.
bool SignMessage(std::string_view message, const std::string& keyPath, std::string& publicKeyHex,
                 std::string& signatureHex, std::string& error);
// Whether `signatureHex` is `publicKeyHex`'s signature of `message`.
bool VerifyMessage(std::string_view message, const std::string& publicKeyHex,
                   const std::string& signatureHex, std::string& error);
// The public key in `path` (PEM or 64 hex digits) as lower-case hex.
bool ReadPublicKey(const std::string& path, std::string& publicKeyHex, std::string& error);
// A new key pair: the private key (PEM, readable by its owner only) and the public key (PEM).
bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     std::string& error);

}  // namespace velkan::production
