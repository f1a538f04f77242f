// The online executor and the online programming run.
#include <algorithm>
#include <cstdio>
#include <string>

#include "common/clock.h"
#include "common/hex_text.h"
#include "programmer/internal_api.h"
#include "script/run_common.h"
#include "script/runs.h"
#include "script/syntax.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

// How one performed line ended: result kRunOk, or the failure's run result
// with what went wrong.
struct LineResult {
  int result = kRunOk;
  LineFailure failure = LineFailure::kComm;
  int statusWord = -1;
  std::vector<std::uint8_t> bytes;  // kMismatch: what was read
};

LineResult Fail(int result, LineFailure failure) {
  LineResult r;
  r.result = result;
  r.failure = failure;
  return r;
}
LineResult CommFailure() {
  return Fail(kRunCommFailure, LineFailure::kComm);
}
LineResult Unsupported() {
  return Fail(kRunUnsupported, LineFailure::kUnsupported);
}
LineResult Mismatch(const std::uint8_t* read, std::size_t count) {
  LineResult r = Fail(kRunDataMismatch, LineFailure::kMismatch);
  r.bytes.assign(read, read + count);
  return r;
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
          LineResult r = Fail(kRunStatusWord, LineFailure::kStatusWord);
          r.statusWord = reply_[0] * 256 + reply_[1];
          return r;
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
          return Mismatch(reply_.data(), received);
        }
        return {};
      }
      case ScriptKeyword::kIAddr:
        // Without a value the line means nothing: it is not performed.
        if (count == 0) return Unsupported();
        address_ = args[0];
        return {};
      case ScriptKeyword::kReset: {
        int length = 0;
        if (DllReset7816Card(handle_, reply_.data(), &length) != 0) {
          return Fail(kRunCommFailure, LineFailure::kReset);
        }
        haveReply_ = true;
        return {};
      }
      case ScriptKeyword::kCApdu: {
        // The reply buffer's whole 300 bytes are the response area.
        int length = 0;
        if (Card7816ApduWithCapacity(handle_, args, static_cast<int>(count), reply_.data(),
                                     reply_.size(), &length) != 0) {
          return CommFailure();
        }
        haveReply_ = true;
        return {};
      }
      case ScriptKeyword::kCRpdu: {
        // Before any reply of this run there is nothing to compare with.
        if (!haveReply_) return Mismatch(reply_.data(), 0);
        if (!std::equal(reply_.begin(), reply_.begin() + count, args)) {
          return Mismatch(reply_.data(), count);
        }
        return {};
      }
      case ScriptKeyword::kChgI:
      case ScriptKeyword::kChgC:
        return {};
      case ScriptKeyword::kDelay:
        // As "I-ADDR": no value, no wait, the line is not performed.
        if (count == 0) return Unsupported();
        GetClock().SleepMs(args[0]);
        return {};
    }
    return Unsupported();
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

int RunOnlineScript(Station& station, const RunContext& run) {
  const ScriptTable& script = *run.script;
  Event started;
  started.kind = EventKind::kRunStarted;
  started.lines = static_cast<int>(script.size());
  run.Emit(started);
  const int handle = station.Handle();
  Executor executor(handle);
  for (const auto& [number, text] : script) {
    ScriptLine line = ParseScriptLine(text);
    if (line.kind == ScriptLine::Kind::kSkipped) continue;
    if (run.Cancelled()) return kRunStopped;
    // Unknown keywords and argument text beyond the buffers are not performed.
    LineResult outcome =
        line.kind == ScriptLine::Kind::kCommand ? executor.Perform(line) : Unsupported();
    Event e;
    e.line = number;
    if (outcome.result != kRunOk) {
      e.kind = EventKind::kLineFailed;
      e.lineText = FailingText(line);
      e.failure = outcome.failure;
      e.statusWord = outcome.statusWord;
      e.bytes = std::move(outcome.bytes);
      e.result = outcome.result;
      run.Emit(e);
      return outcome.result;
    }
    e.kind = EventKind::kLineDone;
    e.lines = started.lines;
    e.percent = ProgressPercent(number, script.size());
    run.Emit(e);
  }
  DllI2cRePower(handle);
  GetClock().SleepMs(kRepowerWaitMs);
  return kRunOk;
}

void SignalResult(int handle, bool pass) {
  DllLedControl(handle, pass ? 2 : 1);
  DllSpeakerControl(handle, pass ? 0 : 1);
}

RunOutcome OnlineProgramRun(Station& station, const RunContext& run, ResultSignal signal) {
  if (const OpenOutcome open = EnsureProgrammerOpen(station, run, RunKind::kOnline);
      open != OpenOutcome::kOpen) {
    return EndUnreached(run, RunKind::kOnline, open, kRunCommFailure);
  }
  DllLedControl(station.Handle(), 0);
  const int result = RunOnlineScript(station, run);
  const int handle = station.Handle();
  const RunOutcome outcome = EndReached(run, RunKind::kOnline, result, result == kRunOk);
  if (signal == ResultSignal::kAtEnd) {
    SignalResult(handle, outcome.result == kRunOk);
    // After a communication failure the programmer is opened afresh next
    // time (a caller that signals the result closes it itself).
    if (outcome.result == kRunCommFailure) station.CloseReader();
  }
  return outcome;
}

}  // namespace velkan
