// One production job as the tools' settings describe it, and the one place
// that checks those settings: the command line's options and the desktop
// page's fields both fill a JobRequest, and BuildJob accepts or refuses it
// the same way for both. A refusal names its kind (the page words it in
// Chinese) and carries the command line's English text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "production/production.h"

namespace velkan::production {

// The settings as given: text as typed, nothing checked yet.
struct JobRequest {
  std::string hexPath;
  bool fuse = false;
  std::string log;
  std::string next = "enter";  // enter, auto or probe
  int count = 0;               // passed chips per station, 0: no limit
  int stopAfterFailures = 3;
  // Serial numbers: none, a counter (serialStart) or a file (serialFile),
  // either at serialAt.
  std::string serialAt;
  bool serialCounter = false;  // a counter is asked for (even with an empty start)
  std::string serialStart;
  std::int64_t serialStep = 1;
  int serialBytes = 4;
  std::string serialFormat = "be";
  std::string serialFile;
  std::optional<std::string> serialFileText;  // the file's lines when they come from a job file
  bool serialBurnFailed = false;
  // Per-chip data from an external generator (empty: none), the time one
  // call may take, the passed chips of the job over every station (0: no
  // limit), and the sealed job's id (empty: options given one by one).
  std::string chipData;
  std::int64_t chipDataTimeoutMs = 10000;
  std::int64_t countLimit = 0;
  std::string jobId;
};

enum class JobError {
  kNone,
  kNoHexFile,          // no HEX file named
  kNoLog,              // no record named
  kNext,               // not enter, auto or probe
  kCount,              // a negative count
  kStopAfterFailures,  // a negative number of failures
  kSerialChoice,       // a counter and a file at once
  kSerialAtMissing,    // serial numbers without an address
  kSerialMissing,      // an address without serial numbers
  kSerialAddress,      // the address is not hex or not inside the APP region
  kSerialStart,        // the first number is not a number of the form or does not fit
  kSerialStep,         // the step is below 1
  kSerialBytes,        // not 1 to 8 bytes
  kSerialFormat,       // not be, le, bcd or ascii
  kSerialFile,         // the file cannot be read, or a line is wrong
  kCountLimit,         // a negative limit, or a limit without serial numbers
  kChipData,           // a timeout below 1 ms
};

struct JobProblem {
  JobError kind = JobError::kNone;
  std::string text;  // the command line's words
};

// The settings checked: what the engine runs (the HEX file is loaded later,
// once, by LoadProduct).
struct Job {
  std::string hexPath;
  bool fuse = false;
  std::string log;
  Settings settings;
};

// Checks `request` and reads its serial file: the job, or nullopt with
// `problem`. `toolVersion` goes into every row.
std::optional<Job> BuildJob(const JobRequest& request, const std::string& toolVersion,
                            JobProblem& problem);

}  // namespace velkan::production
