// The online executor and the two programming runs. A run takes a station
// (which programmer) and a RunContext (script, fuse choice, cancellation,
// event sink); it reports everything as events and shows nothing itself.
#pragma once

#include "script/run_context.h"
#include "script/station.h"

namespace velkan {

// Run results of RunOnlineScript.
inline constexpr int kRunOk = 0;
inline constexpr int kRunCommFailure = -1;
inline constexpr int kRunStatusWord = 1;
inline constexpr int kRunDataMismatch = 2;
inline constexpr int kRunUnsupported = 3;
// Both runs: the context's cancellation ended the run before a line.
inline constexpr int kRunStopped = 5;

// Performs the script against the chip through the station's programmer
// (its reader handle must be open). Returns a run result.
int RunOnlineScript(Station& station, const RunContext& run);

// How a run ended.
struct RunOutcome {
  bool opened = true;   // false: no programmer could be opened
  bool busy = false;    // another program held the programmer: nothing was sent
  int result = kRunOk;  // online: the run result; offline: 0 stored, -1 the programmer
                        // refused or failed, 3 unsupported line, 4 refused before
                        // anything was sent (a line or name that cannot be stored);
                        // both: kRunStopped
};

// Who shows an online run's result on the programmer (LED and speaker):
// the run as it ends, or its caller, later (production shows a pass only
// once the chip's record is committed).
enum class ResultSignal { kAtEnd, kByCaller };

// The online programming run on a station: opens the programmer if needed,
// runs the script, reports. With kAtEnd the result is signalled and a
// communication failure closes the programmer (it is opened afresh next
// time); with kByCaller both are the caller's.
RunOutcome OnlineProgramRun(Station& station, const RunContext& run,
                            ResultSignal signal = ResultSignal::kAtEnd);
// The offline loading run: stores the script in the station's programmer's
// offline storage with the HEX file's name.
RunOutcome OfflineLoadRun(Station& station, const RunContext& run);

// The programmer's LED and speaker for a result: pass (LED 2, speaker 0)
// or failure (LED 1, speaker 1).
void SignalResult(int handle, bool pass);

}  // namespace velkan
