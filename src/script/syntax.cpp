#include "script/syntax.h"

#include <climits>

#include "common/codepage.h"
#include "common/hex_text.h"

namespace velkan {

namespace {

struct KeywordEntry {
  std::string_view text;
  ScriptKeyword keyword;
  std::uint8_t offlineKind;
};

// In the order the executor tests them. No keyword is a prefix of another.
constexpr std::array<KeywordEntry, 12> kKeywords{{
    {"REBOOT", ScriptKeyword::kReboot, 0x15},
    {"REPOWER", ScriptKeyword::kRepower, 0x14},
    {"I-CMD", ScriptKeyword::kICmd, 0x11},
    {"I-WRITE", ScriptKeyword::kIWrite, 0x12},
    {"I-READ", ScriptKeyword::kIRead, 0x13},
    {"I-ADDR", ScriptKeyword::kIAddr, 0x10},
    {"RESET", ScriptKeyword::kReset, 0x06},
    {"C-APDU", ScriptKeyword::kCApdu, 0x04},
    {"C-RPDU", ScriptKeyword::kCRpdu, 0x05},
    {"CHG-I", ScriptKeyword::kChgI, 0x21},
    {"CHG-C", ScriptKeyword::kChgC, 0x20},
    {"DELAY", ScriptKeyword::kDelay, 0x22},
}};

const KeywordEntry& Entry(ScriptKeyword keyword) {
  return kKeywords[static_cast<std::size_t>(keyword)];
}

}  // namespace

std::string RemoveBlanks(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (char c : line) {
    if (c != ' ' && c != '\t') out += c;
  }
  return out;
}

std::optional<ScriptKeyword> MatchKeyword(std::string_view text) {
  for (const KeywordEntry& entry : kKeywords) {
    if (text.starts_with(entry.text)) return entry.keyword;
  }
  return std::nullopt;
}

std::string_view KeywordText(ScriptKeyword keyword) {
  return Entry(keyword).text;
}

std::uint8_t OfflineRecordKind(ScriptKeyword keyword) {
  return Entry(keyword).offlineKind;
}

ScriptLine ParseScriptLine(std::string_view line) {
  ScriptLine parsed;
  parsed.text = RemoveBlanks(line);
  if (parsed.text.empty() || parsed.text.front() == ';') {
    parsed.kind = ScriptLine::Kind::kSkipped;
    return parsed;
  }
  const std::optional<ScriptKeyword> keyword = MatchKeyword(parsed.text);
  if (!keyword) {
    parsed.kind = ScriptLine::Kind::kUnsupported;
    return parsed;
  }
  parsed.keyword = *keyword;
  parsed.argumentText = parsed.text.substr(KeywordText(*keyword).size());
  const std::string narrow = ToSystemCodePage(parsed.argumentText);
  if (narrow.size() > kMaxArgumentText) {
    parsed.kind = ScriptLine::Kind::kTooLong;
    return parsed;
  }
  parsed.count = HexToBytes(narrow, parsed.bytes.data());
  parsed.kind = ScriptLine::Kind::kCommand;
  return parsed;
}

int ProgressPercent(std::int32_t number, std::size_t size) {
  const double percent = static_cast<double>(static_cast<std::uint32_t>(number)) /
                         static_cast<double>(static_cast<std::uint32_t>(size)) * 100.0;
  if (!(percent < static_cast<double>(INT_MAX))) return INT_MAX;
  return static_cast<int>(percent);
}

}  // namespace velkan
