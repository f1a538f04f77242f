// Pages and views for the fuzz targets: every message box answered in a
// fixed way, nothing displayed.
#pragma once

#include <cstdlib>
#include <string>

#include "script/i2c_test.h"
#include "common/dialogs.h"
#include "script/run_log.h"

namespace velkan::fuzz {

class FuzzPage final : public RunLog, public Dialogs {
 public:
  explicit FuzzPage(bool fuse) : fuse_(fuse) {}
  bool Fuse() const { return fuse_; }
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
  void ShowOutput(I2cShown, const std::string& text) override { shown = text; }
  std::string shown;
};

}  // namespace velkan::fuzz
