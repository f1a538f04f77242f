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

// Performs the page's script against the chip through the programmer held in
// the module-wide reader handle (which must be open). Returns a run result.
int RunOnlineScript(Page& page);

// The online programming run: locks the inputs, opens the programmer if
// needed, runs the script, reports, unlocks. Returns 0.
int OnlineProgramThread(Page& page);

// The offline loading run: stores the page's script in the programmer's
// offline storage with the HEX file's name. Returns 0.
int OfflineLoadThread(Page& page);

// The same runs returning how they ended, for callers that want an exit
// status (the command-line tool). The pages' behaviour is the same.
struct RunOutcome {
  bool opened = true;   // false: no programmer could be opened
  bool busy = false;    // another program held the programmer: nothing was sent
  int result = kRunOk;  // online: the run result; offline: 0 stored, -1 the programmer
                        // refused or failed, 3 unsupported line, 4 refused before
                        // anything was sent (a line or name that cannot be stored)
};
RunOutcome OnlineProgramRun(Page& page);
RunOutcome OfflineLoadRun(Page& page);

// Starts `run` (OnlineProgramThread or OfflineLoadThread) for `page` on a new
// thread that holds `lease` until the run has returned. The caller keeps the
// thread and joins it before the page goes away.
std::thread StartRunThread(Page& page, ProgrammerLease lease, int (*run)(Page&));

}  // namespace velkan
