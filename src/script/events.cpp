#include "script/events.h"

#include <cstdio>

#include "common/hex_text.h"

namespace velkan {

namespace {

std::vector<std::string> One(std::string text) {
  std::vector<std::string> pieces;
  pieces.push_back(std::move(text));
  return pieces;
}

}  // namespace

std::string OnlineFailureText(const Event& e) {
  switch (e.failure) {
    case LineFailure::kComm:
    case LineFailure::kRecord:
      return " 通信错误！\r\n";
    case LineFailure::kStatusWord: {
      char text[40];
      std::snprintf(text, sizeof text, " 错误，SW = %04X\r\n", e.statusWord & 0xFFFF);
      return text;
    }
    case LineFailure::kMismatch:
      return " 比对数据错误, 返回值：" + BytesToHex(e.bytes.data(), e.bytes.size(), " ");
    case LineFailure::kReset:
      return " 复位错误！\r\n";
    case LineFailure::kUnsupported:
      return " 命令不被支持！\r\n";
  }
  return {};
}

namespace {

std::vector<std::string> RunFinishedPieces(const Event& e) {
  if (!e.opened) return {};
  std::vector<std::string> pieces;
  if (e.run == RunKind::kOnline) {
    if (e.success) {
      pieces.emplace_back("下载成功！\r\n");
      if (e.fuse) pieces.emplace_back("芯片已锁死，不能再编程！\r\n");
    } else {
      pieces.emplace_back("下载失败！\r\n");
      // Run result 1: a status word other than 90xx.
      if (e.result == 1) pieces.emplace_back("可能芯片已熔断！\r\n");
    }
  } else if (e.run == RunKind::kOffline && e.success) {
    pieces.push_back(std::string("脱机文件装载正确！\r\n") +
                     (e.fuse ? "熔断位已选择，编程后将锁死，不能再编程！\r\n"
                             : "熔断位未选择，可重复编程！\r\n") +
                     "\r\n请将设备断电，切换至OFFLINE模式，然后上电进行脱机下载！\r\n");
  }
  return pieces;
}

}  // namespace

std::vector<std::string> LogPieces(const Event& e) {
  if (e.run == RunKind::kI2c) return {};  // the I2C page keeps its own output
  switch (e.kind) {
    case EventKind::kProgrammerOpened:
      return One("打开设备成功！\r\n");
    case EventKind::kProgrammerNotFound:
      return One("打开设备失败！\r\n");
    case EventKind::kProgrammerBusy:
    case EventKind::kLineDone:
      return {};
    case EventKind::kRunStarted:
      return One(e.run == RunKind::kOnline ? "联机编程...\r\n" : "脱机程序装载...\r\n");
    case EventKind::kLineFailed:
      if (e.run == RunKind::kOffline) {
        return One(e.lineText + (e.failure == LineFailure::kUnsupported ? "命令不被支持！\r\n"
                                                                        : "写入命令错误！\r\n"));
      }
      return One(e.lineText + OnlineFailureText(e));
    case EventKind::kStepFailed:
      switch (e.step) {
        case OfflineStep::kErase:
          return One("擦除原有数据错误！\r\n");
        case OfflineStep::kBegin:
          return One("写入命令开始错误！\r\n");
        case OfflineStep::kEnd:
          return One("写入命令结束错误！\r\n");
        case OfflineStep::kName:
          return One("设置下载文件名错误！\r\n");
      }
      return {};
    case EventKind::kRefused:
      switch (e.refusal) {
        case OfflineRefusal::kLineTooLong:
          return One(e.lineText + "数据超过255字节，不能装载！\r\n");
        case OfflineRefusal::kTooManyLines:
          return One("脚本超过65534行，不能装载！\r\n");
        case OfflineRefusal::kNameTooLong:
          return One("下载文件名超过255字节，不能装载！\r\n");
      }
      return {};
    case EventKind::kRunFinished:
      return RunFinishedPieces(e);
  }
  return {};
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
