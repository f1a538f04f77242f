// The production commands of the command-line tool: `produce` (chip after
// chip on every station, each attempt recorded) and `log` (what the record
// holds). Registered by main.cpp when the tool is built with them.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace velkan::cli {

struct ProduceOptions {
  HexOptions hex;
  int count = 0;
  std::string log = "velkan-production.db";
  std::string next = "enter";
  int stopAfterFailures = 3;
  std::string serialAt;
  std::string serialStart;
  std::int64_t serialStep = 1;
  int serialBytes = 4;
  std::string serialFormat = "be";
  std::string serialFile;
  bool serialBurnFailed = false;
  bool emulatorFeeder = false;
  std::string emulatorTraySerial;  // --emulator-tray-serial ADDR:K (checked when parsed)
};

struct LogOptions {
  std::string db;
  std::string since;
  bool csv = false;
  bool rows = false;     // --json: one object per row
  bool unknown = false;  // list the unknown serial numbers
  std::vector<std::string> release;
  std::vector<std::string> burn;
  std::string series;
};

class ProductionCommands {
 public:
  // Adds `produce`, `log` and the global --emulator-feeder to `app`.
  explicit ProductionCommands(CLI::App& app);

  bool ProduceParsed() const { return produce_->parsed(); }
  bool LogParsed() const { return log_->parsed(); }
  int Produce(const GlobalOptions& global);
  int Log(const GlobalOptions& global);

 private:
  CLI::App* produce_ = nullptr;
  CLI::App* log_ = nullptr;
  ProduceOptions produceOptions_;
  LogOptions logOptions_;
};

}  // namespace velkan::cli
