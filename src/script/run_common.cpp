#include "script/run_common.h"

#include "common/clock.h"
#include "programmer/backend.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

// Holds the programmer for the run; the busy message box when another
// program has it.
bool Hold(Page& page, int handle) {
  if (HoldProgrammerForActivity(handle) != kReaderBusy) return true;
  page.MessageBox(kBusyText, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
  return false;
}

}  // namespace

OpenOutcome EnsureProgrammerOpen(Page& page) {
  if (IsOpenHandle(ReaderHandle())) {
    return Hold(page, ReaderHandle()) ? OpenOutcome::kOpen : OpenOutcome::kBusy;
  }
  const int handle = DllOpenReader();
  // The library answers a handle or -2; anything else is taken as "none".
  if (handle <= 0) {
    SetReaderHandle(-2);
    page.Append("打开设备失败！\r\n");
    page.Show();
    page.MessageBox("打开设备失败！", kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return OpenOutcome::kNotFound;
  }
  SetReaderHandle(handle);
  if (!Hold(page, handle)) return OpenOutcome::kBusy;
  DllI2cRePower(handle);
  GetClock().SleepMs(kRepowerWaitMs);
  page.Append("打开设备成功！\r\n");
  page.Show();
  return OpenOutcome::kOpen;
}

}  // namespace velkan
