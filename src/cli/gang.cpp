#include "cli/gang.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/event_output.h"
#include "cli/exit_codes.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace velkan::cli {

namespace {

// What a programmer's line shows.
struct SlotState {
  std::string label;
  std::string port;
  int percent = 0;
  std::string status;  // the latest log text, or the result at the end
  bool done = false;
  int code = kExitOk;
};

// The shared output of all stations.
class GangView {
 public:
  GangView(Console& console, std::size_t count) : console_(console), slots_(count) {}

  SlotState& Slot(std::size_t i) { return slots_[i]; }
  const ConsoleOptions& options() const { return console_.options(); }
  bool Lines() const { return !options().json && !options().progress; }

  // A piece of log text of station `i`: on a terminal it becomes the
  // station's status; otherwise each of its lines is printed with the
  // station's name in front.
  void Text(std::size_t i, const std::string& text) {
    std::lock_guard lock(mutex_);
    std::string lf = ToLf(text);
    while (!lf.empty() && lf.back() == '\n') lf.pop_back();
    if (lf.empty()) return;
    const std::size_t nl = lf.rfind('\n');
    slots_[i].status = nl == std::string::npos ? lf : lf.substr(nl + 1);
    if (Lines()) {
      if (options().quiet) return;
      std::size_t start = 0;
      while (start <= lf.size()) {
        std::size_t end = lf.find('\n', start);
        if (end == std::string::npos) end = lf.size();
        if (end > start) {
          const std::string line =
              Printable(slots_[i].label) + ": " + lf.substr(start, end - start);
          std::fprintf(options().out, "%s\n", line.c_str());
        }
        start = end + 1;
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

  // A message box of station `i` (the runs show only OK boxes): on stderr
  // with the station's name.
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

// One station's page: the script, no output of its own (the view shows it).
class GangPage final : public Page {
 public:
  GangPage(GangView& view, std::size_t index, bool fuse)
      : view_(view), index_(index), fuse_(fuse) {}
  void EnableInputs(bool) override {}
  bool FuseChosen() override { return fuse_; }
  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons,
                       MsgIcon) override {
    view_.Box(index_, text, caption);
    return MsgResult::kOk;
  }

 protected:
  void Display(const std::string&, std::string_view) override {}

 private:
  GangView& view_;
  std::size_t index_;
  bool fuse_;
};

// A station's events to the view (or as JSON lines).
class GangSink final : public EventSink {
 public:
  GangSink(GangView& view, std::size_t index, const Station& station, LineWriter& writer)
      : view_(view), index_(index), station_(station), writer_(writer) {}
  void OnEvent(const Event& event) override {
    if (event.kind == EventKind::kProgrammerOpened) {
      view_.Label(index_, station_.Serial(), station_.Port());
    }
    if (view_.options().json) {
      writer_.Write(JsonLine(EventJson(event, station_)));
      return;
    }
    if (event.kind == EventKind::kLineDone) {
      view_.Progress(index_, event.percent);
      return;
    }
    std::string text;
    for (const std::string& piece : LogPieces(event)) text += piece;
    view_.Text(index_, text);
  }

 private:
  GangView& view_;
  std::size_t index_;
  const Station& station_;
  LineWriter& writer_;
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

int RunGang(Console& console, Page& prepared, bool fuse, const std::vector<GangTarget>& targets,
            RunOutcome (*run)(Station&, Page&), int (*exitCode)(const RunOutcome&)) {
  GangView view(console, targets.size());
  LineWriter writer(console.options().out);
  struct Member {
    std::unique_ptr<Station> station;
    std::unique_ptr<GangPage> page;
    std::unique_ptr<GangSink> sink;
  };
  std::vector<Member> members;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    view.Slot(i).label = targets[i].label;
    Member m;
    m.station = std::make_unique<Station>(targets[i].selector);
    m.page = std::make_unique<GangPage>(view, i, fuse);
    m.page->Script() = prepared.Script();
    m.page->SetHexPath(prepared.HexPath());
    m.sink = std::make_unique<GangSink>(view, i, *m.station, writer);
    m.station->SetSink(m.sink.get());
    members.push_back(std::move(m));
  }

  std::vector<int> codes(targets.size(), kExitFailure);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < members.size(); ++i) {
      threads.emplace_back([&, i] {
        Member& m = members[i];
        ProgrammerLease lease = AcquireForRun(*m.station, *m.page);
        codes[i] = lease ? exitCode(run(*m.station, *m.page)) : kExitFailure;
        lease.Release();
        // The station's programmer is closed when its run is over.
        if (const int handle = m.station->Handle(); handle != 0 && handle != -2) {
          DllCloseReader(handle);
          m.station->SetHandle(0);
        }
        view.Finished(i, codes[i]);
      });
    }
  }  // all joined

  const int worst = WorstExitCode(codes);
  if (console.options().json) {
    nlohmann::json summary;
    summary["event"] = "gang-finished";
    summary["exitCode"] = worst;
    nlohmann::json list = nlohmann::json::array();
    for (std::size_t i = 0; i < members.size(); ++i) {
      list.push_back({{"serial", members[i].station->Serial()},
                      {"port", members[i].station->Port()},
                      {"device", targets[i].selector.value},
                      {"exitCode", codes[i]}});
    }
    summary["programmers"] = std::move(list);
    writer.Write(JsonLine(summary));
    return worst;
  }
  std::string out;
  for (std::size_t i = 0; i < members.size(); ++i) {
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
