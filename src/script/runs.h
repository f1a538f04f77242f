// The online executor and the two programming runs.
#pragma once

#include <thread>

#include "script/page.h"
#include "script/session.h"

namespace velkan {

// Run results of RunOnlineScript.
inline constexpr int kRunOk = 0;
inline constexpr int kRunCommFailure = -1;
inline constexpr int kRunStatusWord = 1;
inline constexpr int kRunDataMismatch = 2;
inline constexpr int kRunUnsupported = 3;

// Performs the page's script against the chip through the station's
// programmer (its reader handle must be open). Returns a run result. Without
// a station: the default one.
int RunOnlineScript(Station& station, Page& page);
int RunOnlineScript(Page& page);

// The online programming run on a station: locks the inputs, opens the
// programmer if needed, runs the script, reports, unlocks. Returns 0.
int OnlineProgramThread(Station& station, Page& page);

// The offline loading run: stores the page's script in the station's
// programmer's offline storage with the HEX file's name. Returns 0.
int OfflineLoadThread(Station& station, Page& page);

// The same runs returning how they ended, for callers that want an exit
// status (the command-line tool). The pages' behaviour is the same.
struct RunOutcome {
  bool opened = true;   // false: no programmer could be opened
  bool busy = false;    // another program held the programmer: nothing was sent
  int result = kRunOk;  // online: the run result; offline: 0 stored, -1 the programmer
                        // refused or failed, 3 unsupported line, 4 refused before
                        // anything was sent (a line or name that cannot be stored)
};
RunOutcome OnlineProgramRun(Station& station, Page& page);
RunOutcome OfflineLoadRun(Station& station, Page& page);

// Who shows an online run's result on the programmer (LED and speaker):
// the run as it ends, or its caller, later (production shows a pass only
// once the chip's record is committed).
enum class ResultSignal { kAtEnd, kByCaller };
RunOutcome OnlineProgramRun(Station& station, Page& page, ResultSignal signal);
// The programmer's LED and speaker for a result: pass (LED 2, speaker 0)
// or failure (LED 1, speaker 1).
void SignalResult(int handle, bool pass);
RunOutcome OnlineProgramRun(Page& page);  // on the default station
RunOutcome OfflineLoadRun(Page& page);

// Starts `run` (OnlineProgramThread or OfflineLoadThread) for `page` on
// `station` on a new thread that holds `lease` until the run has returned.
// The caller keeps the thread and joins it before the page goes away.
std::thread StartRunThread(Station& station, Page& page, ProgrammerLease lease,
                           int (*run)(Station&, Page&));

}  // namespace velkan
