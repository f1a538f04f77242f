// A PostgreSQL server started by the test itself (pg_server.sh) in a
// temporary folder, on a Unix socket only; skipped where none is installed.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "temp_dir.h"

namespace velkan::test {

class PgServer {
 public:
  // false with `why` (one line) when it could not start; `skip`: not installed.
  bool Start(std::string& why, bool& skip) {
#if defined(_WIN32)
    // Under wine the server runs on the build machine, started around this
    // program by tests/production/with_pg_server.sh, which passes its
    // address (TCP on 127.0.0.1) in VELKAN_TEST_PG_URI.
    const char* uri = std::getenv("VELKAN_TEST_PG_URI");
    if (uri == nullptr || *uri == '\0') {
      why = "no PostgreSQL server here: under wine this test runs through with_pg_server.sh";
      skip = true;
      return false;
    }
    uri_ = uri;
    return true;
#else
    const std::string out = dir_ / "start.out";
    const int rc = std::system(
        ("sh " + Script() + " start " + dir_.path().string() + " > " + out + " 2>&1").c_str());
    why = FirstLine(out);
    skip = ((rc >> 8) & 0xFF) == 77;  // the shell's exit status
    started_ = rc == 0;
    return started_;
#endif
  }
  ~PgServer() {
    if (started_) std::system(("sh " + Script() + " stop " + dir_.path().string()).c_str());
  }
  std::string Uri() const {
    if (!uri_.empty()) return uri_;
    return "postgresql:///postgres?host=" + dir_.path().string() + "&user=velkan";
  }

 private:
  static std::string Script() {
    return VELKAN_PG_SERVER_SCRIPT;
  }
  static std::string FirstLine(const std::string& path) {
    std::string line;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
      char buffer[512];
      if (std::fgets(buffer, sizeof buffer, f)) line = buffer;
      std::fclose(f);
    }
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }

  TempDir dir_;
  bool started_ = false;
  std::string uri_;  // a server started by someone else
};

}  // namespace velkan::test

// Starts `server` or skips the test with its one-line reason.
#define VELKAN_START_PG(server)                     \
  do {                                              \
    std::string why_;                               \
    bool skip_ = false;                             \
    if (!(server).Start(why_, skip_)) {             \
      if (skip_) GTEST_SKIP() << why_;              \
      FAIL() << "PostgreSQL test server: " << why_; \
    }                                               \
  } while (0)
