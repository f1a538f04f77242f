// What both script benchmarks run: a page that shows nothing and the
// generator's script of a full application image.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "image/script_generator.h"
#include "script/page.h"

namespace velkan::bench {

class QuietPage : public Page {
 public:
  void EnableInputs(bool) override {}
  bool FuseChosen() override { return false; }
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

// The generator's script for an image with data in all 256 blocks.
inline ScriptTable FullApplicationScript() {
  ChipImage image;
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
  }
  ScriptTable script;
  GenerateScript(image, kAppEnd, false, script);
  return script;
}

}  // namespace velkan::bench
