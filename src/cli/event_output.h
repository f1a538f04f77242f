// The command-line tool's renderers of run events besides the console page:
// JSON lines (--json) and the view of several programmers running at once.
#pragma once

#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "script/events.h"
#include "script/station.h"

namespace velkan::cli {

// Writes whole lines to one stream from several threads.
class LineWriter {
 public:
  explicit LineWriter(FILE* out) : out_(out) {}
  void Write(const std::string& line);
  // Runs `f` with the stream to itself.
  template <typename F>
  void Locked(F&& f) {
    std::lock_guard lock(mutex_);
    f(out_);
  }

 private:
  std::mutex mutex_;
  FILE* out_;
};

// One JSON object for an event of a run on `station`: "event", "run",
// "serial", "port", the event's own fields and "text", the log text it adds
// (when it adds any).
nlohmann::json EventJson(const Event& event, const Station& station);
// The same for a programmer known by its serial number and port, chosen by
// `device` (the device choice's value; none: the first one found).
nlohmann::json EventJson(const Event& event, const std::string& serial, const std::string& port,
                         const std::optional<std::string>& device);

// One JSON object per line (JSON Lines); texts are UTF-8, invalid bytes
// replaced.
std::string JsonLine(const nlohmann::json& object);

// Prints every event of a station as a JSON line.
class JsonSink final : public EventSink {
 public:
  JsonSink(const Station& station, LineWriter& writer) : station_(station), writer_(writer) {}
  void OnEvent(const Event& event) override { writer_.Write(JsonLine(EventJson(event, station_))); }

 private:
  const Station& station_;
  LineWriter& writer_;
};

}  // namespace velkan::cli
