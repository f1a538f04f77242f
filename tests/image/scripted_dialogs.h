// A Dialogs fake for the image tests: records every box and answers from a
// queue (No once the queue is empty, OK for OK-only boxes).
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "common/dialogs.h"

namespace velkan::testing {

struct ShownBox {
  std::string text;
  std::string caption;
  MsgButtons buttons;
};

class ScriptedDialogs : public Dialogs {
 public:
  explicit ScriptedDialogs(std::deque<MsgResult> answers = {}) : answers_(std::move(answers)) {}

  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons,
                       MsgIcon) override {
    shown.push_back({std::string(text), std::string(caption), buttons});
    if (buttons == MsgButtons::kOk) return MsgResult::kOk;
    if (answers_.empty()) return MsgResult::kNo;
    const MsgResult answer = answers_.front();
    answers_.pop_front();
    return answer;
  }

  std::vector<ShownBox> shown;

 private:
  std::deque<MsgResult> answers_;
};

}  // namespace velkan::testing
