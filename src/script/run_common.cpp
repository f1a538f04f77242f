#include "script/run_common.h"

#include "common/clock.h"
#include "programmer/backend.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

Event Simple(EventKind kind, RunKind run) {
  Event e;
  e.kind = kind;
  e.run = run;
  return e;
}

// Holds the programmer for the run; kProgrammerBusy when another program
// has it.
bool Hold(Station& station, const RunContext& run, int handle, RunKind kind) {
  if (station.HoldForActivity(handle) != kReaderBusy) return true;
  run.Emit(Simple(EventKind::kProgrammerBusy, kind));
  return false;
}

}  // namespace

OpenOutcome EnsureProgrammerOpen(Station& station, const RunContext& run, RunKind kind) {
  if (IsOpenHandle(station.Handle())) {
    return Hold(station, run, station.Handle(), kind) ? OpenOutcome::kOpen : OpenOutcome::kBusy;
  }
  const int handle = station.OpenReader();
  // The library answers a handle or kNoProgrammerHandle; anything else is
  // taken as "none".
  if (handle <= 0) {
    station.SetHandle(kNoProgrammerHandle);
    run.Emit(Simple(EventKind::kProgrammerNotFound, kind));
    return OpenOutcome::kNotFound;
  }
  station.SetHandle(handle);
  if (!Hold(station, run, handle, kind)) return OpenOutcome::kBusy;
  DllI2cRePower(handle);
  GetClock().SleepMs(kRepowerWaitMs);
  run.Emit(Simple(EventKind::kProgrammerOpened, kind));
  return OpenOutcome::kOpen;
}

RunOutcome EndUnreached(const RunContext& run, RunKind kind, OpenOutcome open, int result) {
  RunOutcome outcome;
  outcome.opened = open != OpenOutcome::kNotFound;
  outcome.busy = open == OpenOutcome::kBusy;
  outcome.result = result;
  Event finished = Simple(EventKind::kRunFinished, kind);
  finished.opened = false;
  finished.result = result;
  run.Emit(finished);
  return outcome;
}

RunOutcome EndReached(const RunContext& run, RunKind kind, int result, bool success) {
  RunOutcome outcome;
  outcome.result = result;
  Event finished = Simple(EventKind::kRunFinished, kind);
  finished.result = result;
  finished.success = success;
  finished.fuse = success && run.fuse;
  run.Emit(finished);
  return outcome;
}

}  // namespace velkan
