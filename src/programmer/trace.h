// SPDX-License-Identifier: Apache-2.0
// Traffic trace: every report written to or read from a programmer, one
// line each ("> " output, "< " input, then the 64 bytes as upper-case hex
// pairs separated by spaces), appended to one module-wide file.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "programmer/hid_platform.h"

namespace velkan {

// Starts appending the trace to `path` (none: stops tracing). False when
// the file cannot be opened; tracing is then off. A line that cannot be
// written (a full disk, /dev/full) stops the trace; `endedLoss` (when given)
// receives why the trace this call ends lost lines, empty when it is whole.
bool TraceTo(const std::optional<std::filesystem::path>& path, std::string* endedLoss = nullptr);

// True while every line of the current trace reached its file; otherwise
// `why` (when given) receives the reason.
bool TraceWritten(std::string* why = nullptr);

// The trace line of one report, without the line end.
std::string TraceLine(bool output, const hid::Report& report);

// Wraps `device` so that its reports go to the trace while one is active.
std::unique_ptr<hid::Device> TracedDevice(std::unique_ptr<hid::Device> device);

}  // namespace velkan
