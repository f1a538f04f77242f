// <windows.h> first: the other Windows headers build on it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "cli/terminal.h"

namespace velkan::cli {

namespace {

// A console, not just any character device: _isatty() also says yes for NUL
// (`velkan ... < NUL`), which has no one to answer a question.
bool IsConsole(std::FILE* file) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

bool StdinIsTerminal() {
  return IsConsole(stdin);
}
bool StdoutIsTerminal() {
  return IsConsole(stdout);
}

void PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

InputLine ReadInputLine(std::string& line, int timeoutMs) {
  static std::string pending;
  static bool ended = false;
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    if (TakeBufferedLine(pending, ended, line)) return InputLine::kLine;
    if (ended) return InputLine::kEnd;
    // A console handle is signalled by any input event; the read that
    // follows then waits for the whole line.
    if (WaitForSingleObject(in, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
      return InputLine::kTimeout;
    }
    char buffer[512];
    DWORD n = 0;
    if (!ReadFile(in, buffer, sizeof buffer, &n, nullptr) || n == 0) {
      ended = true;
      continue;
    }
    pending.append(buffer, n);
  }
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
    if (bytes > 0) {
      WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), bytes, nullptr, nullptr);
      text.pop_back();  // the terminator
    }
    out.push_back(std::move(text));
  }
  LocalFree(wide);
  return out;
}

}  // namespace velkan::cli
