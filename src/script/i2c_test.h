// The I2C test page's behaviour without the toolkit: the press of "I2C命令"
// and the read length that follows a typed four-byte command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/dialogs.h"
#include "script/station.h"

namespace velkan {

class I2cTestView : public Dialogs {
 public:
  // Output box := `text` (the whole content).
  virtual void ShowOutput(const std::string& text) = 0;
};

enum class I2cPressResult {
  kOk,            // the press ran to its end
  kNoProgrammer,  // no programmer could be opened
  kBadAddress,    // "请输入正确的 I2C 地址!"
  kBadData,       // "数据域错误!"
  kWriteFailed,   // programmer closed
  kReadFailed,    // programmer closed
  kBusy,          // another activity holds the programmer; nothing sent
};

struct I2cPressOutcome {
  I2cPressResult result = I2cPressResult::kOk;
  bool wrote = false;
  std::vector<std::uint8_t> bytesRead;  // empty when nothing was read
};

// One press of "I2C命令" with the three boxes' texts (UTF-8) on `station`
// (without: the default station, which the I2C page uses). `output` is the
// page's output text (m_strOutput); every show goes to `view`; the station's
// sink gets the press's events (programmer opened, not found or busy; the
// end with the bytes read).
I2cPressOutcome I2cCommandPress(Station& station, I2cTestView& view, const std::string& addressText,
                                const std::string& dataText, const std::string& readLengthText,
                                std::string& output);
I2cPressOutcome I2cCommandPress(I2cTestView& view, const std::string& addressText,
                                const std::string& dataText, const std::string& readLengthText,
                                std::string& output);

// The data box changed: the new read-length text, or nothing when the box
// stays as it is.
std::optional<std::string> ReadLengthAfterDataChange(const std::string& dataText,
                                                     const std::string& readLengthText);

}  // namespace velkan
