#include "script/events.h"

#include <cstdio>

#include "common/hex_text.h"

namespace velkan {

namespace {

// The online page's words for a failing line, after the line's own text and
// without a line end.
std::string FailureWords(const Event& e) {
  switch (e.failure) {
    case LineFailure::kComm:
    case LineFailure::kRecord:
      return " 通信错误！";
    case LineFailure::kStatusWord: {
      char text[40];
      std::snprintf(text, sizeof text, " 错误，SW = %04X", e.statusWord & 0xFFFF);
      return text;
    }
    case LineFailure::kMismatch:
      return " 比对数据错误, 返回值：" + BytesToHex(e.bytes.data(), e.bytes.size(), " ");
    case LineFailure::kReset:
      return " 复位错误！";
    case LineFailure::kUnsupported:
      return " 命令不被支持！";
  }
  return {};
}

// A mismatch's words end without a line end: the closing text follows on
// the same line.
bool FailureEndsLine(const Event& e) {
  return e.failure != LineFailure::kMismatch;
}

}  // namespace

std::string OnlineFailureText(const Event& e) {
  return FailureWords(e) + (FailureEndsLine(e) ? "\r\n" : "");
}

namespace {

// One piece of log text as its lines: each but the last ends with CR LF;
// the last one too when `ended`.
struct Piece {
  std::vector<std::string> lines;
  bool ended = true;

  std::string Text() const {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      text += lines[i];
      if (i + 1 < lines.size() || ended) text += "\r\n";
    }
    return text;
  }
};

std::vector<Piece> One(std::string line, bool ended = true) {
  return {Piece{{std::move(line)}, ended}};
}


std::vector<Piece> RunFinishedPieces(const Event& e) {
  if (!e.opened) return {};
  std::vector<Piece> pieces;
  if (e.run == RunKind::kOnline) {
    if (e.success) {
      pieces.push_back({{"下载成功！"}});
      if (e.fuse) pieces.push_back({{"芯片已锁死，不能再编程！"}});
    } else {
      pieces.push_back({{"下载失败！"}});
      // Run result 1: a status word other than 90xx.
      if (e.result == 1) pieces.push_back({{"可能芯片已熔断！"}});
    }
  } else if (e.run == RunKind::kOffline && e.success) {
    pieces.push_back({{"脱机文件装载正确！",
                       e.fuse ? "熔断位已选择，编程后将锁死，不能再编程！"
                              : "熔断位未选择，可重复编程！",
                       "", "请将设备断电，切换至OFFLINE模式，然后上电进行脱机下载！"}});
  }
  return pieces;
}

std::vector<Piece> Pieces(const Event& e) {
  if (e.run == RunKind::kI2c) return {};  // the I2C page keeps its own output
  switch (e.kind) {
    case EventKind::kProgrammerOpened:
      return One("打开设备成功！");
    case EventKind::kProgrammerNotFound:
      return One("打开设备失败！");
    case EventKind::kProgrammerBusy:
    case EventKind::kLineDone:
      return {};
    case EventKind::kRunStarted:
      return One(e.run == RunKind::kOnline ? "联机编程..." : "脱机程序装载...");
    case EventKind::kLineFailed:
      if (e.run == RunKind::kOffline) {
        return One(e.lineText +
                   (e.failure == LineFailure::kUnsupported ? "命令不被支持！" : "写入命令错误！"));
      }
      return One(e.lineText + FailureWords(e), FailureEndsLine(e));
    case EventKind::kStepFailed:
      switch (e.step) {
        case OfflineStep::kErase:
          return One("擦除原有数据错误！");
        case OfflineStep::kBegin:
          return One("写入命令开始错误！");
        case OfflineStep::kEnd:
          return One("写入命令结束错误！");
        case OfflineStep::kName:
          return One("设置下载文件名错误！");
      }
      return {};
    case EventKind::kRefused:
      switch (e.refusal) {
        case OfflineRefusal::kLineTooLong:
          return One(e.lineText + "数据超过255字节，不能装载！");
        case OfflineRefusal::kTooManyLines:
          return One("脚本超过65534行，不能装载！");
        case OfflineRefusal::kNameTooLong:
          return One("下载文件名超过255字节，不能装载！");
      }
      return {};
    case EventKind::kRunFinished:
      return RunFinishedPieces(e);
  }
  return {};
}

}  // namespace

std::vector<std::string> LogPieces(const Event& e) {
  std::vector<std::string> texts;
  for (const Piece& piece : Pieces(e)) texts.push_back(piece.Text());
  return texts;
}

std::vector<std::string> LogLines(const Event& e) {
  std::vector<std::string> lines;
  for (Piece& piece : Pieces(e)) {
    for (std::string& line : piece.lines) lines.push_back(std::move(line));
  }
  return lines;
}

std::optional<std::string_view> NoticeText(const Event& e) {
  if (e.run == RunKind::kI2c) return std::nullopt;  // the I2C page says its own
  switch (e.kind) {
    case EventKind::kProgrammerNotFound:
      return "打开设备失败！";
    case EventKind::kProgrammerBusy:
      return kBusyText;
    default:
      return std::nullopt;
  }
}

std::string_view EventName(EventKind kind) {
  switch (kind) {
    case EventKind::kProgrammerOpened:
      return "programmer-opened";
    case EventKind::kProgrammerNotFound:
      return "programmer-not-found";
    case EventKind::kProgrammerBusy:
      return "programmer-busy";
    case EventKind::kRunStarted:
      return "run-started";
    case EventKind::kLineDone:
      return "line-done";
    case EventKind::kLineFailed:
      return "line-failed";
    case EventKind::kStepFailed:
      return "step-failed";
    case EventKind::kRefused:
      return "refused";
    case EventKind::kRunFinished:
      return "run-finished";
  }
  return "?";
}

std::string_view RunName(RunKind run) {
  switch (run) {
    case RunKind::kOnline:
      return "online";
    case RunKind::kOffline:
      return "offline";
    case RunKind::kI2c:
      return "i2c";
  }
  return "?";
}

std::string_view FailureName(LineFailure failure) {
  switch (failure) {
    case LineFailure::kComm:
      return "communication";
    case LineFailure::kStatusWord:
      return "status-word";
    case LineFailure::kMismatch:
      return "mismatch";
    case LineFailure::kReset:
      return "reset";
    case LineFailure::kUnsupported:
      return "unsupported";
    case LineFailure::kRecord:
      return "record";
  }
  return "?";
}

std::string_view StepName(OfflineStep step) {
  switch (step) {
    case OfflineStep::kErase:
      return "erase";
    case OfflineStep::kBegin:
      return "begin-record";
    case OfflineStep::kEnd:
      return "end-record";
    case OfflineStep::kName:
      return "file-name";
  }
  return "?";
}

std::string_view RefusalName(OfflineRefusal refusal) {
  switch (refusal) {
    case OfflineRefusal::kLineTooLong:
      return "line-too-long";
    case OfflineRefusal::kTooManyLines:
      return "too-many-lines";
    case OfflineRefusal::kNameTooLong:
      return "name-too-long";
  }
  return "?";
}

}  // namespace velkan
