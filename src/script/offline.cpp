// The offline loading run: stores a script in the programmer's offline
// storage as offline records, with the HEX file's name.
#include <optional>
#include <string>
#include <vector>

#include "common/codepage.h"
#include "script/run_common.h"
#include "script/runs.h"
#include "script/syntax.h"
#include "velkan/velkan.h"

namespace velkan {

namespace {

constexpr std::uint8_t kBeginRecord = 0x02;
constexpr std::uint8_t kEndRecord = 0x03;
constexpr std::size_t kMaxRecordContent = 255;
constexpr std::size_t kMaxNameBytes = 255;
// Record numbers are 16 bits; the end record takes the number after the
// last line record.
constexpr std::size_t kMaxLineRecords = 0xFFFF - 1;

// Codes of the run's end, as RunOutcome reports them.
constexpr int kStored = 0;
constexpr int kProgrammerFailure = -1;
constexpr int kUnsupportedLine = 3;
constexpr int kRefused = 4;

// The HEX file's name: the path after its last separator. The pages keep
// Windows paths with backslashes; on our other platforms '/' separates too.
std::string FileNamePart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything that cannot be stored is refused before the programmer's
// current offline script is erased. Returns the refusal, or nothing.
std::optional<Event> PreCheck(const ScriptTable& script, const std::string& name) {
  Event refused;
  refused.kind = EventKind::kRefused;
  refused.run = RunKind::kOffline;
  std::size_t records = 0;
  for (const auto& [number, text] : script) {
    const ScriptLine line = ParseScriptLine(text);
    if (line.kind == ScriptLine::Kind::kSkipped) continue;
    ++records;
    if (line.kind == ScriptLine::Kind::kTooLong ||
        (line.kind == ScriptLine::Kind::kCommand && line.count > kMaxRecordContent)) {
      refused.refusal = OfflineRefusal::kLineTooLong;
      refused.line = number;
      refused.lineText = line.argumentText;
      return refused;
    }
  }
  if (records > kMaxLineRecords) {
    refused.refusal = OfflineRefusal::kTooManyLines;
    return refused;
  }
  if (name.size() > kMaxNameBytes) {
    refused.refusal = OfflineRefusal::kNameTooLong;
    return refused;
  }
  return std::nullopt;
}

// The run after the programmer is open; returns its code, the failure
// reported.
int Load(const RunContext& run, int handle, std::string& name) {
  auto event = [](EventKind kind) {
    Event e;
    e.kind = kind;
    e.run = RunKind::kOffline;
    return e;
  };
  auto stepFailed = [&](OfflineStep step) {
    Event e = event(EventKind::kStepFailed);
    e.step = step;
    run.Emit(e);
    return kProgrammerFailure;
  };
  const ScriptTable& script = *run.script;
  Event started = event(EventKind::kRunStarted);
  started.lines = static_cast<int>(script.size());
  run.Emit(started);
  if (DllEraseOfflineData(handle) != 0) return stepFailed(OfflineStep::kErase);
  // Records without content still pass a valid pointer.
  std::uint8_t none = 0;
  if (DllWriteOfflineData(handle, 0, kBeginRecord, &none, 0) != 0) {
    return stepFailed(OfflineStep::kBegin);
  }
  unsigned counter = 1;
  for (const auto& [number, text] : script) {
    ScriptLine line = ParseScriptLine(text);
    if (line.kind == ScriptLine::Kind::kSkipped) continue;
    if (run.Cancelled()) return kRunStopped;
    Event e = event(EventKind::kLineFailed);
    e.line = number;
    if (line.kind != ScriptLine::Kind::kCommand) {
      e.failure = LineFailure::kUnsupported;
      e.lineText = line.text;
      e.result = kUnsupportedLine;
      run.Emit(e);
      return kUnsupportedLine;
    }
    if (DllWriteOfflineData(handle, static_cast<unsigned short>(counter & 0xFFFF),
                            OfflineRecordKind(line.keyword), line.bytes.data(),
                            static_cast<unsigned char>(line.count)) != 0) {
      e.failure = LineFailure::kRecord;
      e.lineText = line.argumentText;
      e.result = kProgrammerFailure;
      run.Emit(e);
      return kProgrammerFailure;
    }
    ++counter;
    e.kind = EventKind::kLineDone;
    e.lines = started.lines;
    e.percent = ProgressPercent(number, script.size());
    run.Emit(e);
  }
  if (DllWriteOfflineData(handle, static_cast<unsigned short>(counter & 0xFFFF), kEndRecord, &none,
                          0) != 0) {
    return stepFailed(OfflineStep::kEnd);
  }
  if (DllSetOfflineFileName(handle, name.data(), static_cast<unsigned>(name.size())) != 0) {
    return stepFailed(OfflineStep::kName);
  }
  return kStored;
}

}  // namespace

RunOutcome OfflineLoadRun(Station& station, const RunContext& run) {
  std::string name = ToSystemCodePage(FileNamePart(run.hexPath));
  if (std::optional<Event> refused = PreCheck(*run.script, name)) {
    run.Emit(*refused);
    return EndUnreached(run, RunKind::kOffline, OpenOutcome::kOpen, kRefused);
  }
  if (const OpenOutcome open = EnsureProgrammerOpen(station, run, RunKind::kOffline);
      open != OpenOutcome::kOpen) {
    return EndUnreached(run, RunKind::kOffline, open, kProgrammerFailure);
  }
  const int result = Load(run, station.Handle(), name);
  // After a failure of the programmer it is opened afresh next time.
  if (result == kProgrammerFailure) station.CloseReader();
  return EndReached(run, RunKind::kOffline, result, result == kStored);
}

}  // namespace velkan
