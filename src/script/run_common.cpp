#include "script/run_common.h"

#include "common/clock.h"
#include "programmer/backend.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

Event Simple(EventKind kind, RunKind run) {
  Event e;
  e.kind = kind;
  e.run = run;
  return e;
}

// Holds the programmer for the run; the busy message box when another
// program has it.
bool Hold(Station& station, Page& page, int handle, RunKind run) {
  if (station.HoldForActivity(handle) != kReaderBusy) return true;
  Emit(station, page, Simple(EventKind::kProgrammerBusy, run));
  page.MessageBox(kBusyText, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
  return false;
}

}  // namespace

OpenOutcome EnsureProgrammerOpen(Station& station, Page& page, RunKind run) {
  if (IsOpenHandle(station.Handle())) {
    return Hold(station, page, station.Handle(), run) ? OpenOutcome::kOpen : OpenOutcome::kBusy;
  }
  const int handle = station.OpenReader();
  // The library answers a handle or -2; anything else is taken as "none".
  if (handle <= 0) {
    station.SetHandle(-2);
    Emit(station, page, Simple(EventKind::kProgrammerNotFound, run));
    page.MessageBox("打开设备失败！", kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return OpenOutcome::kNotFound;
  }
  station.SetHandle(handle);
  if (!Hold(station, page, handle, run)) return OpenOutcome::kBusy;
  DllI2cRePower(handle);
  GetClock().SleepMs(kRepowerWaitMs);
  Emit(station, page, Simple(EventKind::kProgrammerOpened, run));
  return OpenOutcome::kOpen;
}

}  // namespace velkan
