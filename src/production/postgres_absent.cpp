// Built without libpq: PostgreSQL logs are refused with a clear word.
#include "production/record_store.h"

namespace velkan::production {

std::unique_ptr<RecordStore> OpenPostgresStore(const std::string&, StoreMode, std::string& error) {
  error = "this velkan was built without PostgreSQL support (libpq)";
  return nullptr;
}

}  // namespace velkan::production
