// The I2C test page's behaviour without the toolkit: the press of "I2C命令"
// and the read length that follows a typed four-byte command. The exchange
// itself takes typed bytes (I2cRequest); the page's press reads them from
// its three boxes by the page's rules, the command-line tool from its
// options by the same rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "script/events.h"
#include "script/station.h"

namespace velkan {

// What the output box shows at each step of a press.
enum class I2cShown {
  kOpened,       // "打开设备成功!\r\n": the press opened the programmer
  kNotFound,     // "打开设备失败!\r\n"
  kBadAddress,   // "请输入正确的 I2C 地址!"
  kBadData,      // "数据域错误!"
  kWritten,      // "I2C 写OK!"
  kWriteFailed,  // "I2C 写通信失败, ErrCode = <n>!"
  kRead,         // the bytes read, in hex
  kReadFailed,   // "I2C 读通信失败!"
};

class I2cTestView {
 public:
  virtual ~I2cTestView() = default;
  // Output box := `text` (the whole content), shown at step `step`.
  virtual void ShowOutput(I2cShown step, const std::string& text) = 0;
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

// The page's message box after a press (caption "提示", an OK button), if
// any: "打开设备失败!" without a programmer, kBusyTextAscii when busy.
std::optional<std::string_view> I2cNoticeText(I2cPressResult result);

// One exchange: the bytes written to `address` (bit 0 cleared) and the
// count then read from it (bit 0 set).
struct I2cRequest {
  std::uint8_t address = 0;
  std::vector<std::uint8_t> data;  // at most kI2cMaxWrite bytes; none: no write
  unsigned long readLength = 0;    // 0: no read; more than 512 reads 512
};
inline constexpr std::size_t kI2cMaxWrite = 255;
inline constexpr unsigned long kI2cMaxRead = 512;

// The page's rules for its boxes. Address: two characters, each a hex digit
// or a space, not two spaces. Data: the hex digits with the spaces left
// out, an even count, at most 510 (no digits: nothing written). Read
// length: a hex number after any leading spaces; a box that does not start
// with a hex digit (a sign included) reads as 0.
std::optional<std::uint8_t> I2cAddressOf(const std::string& text);
std::optional<std::vector<std::uint8_t>> I2cDataOf(const std::string& text);
unsigned long I2cReadLengthOf(const std::string& text);
// The reply length a four-byte command announces (its fourth byte, plus the
// two status bytes); nothing for other data.
std::optional<unsigned long> AnnouncedReadLength(const std::vector<std::uint8_t>& data);

// One press of "I2C命令" with the three boxes' texts (UTF-8) on `station`
// (without: the default station, which the I2C page uses). The programmer is
// opened before the boxes are read. `output` is the page's output text
// (m_strOutput); every show goes to `view`; `sink` (when given) gets the
// press's events (programmer opened, not found or busy; the end with the
// bytes read). Says nothing else: the page shows I2cNoticeText itself.
I2cPressOutcome I2cCommandPress(Station& station, I2cTestView& view, const std::string& addressText,
                                const std::string& dataText, const std::string& readLengthText,
                                std::string& output, EventSink* sink = nullptr);
I2cPressOutcome I2cCommandPress(I2cTestView& view, const std::string& addressText,
                                const std::string& dataText, const std::string& readLengthText,
                                std::string& output);
// The same press with the request already read (the command-line tool).
I2cPressOutcome I2cRequestPress(Station& station, I2cTestView& view, const I2cRequest& request,
                                std::string& output, EventSink* sink = nullptr);

// The data box changed: the new read-length text, or nothing when the box
// stays as it is.
std::optional<std::string> ReadLengthAfterDataChange(const std::string& dataText,
                                                     const std::string& readLengthText);

}  // namespace velkan
