// The online executor and the online programming run.
#include <algorithm>
#include <cstdio>
#include <string>

#include "common/clock.h"
#include "common/hex_text.h"
#include "script/run_common.h"
#include "script/runs.h"
#include "script/session.h"
#include "script/syntax.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

constexpr std::string_view kCommFailure = " 通信错误！\r\n";
constexpr std::string_view kMismatch = " 比对数据错误, 返回值：";
constexpr std::string_view kResetFailure = " 复位错误！\r\n";
constexpr std::string_view kUnsupported = " 命令不被支持！\r\n";

// How one performed line ended: result kRunOk, or the failure's run result
// with the text that goes behind the failing line's text.
struct LineResult {
  int result = kRunOk;
  std::string failure;
};

LineResult Fail(int result, std::string text) {
  return {result, std::move(text)};
}
LineResult CommFailure() {
  return Fail(kRunCommFailure, std::string(kCommFailure));
}

// The state of one executor run.
class Executor {
 public:
  explicit Executor(int handle) : handle_(handle) {}

  LineResult Perform(ScriptLine& line) {
    std::uint8_t* args = line.bytes.data();
    const std::size_t count = line.count;
    switch (line.keyword) {
      case ScriptKeyword::kReboot:
        return DllWaveToBoot(handle_) == 0 ? LineResult{} : CommFailure();
      case ScriptKeyword::kRepower: {
        const int rc = DllI2cRePower(handle_);
        GetClock().SleepMs(kRepowerWaitMs);
        return rc == 0 ? LineResult{} : CommFailure();
      }
      case ScriptKeyword::kICmd: {
        // Status word only: a reply beyond two bytes is refused by the
        // programmer operation and counts as a communication failure.
        reply_[0] = reply_[1] = 0;
        unsigned long length = 2;
        if (DllI2cCommand(handle_, address_, args, count, reply_.data(), &length) != 0) {
          return CommFailure();
        }
        haveReply_ = true;
        if (reply_[0] != 0x90) {
          char text[40];
          std::snprintf(text, sizeof text, " 错误，SW = %04X\r\n", reply_[0] * 256 + reply_[1]);
          return Fail(kRunStatusWord, text);
        }
        return {};
      }
      case ScriptKeyword::kIWrite:
        return DllI2cWrite(handle_, address_, args, count) == 0 ? LineResult{} : CommFailure();
      case ScriptKeyword::kIRead: {
        unsigned long length = count;
        if (DllI2cRead(handle_, address_, reply_.data(), &length) != 0) return CommFailure();
        haveReply_ = true;
        const std::size_t received = std::min<std::size_t>(length, count);
        if (!std::equal(reply_.begin(), reply_.begin() + received, args)) {
          return Fail(kRunDataMismatch,
                      std::string(kMismatch) + BytesToHex(reply_.data(), received, " "));
        }
        return {};
      }
      case ScriptKeyword::kIAddr:
        // Without a value the line means nothing: it is not performed.
        if (count == 0) return Fail(kRunUnsupported, std::string(kUnsupported));
        address_ = args[0];
        return {};
      case ScriptKeyword::kReset: {
        int length = 0;
        if (DllReset7816Card(handle_, reply_.data(), &length) != 0) {
          return Fail(kRunCommFailure, std::string(kResetFailure));
        }
        haveReply_ = true;
        return {};
      }
      case ScriptKeyword::kCApdu: {
        int length = 0;
        if (Dll7816CardAPDU(handle_, args, static_cast<int>(count), 0, reply_.data(), &length) !=
            0) {
          return CommFailure();
        }
        haveReply_ = true;
        return {};
      }
      case ScriptKeyword::kCRpdu: {
        // Before any reply of this run there is nothing to compare with.
        if (!haveReply_) return Fail(kRunDataMismatch, std::string(kMismatch));
        if (!std::equal(reply_.begin(), reply_.begin() + count, args)) {
          return Fail(kRunDataMismatch,
                      std::string(kMismatch) + BytesToHex(reply_.data(), count, " "));
        }
        return {};
      }
      case ScriptKeyword::kChgI:
      case ScriptKeyword::kChgC:
        return {};
      case ScriptKeyword::kDelay:
        // As "I-ADDR": no value, no wait, the line is not performed.
        if (count == 0) return Fail(kRunUnsupported, std::string(kUnsupported));
        GetClock().SleepMs(args[0]);
        return {};
    }
    return Fail(kRunUnsupported, std::string(kUnsupported));
  }

 private:
  int handle_;
  std::uint8_t address_ = 0x00;
  ScriptBytes reply_{};  // zero at the start of a run
  bool haveReply_ = false;
};

// The text shown in front of a failure: the argument text for the data
// keywords, the whole line otherwise.
const std::string& FailingText(const ScriptLine& line) {
  if (line.kind == ScriptLine::Kind::kCommand) {
    switch (line.keyword) {
      case ScriptKeyword::kICmd:
      case ScriptKeyword::kIWrite:
      case ScriptKeyword::kIRead:
      case ScriptKeyword::kCApdu:
      case ScriptKeyword::kCRpdu:
        return line.argumentText;
      default:
        break;
    }
  }
  return line.text;
}

}  // namespace

int RunOnlineScript(Page& page) {
  page.Append("联机编程...\r\n");
  page.Show();
  const int handle = ReaderHandle();
  Executor executor(handle);
  const ScriptTable& script = page.Script();
  for (const auto& [number, text] : script) {
    ScriptLine line = ParseScriptLine(text);
    if (line.kind == ScriptLine::Kind::kSkipped) continue;
    // Unknown keywords and argument text beyond the buffers are not performed.
    LineResult outcome = line.kind == ScriptLine::Kind::kCommand
                             ? executor.Perform(line)
                             : Fail(kRunUnsupported, std::string(kUnsupported));
    if (outcome.result != kRunOk) {
      page.Append(FailingText(line));
      page.Append(outcome.failure);
      page.Show();
      return outcome.result;
    }
    page.ShowProgress(ProgressPercent(number, script.size()));
  }
  DllI2cRePower(handle);
  GetClock().SleepMs(kRepowerWaitMs);
  return kRunOk;
}

RunOutcome OnlineProgramRun(Page& page) {
  RunOutcome outcome;
  page.EnableInputs(false);
  page.ClearLog();
  if (const OpenOutcome open = EnsureProgrammerOpen(page); open != OpenOutcome::kOpen) {
    page.EnableInputs(true);
    outcome.opened = open != OpenOutcome::kNotFound;
    outcome.busy = open == OpenOutcome::kBusy;
    outcome.result = kRunCommFailure;
    return outcome;
  }
  DllLedControl(ReaderHandle(), 0);
  outcome.result = RunOnlineScript(page);
  const int handle = ReaderHandle();
  if (outcome.result == kRunOk) {
    page.Append("下载成功！\r\n");
    page.Show();
    if (page.FuseChosen()) {
      page.Append("芯片已锁死，不能再编程！\r\n");
      page.Show();
    }
    DllLedControl(handle, 2);
    DllSpeakerControl(handle, 0);
  } else {
    page.Append("下载失败！\r\n");
    page.Show();
    if (outcome.result == kRunStatusWord) {
      page.Append("可能芯片已熔断！\r\n");
      page.Show();
    }
    DllLedControl(handle, 1);
    DllSpeakerControl(handle, 1);
    if (outcome.result == kRunCommFailure && IsOpenHandle(handle)) {
      DllCloseReader(handle);
      SetReaderHandle(0);
    }
  }
  page.EnableInputs(true);
  return outcome;
}

int OnlineProgramThread(Page& page) {
  OnlineProgramRun(page);
  return 0;
}

std::thread StartRunThread(Page& page, ProgrammerLease lease, int (*run)(Page&)) {
  return std::thread([&page, run, held = std::move(lease)]() mutable {
    run(page);
    held.Release();
  });
}

}  // namespace velkan
