// Opening a record by its name: the one place that knows every kind of
// store (the engine and the record's rows know none).
#include "production/record_store.h"

namespace velkan::production {

std::unique_ptr<RecordStore> OpenRecordStore(const std::string& target, StoreMode mode,
                                             std::string& error) {
  if (IsPostgresTarget(target)) return OpenPostgresStore(target, mode, error);
  return OpenSqliteStore(target, mode, error);
}

}  // namespace velkan::production
