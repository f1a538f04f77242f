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

// One line of standard input, waited for at most `timeoutMs`: kLine with
// `line` (without its line end), kTimeout, or kEnd (end of input or a read
// error). Reads past what it returns are kept for the next call.
enum class InputLine { kLine, kTimeout, kEnd };
InputLine ReadInputLine(std::string& line, int timeoutMs);
// The next whole line of `pending` (without its CR LF or LF), taken out of
// it; once input has `ended`, what is left counts as the last line. False
// when there is no line yet (or nothing left).
bool TakeBufferedLine(std::string& pending, bool ended, std::string& line);

// The program's arguments as UTF-8 text.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace velkan::cli
