#include "script/i2c_test.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "common/clock.h"
#include "common/codepage.h"
#include "common/hex_text.h"
#include "programmer/backend.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

// The page's two 512-byte areas: the data text (with its terminator, so at
// most 510 hex digits) and the bytes written / read.
constexpr std::size_t kAreaSize = 512;
constexpr std::size_t kMaxDataDigits = kAreaSize - 2;

constexpr std::string_view kOpenFailedLine = "打开设备失败!\r\n";
constexpr std::string_view kOpenFailed = "打开设备失败!";
constexpr std::string_view kOpenOkLine = "打开设备成功!\r\n";
constexpr std::string_view kBadAddress = "请输入正确的 I2C 地址!";
constexpr std::string_view kBadData = "数据域错误!";
constexpr std::string_view kWriteOk = "I2C 写OK!";
constexpr std::string_view kReadFailed = "I2C 读通信失败!";

std::string WithoutSpaces(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != ' ') out += c;
  }
  return out;
}

// A box's text read as a hexadecimal number after any leading spaces; an
// empty box or one that does not start with a hex digit (a sign included)
// counts as 0.
unsigned long HexValue(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos || !std::isxdigit(static_cast<unsigned char>(text[first]))) {
    return 0;
  }
  return std::strtoul(text.c_str() + first, nullptr, 16);
}

bool IsOpenHandle(int handle) {
  return handle != 0 && handle != -2;
}

// A device failure closes the programmer so that the next press opens it
// afresh.
void CloseAfterDeviceFailure(Station& station) {
  const int handle = station.Handle();
  if (IsOpenHandle(handle)) {
    DllCloseReader(handle);
    station.SetHandle(0);
  }
}

void Report(Station& station, EventKind kind) {
  if (EventSink* sink = station.Sink()) {
    Event e;
    e.kind = kind;
    e.run = RunKind::kI2c;
    sink->OnEvent(e);
  }
}

// Holds the programmer for this press; another program holding it gets the
// busy box, as a run of this process would.
bool HoldOrRefuse(Station& station, I2cTestView& view, int handle, I2cPressOutcome& outcome) {
  if (station.HoldForActivity(handle) != kReaderBusy) return true;
  Report(station, EventKind::kProgrammerBusy);
  view.MessageBox(kBusyTextAscii, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
  outcome.result = I2cPressResult::kBusy;
  return false;
}

unsigned WaitAfterWriteMs(std::uint8_t firstByte) {
  switch (firstByte) {
    case 0x07:
      return 550;
    case 0x40:
      return 600;
    default:
      return 100;
  }
}

}  // namespace

namespace {

I2cPressOutcome Press(Station& station, I2cTestView& view, const std::string& addressText,
                      const std::string& dataText, const std::string& readLengthText,
                      std::string& output) {
  I2cPressOutcome outcome;

  // The programming runs hold the programmer on their worker threads; the
  // I2C page must not talk to it meanwhile.
  ProgrammerLease lease = ProgrammerLease::TryAcquire(station);
  if (!lease) {
    view.MessageBox(kBusyTextAscii, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    outcome.result = I2cPressResult::kBusy;
    return outcome;
  }

  output.clear();

  int handle = station.Handle();
  if (!IsOpenHandle(handle)) {
    handle = station.OpenReader();
    station.SetHandle(handle);
    if (handle == -2) {
      Report(station, EventKind::kProgrammerNotFound);
      output += kOpenFailedLine;
      view.ShowOutput(output);
      view.MessageBox(kOpenFailed, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
      outcome.result = I2cPressResult::kNoProgrammer;
      return outcome;
    }
    if (!HoldOrRefuse(station, view, handle, outcome)) return outcome;
    DllI2cRePower(handle);
    GetClock().SleepMs(100);
    Report(station, EventKind::kProgrammerOpened);
    output += kOpenOkLine;
    view.ShowOutput(output);
  } else if (!HoldOrRefuse(station, view, handle, outcome)) {
    return outcome;
  }

  // Two characters, each a hex digit or a space, but not two spaces.
  if (addressText.size() != 2 || !IsHexText(addressText, 2) || addressText == "  ") {
    view.ShowOutput(std::string(kBadAddress));
    outcome.result = I2cPressResult::kBadAddress;
    return outcome;
  }
  const auto address = static_cast<std::uint8_t>(HexValue(addressText) & 0xFF);

  std::uint8_t area[kAreaSize] = {};

  const std::string data = WithoutSpaces(dataText);
  if (!data.empty()) {
    if (data.size() % 2 != 0 || data.size() > kMaxDataDigits || !IsHexText(data, data.size())) {
      view.ShowOutput(std::string(kBadData));
      outcome.result = I2cPressResult::kBadData;
      return outcome;
    }
    const std::string narrow = ToSystemCodePage(data);
    const std::size_t count = HexToBytes(narrow, area);
    if (DllI2cWrite(handle, static_cast<unsigned char>(address & 0xFE), area, count) != 0) {
      char text[64];
      std::snprintf(text, sizeof text, "I2C 写通信失败, ErrCode = %d!", ReaderLastError(handle));
      view.ShowOutput(text);
      CloseAfterDeviceFailure(station);
      outcome.result = I2cPressResult::kWriteFailed;
      return outcome;
    }
    outcome.wrote = true;
    view.ShowOutput(std::string(kWriteOk));
    GetClock().SleepMs(WaitAfterWriteMs(area[0]));
  }

  const unsigned long readLength = HexValue(readLengthText);
  if (readLength != 0) {
    // The request is also the capacity of the area: never more than it holds.
    unsigned long length = std::min<unsigned long>(readLength, kAreaSize);
    if (DllI2cRead(handle, static_cast<unsigned char>(address | 0x01), area, &length) != 0) {
      view.ShowOutput(std::string(kReadFailed));
      CloseAfterDeviceFailure(station);
      outcome.result = I2cPressResult::kReadFailed;
      return outcome;
    }
    length = std::min<unsigned long>(length, kAreaSize);
    outcome.bytesRead.assign(area, area + length);
    output = BytesToHex(area, length);
    view.ShowOutput(output);
  }
  return outcome;
}

}  // namespace

I2cPressOutcome I2cCommandPress(Station& station, I2cTestView& view, const std::string& addressText,
                                const std::string& dataText, const std::string& readLengthText,
                                std::string& output) {
  I2cPressOutcome outcome = Press(station, view, addressText, dataText, readLengthText, output);
  if (EventSink* sink = station.Sink()) {
    Event finished;
    finished.kind = EventKind::kRunFinished;
    finished.run = RunKind::kI2c;
    finished.result = static_cast<int>(outcome.result);
    finished.success = outcome.result == I2cPressResult::kOk;
    finished.opened =
        outcome.result != I2cPressResult::kNoProgrammer && outcome.result != I2cPressResult::kBusy;
    finished.bytes = outcome.bytesRead;
    sink->OnEvent(finished);
  }
  return outcome;
}

I2cPressOutcome I2cCommandPress(I2cTestView& view, const std::string& addressText,
                                const std::string& dataText, const std::string& readLengthText,
                                std::string& output) {
  return I2cCommandPress(DefaultStation(), view, addressText, dataText, readLengthText, output);
}

std::optional<std::string> ReadLengthAfterDataChange(const std::string& dataText,
                                                     const std::string& readLengthText) {
  const std::string data = WithoutSpaces(dataText);
  if (data.size() != 8 || !IsHexText(data, 8)) return std::nullopt;
  const unsigned long current = HexValue(readLengthText);
  const std::vector<std::uint8_t> bytes = HexToBytes(data);
  const unsigned long wanted = static_cast<unsigned long>(bytes[3]) + 2;
  if (wanted <= current) return std::nullopt;
  char text[16];
  std::snprintf(text, sizeof text, "%02lX", wanted);
  return std::string(text);
}

}  // namespace velkan
