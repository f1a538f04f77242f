// Another program reading the production record while it is written, as a
// report or the sqlite3 shell does: it opens the file (for writing, as the
// shell does), checkpoints the journal into the file and counts the rows.
// When it is the last to close the file, SQLite deletes the journal.
//
//   record_reader RECORD      prints the number of rows
#include <sqlite3.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: record_reader RECORD\n", stderr);
    return 2;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "%s: %s\n", argv[1], db ? sqlite3_errmsg(db) : "cannot be opened");
    sqlite3_close(db);
    return 1;
  }
  sqlite3_busy_timeout(db, 2000);
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  sqlite3_stmt* count = nullptr;
  int rc = 1;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM chips", -1, &count, nullptr) == SQLITE_OK &&
      sqlite3_step(count) == SQLITE_ROW) {
    std::printf("%lld\n", static_cast<long long>(sqlite3_column_int64(count, 0)));
    rc = 0;
  } else {
    std::fprintf(stderr, "%s: %s\n", argv[1], sqlite3_errmsg(db));
  }
  sqlite3_finalize(count);
  sqlite3_close(db);
  return rc;
}
