// Built without libsodium: no signatures.
#include "production/job_signing.h"

namespace velkan::production {

bool SigningAvailable() {
  return false;
}
bool SignMessage(std::string_view, const std::string&, std::string&, std::string&,
                 std::string& error) {
  error = kSigningAbsent;
  return false;
}
bool VerifyMessage(std::string_view, const std::string&, const std::string&, std::string& error) {
  error = kSigningAbsent;
  return false;
}
bool ReadPublicKey(const std::string&, std::string&, std::string& error) {
  error = kSigningAbsent;
  return false;
}
bool GenerateKeyPair(const std::string&, const std::string&, std::string& error) {
  error = kSigningAbsent;
  return false;
}

}  // namespace velkan::production
