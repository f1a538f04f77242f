// What the command-line tool needs from the console it runs in. The platform
// code lives in terminal_posix.cpp and terminal_windows.cpp.
#pragma once

#include <string>
#include <vector>

namespace velkan::cli {

bool StdinIsTerminal();
bool StdoutIsTerminal();

// Makes the console take UTF-8 text and leaves "\n" line ends untranslated.
void PrepareConsole();

// The program's arguments as UTF-8 text.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace velkan::cli
