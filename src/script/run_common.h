// Steps the two programming runs share.
#pragma once

#include "script/page.h"
#include "script/station.h"

namespace velkan {

// The wait after re-powering the chip.
inline constexpr unsigned kRepowerWaitMs = 100;

// A run's event: to its page (the log text) and to the station's sink.
inline void Emit(Station& station, Page& page, const Event& event) {
  page.OnEvent(event);
  if (EventSink* sink = station.Sink()) sink->OnEvent(event);
}

// Whether a reader handle value stands for an open programmer.
inline bool IsOpenHandle(int handle) {
  return handle != 0 && handle != -2;
}

enum class OpenOutcome { kOpen, kNotFound, kBusy };

// Opens the station's programmer when its reader handle is 0 or -2: on
// success re-powers the chip, waits, and reports it opened ("打开设备成功！");
// when none is found, sets the handle to -2, reports it ("打开设备失败！") and
// shows the message box. The open programmer is then held for the run; when
// another program holds it, the busy text is shown in a message box and
// nothing is sent (kBusy).
OpenOutcome EnsureProgrammerOpen(Station& station, Page& page, RunKind run);

}  // namespace velkan
