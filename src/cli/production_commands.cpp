#include "cli/production_commands.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/console.h"
#include "cli/event_output.h"
#include "cli/exit_codes.h"
#include "cli/terminal.h"
#include "common/codepage.h"
#include "common/input_file.h"
#include "common/sha256.h"
#include "emulator/emulator.h"
#include "image/start_programming.h"
#include "production/child_process.h"
#include "production/job.h"
#include "production/job_file.h"
#include "production/job_signing.h"
#include "production/next_chip_gate.h"
#include "production/production.h"
#include "programmer/backend.h"

namespace velkan::cli {

namespace {

using namespace velkan::production;

// The exit status after a second stop signal: the run ends at once.
constexpr int kExitSecondSignal = 130;

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void OnInterrupt(int) {
  if (gInterrupted) {
    // A second signal: stop now. Nothing shows a pass that is not recorded
    // (the pass signal follows the commit); the chip in progress keeps its
    // number reserved, listed as unknown.
    std::_Exit(kExitSecondSignal);
  }
  gInterrupted = 1;
}

// The stop signals (Ctrl+C, a service stop, a closed terminal) ask for a
// stop while this lives: the chips in progress are finished and recorded.
class InterruptGuard {
 public:
  InterruptGuard() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      previous_[i] = std::signal(kSignals[i], OnInterrupt);
    }
  }
  ~InterruptGuard() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      std::signal(kSignals[i], previous_[i] == SIG_ERR ? SIG_DFL : previous_[i]);
    }
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
#if defined(SIGHUP)
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
#else
  static constexpr int kSignals[] = {SIGINT, SIGTERM};
#endif
  void (*previous_[std::size(kSignals)])(int) = {};
};

class ConsoleDialogs final : public Dialogs {
 public:
  explicit ConsoleDialogs(Console& console) : console_(console) {}
  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons,
                       MsgIcon) override {
    return console_.MessageBox(text, caption, buttons);
  }

 private:
  Console& console_;
};

std::string YieldText(const Counters& c) {
  char text[128];
  std::snprintf(text, sizeof text, "passed %d  failed %d  yield %.1f%%", c.passed, c.failed,
                c.Yield());
  std::string line = text;
  if (c.notReached > 0) line += "  not reached " + std::to_string(c.notReached);
  return line;
}

nlohmann::json CountersJson(const Counters& c) {
  return {{"passed", c.passed},
          {"failed", c.failed},
          {"notReached", c.notReached},
          {"yield", c.Yield()}};
}

// The stations' output: a line per happening (prefixed with the station),
// or JSON lines.
class ProduceView final : public Observer {
 public:
  ProduceView(Console& console, std::size_t stations, bool manual, NextChipGate& gate)
      : console_(console),
        writer_(console.options().out),
        labels_(stations),
        manual_(manual),
        gate_(gate) {
    for (std::size_t i = 0; i < stations; ++i) labels_[i] = "station " + std::to_string(i + 1);
  }

  void OnStationReady(std::size_t i, const std::string& serial, const std::string& port) override {
    std::lock_guard lock(mutex_);
    if (!serial.empty()) labels_[i] = serial;
    if (Json()) {
      Emit({{"event", "station-ready"}, {"station", i + 1}, {"serial", serial}, {"port", port}});
      return;
    }
    Line(i, "ready on " + (port.empty() ? std::string("-") : port));
  }
  void OnWaiting(std::size_t i, bool forRemoval) override {
    std::lock_guard lock(mutex_);
    if (Json()) {
      Emit({{"event", forRemoval ? "waiting-removal" : "waiting-chip"}, {"station", i + 1}});
      return;
    }
    Line(i, forRemoval ? "take the chip out"
            : manual_  ? "put the next chip in and press Enter"
                       : "waiting for a chip");
  }
  void OnChipStarted(std::size_t i, const std::optional<std::string>& serial) override {
    std::lock_guard lock(mutex_);
    if (Json()) {
      nlohmann::json j{{"event", "chip-started"}, {"station", i + 1}};
      j["chipSerial"] = serial ? nlohmann::json(*serial) : nlohmann::json(nullptr);
      Emit(j);
      return;
    }
    Line(i, "programming" + (serial ? " serial " + *serial : std::string()));
  }
  void OnRunEvent(std::size_t, const Event&) override {}
  void OnChipDone(std::size_t i, const ChipRecord& row, const Counters& c) override {
    std::lock_guard lock(mutex_);
    if (Json()) {
      nlohmann::json j{{"event", "chip-done"},
                       {"station", i + 1},
                       {"result", ResultName(row.result)},
                       {"runResult", row.runResult},
                       {"detail", row.detail},
                       {"durationMs", row.durationMs},
                       {"imageCrc", row.imageCrc},
                       {"passed", c.passed},
                       {"failed", c.failed},
                       {"notReached", c.notReached},
                       {"yield", c.Yield()},
                       {"attempt", row.attempt},
                       {"jobId", row.jobId},
                       {"dataSha256", row.dataSha256}};
      j["chipSerial"] = row.chipSerial ? nlohmann::json(*row.chipSerial) : nlohmann::json(nullptr);
      Emit(j);
      return;
    }
    const std::string name(ResultName(row.result));
    std::string text = IsPass(row.result)        ? "PASS"
                       : ReachedChip(row.result) ? "FAIL " + name
                                                 : "NOT PROGRAMMED " + name;
    if (row.chipSerial) text += "  serial " + *row.chipSerial;
    if (!row.detail.empty()) text += "  (" + ToLf(row.detail) + ")";
    Line(i, text + "  " + std::to_string(row.durationMs) + " ms  |  " + YieldText(c));
  }
  void OnChipUnrecorded(std::size_t i, const ChipRecord& row,
                        const std::optional<std::string>& chipHex,
                        const std::string& error) override {
    std::lock_guard lock(mutex_);
    if (Json()) {
      nlohmann::json j{{"event", "chip-unrecorded"},
                       {"station", i + 1},
                       {"result", ResultName(row.result)},
                       {"attempt", row.attempt},
                       {"error", error}};
      j["chipSerial"] = row.chipSerial ? nlohmann::json(*row.chipSerial) : nlohmann::json(nullptr);
      j["number"] = chipHex ? nlohmann::json(*chipHex) : nlohmann::json(nullptr);
      Emit(j);
      return;
    }
    console_.Error(Printable(labels_[i]) + ": NOT RECORDED: the chip" +
                   (row.chipSerial ? " with serial number " + Printable(*row.chipSerial) : "") +
                   (IsPass(row.result) ? " passed" : " failed") +
                   " but its record could not be written; put it aside");
  }
  void OnStationStopped(std::size_t i, StationStop why, const std::string& detail,
                        const Counters& c) override {
    std::lock_guard lock(mutex_);
    if (Json()) {
      Emit({{"event", "station-stopped"},
            {"station", i + 1},
            {"reason", StopName(why)},
            {"detail", detail},
            {"passed", c.passed},
            {"failed", c.failed}});
      return;
    }
    const std::string text =
        "stopped: " + std::string(StopName(why)) + (detail.empty() ? std::string() : ": " + detail);
    if (why == StationStop::kCount || why == StationStop::kStopped || why == StationStop::kLimit) {
      Line(i, text);
    } else {
      console_.Error(Printable(labels_[i]) + ": " + Printable(text));
    }
  }
  void OnNotice(std::size_t i, const std::string& text) override {
    std::lock_guard lock(mutex_);
    if (Json()) {
      Emit({{"event", "notice"}, {"station", i + 1}, {"text", text}});
      return;
    }
    console_.Error(Printable(labels_[i]) + ": " + Printable(text));
  }
  NextChipAnswer WaitForNextChip(std::size_t i, std::chrono::milliseconds timeout) override {
    return gate_.Wait(i, timeout);
  }

  const std::string& Label(std::size_t i) const { return labels_[i]; }

 private:
  bool Json() const { return console_.options().json; }
  void Emit(const nlohmann::json& j) { writer_.Write(JsonLine(j)); }
  void Line(std::size_t i, const std::string& text) {
    if (console_.options().quiet) return;
    std::fprintf(console_.options().out, "%s: %s\n", Printable(labels_[i]).c_str(),
                 Printable(text).c_str());
    std::fflush(console_.options().out);
  }

  Console& console_;
  LineWriter writer_;
  std::mutex mutex_;
  std::vector<std::string> labels_;
  bool manual_;
  NextChipGate& gate_;
};

int StopExitCode(StationStop stop) {
  switch (stop) {
    case StationStop::kCount:
    case StationStop::kStopped:
    case StationStop::kLimit:
      return kExitOk;
    case StationStop::kNoProgrammer:
      return kExitNoProgrammer;
    case StationStop::kNoAnswer:
      return kExitComm;
    default:
      return kExitFailure;
  }
}

// "YYYY-MM-DD", optionally followed by "THH:MM", ":SS", ".fff" and "Z".
bool ValidSince(const std::string& t) {
  static const std::string kShape = "dddd-dd-ddTdd:dd:dd.ddd";
  std::string s = t;
  if (!s.empty() && s.back() == 'Z') s.pop_back();
  if (s.size() != 10 && s.size() != 16 && s.size() != 19 && s.size() != 23) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char want = kShape[i];
    if (want == 'd' ? !(s[i] >= '0' && s[i] <= '9') : s[i] != want) return false;
  }
  return true;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string q = "\"";
  for (char c : text) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

// The serial plan's options, the same for `produce` and `job create`.
void AddSerialOptions(CLI::App& app, JobRequest& r) {
  app.add_option("--serial-at", r.serialAt,
                 "write a serial number into each chip at this chip address (hex)")
      ->type_name("ADDR");
  app.add_option("--serial-start", r.serialStart,
                 "the first serial number (hex; with --serial-format bcd decimal)")
      ->type_name("HEX");
  app.add_option("--serial-step", r.serialStep, "increment (default 1)")
      ->type_name("N")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{1} << 40));
  app.add_option("--serial-bytes", r.serialBytes, "bytes written (default 4, at most 8)")
      ->type_name("K")
      ->check(CLI::Range(1, 8));
  app.add_option("--serial-format", r.serialFormat,
                 "be (default), le, bcd or ascii (hex digits as characters)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"be", "le", "bcd", "ascii"}));
  app.add_option("--serial-file", r.serialFile,
                 "take the serial numbers from this file: one hex value per line")
      ->type_name("F");
  app.add_flag("--serial-burn-failed", r.serialBurnFailed,
               "a failed chip's serial number is not given to the next chip");
}

// The job settings that `produce` and `job create` share.
void AddJobSettings(CLI::App& app, JobRequest& r) {
  app.add_option("--count-limit", r.countLimit,
                 "the job's limit of passed chips over every station and process sharing the "
                 "record (needs serial numbers; 0: no limit)")
      ->type_name("N")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{1} << 40));
  app.add_option("--chip-data", r.chipData,
                 "for each chip, run CMD (by the shell) for the chip's own data: it answers "
                 "ADDRESS:HEX pieces (see the README)")
      ->type_name("CMD");
  app.add_option("--chip-data-timeout", r.chipDataTimeoutMs,
                 "milliseconds one call of the chip data generator may take (default 10000)")
      ->type_name("MS")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{3600000}));
}

// Reads a small text file (a HEX or serial file for a job).
bool ReadText(const std::string& path, std::string& text, std::string& error) {
  InputFileOptions options;
  options.limit = std::size_t{64} << 20;
  if (const InputFileError e = ReadInputFile(PathFromUtf8(path), options, text);
      e != InputFileError::kNone) {
    error = Printable(path) + ": " + InputFileErrorText(e, options);
    return false;
  }
  return true;
}

// A job file read and checked (the check the desktop page uses too).
bool OpenJob(const std::string& path, const std::string& trustedKey, SealedJob& job,
             std::string& error) {
  return CheckJobFile(path, trustedKey, job, error) == JobCheck::kOk;
}

// The options as a job request: the same checks as the desktop page's.
JobRequest JobRequestOf(const ProduceOptions& p) {
  JobRequest r = p.job;
  r.hexPath = p.hex.hexPath;
  r.fuse = p.hex.fuse;
  return r;
}

}  // namespace

ProductionCommands::ProductionCommands(CLI::App& app) {
  app.add_flag("--emulator-feeder", produceOptions_.emulatorFeeder,
               "with --emulator: each emulated programmer's socket gets a fresh blank chip a "
               "moment after the previous one was taken out (which happens a moment after the "
               "LED showed its result)");
  app.add_option("--emulator-tray-serial", produceOptions_.emulatorTraySerial,
                 "with --emulator-feeder: each chip's line in the feeder's tray (tray.jsonl in "
                 "the emulator's state folder) carries the K bytes at chip address ADDR (hex)")
      ->type_name("ADDR:K")
      ->check(CLI::Validator(
          [](std::string& v) {
            return emu::ParseTraySerial(v) ? std::string()
                                           : "expected ADDR:K, ADDR hex 2000 to 9FFF and K 1 to "
                                             "8 within the chip's flash, e.g. 0x9FF0:4";
          },
          ""))
      ->needs("--emulator-feeder");
  app.add_option("--emulator-tray-data", produceOptions_.emulatorTrayData,
                 "with --emulator-feeder: each tray line also carries the K bytes (1 to 64) at "
                 "chip address ADDR as dataHex (a chip's own data)")
      ->type_name("ADDR:K")
      ->check(CLI::Validator(
          [](std::string& v) {
            return emu::ParseTrayData(v) ? std::string()
                                         : "expected ADDR:K, ADDR hex 2000 to 9FFF and K 1 to "
                                           "64 within the chip's flash, e.g. 0x9000:16";
          },
          ""))
      ->needs("--emulator-feeder");

  ProduceOptions& p = produceOptions_;
  produce_ = app.add_subcommand(
      "produce",
      "program chip after chip on every station, record each one (SQLite or PostgreSQL)");
  produce_->add_option("FILE", p.hex.hexPath,
                       "Intel HEX file with the chip's application (or --job)");
  produce_
      ->add_option("--job", p.jobFile,
                   "run a sealed job file (.vjob): its HEX file, fuse choice, serial plan, "
                   "chip data generator and count limit")
      ->type_name("JOB");
  produce_
      ->add_option("--trusted-key", p.trustedKey,
                   "with --job: run the job only when it is signed by this Ed25519 public key "
                   "(PEM or 64 hex digits)")
      ->type_name("PUB");
  produce_->add_flag("--fuse", p.hex.fuse, "blow each chip's fuse at the end (irreversible)");
  produce_->add_flag("--yes", p.hex.yes, "confirm --fuse without asking");
  produce_->add_flag("--skip-outside", p.hex.skipOutside,
                     "drop records outside the chip's APP region without asking");
  produce_->add_flag("--all", p.hex.all,
                     "every attached programmer is a station (the default without --device)");
  produce_->add_option("--count", p.job.count, "stop a station after N passed chips (0: no limit)")
      ->type_name("N")
      ->check(CLI::Range(0, 100000000));
  produce_
      ->add_option("--log", p.job.log,
                   "the record: a SQLite file (default velkan-production.db) or "
                   "postgresql://...")
      ->type_name("DB");
  produce_
      ->add_option("--next", p.job.next,
                   "enter: the next chip when Enter is pressed (a line of input); auto: when the "
                   "programmer's state query (0x75) sets bit 0, which the emulated programmer "
                   "means as \"a chip is powered and answering\" (and the previous chip was taken "
                   "out); probe: when the chip answers an I2C read at its address A0 (nothing is "
                   "written), for programmers whose state bit means something else")
      ->type_name("enter|auto|probe")
      ->check(CLI::IsMember({"enter", "auto", "probe"}));
  produce_
      ->add_option("--stop-after-failures", p.job.stopAfterFailures,
                   "stop a station after K failed chips in a row (default 3, 0: never)")
      ->type_name("K")
      ->check(CLI::Range(0, 1000000));
  AddSerialOptions(*produce_, p.job);
  AddJobSettings(*produce_, p.job);

  log_ = app.add_subcommand(
      "log",
      "show the production record (read-only): counters per station and per HEX file, CSV, "
      "or the unknown serial numbers; settle unknown numbers with --release or --burn");
  LogOptions& l = logOptions_;
  log_->add_option("DB", l.db, "SQLite file or postgresql://...")->required();
  log_->add_option("--since", l.since, "only chips from this UTC time on (YYYY-MM-DD[THH:MM[:SS]])")
      ->type_name("T");
  log_->add_flag("--csv", l.csv, "all rows as CSV (UTF-8, with a header line)");
  log_->add_flag("--rows", l.rows, "with --json: one object per row");
  log_->add_flag("--unknown", l.unknown,
                 "list the unknown serial numbers: reserved for a chip whose record never "
                 "came (its process ended, its record failed); the chip may carry them");
  log_->add_option("--release", l.release,
                   "after checking the chips: give these unknown numbers (as listed) again")
      ->type_name("NUMBER...");
  log_->add_option("--burn", l.burn,
                   "after checking the chips: never give these unknown numbers (as listed)")
      ->type_name("NUMBER...");
  log_->add_option("--series", l.series, "with --release/--burn: the numbers' series")
      ->type_name("S");
  log_->add_flag("--manifest", l.manifest,
                 "JSON Lines, one per passed chip (serial number, job id, image CRC, data hash, "
                 "time, station), for the product owner");
  log_->add_option("--job", l.job, "with --manifest: only this job's chips (its id or its file)")
      ->type_name("JOB");
  log_->add_option("--key", l.key,
                   "with --manifest: sign it with this Ed25519 private key (PEM); the last line "
                   "carries the signature of the SHA-256 of the lines above it")
      ->type_name("KEY");

  JobOptions& j = jobOptions_;
  job_ = app.add_subcommand("job", "sealed production jobs: create, show, sign, verify");
  job_->require_subcommand(1);
  jobCreate_ = job_->add_subcommand("create", "make a job file from a HEX file and the settings");
  jobCreate_->add_option("OUT", j.out, "the job file to write (.vjob)")->required();
  jobCreate_->add_option("FILE", j.hexPath, "Intel HEX file with the chip's application")
      ->required();
  jobCreate_->add_option("--name", j.name, "the job's name");
  jobCreate_->add_option("--notes", j.notes, "free text for the people running it");
  jobCreate_->add_flag("--fuse", j.request.fuse, "blow each chip's fuse at the end");
  AddSerialOptions(*jobCreate_, j.request);
  AddJobSettings(*jobCreate_, j.request);
  jobShow_ = job_->add_subcommand("show", "show a job's settings, image CRC and id");
  jobShow_->add_option("JOB", j.file, "the job file")->required();
  jobSign_ = job_->add_subcommand("sign", "sign a job file with an Ed25519 private key");
  jobSign_->add_option("JOB", j.file, "the job file (signed in place)")->required();
  jobSign_
      ->add_option("--key", j.key,
                   "the private key (PEM, e.g. openssl genpkey -algorithm "
                   "ed25519)")
      ->required()
      ->type_name("KEY");
  jobVerify_ = job_->add_subcommand("verify", "check a job file's content and signature");
  jobVerify_->add_option("JOB", j.file, "the job file")->required();
  jobVerify_->add_option("--trusted-key", j.key, "the job must be signed by this public key")
      ->type_name("PUB");
  jobKeygen_ = job_->add_subcommand("keygen", "make an Ed25519 key pair (PEM files)");
  jobKeygen_->add_option("KEY", j.key, "the private key's file")->required();
  jobKeygen_->add_option("PUB", j.publicOut, "the public key's file")->required();
}

int ProductionCommands::Produce(const GlobalOptions& global) {
  const ProduceOptions& p = produceOptions_;
  ConsoleOptions co;
  co.quiet = global.quiet;
  co.json = global.json;
  co.interactive = StdinIsTerminal();
  co.answerYes = p.hex.skipOutside;
  co.noTerminalHint =
      "no terminal to answer the question: stopped (--skip-outside drops records outside the "
      "chip's APP region without asking)";
  Console console(co);

  // Options first: nothing is sent before they all hold.
  if (p.hex.all && (global.device || !global.devices.empty())) {
    console.Error("--all and --device: choose one");
    return kExitUsage;
  }
  if (p.emulatorFeeder && !global.emulator) {
    console.Error("--emulator-feeder: only with --emulator[=DIR]");
    return kExitUsage;
  }
  // Per-chip data generators are processes of their own, which only the
  // POSIX builds start (not the Windows build).
  const std::string noGenerators =
      "per-chip data generators are not available in this build (only the Linux build runs "
      "them); nothing was programmed";
  if (!p.job.chipData.empty() && !ChildProcessesAvailable()) {
    console.Error("--chip-data: " + noGenerators);
    return kExitUsage;
  }
  // A sealed job: checked before anything else; a job that fails its
  // check programs nothing.
  JobRequest request = JobRequestOf(p);
  std::optional<SealedJob> sealed;
  std::string error;
  if (!p.jobFile.empty()) {
    if (!p.hex.hexPath.empty() || p.hex.fuse || !p.job.serialAt.empty() || p.job.countLimit != 0 ||
        !p.job.chipData.empty()) {
      console.Error(
          "--job: the job holds the HEX file, the fuse choice, the serial plan, the "
          "chip data and the limit; give none of them besides");
      return kExitUsage;
    }
    sealed.emplace();
    if (!OpenJob(p.jobFile, p.trustedKey, *sealed, error)) {
      console.Error(error + "; nothing was programmed");
      return kExitUsage;
    }
    ApplySealedJob(*sealed, request);
  } else if (!p.trustedKey.empty()) {
    console.Error("--trusted-key: only with --job");
    return kExitUsage;
  } else if (p.hex.hexPath.empty()) {
    console.Error("no HEX file given (FILE or --job)");
    return kExitUsage;
  } else if (p.job.countLimit > 0 || !p.job.chipData.empty()) {
    // A limit and chip data belong to a job: the options make one, and its
    // id goes into the rows (the same options give the same id).
    std::string hexText, serialText;
    SealedJob made;
    if (!ReadText(p.hex.hexPath, hexText, error) ||
        (!p.job.serialFile.empty() && !ReadText(p.job.serialFile, serialText, error)) ||
        !SealRequest(request, hexText, serialText, made, error)) {
      console.Error(error);
      return kExitUsage;
    }
    request.jobId = JobIdOf(made);
  }
  if (!request.chipData.empty() && !ChildProcessesAvailable()) {
    console.Error("the job's --chip-data generator: " + noGenerators);
    return kExitUsage;
  }
  const bool fuse = request.fuse;
  // The job's settings, checked as the desktop page checks them.
  JobProblem problem;
  std::optional<Job> job = BuildJob(request, VELKAN_VERSION, problem);
  if (!job) {
    console.Error(problem.text);
    return kExitUsage;
  }
  Settings& settings = job->settings;
  if (fuse && !p.hex.yes) {
    if (!co.interactive) {
      console.Error("--fuse: confirm with --yes (no terminal to ask)");
      return kExitUsage;
    }
    if (console.MessageBox(kFuseWarning, kFuseCaption, MsgButtons::kYesNo) != MsgResult::kYes) {
      return kExitUsage;
    }
  }

  ConsoleDialogs dialogs(console);
  Product product;
  if (sealed ? !LoadProductText(dialogs, sealed->hexName, sealed->hexText, fuse, product, error)
             : !LoadProduct(dialogs, p.hex.hexPath, fuse, product, error)) {
    if (!error.empty()) console.Error(error);
    return kExitUsage;
  }
  const std::unique_ptr<RecordStore> store = OpenRecordStore(job->log, StoreMode::kCreate, error);
  if (!store) {
    console.Error("--log " + error);
    return kExitUsage;
  }

  // The stations.
  std::vector<std::optional<DeviceSelector>> devices;
  if (!global.devices.empty()) {
    for (const std::string& text : global.devices)
      devices.emplace_back(DeviceSelector::Parse(text));
  } else if (global.device) {
    devices.emplace_back(DeviceSelector::Parse(*global.device));
  } else {
    for (const FoundDevice& d : ListProgrammers()) {
      devices.emplace_back(DeviceSelector{DeviceSelector::Kind::kPath, d.path});
    }
  }
  if (devices.empty()) {
    console.Error("no programmer found (USB 0755:0102)");
    return kExitNoProgrammer;
  }
  if (p.emulatorFeeder) {
    emu::Feeder feeder;
    feeder.traySerial = emu::ParseTraySerial(p.emulatorTraySerial);
    feeder.trayData = emu::ParseTrayData(p.emulatorTrayData);
    for (const auto& emulator : CurrentEmulators()) emulator->SetFeeder(feeder);
  }

  NextChipGate gate(devices.size());
  ProduceView view(console, devices.size(), settings.next == NextChip::kManual, gate);
  Engine engine(product, settings, *store, view);
  InterruptGuard interrupt;
  std::atomic<bool> done{false};
  std::vector<StationSummary> summaries;
  {
    std::jthread worker([&] {
      summaries = engine.Run(devices);
      done.store(true);
      gate.End();
    });
    // Input: every line is the next chip (Enter mode); the end of input or
    // Ctrl+C ends the run once the chips in progress are recorded. In auto
    // mode only a terminal's end of input (Ctrl+D) counts.
    const bool readInput = settings.next == NextChip::kManual || co.interactive;
    bool inputOpen = readInput;
    while (!done.load()) {
      if (gInterrupted) {
        engine.RequestStop();
        gate.End();
      }
      if (!inputOpen) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      std::string line;
      switch (ReadInputLine(line, 50)) {
        case InputLine::kLine:
          if (settings.next == NextChip::kManual) gate.Next();
          break;
        case InputLine::kEnd:
          // Enter mode: the lines already given are still served.
          inputOpen = false;
          if (settings.next == NextChip::kAuto) engine.RequestStop();
          gate.End();
          break;
        case InputLine::kTimeout:
          break;
      }
    }
  }  // the worker is joined

  // Summary.
  int code = kExitOk;
  nlohmann::json list = nlohmann::json::array();
  std::string text;
  Counters total;
  for (std::size_t i = 0; i < summaries.size(); ++i) {
    const StationSummary& s = summaries[i];
    total.passed += s.counters.passed;
    total.failed += s.counters.failed;
    total.notReached += s.counters.notReached;
    if (const int c = StopExitCode(s.stop); c != kExitOk && code == kExitOk) code = c;
    list.push_back({{"serial", s.serial},
                    {"port", s.port},
                    {"passed", s.counters.passed},
                    {"failed", s.counters.failed},
                    {"notReached", s.counters.notReached},
                    {"reason", StopName(s.stop)}});
    text += "== " + Printable(view.Label(i)) + " " + Printable(s.port.empty() ? "-" : s.port) +
            ": " + YieldText(s.counters) + "  (" + std::string(StopName(s.stop)) + ")\n";
  }
  if (global.json) {
    LineWriter writer(co.out);
    writer.Write(JsonLine({{"event", "production-finished"},
                           {"exitCode", code},
                           {"passed", total.passed},
                           {"failed", total.failed},
                           {"notReached", total.notReached},
                           {"stations", list}}));
  } else {
    text += "== total: " + YieldText(total) + "\n";
    console.Out(text);
  }
  // A station given up may still be inside the library: the process ends
  // here, before anything is torn down under it.
  if (std::any_of(summaries.begin(), summaries.end(),
                  [](const StationSummary& s) { return s.stop == StationStop::kNotStopped; })) {
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}

int ProductionCommands::Log(const GlobalOptions& global) {
  const LogOptions& o = logOptions_;
  ConsoleOptions co;
  co.quiet = global.quiet;
  Console console(co);
  std::string since = o.since;
  if (!since.empty()) {
    if (!ValidSince(since)) {
      console.Error("--since " + since + ": a UTC time like 2024-05-01 or 2024-05-01T08:30");
      return kExitUsage;
    }
    if (since.back() == 'Z') since.pop_back();
  }
  const bool settling = !o.release.empty() || !o.burn.empty();
  if (settling && (o.csv || o.rows || o.unknown || !o.since.empty())) {
    console.Error("--release and --burn: not with --csv, --rows, --unknown or --since");
    return kExitUsage;
  }
  if (!o.series.empty() && !settling) {
    console.Error("--series: only with --release or --burn");
    return kExitUsage;
  }
  if (!o.manifest && (!o.job.empty() || !o.key.empty())) {
    console.Error("--job and --key: only with --manifest");
    return kExitUsage;
  }
  if (o.manifest && (o.csv || o.rows || o.unknown || settling)) {
    console.Error("--manifest: not with --csv, --rows, --unknown, --release or --burn");
    return kExitUsage;
  }
  if (o.csv && (o.rows || o.unknown)) {
    console.Error("--csv: not with --rows or --unknown");
    return kExitUsage;
  }
  if (o.rows && !global.json) {
    console.Error("--rows: only with --json (plain rows: --csv)");
    return kExitUsage;
  }
  std::string error;
  // Reports never change the store; only the operator's settling writes.
  const std::unique_ptr<RecordStore> store =
      OpenRecordStore(o.db, settling ? StoreMode::kWrite : StoreMode::kReadOnly, error);
  if (!store) {
    console.Error(error);
    return kExitUsage;
  }
  // Output in blocks, not all at once: a record may hold millions of rows.
  std::string out;
  auto flush = [&](bool force) {
    if (force || out.size() >= (std::size_t{1} << 16)) {
      if (!out.empty()) console.Out(out);
      out.clear();
    }
  };
  auto jsonLine = [&](const nlohmann::json& j) {
    out += j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    out += "\n";
    flush(false);
  };

  if (settling) {
    int code = kExitOk;
    for (const auto& [numbers, release] :
         {std::pair{&o.release, true}, std::pair{&o.burn, false}}) {
      for (const std::string& number : *numbers) {
        int settled = 0;
        if (!store->SettleUnknown(number, o.series, release, settled, error)) {
          console.Error(error);
          code = kExitFailure;
          continue;
        }
        if (settled == 0) {
          console.Error(number + ": not an unknown serial number" +
                        (o.series.empty() ? std::string() : " of " + o.series));
          code = kExitFailure;
          continue;
        }
        if (global.json) {
          jsonLine({{"number", number}, {"settled", release ? "released" : "burnt"}});
        } else {
          out += number + (release ? ": released (it will be given again)\n"
                                   : ": burnt (it will not be given again)\n");
        }
      }
    }
    flush(true);
    return code;
  }

  if (o.manifest) return Manifest(console, *store, since, o);

  std::vector<UnknownNumber> unknown;
  if (!store->Unknown(unknown, error)) {
    console.Error(error);
    return kExitFailure;
  }
  auto numberText = [](const UnknownNumber& u) {
    return u.chipHex.empty() ? "#" + std::to_string(u.number) : u.chipHex;
  };
  if (o.unknown) {
    for (const UnknownNumber& u : unknown) {
      if (global.json) {
        jsonLine({{"series", u.series},
                  {"number", numberText(u)},
                  {"index", u.number},
                  {"station", u.station},
                  {"reservedUtc", u.timeUtc},
                  {"attempt", u.attempt}});
      } else {
        out += Printable(u.series) + "\t" + numberText(u) + "\t" + Printable(u.station) + "\t" +
               (u.timeUtc.empty() ? "-" : u.timeUtc) + "\t" +
               (u.attempt.empty() ? "-" : u.attempt) + "\n";
      }
    }
    flush(true);
    return kExitOk;
  }

  if (o.csv || o.rows) {
    if (o.csv) {
      for (std::size_t i = 0; i < kChipColumnCount; ++i) {
        out += std::string(i == 0 ? "" : ",") + kChipColumns[i];
      }
      out += "\n";
    }
    const bool ok = store->ForEachRow(
        since,
        [&](const ChipRecord& r) {
          const auto fields = ChipRowFields(r);
          if (o.csv) {
            for (std::size_t i = 0; i < fields.size(); ++i) {
              out += (i == 0 ? "" : ",") + CsvField(fields[i].value_or(""));
            }
            out += "\n";
            flush(false);
          } else {
            nlohmann::json j = nlohmann::json::object();
            for (std::size_t i = 0; i < fields.size(); ++i) {
              j[kChipColumns[i]] = fields[i] ? nlohmann::json(*fields[i]) : nlohmann::json();
            }
            jsonLine(j);
          }
          return true;
        },
        error);
    flush(true);
    if (!ok) {
      console.Error(error);
      return kExitFailure;
    }
    return kExitOk;
  }

  struct Key {
    std::string a, b;
    bool operator<(const Key& k) const { return std::tie(a, b) < std::tie(k.a, k.b); }
  };
  std::map<Key, Counters> byStation, byHex, byJob;
  Counters total;
  std::int64_t chips = 0;
  const bool ok = store->ForEachRow(
      since,
      [&](const ChipRecord& r) {
        ++chips;
        Counters& s = byStation[{r.stationSerial, r.stationPort}];
        Counters& h = byHex[{r.hexName, r.hexSha256}];
        Counters& j = byJob[{r.jobId, {}}];
        for (Counters* c : {&s, &h, &j, &total}) c->Count(r.result);
        return true;
      },
      error);
  if (!ok) {
    console.Error(error);
    return kExitFailure;
  }
  if (global.json) {
    for (const auto& [key, c] : byStation) {
      nlohmann::json j{{"kind", "station"}, {"station", key.a}, {"port", key.b}};
      j.update(CountersJson(c));
      jsonLine(j);
    }
    for (const auto& [key, c] : byHex) {
      nlohmann::json j{{"kind", "hex"}, {"hexName", key.a}, {"hexSha256", key.b}};
      j.update(CountersJson(c));
      jsonLine(j);
    }
    for (const auto& [key, c] : byJob) {
      nlohmann::json j{{"kind", "job"}, {"jobId", key.a}};
      j.update(CountersJson(c));
      jsonLine(j);
    }
    nlohmann::json j{{"kind", "total"}, {"chips", chips}, {"unknownNumbers", unknown.size()}};
    if (!since.empty()) j["since"] = since;
    j.update(CountersJson(total));
    jsonLine(j);
    flush(true);
    return kExitOk;
  }
  char line[512];
  out += "chips: " + std::to_string(chips) + (since.empty() ? std::string() : " since " + since) +
         "\n";
  out += "\nper station:\n";
  for (const auto& [key, c] : byStation) {
    std::snprintf(line, sizeof line, "  %-32s %s\n", Printable(key.a + "  " + key.b).c_str(),
                  YieldText(c).c_str());
    out += line;
  }
  out += "\nper HEX file:\n";
  for (const auto& [key, c] : byHex) {
    std::snprintf(line, sizeof line, "  %-32s %s\n",
                  Printable(key.a + "  " + key.b.substr(0, 12)).c_str(), YieldText(c).c_str());
    out += line;
  }
  out += "\nper job:\n";
  for (const auto& [key, c] : byJob) {
    std::snprintf(line, sizeof line, "  %-32s %s\n",
                  key.a.empty() ? "(no job)" : key.a.substr(0, 16).c_str(), YieldText(c).c_str());
    out += line;
  }
  out += "\ntotal: " + YieldText(total) + "\n";
  if (!unknown.empty()) {
    out += "\nunknown serial numbers: " + std::to_string(unknown.size()) +
           " (reserved for chips whose record never came; check those chips, then velkan log "
           "--unknown, --release or --burn)\n";
  }
  flush(true);
  return kExitOk;
}

int ProductionCommands::Manifest(Console& console, RecordStore& store, const std::string& since,
                                 const LogOptions& o) {
  std::string error;
  std::string jobId = o.job;
  if (!jobId.empty() && std::filesystem::is_regular_file(PathFromUtf8(jobId))) {
    SealedJob sealed;
    if (!ReadJobFile(o.job, sealed, error)) {
      console.Error(error);
      return kExitUsage;
    }
    jobId = JobIdOf(sealed);
  }
  // Kept whole: the signature covers every line.
  std::string body;
  const bool ok = store.ForEachRow(
      since,
      [&](const ChipRecord& r) {
        if (!IsPass(r.result) || (!jobId.empty() && r.jobId != jobId)) return true;
        nlohmann::json j{{"serial", r.chipSerial ? nlohmann::json(*r.chipSerial) : nullptr},
                         {"jobId", r.jobId},
                         {"imageCrc", r.imageCrc},
                         {"dataSha256", r.dataSha256},
                         {"time", r.timeUtc},
                         {"station", r.stationSerial},
                         {"port", r.stationPort},
                         {"attempt", r.attempt}};
        body += j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        return true;
      },
      error);
  if (!ok) {
    console.Error(error);
    return kExitFailure;
  }
  if (!o.key.empty()) {
    const auto digest = Sha256(body);
    std::string publicKey, signature;
    if (!SignMessage(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()),
                     o.key, publicKey, signature, error)) {
      console.Error("--key " + error);
      return kExitUsage;
    }
    body += nlohmann::json{{"signature", signature},
                           {"algorithm", "ed25519"},
                           {"publicKey", publicKey},
                           {"signs", "SHA-256 of the lines above"},
                           {"sha256", Sha256Hex(body)}}
                .dump() +
            "\n";
  }
  console.Out(body);
  return kExitOk;
}

int ProductionCommands::JobCommand(const GlobalOptions& global) {
  const JobOptions& j = jobOptions_;
  ConsoleOptions co;
  co.quiet = global.quiet;
  Console console(co);
  std::string error;
  if (!SigningAvailable()) {
    console.Error("velkan job: not available in this build (it was built without libsodium)");
    return kExitUsage;
  }
  if (jobCreate_->parsed()) {
    JobRequest request = j.request;
    request.hexPath = j.hexPath;
    request.log = "-";  // no record in a job: each station names its own
    std::string hexText, serialText;
    if (!ReadText(j.hexPath, hexText, error) ||
        (!request.serialFile.empty() && !ReadText(request.serialFile, serialText, error))) {
      console.Error(error);
      return kExitUsage;
    }
    request.serialFileText = serialText;
    JobProblem problem;
    if (!BuildJob(request, VELKAN_VERSION, problem)) {
      console.Error(problem.text);
      return kExitUsage;
    }
    SealedJob sealed;
    sealed.name = j.name;
    sealed.notes = j.notes;
    if (!SealRequest(request, hexText, serialText, sealed, error)) {
      console.Error(error);
      return kExitUsage;
    }
    ConsoleDialogs dialogs(console);
    Product product;
    if (!LoadProductText(dialogs, sealed.hexName, sealed.hexText, sealed.fuse, product, error)) {
      if (!error.empty()) console.Error(error);
      return kExitUsage;
    }
    if (!WriteJobFile(j.out, sealed, error)) {
      console.Error(error);
      return kExitFailure;
    }
    if (!sealed.chipData.empty() && !ChildProcessesAvailable()) {
      // A job made here may well be run by stations elsewhere.
      console.Error("note: this build cannot run the job's --chip-data generator; the Linux "
                    "build's produce can");
    }
    console.Out(JobIdOf(sealed) + "\n");
    return kExitOk;
  }
  if (jobKeygen_->parsed()) {
    if (!GenerateKeyPair(j.key, j.publicOut, error)) {
      console.Error(error);
      return kExitFailure;
    }
    return kExitOk;
  }
  SealedJob sealed;
  if (jobSign_->parsed()) {
    if (!OpenJob(j.file, "", sealed, error)) {
      console.Error(error);
      return kExitUsage;
    }
    JobSignature signature;
    if (!SignMessage(CanonicalContent(sealed), j.key, signature.publicKey, signature.value,
                     error)) {
      console.Error("--key " + error);
      return kExitUsage;
    }
    sealed.signature = signature;
    if (!WriteJobFile(j.file, sealed, error)) {
      console.Error(error);
      return kExitFailure;
    }
    console.Out("signed " + JobIdOf(sealed) + " by " + signature.publicKey + "\n");
    return kExitOk;
  }
  if (!OpenJob(j.file, jobVerify_->parsed() ? j.key : "", sealed, error)) {
    console.Error(error);
    return kExitFailure;
  }
  if (jobVerify_->parsed()) {
    console.Out("ok " + JobIdOf(sealed) +
                (sealed.signature ? " signed by " + sealed.signature->publicKey
                                  : std::string(" (not signed)")) +
                "\n");
    return kExitOk;
  }
  ConsoleDialogs dialogs(console);
  Product product;
  if (!LoadProductText(dialogs, sealed.hexName, sealed.hexText, sealed.fuse, product, error)) {
    if (!error.empty()) console.Error(error);
    return kExitFailure;
  }
  std::string crc;
  ScriptTable script;
  ChipScript(product, nullptr, nullptr, script, crc);
  nlohmann::json show{{"id", JobIdOf(sealed)},
                      {"name", sealed.name},
                      {"notes", sealed.notes},
                      {"hexName", sealed.hexName},
                      {"hexSha256", product.hexSha256},
                      {"imageCrc", crc},
                      {"fuse", sealed.fuse},
                      {"countLimit", sealed.countLimit},
                      {"chipData", sealed.chipData},
                      {"chipDataTimeoutMs", sealed.chipDataTimeoutMs},
                      {"serialAt", sealed.serialAt},
                      {"serialStart", sealed.serialStart},
                      {"serialStep", sealed.serialStep},
                      {"serialBytes", sealed.serialBytes},
                      {"serialFormat", sealed.serialFormat},
                      {"serialFile", sealed.serialFileName},
                      {"signedBy", sealed.signature ? sealed.signature->publicKey : ""}};
  if (global.json) {
    console.Out(show.dump() + "\n");
    return kExitOk;
  }
  std::string text;
  for (const auto& [key, value] : show.items()) {
    text +=
        key + ": " + Printable(value.is_string() ? value.get<std::string>() : value.dump()) + "\n";
  }
  console.Out(text);
  return kExitOk;
}

}  // namespace velkan::cli
