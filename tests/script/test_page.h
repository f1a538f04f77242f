// A page for the runs' tests: records every log box display with its
// transient tail and every message box (the run's notices, shown as the
// pages show them), and answers message boxes from a queue (OK when it is
// empty). Online and Offline start a run as a page does.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "common/dialogs.h"
#include "script/run_log.h"
#include "script/runs.h"
#include "script/session.h"

namespace velkan::test {

class TestPage : public RunLog, public Dialogs {
 public:
  struct Shown {
    std::string log;
    std::string tail;
    bool operator==(const Shown&) const = default;
  };
  struct Box {
    std::string text;
    std::string caption;
    MsgButtons buttons = MsgButtons::kOk;
    MsgIcon icon = MsgIcon::kNone;
  };

  void OnEvent(const Event& event) override {
    RunLog::OnEvent(event);
    if (const auto notice = NoticeText(event)) {
      MessageBox(*notice, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    }
  }

  // The online or offline run of this page's script on `station`, the log
  // emptied first; its events also go to `also` when given.
  RunOutcome Online(Station& station = DefaultStation(), EventSink* also = nullptr) {
    ClearLog();
    TeeSink sink(*this, also);
    return OnlineProgramRun(station, Context(fuse_, sink));
  }
  RunOutcome Offline(Station& station = DefaultStation(), EventSink* also = nullptr) {
    ClearLog();
    TeeSink sink(*this, also);
    return OfflineLoadRun(station, Context(fuse_, sink));
  }

  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons,
                       MsgIcon icon) override {
    std::lock_guard lock(mutex_);
    boxes_.push_back({std::string(text), std::string(caption), buttons, icon});
    if (answers_.empty()) return MsgResult::kOk;
    const MsgResult answer = answers_.front();
    answers_.pop_front();
    return answer;
  }

  void SetFuse(bool fuse) { fuse_ = fuse; }
  void QueueAnswer(MsgResult answer) { answers_.push_back(answer); }

  std::vector<Shown> Displays() const {
    std::lock_guard lock(mutex_);
    return displays_;
  }
  // What the log box shows now.
  std::string LogBox() const {
    std::lock_guard lock(mutex_);
    return displays_.empty() ? std::string() : displays_.back().log + displays_.back().tail;
  }
  std::vector<Box> Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  std::vector<std::string> Tails() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> tails;
    for (const Shown& s : displays_) {
      if (!s.tail.empty()) tails.push_back(s.tail);
    }
    return tails;
  }
  void ClearRecords() {
    std::lock_guard lock(mutex_);
    displays_.clear();
    boxes_.clear();
  }

 protected:
  void Display(const std::string& logText, std::string_view transientTail) override {
    std::lock_guard lock(mutex_);
    displays_.push_back({logText, std::string(transientTail)});
  }

 private:
  mutable std::mutex mutex_;
  bool fuse_ = false;
  std::deque<MsgResult> answers_;
  std::vector<Shown> displays_;
  std::vector<Box> boxes_;
};

}  // namespace velkan::test
