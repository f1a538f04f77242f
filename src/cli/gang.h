// Several programmers at once: the production engine's gang run (one chip
// per programmer, at once, no record) with the same script on every one,
// rendered on the terminal.
#pragma once

#include <string>
#include <vector>

#include "cli/console.h"
#include "programmer/backend.h"
#include "script/run_log.h"
#include "script/runs.h"

namespace velkan::cli {

struct GangTarget {
  DeviceSelector selector;
  std::string label;  // shown until the programmer tells its serial number
};

// Runs the run of `kind` (online or offline) with `prepared`'s script, HEX
// path and the fuse choice on every target at once and waits for all of
// them. Output: JSON lines (`json`), a status line per programmer on a
// terminal, or the log lines prefixed with the serial number; then a
// summary line per programmer. Returns 0 when every programmer succeeded,
// otherwise the worst exit code (WorstExitCode) of `exitCode`'s.
int RunGang(Console& console, const RunLog& prepared, bool fuse,
            const std::vector<GangTarget>& targets, RunKind kind,
            int (*exitCode)(const RunOutcome&));

// The exit code that stands for several: the first of 4, 5, 6, 7, 3, 1, 2
// that occurs (a communication failure weighs most, a usage error least),
// else 0.
int WorstExitCode(const std::vector<int>& codes);

}  // namespace velkan::cli
