// The console side of the command-line tool: log output with an in-place
// progress display, message boxes as stderr texts and y/N questions, and the
// page and I2C view implementations that the runs talk to.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/dialogs.h"
#include "common/input_file.h"
#include "script/i2c_test.h"
#include "script/run_log.h"

namespace velkan::cli {

// "\r\n" -> "\n"; everything else unchanged.
std::string ToLf(std::string_view text);

// Replaces control characters (other than TAB) and DEL with '?', so that text
// from a device or a file name cannot drive the terminal.
using velkan::Printable;

struct ConsoleOptions {
  bool quiet = false;          // no progress, no informational lines
  bool json = false;           // stdout carries JSON lines only: no text, no progress
  bool progress = false;       // stdout is a terminal: percentages update in place
  bool interactive = false;    // stdin is a terminal: questions are asked
  bool answerYes = false;      // every Yes/No message box answered Yes without asking
  std::string noTerminalHint;  // said when a question cannot be asked
  FILE* out = stdout;
  FILE* err = stderr;
  FILE* in = stdin;
};

class Console {
 public:
  explicit Console(ConsoleOptions options) : o_(std::move(options)) {}
  const ConsoleOptions& options() const { return o_; }

  // Informational line on stdout (not in quiet mode).
  void Info(std::string_view text);
  // Data on stdout, always.
  void Out(std::string_view text);
  // Error line on stderr, always: "velkan: <text>".
  void Error(std::string_view text);

  // Asks `question` on the terminal; true for y/yes. Without a terminal the
  // answer is No and `noTerminalHint` is printed.
  bool AskYesNo(std::string_view question, std::string_view noTerminalHint);

  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons);

  // The progress line: drawn on a terminal only, cleared before other output.
  void DrawProgress(int percent);
  void ClearProgress();

 private:
  ConsoleOptions o_;
  bool progressShown_ = false;
};

// A programming page on the console, rendering the run's events: the log
// text goes to stdout as it grows and a line done moves the progress bar; in
// quiet mode the text is kept and printed only by PrintLogIfQuiet; in JSON
// mode the text is kept and nothing is printed (the JSON lines carry it).
// An event's notice (NoticeText) is a message box on stderr.
class ConsolePage final : public RunLog, public Dialogs {
 public:
  ConsolePage(Console& console, bool fuse) : console_(console), fuse_(fuse) {}
  Console& console() { return console_; }
  bool Fuse() const { return fuse_; }

  void OnEvent(const Event& event) override;

  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons,
                       MsgIcon) override {
    return console_.MessageBox(text, caption, buttons);
  }
  // After a failed run in quiet mode: the whole log, so that the reason shows.
  void PrintLogIfQuiet();

 protected:
  void Display(const std::string& logText, std::string_view transientTail) override;

 private:
  Console& console_;
  bool fuse_;
  std::size_t printed_ = 0;  // bytes of the log text already on stdout
};

// The I2C test page's output box on the console: every show is kept with
// its step; the command decides afterwards by the step what goes where.
class ConsoleI2cView final : public I2cTestView {
 public:
  struct Show {
    I2cShown step;
    std::string text;
  };
  void ShowOutput(I2cShown step, const std::string& text) override {
    shown_.push_back({step, text});
  }
  const std::vector<Show>& Shown() const { return shown_; }

 private:
  std::vector<Show> shown_;
};

}  // namespace velkan::cli
