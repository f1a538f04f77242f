// Built without libsodium: no password hashing (operator mode can then be
// entered only from the command line and not left from the window).
#include "production/engineer_password.h"

namespace velkan::production {

bool PasswordHashingAvailable() {
  return false;
}

bool HashEngineerPassword(std::string_view, std::string&, std::string& error) {
  error = kPasswordHashingAbsent;
  return false;
}

bool EngineerPasswordMatches(std::string_view, const std::string&) {
  return false;
}

}  // namespace velkan::production
