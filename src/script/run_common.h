// Steps the two programming runs share.
#pragma once

#include "script/page.h"

namespace velkan {

// The wait after re-powering the chip.
inline constexpr unsigned kRepowerWaitMs = 100;

// Whether the module-wide reader handle value stands for an open programmer.
inline bool IsOpenHandle(int handle) {
  return handle != 0 && handle != -2;
}

// Opens the programmer when the module-wide reader handle is 0 or -2: on
// success re-powers the chip, waits, and appends "打开设备成功！"; when none
// is found, sets the handle to -2, appends "打开设备失败！" and shows the
// message box. Returns whether the programmer is open.
bool EnsureProgrammerOpen(Page& page);

}  // namespace velkan
