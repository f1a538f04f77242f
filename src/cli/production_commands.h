// The production commands of the command-line tool: `produce` (chip after
// chip on every station, each attempt recorded) and `log` (what the record
// holds). Registered by main.cpp when the tool is built with them.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "production/job.h"

namespace velkan::cli {

struct ProduceOptions {
  HexOptions hex;
  // The job's settings (its HEX file and fuse come from `hex`); the
  // record's default file is in the current folder.
  production::JobRequest job = [] {
    production::JobRequest r;
    r.log = "velkan-production.db";
    return r;
  }();
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
