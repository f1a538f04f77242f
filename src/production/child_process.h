// One external command run to its end: its input written, its output read
// (bounded), killed when it takes longer than allowed. The command is run
// by the system's shell (POSIX: /bin/sh -c) with extra environment
// variables. Not available on every platform (RunChild says so).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace velkan::production {

struct ChildRequest {
  std::string command;
  std::vector<std::pair<std::string, std::string>> environment;  // added to this process's
  std::string input;                                             // written to its stdin
  std::chrono::milliseconds timeout{10000};
  std::size_t outputLimit = 1 << 20;  // bytes of stdout kept; more ends the command
};

struct ChildResult {
  bool timedOut = false;       // killed after the timeout
  bool outputTooLong = false;  // killed after writing more than outputLimit
  int exitCode = -1;           // the exit status; -1 when killed or ended by a signal
  std::string output;          // stdout
  std::string errorOutput;     // the first bytes of stderr, for messages
};

// Whether this build can run external commands.
bool ChildProcessesAvailable();

// Runs `request`; false with `error` when the command could not be started
// at all (a result of a started command is in `result`, whatever it is).
bool RunChild(const ChildRequest& request, ChildResult& result, std::string& error);

}  // namespace velkan::production
