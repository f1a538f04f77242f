#include "image/hex_loader.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "common/codepage.h"
#include "common/input_file.h"
#include "image/hex_record.h"

namespace velkan {

namespace {

constexpr std::string_view kOpenError = "hex文件打开错误！";
constexpr std::string_view kTooLarge = "hex文件过大，不能装载！";
// A HEX file of the whole APP region is about 92 KB; anything beyond this is
// not a chip's HEX file (or a device such as /dev/zero that never ends) and
// must not be read until memory runs out.
constexpr std::size_t kMaxHexFileBytes = 64u << 20;
constexpr std::string_view kOutsideQuestion = "\n地址超出芯片APP区域，是否忽略继续";
constexpr std::string_view kOutsideCaption = "地址非法";

// A record line longer than this is shown cut short in the question; every
// well-formed record (at most 255 data bytes) is shown whole.
constexpr std::size_t kShownLineMax = 1024;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Length of the valid UTF-8 sequence at the start of `s`, 0 when invalid.
std::size_t Utf8SequenceLength(std::string_view s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t len = 0;
  std::uint32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  std::uint32_t cp = b0 & (0x7F >> len);
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// The record line as the question shows it: bytes that are not valid UTF-8
// and control characters other than TAB become '?', so that a binary file
// gives a readable question; very long lines are cut short.
std::string ShownLine(std::string_view line) {
  std::string shown;
  shown.reserve(std::min(line.size(), kShownLineMax) + 3);
  std::size_t i = 0;
  while (i < line.size() && shown.size() < kShownLineMax) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c < 0x80) {
      shown += (c < 0x20 && c != '\t') || c == 0x7F ? '?' : static_cast<char>(c);
      ++i;
      continue;
    }
    const std::size_t len = Utf8SequenceLength(line.substr(i));
    if (len == 0) {
      shown += '?';
      ++i;
    } else {
      shown.append(line.substr(i, len));
      i += len;
    }
  }
  if (i < line.size()) shown += "...";
  return shown;
}

}  // namespace

HexLoadResult ReadHexText(Dialogs& dialogs, std::string text, HexFile& out) {
  using hexrecord::Type;
  try {
    HexFile result;
    result.lines.text = std::move(text);
    const std::string_view all(result.lines.text);
    result.lines.spans.reserve(all.size() / 44 + 1);
    std::uint32_t base = 0;
    std::uint32_t endAddress = 0;
    std::size_t pos = 0;
    while (pos < all.size()) {
      std::size_t lineEnd = all.find('\n', pos);
      if (lineEnd == std::string_view::npos) lineEnd = all.size();
      std::size_t begin = pos;
      std::size_t end = lineEnd;
      pos = lineEnd + 1;
      while (begin < end && IsBlank(all[begin])) ++begin;
      while (end > begin && IsBlank(all[end - 1])) --end;
      if (begin == end) continue;
      const std::string_view line = all.substr(begin, end - begin);

      const Type type = hexrecord::TypeOf(line);
      if (type == Type::kSegmentBase || type == Type::kLinearBase) {
        base = hexrecord::BaseOf(line, type);
      } else if (type == Type::kData) {
        // The sums are taken in 64 bits: a base near the top of the 32-bit
        // range must not wrap around into the region. A count or address
        // field with characters other than hex digits is treated as lying
        // outside, so every placed record is exactly the range checked here.
        bool inside = false;
        std::uint64_t recordEnd = 0;
        if (hexrecord::HasPlainFields(line)) {
          const std::uint64_t start = std::uint64_t{base} + hexrecord::ScanHex(line, 3, 4);
          recordEnd = start + hexrecord::ScanHex(line, 1, 2);
          inside = start >= kAppStart && recordEnd <= kAppEnd;
        }
        if (inside) {
          endAddress = std::max(endAddress, static_cast<std::uint32_t>(recordEnd));
        } else {
          const std::string question = ShownLine(line).append(kOutsideQuestion);
          const MsgResult answer =
              dialogs.MessageBox(question, kOutsideCaption, MsgButtons::kYesNo, MsgIcon::kNone);
          if (answer != MsgResult::kYes) return HexLoadResult::kDeclined;
          continue;  // dropped: not stored, no sequence number
        }
      }
      result.lines.spans.push_back({begin, end - begin});
    }
    result.endAddress = endAddress;
    out = std::move(result);
    return HexLoadResult::kOk;
  } catch (const std::bad_alloc&) {
    return HexLoadResult::kFailed;
  }
}

HexLoadResult ReadHexFile(Dialogs& dialogs, std::string_view pathUtf8, HexFile& out,
                          std::string* why) {
  // One open, one read: the pass below works on exactly the bytes read, and
  // a FIFO or a pipe is read once.
  std::string text;
  InputFileOptions options;
  options.limit = kMaxHexFileBytes;
  InputFileError read = InputFileError::kCannotOpen;
  try {
    read = ReadInputFile(PathFromUtf8(pathUtf8), options, text);
  } catch (const std::exception&) {
    // a path the platform cannot represent
  }
  if (why != nullptr) *why = read == InputFileError::kNone ? "" : InputFileErrorText(read, options);
  switch (read) {
    case InputFileError::kNone:
      return ReadHexText(dialogs, std::move(text), out);
    case InputFileError::kTooLarge:
      dialogs.MessageBox(kTooLarge, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
      return HexLoadResult::kFailed;
    case InputFileError::kReadError:
      return HexLoadResult::kFailed;
    default:
      dialogs.MessageBox(kOpenError, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
      return HexLoadResult::kOpenError;
  }
}

}  // namespace velkan
