// A programming page as the runs see it. The desktop pages, the command-line
// tool and the tests are the implementations.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/dialogs.h"
#include "common/script_table.h"
#include "script/events.h"

namespace velkan {

// A programming page renders its runs' events as its log text: each text
// piece appended and the log shown, a line done shown as the percentage.
class Page : public Dialogs, public EventSink {
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

  // ---- What the page owns ----
  ScriptTable& Script() { return script_; }
  const ScriptTable& Script() const { return script_; }
  const std::string& HexPath() const { return hexPath_; }
  void SetHexPath(std::string path) { hexPath_ = std::move(path); }
  const std::string& LogText() const { return log_; }

  // ---- Log operations of the runs ----
  // Adds `text` to the end of the log text; the log box is not touched.
  void Append(std::string_view text) { log_ += text; }
  void ClearLog() { log_.clear(); }
  // Log box := the whole log text.
  void Show() { Display(log_, {}); }
  // Log box := the log text followed by "<percent>%" (not stored).
  void ShowProgress(int percent) {
    char tail[16];
    std::snprintf(tail, sizeof tail, "%d%%", percent);
    Display(log_, tail);
  }

  // ---- Implemented by each kind of page ----
  // Enables or disables the input controls (start button, fuse checkbox,
  // file chooser, path box, in that order).
  virtual void EnableInputs(bool enable) = 0;
  // Whether the fuse checkbox is checked now.
  virtual bool FuseChosen() = 0;

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
