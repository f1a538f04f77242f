// Platforms without external generators.
#include "production/child_process.h"

namespace velkan::production {

bool ChildProcessesAvailable() {
  return false;
}

bool RunChild(const ChildRequest&, ChildResult&, std::string& error) {
  error = "external commands (--chip-data) are not available in this build";
  return false;
}

}  // namespace velkan::production
