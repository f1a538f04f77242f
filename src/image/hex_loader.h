// First pass over an Intel HEX file: the hex line table, the end address and
// the check of every data record against the chip's APP region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/dialogs.h"

namespace velkan {

// The chip's APP region: chip addresses [kAppStart, kAppEnd).
inline constexpr std::uint32_t kAppStart = 0x2000;
inline constexpr std::uint32_t kAppEnd = 0xA000;

// The file's non-empty lines, trimmed, in reading order, without the data
// records the user chose to drop. The line with sequence number k (1, 2, ...)
// is Line(k - 1). The lines are views into `text`, the file's whole content.
struct HexLineTable {
  struct Span {
    std::size_t offset = 0;
    std::size_t length = 0;
  };
  std::string text;
  std::vector<Span> spans;

  std::size_t size() const { return spans.size(); }
  std::string_view Line(std::size_t index) const {
    return std::string_view(text).substr(spans[index].offset, spans[index].length);
  }
};

struct HexFile {
  HexLineTable lines;
  // The largest end (exclusive) of the accepted data records; 0 without any.
  std::uint32_t endAddress = 0;
};

enum class HexLoadResult {
  kOk,
  kOpenError,  // the file could not be opened ("hex文件打开错误！" was shown)
  kDeclined,   // No to the out-of-region question
  kFailed,     // read error or memory exhausted (no message), or a file over
               // 64 MiB ("hex文件过大，不能装载！")
};

// The first pass on text already in memory (lines end with LF or CRLF).
// Asks `dialogs` about each data record outside the APP region: Yes drops the
// record, No ends the pass with kDeclined. `out` is written only on kOk.
HexLoadResult ReadHexText(Dialogs& dialogs, std::string text, HexFile& out);

// The first pass on the file at `pathUtf8`, read once (a FIFO or a pipe
// works). Shows "hex文件打开错误！" when the file cannot be opened, then works
// as ReadHexText. `why` (when given) receives the reason a read failed
// ("no such file", "is a directory", ...), empty otherwise.
HexLoadResult ReadHexFile(Dialogs& dialogs, std::string_view pathUtf8, HexFile& out,
                          std::string* why = nullptr);

}  // namespace velkan
