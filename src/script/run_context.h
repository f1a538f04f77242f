// What a programming run is given: the script, the HEX file's path, the
// fuse choice, a cancellation flag and where its events go. A run shows
// nothing itself: the log text, message boxes, terminal lines and JSON lines
// are its host's renderings of the events (the desktop pages and the
// terminal in src/ui and src/cli, the stations of src/production).
#pragma once

#include <atomic>
#include <string>

#include "common/script_table.h"
#include "script/events.h"

namespace velkan {

struct RunContext {
  // The script performed (online) or stored (offline); it must outlive the
  // run.
  const ScriptTable* script = nullptr;
  // The HEX file the script was made from; the offline run stores its name.
  std::string hexPath;
  // Whether the fuse was chosen (the script then blows it; the closing texts
  // say so).
  bool fuse = false;
  // When set (and true), the run ends before its next script line with the
  // result kRunStopped. None: the run is not cancelled.
  const std::atomic<bool>* cancel = nullptr;
  // Every event of the run, in order; none: nobody listens.
  EventSink* sink = nullptr;

  bool Cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_acquire); }
  void Emit(const Event& event) const {
    if (sink != nullptr) sink->OnEvent(event);
  }
};

// Passes every event on to two sinks, in order (a page's log and the JSON
// lines, say).
class TeeSink final : public EventSink {
 public:
  TeeSink(EventSink& first, EventSink* second) : first_(first), second_(second) {}
  void OnEvent(const Event& event) override {
    first_.OnEvent(event);
    if (second_ != nullptr) second_->OnEvent(event);
  }

 private:
  EventSink& first_;
  EventSink* second_;
};

}  // namespace velkan
