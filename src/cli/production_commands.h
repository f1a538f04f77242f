// The production commands of the command-line tool: `produce` (chip after
// chip on every station, each attempt recorded) and `log` (what the record
// holds). Registered by main.cpp when the tool is built with them.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#include "production/job.h"
#include "production/record_store.h"

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
  std::string jobFile;     // --job: a sealed job's file
  std::string trustedKey;  // --trusted-key: only jobs signed by this key run
  bool emulatorFeeder = false;
  std::string emulatorTraySerial;  // --emulator-tray-serial ADDR:K (checked when parsed)
  std::string emulatorTrayData;    // --emulator-tray-data ADDR:K (checked when parsed)
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
  bool manifest = false;  // JSON Lines of the passed chips
  std::string job;        // --job: only this job's chips (its id or its file)
  std::string key;        // --key: sign the manifest
};

struct JobOptions {
  std::string out;  // create: the job file
  std::string hexPath;
  production::JobRequest request;
  std::string name, notes;
  std::string file;       // show, sign, verify: the job file
  std::string key;        // sign: the private key; verify: the trusted public key
  std::string publicOut;  // keygen: the public key's file
};

class ProductionCommands {
 public:
  // Adds `produce`, `log` and the global --emulator-feeder to `app`.
  explicit ProductionCommands(CLI::App& app);

  bool ProduceParsed() const { return produce_->parsed(); }
  bool LogParsed() const { return log_->parsed(); }
  bool JobParsed() const { return job_->parsed(); }
  int Produce(const GlobalOptions& global);
  int Log(const GlobalOptions& global);
  int JobCommand(const GlobalOptions& global);
  int Manifest(Console& console, production::RecordStore& store, const std::string& since,
               const LogOptions& options);

 private:
  CLI::App* produce_ = nullptr;
  CLI::App* log_ = nullptr;
  CLI::App* job_ = nullptr;
  CLI::App* jobCreate_ = nullptr;
  CLI::App* jobShow_ = nullptr;
  CLI::App* jobSign_ = nullptr;
  CLI::App* jobVerify_ = nullptr;
  CLI::App* jobKeygen_ = nullptr;
  JobOptions jobOptions_;
  ProduceOptions produceOptions_;
  LogOptions logOptions_;
};

}  // namespace velkan::cli
