// A programming page that shows nothing, for the benchmarks of whole runs.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "common/dialogs.h"
#include "script/run_log.h"

namespace velkan::bench {

class QuietPage : public RunLog, public Dialogs {
 public:
  MsgResult MessageBox(std::string_view, std::string_view, MsgButtons, MsgIcon) override {
    return MsgResult::kOk;
  }

 protected:
  void Display(const std::string& logText, std::string_view tail) override {
    shown_ = logText.size() + tail.size();
    benchmark::DoNotOptimize(shown_);
  }

 private:
  std::size_t shown_ = 0;
};

}  // namespace velkan::bench
