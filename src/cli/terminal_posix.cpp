#include <unistd.h>

#include "cli/terminal.h"

namespace velkan::cli {

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}
bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

void PrepareConsole() {}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace velkan::cli
