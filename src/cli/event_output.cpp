#include "cli/event_output.h"

#include <cstdio>

#include "common/hex_text.h"

namespace velkan::cli {

void LineWriter::Write(const std::string& line) {
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

nlohmann::json EventJson(const Event& e, const Station& station) {
  return EventJson(e, station.Serial(), station.Port(),
                   station.Device() ? std::optional<std::string>(station.Device()->value)
                                    : std::nullopt);
}

nlohmann::json EventJson(const Event& e, const std::string& serial, const std::string& port,
                         const std::optional<std::string>& device) {
  nlohmann::json j;
  j["event"] = std::string(EventName(e.kind));
  j["run"] = std::string(RunName(e.run));
  j["serial"] = serial;
  j["port"] = port;
  if (device) j["device"] = *device;
  switch (e.kind) {
    case EventKind::kRunStarted:
      j["lines"] = e.lines;
      break;
    case EventKind::kLineDone:
      j["line"] = e.line;
      j["percent"] = e.percent;
      break;
    case EventKind::kLineFailed:
      j["line"] = e.line;
      j["lineText"] = e.lineText;
      j["failure"] = std::string(FailureName(e.failure));
      if (e.failure == LineFailure::kStatusWord) {
        char sw[8];
        std::snprintf(sw, sizeof sw, "%04X", e.statusWord & 0xFFFF);
        j["statusWord"] = sw;
      }
      if (e.failure == LineFailure::kMismatch)
        j["bytes"] = BytesToHex(e.bytes.data(), e.bytes.size());
      break;
    case EventKind::kStepFailed:
      j["step"] = std::string(StepName(e.step));
      break;
    case EventKind::kRefused:
      j["refusal"] = std::string(RefusalName(e.refusal));
      if (!e.lineText.empty()) j["lineText"] = e.lineText;
      break;
    case EventKind::kRunFinished:
      j["result"] = e.result;
      j["success"] = e.success;
      j["fuse"] = e.fuse;
      j["reachedProgrammer"] = e.opened;
      if (e.run == RunKind::kI2c) j["bytes"] = BytesToHex(e.bytes.data(), e.bytes.size());
      break;
    default:
      break;
  }
  std::string text;
  for (const std::string& piece : LogPieces(e)) text += piece;
  if (!text.empty()) j["text"] = text;
  return j;
}

std::string JsonLine(const nlohmann::json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace velkan::cli
