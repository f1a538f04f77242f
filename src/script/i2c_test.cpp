#include "script/i2c_test.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "common/clock.h"
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

void Report(EventSink* sink, EventKind kind) {
  if (sink != nullptr) {
    Event e;
    e.kind = kind;
    e.run = RunKind::kI2c;
    sink->OnEvent(e);
  }
}

// Holds the programmer for this press; another program holding it refuses
// the press, as it refuses a run of this process.
bool HoldOrRefuse(Station& station, EventSink* sink, int handle, I2cPressOutcome& outcome) {
  if (station.HoldForActivity(handle) != kReaderBusy) return true;
  Report(sink, EventKind::kProgrammerBusy);
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

// Takes the station for the press and opens its programmer if needed (the
// opening shown); false, with `outcome` saying why, when the press ends
// here.
bool TakeAndOpen(Station& station, I2cTestView& view, EventSink* sink, ProgrammerLease& lease,
                 std::string& output, I2cPressOutcome& outcome) {
  // The programming runs hold the programmer on their worker threads; the
  // I2C page must not talk to it meanwhile.
  lease = ProgrammerLease::TryAcquire(station);
  if (!lease) {
    outcome.result = I2cPressResult::kBusy;
    return false;
  }
  output.clear();
  int handle = station.Handle();
  if (IsOpenHandle(handle)) return HoldOrRefuse(station, sink, handle, outcome);
  handle = station.OpenReader();
  station.SetHandle(handle);
  if (handle == kNoProgrammerHandle) {
    Report(sink, EventKind::kProgrammerNotFound);
    output += kOpenFailedLine;
    view.ShowOutput(I2cShown::kNotFound, output);
    outcome.result = I2cPressResult::kNoProgrammer;
    return false;
  }
  if (!HoldOrRefuse(station, sink, handle, outcome)) return false;
  DllI2cRePower(handle);
  GetClock().SleepMs(100);
  Report(sink, EventKind::kProgrammerOpened);
  output += kOpenOkLine;
  view.ShowOutput(I2cShown::kOpened, output);
  return true;
}

// The write and the read on the open programmer. A device failure closes
// the programmer so that the next press opens it afresh.
void Exchange(Station& station, I2cTestView& view, const I2cRequest& request, std::string& output,
              I2cPressOutcome& outcome) {
  const int handle = station.Handle();
  std::uint8_t area[kAreaSize] = {};
  if (!request.data.empty()) {
    const std::size_t count = std::min(request.data.size(), kI2cMaxWrite);
    std::copy_n(request.data.begin(), count, area);
    if (DllI2cWrite(handle, static_cast<unsigned char>(request.address & 0xFE), area, count) != 0) {
      char text[64];
      std::snprintf(text, sizeof text, "I2C 写通信失败, ErrCode = %d!", ReaderLastError(handle));
      view.ShowOutput(I2cShown::kWriteFailed, text);
      station.CloseReader();
      outcome.result = I2cPressResult::kWriteFailed;
      return;
    }
    outcome.wrote = true;
    view.ShowOutput(I2cShown::kWritten, std::string(kWriteOk));
    GetClock().SleepMs(WaitAfterWriteMs(area[0]));
  }
  if (request.readLength != 0) {
    // The request is also the capacity of the area: never more than it holds.
    unsigned long length = std::min<unsigned long>(request.readLength, kAreaSize);
    if (DllI2cRead(handle, static_cast<unsigned char>(request.address | 0x01), area, &length) !=
        0) {
      view.ShowOutput(I2cShown::kReadFailed, std::string(kReadFailed));
      station.CloseReader();
      outcome.result = I2cPressResult::kReadFailed;
      return;
    }
    length = std::min<unsigned long>(length, kAreaSize);
    outcome.bytesRead.assign(area, area + length);
    output = BytesToHex(area, length);
    view.ShowOutput(I2cShown::kRead, output);
  }
}

// The press's end, to the sink.
I2cPressOutcome Finish(EventSink* sink, I2cPressOutcome outcome) {
  if (sink != nullptr) {
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

}  // namespace

std::optional<std::string_view> I2cNoticeText(I2cPressResult result) {
  switch (result) {
    case I2cPressResult::kNoProgrammer:
      return kOpenFailed;
    case I2cPressResult::kBusy:
      return kBusyTextAscii;
    default:
      return std::nullopt;
  }
}

std::optional<std::uint8_t> I2cAddressOf(const std::string& text) {
  // Two characters, each a hex digit or a space, but not two spaces.
  if (text.size() != 2 || !IsHexText(text, 2) || text == "  ") return std::nullopt;
  return static_cast<std::uint8_t>(HexValue(text) & 0xFF);
}

std::optional<std::vector<std::uint8_t>> I2cDataOf(const std::string& text) {
  const std::string digits = WithoutSpaces(text);
  if (digits.size() % 2 != 0 || digits.size() > kMaxDataDigits ||
      !IsHexText(digits, digits.size())) {
    return std::nullopt;
  }
  return HexToBytes(digits);
}

unsigned long I2cReadLengthOf(const std::string& text) {
  return HexValue(text);
}

std::optional<unsigned long> AnnouncedReadLength(const std::vector<std::uint8_t>& data) {
  if (data.size() != 4) return std::nullopt;
  return static_cast<unsigned long>(data[3]) + 2;
}

I2cPressOutcome I2cCommandPress(Station& station, I2cTestView& view, const std::string& addressText,
                                const std::string& dataText, const std::string& readLengthText,
                                std::string& output, EventSink* sink) {
  I2cPressOutcome outcome;
  ProgrammerLease lease;
  if (!TakeAndOpen(station, view, sink, lease, output, outcome)) return Finish(sink, outcome);
  I2cRequest request;
  if (const std::optional<std::uint8_t> address = I2cAddressOf(addressText)) {
    request.address = *address;
  } else {
    view.ShowOutput(I2cShown::kBadAddress, std::string(kBadAddress));
    outcome.result = I2cPressResult::kBadAddress;
    return Finish(sink, outcome);
  }
  if (std::optional<std::vector<std::uint8_t>> data = I2cDataOf(dataText)) {
    request.data = std::move(*data);
  } else {
    view.ShowOutput(I2cShown::kBadData, std::string(kBadData));
    outcome.result = I2cPressResult::kBadData;
    return Finish(sink, outcome);
  }
  request.readLength = I2cReadLengthOf(readLengthText);
  Exchange(station, view, request, output, outcome);
  return Finish(sink, outcome);
}

I2cPressOutcome I2cCommandPress(I2cTestView& view, const std::string& addressText,
                                const std::string& dataText, const std::string& readLengthText,
                                std::string& output) {
  return I2cCommandPress(DefaultStation(), view, addressText, dataText, readLengthText, output);
}

I2cPressOutcome I2cRequestPress(Station& station, I2cTestView& view, const I2cRequest& request,
                                std::string& output, EventSink* sink) {
  I2cPressOutcome outcome;
  ProgrammerLease lease;
  if (TakeAndOpen(station, view, sink, lease, output, outcome)) {
    Exchange(station, view, request, output, outcome);
  }
  return Finish(sink, outcome);
}

std::optional<std::string> ReadLengthAfterDataChange(const std::string& dataText,
                                                     const std::string& readLengthText) {
  const std::string data = WithoutSpaces(dataText);
  if (data.size() != 8 || !IsHexText(data, 8)) return std::nullopt;
  const std::optional<unsigned long> wanted = AnnouncedReadLength(HexToBytes(data));
  if (!wanted || *wanted <= HexValue(readLengthText)) return std::nullopt;
  char text[16];
  std::snprintf(text, sizeof text, "%02lX", *wanted);
  return std::string(text);
}

}  // namespace velkan
