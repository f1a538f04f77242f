// The programming-script line syntax, shared by the online executor and the
// offline loading run: blank removal, skipped lines, the twelve keywords and
// the argument bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkan {

enum class ScriptKeyword : std::uint8_t {
  kReboot,
  kRepower,
  kICmd,
  kIWrite,
  kIRead,
  kIAddr,
  kReset,
  kCApdu,
  kCRpdu,
  kChgI,
  kChgC,
  kDelay,
};

// Argument text is taken in the system code page; longer text than this is
// refused (the line is not performed), so at most 261 argument bytes result.
inline constexpr std::size_t kMaxArgumentText = 521;
// The argument and reply buffers of a run.
inline constexpr std::size_t kScriptBufferSize = 300;
using ScriptBytes = std::array<std::uint8_t, kScriptBufferSize>;

struct ScriptLine {
  enum class Kind {
    kSkipped,      // empty after blank removal, or a ";" comment
    kCommand,      // a keyword with its argument bytes
    kUnsupported,  // no keyword matches
    kTooLong,      // a keyword, but argument text beyond kMaxArgumentText
  };
  Kind kind = Kind::kSkipped;
  std::string text;          // the whole line without blanks (UTF-8)
  ScriptKeyword keyword{};   // kCommand and kTooLong
  std::string argumentText;  // the text after the keyword (UTF-8); kCommand and kTooLong
  ScriptBytes bytes{};       // argument bytes; the first `count` are valid
  std::size_t count = 0;
};

// Removes every space (U+0020) and TAB (U+0009); nothing else.
std::string RemoveBlanks(std::string_view line);

// The keyword `text` starts with (case-sensitive prefix test), if any.
std::optional<ScriptKeyword> MatchKeyword(std::string_view text);
std::string_view KeywordText(ScriptKeyword keyword);

// Applies the whole line syntax to one script line (UTF-8).
ScriptLine ParseScriptLine(std::string_view line);

// The offline record kind of a keyword's line.
std::uint8_t OfflineRecordKind(ScriptKeyword keyword);

// The progress figure shown after line `number` of a table of `size` lines:
// number / size * 100 in double precision, both taken as unsigned 32-bit,
// truncated. Figures beyond the int range (line numbers far above the table
// size) are shown as INT_MAX.
int ProgressPercent(std::int32_t number, std::size_t size);

}  // namespace velkan
