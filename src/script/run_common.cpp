#include "script/run_common.h"

#include "common/clock.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace velkan {

bool EnsureProgrammerOpen(Page& page) {
  if (IsOpenHandle(ReaderHandle())) return true;
  const int handle = DllOpenReader();
  // The library answers a handle or -2; anything else is taken as "none".
  if (handle <= 0) {
    SetReaderHandle(-2);
    page.Append("打开设备失败！\r\n");
    page.Show();
    page.MessageBox("打开设备失败！", kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return false;
  }
  SetReaderHandle(handle);
  DllI2cRePower(handle);
  GetClock().SleepMs(kRepowerWaitMs);
  page.Append("打开设备成功！\r\n");
  page.Show();
  return true;
}

}  // namespace velkan
