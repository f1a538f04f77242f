// Several programmers at once: one station per programmer, each on its own
// thread, with the same script.
#pragma once

#include <string>
#include <vector>

#include "cli/console.h"
#include "programmer/backend.h"
#include "script/runs.h"

namespace velkan::cli {

struct GangTarget {
  DeviceSelector selector;
  std::string label;  // shown until the programmer tells its serial number
};

// Runs `run` with `prepared`'s script, HEX path and fuse choice on every
// target at once and waits for all of them. Output: JSON lines (`json`), a
// status line per programmer on a terminal, or the log lines prefixed with
// the serial number; then a summary line per programmer. Returns 0 when
// every programmer succeeded, otherwise the worst exit code (WorstExitCode).
int RunGang(Console& console, Page& prepared, bool fuse, const std::vector<GangTarget>& targets,
            RunOutcome (*run)(Station&, Page&), int (*exitCode)(const RunOutcome&));

// The exit code that stands for several: the first of 4, 5, 6, 7, 3, 1, 2
// that occurs (a communication failure weighs most, a usage error least),
// else 0.
int WorstExitCode(const std::vector<int>& codes);

}  // namespace velkan::cli
