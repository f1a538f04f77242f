// A programming page's script, HEX file and log text, the log rendered from
// its runs' events. The desktop pages, the command-line tool's console page
// and the tests derive from it; what else a page shows (message boxes, the
// state of its inputs) is the page's own.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/script_table.h"
#include "script/events.h"
#include "script/run_context.h"

namespace velkan {

// Each text piece of an event is appended and the log shown; a line done is
// shown as the percentage.
class RunLog : public EventSink {
 public:
  void OnEvent(const Event& event) override {
    if (event.kind == EventKind::kLineDone) {
      ShowProgress(event.percent);
      return;
    }
    for (const std::string& piece : LogPieces(event)) {
      Append(piece);
      Show();
    }
  }

  ScriptTable& Script() { return script_; }
  const ScriptTable& Script() const { return script_; }
  const std::string& HexPath() const { return hexPath_; }
  void SetHexPath(std::string path) { hexPath_ = std::move(path); }
  const std::string& LogText() const { return log_; }

  // The context of a run of this page's script and HEX file with the fuse
  // choice `fuse`; its events go to `sink` (the page itself, or a TeeSink
  // that passes them on to the page and another renderer).
  RunContext Context(bool fuse, EventSink& sink) const {
    RunContext run;
    run.script = &script_;
    run.hexPath = hexPath_;
    run.fuse = fuse;
    run.sink = &sink;
    return run;
  }

  // Adds `text` to the end of the log text; the log box is not touched.
  void Append(std::string_view text) { log_ += text; }
  // Empties the log text (a page does so as a run starts); the box is not
  // touched.
  void ClearLog() { log_.clear(); }
  // Log box := the whole log text.
  void Show() { Display(log_, {}); }
  // Log box := the log text followed by "<percent>%" (not stored).
  void ShowProgress(int percent) {
    char tail[16];
    std::snprintf(tail, sizeof tail, "%d%%", percent);
    Display(log_, tail);
  }

 protected:
  // Sets the log box to `logText` followed by `transientTail`. Called from
  // the run's thread; desktop pages serve it on the UI thread synchronously.
  virtual void Display(const std::string& logText, std::string_view transientTail) = 0;

 private:
  ScriptTable script_;
  std::string hexPath_;
  std::string log_;
};

}  // namespace velkan
