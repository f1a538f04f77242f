// SPDX-License-Identifier: Apache-2.0
//
// SQLite on demand: the sqlite3_* functions the record store calls are
// defined here as trampolines into libsqlite3.so.0, which is loaded when the
// first of them is called. A program that never opens a SQLite record (most
// runs of velkan: program, script, i2c...) does not load or relocate the
// library at start-up. The store's code calls SQLite as usual and is built
// against sqlite3.h, which also checks every signature below.
//
// The environment variable VELKAN_SQLITE_LIBRARY names another file to load
// (tests). Without the library every call fails cleanly: sqlite3_open_v2() returns
// SQLITE_CANTOPEN with a handle whose sqlite3_errmsg() says what is missing,
// and the other functions return an error code, 0 or NULL.
#include <dlfcn.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>

namespace {

constexpr const char* kLibraryName = "libsqlite3.so.0";

class SqliteLibrary {
 public:
  static const SqliteLibrary& Get() {
    static const SqliteLibrary library;
    return library;
  }

  void* Symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }
  const char* error() const { return error_.c_str(); }

  SqliteLibrary(const SqliteLibrary&) = delete;
  SqliteLibrary& operator=(const SqliteLibrary&) = delete;

 private:
  SqliteLibrary() {
    const char* name = std::getenv("VELKAN_SQLITE_LIBRARY");
    if (name == nullptr || *name == '\0') name = kLibraryName;
    handle_ = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* why = dlerror();
      error_ = std::string("SQLite is not available (package libsqlite3-0): ") + (why ? why : name);
    }
  }
  // Kept loaded until the process ends: SQLite may still be in use by
  // static objects' destructors.
  ~SqliteLibrary() = default;

  void* handle_ = nullptr;
  std::string error_;
};

template <typename Function>
Function Resolve(const char* name) {
  return reinterpret_cast<Function>(SqliteLibrary::Get().Symbol(name));
}

// The handle sqlite3_open*() hands out when the library is missing: only
// the fallbacks below ever see it.
struct MissingLibraryHandle {
} missingLibraryHandle;

sqlite3* MissingHandle() {
  return reinterpret_cast<sqlite3*>(&missingLibraryHandle);
}

}  // namespace

// One trampoline: the real function once resolved, FALLBACK without it.
#define VELKAN_SQLITE_CALL(name, fallback, ...)               \
  static const auto real = Resolve<decltype(&::name)>(#name); \
  if (real == nullptr) return fallback;                       \
  return real(__VA_ARGS__)

extern "C" {

// Connections.
int sqlite3_open_v2(const char* filename, sqlite3** db, int flags, const char* vfs) {
  static const auto real = Resolve<decltype(&::sqlite3_open_v2)>("sqlite3_open_v2");
  if (real == nullptr) {
    if (db != nullptr) *db = MissingHandle();
    return SQLITE_CANTOPEN;
  }
  return real(filename, db, flags, vfs);
}
int sqlite3_open(const char* filename, sqlite3** db) {
  static const auto real = Resolve<decltype(&::sqlite3_open)>("sqlite3_open");
  if (real == nullptr) {
    if (db != nullptr) *db = MissingHandle();
    return SQLITE_CANTOPEN;
  }
  return real(filename, db);
}
int sqlite3_close_v2(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_close_v2, SQLITE_OK, db);
}
int sqlite3_close(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_close, SQLITE_OK, db);
}
int sqlite3_busy_timeout(sqlite3* db, int ms) {
  VELKAN_SQLITE_CALL(sqlite3_busy_timeout, SQLITE_MISUSE, db, ms);
}
int sqlite3_busy_handler(sqlite3* db, int (*handler)(void*, int), void* arg) {
  VELKAN_SQLITE_CALL(sqlite3_busy_handler, SQLITE_MISUSE, db, handler, arg);
}
int sqlite3_extended_result_codes(sqlite3* db, int onoff) {
  VELKAN_SQLITE_CALL(sqlite3_extended_result_codes, SQLITE_MISUSE, db, onoff);
}
int sqlite3_limit(sqlite3* db, int id, int value) {
  VELKAN_SQLITE_CALL(sqlite3_limit, -1, db, id, value);
}
int sqlite3_file_control(sqlite3* db, const char* name, int op, void* arg) {
  VELKAN_SQLITE_CALL(sqlite3_file_control, SQLITE_MISUSE, db, name, op, arg);
}
sqlite3_filename sqlite3_db_filename(sqlite3* db, const char* name) {
  VELKAN_SQLITE_CALL(sqlite3_db_filename, nullptr, db, name);
}
int sqlite3_db_readonly(sqlite3* db, const char* name) {
  VELKAN_SQLITE_CALL(sqlite3_db_readonly, -1, db, name);
}
int sqlite3_db_cacheflush(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_db_cacheflush, SQLITE_MISUSE, db);
}
int sqlite3_txn_state(sqlite3* db, const char* schema) {
  VELKAN_SQLITE_CALL(sqlite3_txn_state, -1, db, schema);
}
int sqlite3_get_autocommit(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_get_autocommit, 0, db);
}
void sqlite3_interrupt(sqlite3* db) {
  static const auto real = Resolve<decltype(&::sqlite3_interrupt)>("sqlite3_interrupt");
  if (real != nullptr) real(db);
}
int sqlite3_wal_checkpoint_v2(sqlite3* db, const char* name, int mode, int* log,
                              int* checkpointed) {
  VELKAN_SQLITE_CALL(sqlite3_wal_checkpoint_v2, SQLITE_MISUSE, db, name, mode, log, checkpointed);
}
int sqlite3_wal_autocheckpoint(sqlite3* db, int pages) {
  VELKAN_SQLITE_CALL(sqlite3_wal_autocheckpoint, SQLITE_MISUSE, db, pages);
}

// Errors: without the library, the connection's message says why.
const char* sqlite3_errmsg(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_errmsg, SqliteLibrary::Get().error(), db);
}
int sqlite3_errcode(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_errcode, SQLITE_CANTOPEN, db);
}
int sqlite3_extended_errcode(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_extended_errcode, SQLITE_CANTOPEN, db);
}
const char* sqlite3_errstr(int code) {
  VELKAN_SQLITE_CALL(sqlite3_errstr, SqliteLibrary::Get().error(), code);
}

// Statements.
int sqlite3_exec(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**),
                 void* arg, char** message) {
  static const auto real = Resolve<decltype(&::sqlite3_exec)>("sqlite3_exec");
  if (real == nullptr) {
    if (message != nullptr) *message = nullptr;
    return SQLITE_MISUSE;
  }
  return real(db, sql, callback, arg, message);
}
int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** statement,
                       const char** tail) {
  static const auto real = Resolve<decltype(&::sqlite3_prepare_v2)>("sqlite3_prepare_v2");
  if (real == nullptr) {
    if (statement != nullptr) *statement = nullptr;
    return SQLITE_MISUSE;
  }
  return real(db, sql, bytes, statement, tail);
}
int sqlite3_prepare_v3(sqlite3* db, const char* sql, int bytes, unsigned int flags,
                       sqlite3_stmt** statement, const char** tail) {
  static const auto real = Resolve<decltype(&::sqlite3_prepare_v3)>("sqlite3_prepare_v3");
  if (real == nullptr) {
    if (statement != nullptr) *statement = nullptr;
    return SQLITE_MISUSE;
  }
  return real(db, sql, bytes, flags, statement, tail);
}
int sqlite3_step(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_step, SQLITE_MISUSE, s);
}
int sqlite3_reset(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_reset, SQLITE_OK, s);
}
int sqlite3_finalize(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_finalize, SQLITE_OK, s);
}
int sqlite3_clear_bindings(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_clear_bindings, SQLITE_OK, s);
}
const char* sqlite3_sql(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_sql, nullptr, s);
}
char* sqlite3_expanded_sql(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_expanded_sql, nullptr, s);
}
int sqlite3_stmt_readonly(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_stmt_readonly, 0, s);
}
int sqlite3_stmt_busy(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_stmt_busy, 0, s);
}
sqlite3* sqlite3_db_handle(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_db_handle, nullptr, s);
}
int sqlite3_changes(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_changes, 0, db);
}
sqlite3_int64 sqlite3_changes64(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_changes64, 0, db);
}
int sqlite3_total_changes(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_total_changes, 0, db);
}
sqlite3_int64 sqlite3_last_insert_rowid(sqlite3* db) {
  VELKAN_SQLITE_CALL(sqlite3_last_insert_rowid, 0, db);
}

// Parameters.
int sqlite3_bind_blob(sqlite3_stmt* s, int i, const void* data, int n, void (*destroy)(void*)) {
  VELKAN_SQLITE_CALL(sqlite3_bind_blob, SQLITE_MISUSE, s, i, data, n, destroy);
}
int sqlite3_bind_blob64(sqlite3_stmt* s, int i, const void* data, sqlite3_uint64 n,
                        void (*destroy)(void*)) {
  VELKAN_SQLITE_CALL(sqlite3_bind_blob64, SQLITE_MISUSE, s, i, data, n, destroy);
}
int sqlite3_bind_double(sqlite3_stmt* s, int i, double value) {
  VELKAN_SQLITE_CALL(sqlite3_bind_double, SQLITE_MISUSE, s, i, value);
}
int sqlite3_bind_int(sqlite3_stmt* s, int i, int value) {
  VELKAN_SQLITE_CALL(sqlite3_bind_int, SQLITE_MISUSE, s, i, value);
}
int sqlite3_bind_int64(sqlite3_stmt* s, int i, sqlite3_int64 value) {
  VELKAN_SQLITE_CALL(sqlite3_bind_int64, SQLITE_MISUSE, s, i, value);
}
int sqlite3_bind_null(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_bind_null, SQLITE_MISUSE, s, i);
}
int sqlite3_bind_text(sqlite3_stmt* s, int i, const char* text, int n, void (*destroy)(void*)) {
  VELKAN_SQLITE_CALL(sqlite3_bind_text, SQLITE_MISUSE, s, i, text, n, destroy);
}
int sqlite3_bind_text64(sqlite3_stmt* s, int i, const char* text, sqlite3_uint64 n,
                        void (*destroy)(void*), unsigned char encoding) {
  VELKAN_SQLITE_CALL(sqlite3_bind_text64, SQLITE_MISUSE, s, i, text, n, destroy, encoding);
}
int sqlite3_bind_zeroblob(sqlite3_stmt* s, int i, int n) {
  VELKAN_SQLITE_CALL(sqlite3_bind_zeroblob, SQLITE_MISUSE, s, i, n);
}
int sqlite3_bind_parameter_count(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_bind_parameter_count, 0, s);
}
int sqlite3_bind_parameter_index(sqlite3_stmt* s, const char* name) {
  VELKAN_SQLITE_CALL(sqlite3_bind_parameter_index, 0, s, name);
}
const char* sqlite3_bind_parameter_name(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_bind_parameter_name, nullptr, s, i);
}

// Results.
int sqlite3_column_count(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_column_count, 0, s);
}
int sqlite3_data_count(sqlite3_stmt* s) {
  VELKAN_SQLITE_CALL(sqlite3_data_count, 0, s);
}
const char* sqlite3_column_name(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_name, nullptr, s, i);
}
const char* sqlite3_column_decltype(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_decltype, nullptr, s, i);
}
int sqlite3_column_type(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_type, SQLITE_NULL, s, i);
}
const void* sqlite3_column_blob(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_blob, nullptr, s, i);
}
int sqlite3_column_bytes(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_bytes, 0, s, i);
}
double sqlite3_column_double(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_double, 0.0, s, i);
}
int sqlite3_column_int(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_int, 0, s, i);
}
sqlite3_int64 sqlite3_column_int64(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_int64, 0, s, i);
}
const unsigned char* sqlite3_column_text(sqlite3_stmt* s, int i) {
  VELKAN_SQLITE_CALL(sqlite3_column_text, nullptr, s, i);
}

// Memory and the library itself.
void* sqlite3_malloc(int n) {
  VELKAN_SQLITE_CALL(sqlite3_malloc, nullptr, n);
}
void* sqlite3_malloc64(sqlite3_uint64 n) {
  VELKAN_SQLITE_CALL(sqlite3_malloc64, nullptr, n);
}
void sqlite3_free(void* p) {
  // Only SQLite hands out memory to free here, so without it there is none.
  static const auto real = Resolve<decltype(&::sqlite3_free)>("sqlite3_free");
  if (real != nullptr) real(p);
}
const char* sqlite3_libversion() {
  VELKAN_SQLITE_CALL(sqlite3_libversion, "");
}
int sqlite3_libversion_number() {
  VELKAN_SQLITE_CALL(sqlite3_libversion_number, 0);
}
const char* sqlite3_sourceid() {
  VELKAN_SQLITE_CALL(sqlite3_sourceid, "");
}
int sqlite3_threadsafe() {
  VELKAN_SQLITE_CALL(sqlite3_threadsafe, 0);
}
int sqlite3_complete(const char* sql) {
  VELKAN_SQLITE_CALL(sqlite3_complete, 0, sql);
}
int sqlite3_sleep(int ms) {
  VELKAN_SQLITE_CALL(sqlite3_sleep, 0, ms);
}

}  // extern "C"
