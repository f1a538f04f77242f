// Tools for tests against the test's own PostgreSQL server: psql on a
// connection of its own, the backend serving the one other client, and a
// backend stopped as by a stalled server.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <optional>
#include <string>

namespace velkan::test {

inline std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `sql` through psql on a connection of its own: its output (trimmed),
// or nullopt when psql failed.
inline std::optional<std::string> Psql(const std::string& uri, const std::string& sql) {
  const std::string command =
      "bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1); \"$bin/psql\" "
      "-X -A -t -q -v ON_ERROR_STOP=1 -d " +
      Quoted(uri) + " -c " + Quoted(sql) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int rc = pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  if (rc != 0) {
    ADD_FAILURE() << "psql: " << out;
    return std::nullopt;
  }
  return out;
}

// The backend of the one other client of the server: the store's.
inline pid_t StoreBackend(const std::string& uri) {
  const auto pid = Psql(uri,
                        "SELECT pid FROM pg_stat_activity WHERE backend_type='client backend'"
                        " AND pid <> pg_backend_pid()");
  if (!pid || pid->empty() || pid->find('\n') != std::string::npos) {
    ADD_FAILURE() << "not one store backend: " << pid.value_or("(psql failed)");
    return 0;
  }
  long value = 0;
  std::from_chars(pid->data(), pid->data() + pid->size(), value);
  return static_cast<pid_t>(value);
}

// A backend stopped as by a stalled server, resumed when this goes.
class Stopped {
 public:
  explicit Stopped(pid_t pid) : pid_(pid) {
    if (pid_ > 0) {
      EXPECT_EQ(kill(pid_, SIGSTOP), 0);
    }
  }
  ~Stopped() {
    if (pid_ > 0) kill(pid_, SIGCONT);
  }
  Stopped(const Stopped&) = delete;
  Stopped& operator=(const Stopped&) = delete;

 private:
  pid_t pid_;
};

}  // namespace velkan::test
