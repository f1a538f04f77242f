// Pages and views for the fuzz targets: every message box answered in a
// fixed way, nothing displayed.
#pragma once

#include <cstdlib>
#include <string>

#include "script/i2c_test.h"
#include "script/page.h"

namespace velkan::fuzz {

class FuzzPage final : public Page {
 public:
  explicit FuzzPage(bool fuse) : fuse_(fuse) {}
  void EnableInputs(bool) override {}
  bool FuseChosen() override { return fuse_; }
  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons,
                       MsgIcon) override {
    if (text.empty() || caption.empty()) std::abort();
    return buttons == MsgButtons::kOk ? MsgResult::kOk : MsgResult::kYes;
  }

 protected:
  void Display(const std::string&, std::string_view) override {}

 private:
  bool fuse_;
};

class FuzzI2cView final : public I2cTestView {
 public:
  void ShowOutput(const std::string& text) override { shown = text; }
  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons,
                       MsgIcon) override {
    if (text.empty() || caption.empty()) std::abort();
    return MsgResult::kOk;
  }
  std::string shown;
};

}  // namespace velkan::fuzz
