#include "cli/gang.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/event_output.h"
#include "cli/exit_codes.h"
#include "production/production.h"

namespace velkan::cli {

namespace {

// What a programmer's line shows.
struct SlotState {
  std::string label;
  std::string port;
  int percent = 0;
  std::string status;  // the last line of the latest log text
  bool done = false;
  int code = kExitOk;
};

// The shared output of all stations.
class GangView {
 public:
  GangView(Console& console, std::size_t count) : console_(console), slots_(count) {}

  SlotState& Slot(std::size_t i) { return slots_[i]; }
  const ConsoleOptions& options() const { return console_.options(); }
  bool PlainLines() const { return !options().json && !options().progress; }

  // The log lines of an event of station `i`: on a terminal the last one
  // with text becomes the station's status; otherwise each one with text is
  // printed with the station's name in front.
  void Lines(std::size_t i, const std::vector<std::string>& lines) {
    std::lock_guard lock(mutex_);
    const auto last = std::find_if(lines.rbegin(), lines.rend(),
                                   [](const std::string& line) { return !line.empty(); });
    if (last == lines.rend()) return;
    slots_[i].status = *last;
    if (PlainLines()) {
      if (options().quiet) return;
      for (const std::string& line : lines) {
        if (!line.empty()) {
          std::fprintf(options().out, "%s: %s\n", Printable(slots_[i].label).c_str(), line.c_str());
        }
      }
      std::fflush(options().out);
    } else {
      DrawLocked(true);
    }
  }

  void Progress(std::size_t i, int percent) {
    std::lock_guard lock(mutex_);
    slots_[i].percent = percent;
    DrawLocked(false);
  }

  void Label(std::size_t i, const std::string& serial, const std::string& port) {
    std::lock_guard lock(mutex_);
    if (!serial.empty()) slots_[i].label = serial;
    if (!port.empty()) slots_[i].port = port;
  }

  void Finished(std::size_t i, int code) {
    std::lock_guard lock(mutex_);
    slots_[i].done = true;
    slots_[i].code = code;
    if (code == kExitOk) slots_[i].percent = 100;
    DrawLocked(true);
  }

  // A notice of station `i` (an OK message box): on stderr with the
  // station's name.
  void Box(std::size_t i, std::string_view text, std::string_view caption) {
    std::lock_guard lock(mutex_);
    std::string box =
        Printable(slots_[i].label) + ": [" + std::string(caption) + "] " + ToLf(std::string(text));
    while (!box.empty() && box.back() == '\n') box.pop_back();
    std::fprintf(options().err, "%s\n", box.c_str());
    std::fflush(options().err);
  }

  // The status block, redrawn in place: at most every 100 ms unless
  // something other than the percentage changed.
  void DrawLocked(bool force) {
    if (!options().progress || options().json || options().quiet) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    std::string block;
    if (drawn_) block += "\x1b[" + std::to_string(slots_.size()) + "A";
    for (const SlotState& s : slots_) {
      block += "\r\x1b[2K" + StatusLine(s) + "\n";
    }
    std::fwrite(block.data(), 1, block.size(), options().out);
    std::fflush(options().out);
    drawn_ = true;
  }

  static std::string StatusLine(const SlotState& s) {
    char bar[24];
    const int filled = std::clamp(s.percent, 0, 100) * 20 / 100;
    std::fill(bar, bar + 20, '.');
    std::fill(bar, bar + filled, '#');
    bar[20] = '\0';
    char head[96];
    std::snprintf(head, sizeof head, "%-10s %-12s [%s] %3d%%  ", Printable(s.label).c_str(),
                  Printable(s.port).c_str(), bar, std::clamp(s.percent, 0, 100));
    std::string line = head;
    if (s.done)
      line += s.code == kExitOk ? "pass  " : "FAIL (exit " + std::to_string(s.code) + ")  ";
    return line + Printable(s.status);
  }

 private:
  Console& console_;
  std::mutex mutex_;
  std::vector<SlotState> slots_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// The stations' reports rendered: the terminal view, or JSON lines.
class GangObserver final : public production::Observer {
 public:
  GangObserver(GangView& view, const std::vector<GangTarget>& targets, LineWriter& writer,
               int (*exitCode)(const RunOutcome&))
      : view_(view),
        targets_(targets),
        writer_(writer),
        exitCode_(exitCode),
        identities_(targets.size()),
        codes_(targets.size(), kExitFailure) {}

  // The programmer is known: its serial number and port.
  void OnStationReady(std::size_t i, const std::string& serial, const std::string& port) override {
    std::lock_guard lock(mutex_);
    identities_[i] = {serial, port};
  }
  void OnWaiting(std::size_t, bool) override {}
  void OnChipStarted(std::size_t, const std::optional<std::string>&) override {}
  void OnRunEvent(std::size_t i, const Event& event) override {
    const Identity id = IdentityOf(i);
    if (event.kind == EventKind::kProgrammerOpened) view_.Label(i, id.serial, id.port);
    if (view_.options().json) {
      writer_.Write(JsonLine(EventJson(event, id.serial, id.port, targets_[i].selector.value)));
    } else if (event.kind == EventKind::kLineDone) {
      view_.Progress(i, event.percent);
    } else {
      view_.Lines(i, LogLines(event));
    }
    // A message box of the run: on stderr with the station's name.
    if (const auto notice = NoticeText(event)) view_.Box(i, *notice, kCaptionNotice);
  }
  void OnChipDone(std::size_t i, const production::ChipRecord& row,
                  const production::Counters&) override {
    RunOutcome outcome;
    outcome.opened = row.result != production::ChipResult::kNoProgrammer;
    outcome.busy = row.result == production::ChipResult::kBusy;
    outcome.result = row.runResult;
    std::lock_guard lock(mutex_);
    codes_[i] = exitCode_(outcome);
  }
  void OnStationStopped(std::size_t i, production::StationStop, const std::string&,
                        const production::Counters&) override {
    view_.Finished(i, Code(i));
  }
  production::NextChipAnswer WaitForNextChip(std::size_t, std::chrono::milliseconds) override {
    return production::NextChipAnswer::kEnd;
  }

  struct Identity {
    std::string serial;
    std::string port;
  };
  Identity IdentityOf(std::size_t i) {
    std::lock_guard lock(mutex_);
    return identities_[i];
  }
  int Code(std::size_t i) {
    std::lock_guard lock(mutex_);
    return codes_[i];
  }

 private:
  GangView& view_;
  const std::vector<GangTarget>& targets_;
  LineWriter& writer_;
  int (*exitCode_)(const RunOutcome&);
  std::mutex mutex_;
  std::vector<Identity> identities_;
  std::vector<int> codes_;
};

}  // namespace

int WorstExitCode(const std::vector<int>& codes) {
  for (int worst : {kExitComm, kExitStatusWord, kExitMismatch, kExitUnsupported, kExitNoProgrammer,
                    kExitFailure, kExitUsage}) {
    if (std::find(codes.begin(), codes.end(), worst) != codes.end()) return worst;
  }
  for (int code : codes) {
    if (code != kExitOk) return code;
  }
  return kExitOk;
}

int RunGang(Console& console, const RunLog& prepared, bool fuse,
            const std::vector<GangTarget>& targets, RunKind kind,
            int (*exitCode)(const RunOutcome&)) {
  GangView view(console, targets.size());
  LineWriter writer(console.options().out);
  GangObserver observer(view, targets, writer, exitCode);
  std::vector<std::optional<DeviceSelector>> devices;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    view.Slot(i).label = targets[i].label;
    devices.emplace_back(targets[i].selector);
  }
  // One chip on each programmer at once, with the script as it is, no record.
  production::Product product;
  product.hexPath = prepared.HexPath();
  product.fuse = fuse;
  product.script = prepared.Script();
  production::Settings settings;
  settings.next = production::NextChip::kNow;
  settings.count = 1;
  settings.stopAfterFailures = 0;
  settings.run = kind;
  production::Engine(product, settings, observer).Run(devices);

  std::vector<int> codes;
  for (std::size_t i = 0; i < targets.size(); ++i) codes.push_back(observer.Code(i));
  const int worst = WorstExitCode(codes);
  if (console.options().json) {
    nlohmann::json summary;
    summary["event"] = "gang-finished";
    summary["exitCode"] = worst;
    nlohmann::json list = nlohmann::json::array();
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const GangObserver::Identity id = observer.IdentityOf(i);
      list.push_back({{"serial", id.serial},
                      {"port", id.port},
                      {"device", targets[i].selector.value},
                      {"exitCode", codes[i]}});
    }
    summary["programmers"] = std::move(list);
    writer.Write(JsonLine(summary));
    return worst;
  }
  std::string out;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const SlotState& s = view.Slot(i);
    out += "== " + Printable(s.label) + " " + Printable(s.port.empty() ? "-" : s.port) + ": " +
           (codes[i] == kExitOk ? std::string("pass")
                                : "FAIL (exit " + std::to_string(codes[i]) + ")") +
           "  " + Printable(s.status) + "\n";
  }
  console.Out(out);
  return worst;
}

}  // namespace velkan::cli
