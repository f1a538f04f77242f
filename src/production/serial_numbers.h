// Serial numbers written into each chip's image: an increasing counter in
// one of four byte forms, or the values of a file, one per line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velkan::production {

enum class SerialFormat {
  kBe,     // the number, most significant byte first
  kLe,     // least significant byte first
  kBcd,    // two decimal digits per byte, most significant first
  kAscii,  // upper-case hex digits as ASCII characters, one per byte
};

struct SerialPlan {
  std::uint32_t address = 0;  // chip address of the first byte
  int bytes = 4;              // counter: bytes written per chip
  SerialFormat format = SerialFormat::kBe;
  std::int64_t start = 0;  // counter: the first number
  std::int64_t step = 1;   // counter: the increment
  // File mode: the values, line by line (number k is line k, from 1).
  std::vector<std::vector<std::uint8_t>> fileValues;
  std::string fileName;     // for messages
  std::string fileSha256;   // of the file's bytes: the file's number space
  bool burnFailed = false;  // a failed chip's number is not given again

  bool FromFile() const { return !fileName.empty(); }
  // The number space in the log: numbers are never given twice within one.
  // A file's space is its content, whatever its name or folder.
  std::string Series() const;
  // The first number and the increment in that space.
  std::int64_t First() const { return FromFile() ? 1 : start; }
  std::int64_t Step() const { return FromFile() ? 1 : step; }
};

// The bytes and the text of one number.
struct SerialValue {
  std::int64_t number = 0;
  std::vector<std::uint8_t> bytes;
  std::string
      text;  // as recorded: hex digits (be, le, file), decimal digits (bcd), the characters (ascii)
};

// Which setting of a counter plan is wrong.
enum class SerialField { kAddress, kStart, kStep, kBytes, kFormat, kFile };

// The counter plan of the options; an error text (empty on success), and
// in `field` (when given) the setting it is about.
// `address` and `start` are hex digits (bcd: `start` is decimal digits).
std::string ParseCounterPlan(const std::string& address, const std::string& start,
                             std::int64_t step, int bytes, const std::string& format,
                             SerialPlan& out, SerialField* field = nullptr);
// The file plan: `text` holds one hex value per line (blank lines ignored).
// `field` (when given): kAddress or kFile, the setting an error is about.
std::string ParseFilePlan(const std::string& address, const std::string& fileName,
                          const std::string& text, SerialPlan& out, SerialField* field = nullptr);

// Bytes as upper-case hex digits.
std::string HexText(const std::vector<std::uint8_t>& bytes);

// Number `number` of the plan; nullopt with `error` when it does not fit
// (the counter outgrew its bytes, the file has no such line).
std::optional<SerialValue> ValueOf(const SerialPlan& plan, std::int64_t number, std::string& error);

}  // namespace velkan::production
