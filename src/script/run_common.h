// Steps the two programming runs share.
#pragma once

#include "script/run_context.h"
#include "script/runs.h"
#include "script/station.h"

namespace velkan {

// The wait after re-powering the chip.
inline constexpr unsigned kRepowerWaitMs = 100;

enum class OpenOutcome { kOpen, kNotFound, kBusy };

// Opens the station's programmer when its reader handle is 0 or
// kNoProgrammerHandle: on success re-powers the chip, waits, and reports it
// opened (kProgrammerOpened); when none is found, sets the handle to
// kNoProgrammerHandle and reports kProgrammerNotFound. The open programmer
// is then held for the run; when another program holds it, kProgrammerBusy
// is reported and nothing is sent (kBusy). The host says the notices
// (NoticeText) its own way.
OpenOutcome EnsureProgrammerOpen(Station& station, const RunContext& run, RunKind kind);

// Ends a run before its script reached the programmer, with `result`:
// `open` says why (kOpen: the run refused the script before opening it).
// Reports the run's end (kRunFinished, not reached).
RunOutcome EndUnreached(const RunContext& run, RunKind kind, OpenOutcome open, int result);
// Ends a run whose script reached the programmer, with `result`: reports
// the run's end (kRunFinished; the fuse said when `success`).
RunOutcome EndReached(const RunContext& run, RunKind kind, int result, bool success);

}  // namespace velkan
