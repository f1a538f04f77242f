#include "production/record_store.h"

namespace velkan::production {

bool IsPostgresTarget(const std::string& target) {
  return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

std::unique_ptr<RecordStore> OpenRecordStore(const std::string& target, bool create,
                                             std::string& error) {
  if (IsPostgresTarget(target)) return OpenPostgresStore(target, create, error);
  return OpenSqliteStore(target, create, error);
}

}  // namespace velkan::production
