// What the runs report, as typed events. Every output of a run is a
// renderer of these: the programming pages' log text (Page), the
// command-line tool's terminal view and its JSON lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkan {

enum class RunKind { kOnline, kOffline, kI2c };

enum class EventKind {
  kProgrammerOpened,    // the run opened the programmer (and re-powered the chip)
  kProgrammerNotFound,  // no programmer could be opened
  kProgrammerBusy,      // another program holds the programmer; nothing was sent
  kRunStarted,          // `lines`: the script's line count
  kLineDone,            // `line` performed (offline: stored); `percent` done
  kLineFailed,          // `line` failed: `failure`, `lineText`, `statusWord` or `bytes`
  kStepFailed,          // an offline step around the lines failed: `step`
  kRefused,             // offline: refused before anything was sent: `refusal`, `lineText`
  kRunFinished,         // `result`; `success`; `fuse` (the fuse was chosen)
};

// Why a script line failed.
enum class LineFailure {
  kComm,         // the programmer operation failed
  kStatusWord,   // the chip answered a status word other than 90xx (`statusWord`)
  kMismatch,     // the bytes read back differ (`bytes`: what was read)
  kReset,        // the contact card's reset failed
  kUnsupported,  // not a line this run can perform
  kRecord,       // offline: the record could not be stored
};

// The offline run's steps around the line records.
enum class OfflineStep { kErase, kBegin, kEnd, kName };

// Why the offline run refused a script before erasing anything.
enum class OfflineRefusal { kLineTooLong, kTooManyLines, kNameTooLong };

struct Event {
  EventKind kind = EventKind::kRunStarted;
  RunKind run = RunKind::kOnline;
  int lines = 0;
  int line = 0;  // the script's line number
  int percent = 0;
  std::string lineText;  // the text shown for the line (argument text or the whole line)
  LineFailure failure = LineFailure::kComm;
  int statusWord = -1;  // kStatusWord: the chip's status word
  std::vector<std::uint8_t> bytes;
  OfflineStep step = OfflineStep::kErase;
  OfflineRefusal refusal = OfflineRefusal::kLineTooLong;
  int result = 0;
  bool success = false;
  bool fuse = false;
  bool opened = true;  // kRunFinished: false when the run never reached the programmer
};

class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void OnEvent(const Event& event) = 0;
};

// The log text an event adds to a programming page, in the pieces the page
// shows one after the other (each piece is appended, then the log shown).
// Progress (kLineDone) adds no text. Empty for events without log text.
std::vector<std::string> LogPieces(const Event& event);
// The same text as its lines, without their line ends: a piece's lines one
// after the other (an empty line stays, as in the offline run's closing
// text). A failing line whose text has no line end (a mismatch) is a line
// of its own here.
std::vector<std::string> LogLines(const Event& event);

// The refusal texts when the programmer is busy with another activity: the
// programming pages' form (full-width "！") and the I2C page's form.
inline constexpr std::string_view kBusyText = "编程器正忙，请等待当前操作结束！";
inline constexpr std::string_view kBusyTextAscii = "编程器正忙，请等待当前操作结束!";
// The text of the message box (caption "提示", an OK button) a programming
// page shows for `event` after its log text, if any: the programmer could
// not be opened ("打开设备失败！"), or another program holds it (kBusyText).
std::optional<std::string_view> NoticeText(const Event& event);
// The online page's words for a failing line (after the line's own text in
// the log): " 通信错误！\r\n", " 错误，SW = 6A82\r\n", ...
std::string OnlineFailureText(const Event& failure);

// Names for machine-readable output.
std::string_view EventName(EventKind kind);
std::string_view RunName(RunKind run);
std::string_view FailureName(LineFailure failure);
std::string_view StepName(OfflineStep step);
std::string_view RefusalName(OfflineRefusal refusal);

}  // namespace velkan
