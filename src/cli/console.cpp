#include "cli/console.h"
#include "cli/terminal.h"

#include <cstdlib>
#include <cstring>

namespace velkan::cli {
namespace {

constexpr int kBarWidth = 30;
// "\r[" + bar + "] " + "100%": what ClearProgress has to blank out.
constexpr int kProgressColumns = kBarWidth + 8;

void Write(FILE* f, std::string_view text) {
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), f);
}

bool IsYes(std::string_view answer) {
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r' ||
                             answer.back() == ' ' || answer.back() == '\t')) {
    answer.remove_suffix(1);
  }
  while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t')) {
    answer.remove_prefix(1);
  }
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

}  // namespace

std::string ToLf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

void Console::Info(std::string_view text) {
  if (o_.quiet || o_.json) return;
  ClearProgress();
  Write(o_.out, text);
  Write(o_.out, "\n");
  std::fflush(o_.out);
}

void Console::Out(std::string_view text) {
  ClearProgress();
  Write(o_.out, text);
  std::fflush(o_.out);
}

void Console::Error(std::string_view text) {
  ClearProgress();
  std::fflush(o_.out);
  Write(o_.err, "velkan: ");
  Write(o_.err, text);
  Write(o_.err, "\n");
  std::fflush(o_.err);
}

bool Console::AskYesNo(std::string_view question, std::string_view noTerminalHint) {
  ClearProgress();
  std::fflush(o_.out);
  Write(o_.err, question);
  if (!o_.interactive) {
    Write(o_.err, "\n");
    if (!noTerminalHint.empty()) {
      Write(o_.err, "velkan: ");
      Write(o_.err, noTerminalHint);
      Write(o_.err, "\n");
    }
    std::fflush(o_.err);
    return false;
  }
  Write(o_.err, " [y/N] ");
  std::fflush(o_.err);
  char answer[64];
  if (std::fgets(answer, sizeof answer, o_.in) == nullptr) {
    Write(o_.err, "\n");
    return false;
  }
  return IsYes(answer);
}

MsgResult Console::MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons) {
  std::string box = "[" + std::string(caption) + "] " + ToLf(text);
  while (!box.empty() && box.back() == '\n') box.pop_back();
  if (buttons == MsgButtons::kOk) {
    ClearProgress();
    std::fflush(o_.out);
    Write(o_.err, box);
    Write(o_.err, "\n");
    std::fflush(o_.err);
    return MsgResult::kOk;
  }
  if (o_.answerYes) {
    if (!o_.quiet) {
      ClearProgress();
      std::fflush(o_.out);
      Write(o_.err, box);
      Write(o_.err, " -> yes\n");
      std::fflush(o_.err);
    }
    return MsgResult::kYes;
  }
  return AskYesNo(box, o_.noTerminalHint) ? MsgResult::kYes : MsgResult::kNo;
}

void Console::DrawProgress(int percent) {
  if (!o_.progress || o_.quiet) return;
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  char line[kProgressColumns + 8];
  char bar[kBarWidth + 1];
  int filled = percent * kBarWidth / 100;
  std::memset(bar, '#', static_cast<std::size_t>(filled));
  std::memset(bar + filled, '.', static_cast<std::size_t>(kBarWidth - filled));
  bar[kBarWidth] = '\0';
  int n = std::snprintf(line, sizeof line, "\r[%s] %3d%%", bar, percent);
  if (n > 0) Write(o_.out, std::string_view(line, static_cast<std::size_t>(n)));
  std::fflush(o_.out);
  progressShown_ = true;
}

void Console::ClearProgress() {
  if (!progressShown_) return;
  std::string blank = "\r" + std::string(kProgressColumns, ' ') + "\r";
  Write(o_.out, blank);
  progressShown_ = false;
}

void ConsolePage::OnEvent(const Event& event) {
  if (event.kind == EventKind::kLineDone) {
    // A line done follows a line end in the log: a failing line without one
    // (a mismatch) ends the run.
    if (!console_.options().json) console_.DrawProgress(event.percent);
    return;
  }
  RunLog::OnEvent(event);
  if (const auto notice = NoticeText(event)) {
    console_.MessageBox(*notice, kCaptionNotice, MsgButtons::kOk);
  }
}

void ConsolePage::Display(const std::string& logText, std::string_view) {
  if (logText.size() < printed_) printed_ = 0;  // the run emptied the log
  const ConsoleOptions& o = console_.options();
  if (!o.quiet && !o.json && logText.size() > printed_) {
    console_.Out(ToLf(std::string_view(logText).substr(printed_)));
  }
  printed_ = logText.size();
  console_.ClearProgress();
}

void ConsolePage::PrintLogIfQuiet() {
  const ConsoleOptions& o = console_.options();
  if (o.quiet && !o.json) console_.Out(ToLf(LogText()));
}

bool TakeBufferedLine(std::string& pending, bool ended, std::string& line) {
  if (const std::size_t nl = pending.find('\n'); nl != std::string::npos) {
    line = pending.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pending.erase(0, nl + 1);
    return true;
  }
  if (!ended || pending.empty()) return false;
  line = std::move(pending);
  pending.clear();
  return true;
}

}  // namespace velkan::cli
