#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "cli/terminal.h"

namespace velkan::cli {

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}
bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

void PrepareConsole() {}

InputLine ReadInputLine(std::string& line, int timeoutMs) {
  static std::string pending;  // read but not yet returned
  static bool ended = false;
  for (;;) {
    if (TakeBufferedLine(pending, ended, line)) return InputLine::kLine;
    if (ended) return InputLine::kEnd;
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&fd, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) return InputLine::kTimeout;
    if (ready == 0) return InputLine::kTimeout;
    char buffer[512];
    const ssize_t n = ready < 0 ? -1 : read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return InputLine::kTimeout;
    if (n <= 0) {
      ended = true;
      continue;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
  }
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace velkan::cli
