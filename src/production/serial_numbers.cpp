#include "production/serial_numbers.h"

#include <cctype>
#include <map>

#include "common/sha256.h"
#include "image/hex_loader.h"

namespace velkan::production {

namespace {

std::optional<std::uint64_t> ParseDigits(const std::string& text, int base, std::size_t maxDigits) {
  std::string t = text;
  if (base == 16 && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty() || t.size() > maxDigits) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : t) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      digit = std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return value;
}

std::string ParseAddress(const std::string& text, std::size_t length, std::uint32_t& address) {
  const auto value = ParseDigits(text, 16, 8);
  if (!value) return "--serial-at " + text + ": not a hex address";
  if (*value < kAppStart || *value + length > kAppEnd) {
    return "--serial-at " + text + ": the serial number must lie inside the chip's APP region " +
           "0x2000-0x9FFF";
  }
  address = static_cast<std::uint32_t>(*value);
  return {};
}

// The largest number the form holds in `bytes` bytes, plus one; numbers
// are kept as signed 64-bit values, so never more than 2^63.
std::uint64_t Limit(SerialFormat format, int bytes) {
  constexpr std::uint64_t kMax = std::uint64_t{1} << 63;
  std::uint64_t limit = 1;
  const std::uint64_t per = format == SerialFormat::kBcd     ? 100
                            : format == SerialFormat::kAscii ? 16
                                                             : 256;
  for (int i = 0; i < bytes; ++i) {
    if (limit > kMax / per) return kMax;
    limit *= per;
  }
  return limit;
}

}  // namespace

std::string HexText(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

std::string SerialPlan::Series() const {
  if (FromFile()) return "file:" + fileSha256;
  static constexpr const char* kNames[] = {"be", "le", "bcd", "ascii"};
  return std::string(kNames[static_cast<int>(format)]) + ":" + std::to_string(bytes);
}

std::string ParseCounterPlan(const std::string& address, const std::string& start,
                             std::int64_t step, int bytes, const std::string& format,
                             SerialPlan& out, SerialField* field) {
  SerialField wrong = SerialField::kFormat;
  std::string error = [&]() -> std::string {
    SerialPlan plan;
    if (format == "be") {
      plan.format = SerialFormat::kBe;
    } else if (format == "le") {
      plan.format = SerialFormat::kLe;
    } else if (format == "bcd") {
      plan.format = SerialFormat::kBcd;
    } else if (format == "ascii") {
      plan.format = SerialFormat::kAscii;
    } else {
      wrong = SerialField::kFormat;
      return "--serial-format " + format + ": be, le, bcd or ascii";
    }
    wrong = SerialField::kBytes;
    if (bytes < 1 || bytes > 8) return "--serial-bytes: 1 to 8";
    wrong = SerialField::kStep;
    if (step < 1) return "--serial-step: 1 or more";
    plan.bytes = bytes;
    plan.step = step;
    wrong = SerialField::kAddress;
    if (std::string e = ParseAddress(address, static_cast<std::size_t>(bytes), plan.address);
        !e.empty()) {
      return e;
    }
    wrong = SerialField::kStart;
    const bool decimal = plan.format == SerialFormat::kBcd;
    const auto value = ParseDigits(start, decimal ? 10 : 16, 16);
    if (!value) {
      return "--serial-start " + start +
             (decimal ? ": not a decimal number" : ": not a hex number");
    }
    if (*value >= Limit(plan.format, bytes)) {
      return "--serial-start " + start + ": does not fit in " + std::to_string(bytes) + " bytes" +
             (*value >= (std::uint64_t{1} << 63) ? " (numbers go up to 7FFFFFFFFFFFFFFF)" : "");
    }
    plan.start = static_cast<std::int64_t>(*value);
    out = std::move(plan);
    return {};
  }();
  if (!error.empty() && field != nullptr) *field = wrong;
  return error;
}

std::string ParseFilePlan(const std::string& address, const std::string& fileName,
                          const std::string& text, SerialPlan& out, SerialField* field) {
  if (field != nullptr) *field = SerialField::kFile;
  SerialPlan plan;
  plan.fileName = fileName;
  plan.fileSha256 = Sha256Hex(text);
  std::size_t longest = 0;
  // Where each value was first seen: a value on two lines would be given
  // to two chips.
  std::map<std::vector<std::uint8_t>, std::size_t> seen;
  std::size_t lineNumber = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    std::string digits;
    for (char c : line) {
      if (c == ' ' || c == '\t' || c == '\r') continue;
      digits += c;
    }
    if (digits.empty()) continue;
    const std::string where = "--serial-file " + fileName + " line " + std::to_string(lineNumber);
    if (digits.size() % 2 != 0) return where + ": an odd number of hex digits";
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      const auto b = ParseDigits(digits.substr(i, 2), 16, 2);
      if (!b) return where + ": not a hex value";
      bytes.push_back(static_cast<std::uint8_t>(*b));
    }
    if (bytes.size() > 256) return where + ": longer than 256 bytes";
    if (const auto [it, fresh] = seen.emplace(bytes, lineNumber); !fresh) {
      return where + ": the same value as line " + std::to_string(it->second) +
             " (each value is given to one chip only)";
    }
    longest = std::max(longest, bytes.size());
    plan.fileValues.push_back(std::move(bytes));
  }
  if (plan.fileValues.empty()) return "--serial-file " + fileName + ": no values";
  if (std::string e = ParseAddress(address, longest, plan.address); !e.empty()) {
    if (field != nullptr) *field = SerialField::kAddress;
    return e;
  }
  plan.bytes = static_cast<int>(longest);
  out = std::move(plan);
  return {};
}

std::optional<SerialValue> ValueOf(const SerialPlan& plan, std::int64_t number,
                                   std::string& error) {
  SerialValue v;
  v.number = number;
  if (plan.FromFile()) {
    if (number < 1 || static_cast<std::size_t>(number) > plan.fileValues.size()) {
      error = "--serial-file " + plan.fileName + ": all " + std::to_string(plan.fileValues.size()) +
              " values have been given";
      return std::nullopt;
    }
    v.bytes = plan.fileValues[static_cast<std::size_t>(number - 1)];
    v.text = HexText(v.bytes);
    return v;
  }
  if (number < 0 || static_cast<std::uint64_t>(number) >= Limit(plan.format, plan.bytes)) {
    error = "serial number " + std::to_string(number) + " does not fit in " +
            std::to_string(plan.bytes) + " bytes";
    return std::nullopt;
  }
  auto n = static_cast<std::uint64_t>(number);
  const auto k = static_cast<std::size_t>(plan.bytes);
  v.bytes.assign(k, 0);
  switch (plan.format) {
    case SerialFormat::kBe:
      for (std::size_t i = 0; i < k; ++i)
        v.bytes[k - 1 - i] = static_cast<std::uint8_t>(n >> (8 * i));
      v.text = HexText(v.bytes);
      break;
    case SerialFormat::kLe:
      for (std::size_t i = 0; i < k; ++i) v.bytes[i] = static_cast<std::uint8_t>(n >> (8 * i));
      v.text = HexText(std::vector<std::uint8_t>(v.bytes.rbegin(), v.bytes.rend()));
      break;
    case SerialFormat::kBcd:
      for (std::size_t i = 0; i < k; ++i) {
        const auto two = static_cast<std::uint8_t>(n % 100);
        v.bytes[k - 1 - i] = static_cast<std::uint8_t>((two / 10) << 4 | (two % 10));
        n /= 100;
      }
      v.text = HexText(v.bytes);  // the decimal digits
      break;
    case SerialFormat::kAscii:
      for (std::size_t i = 0; i < k; ++i) {
        v.bytes[k - 1 - i] = static_cast<std::uint8_t>("0123456789ABCDEF"[n & 15]);
        n >>= 4;
      }
      v.text.assign(v.bytes.begin(), v.bytes.end());
      break;
  }
  return v;
}

}  // namespace velkan::production
