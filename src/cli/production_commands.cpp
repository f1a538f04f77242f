#include "cli/production_commands.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
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
#include "emulator/emulator.h"
#include "image/start_programming.h"
#include "production/next_chip_gate.h"
#include "production/production.h"
#include "programmer/backend.h"

namespace velkan::cli {

namespace {

using namespace velkan::production;

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void OnInterrupt(int) {
  gInterrupted = 1;
}

// Ctrl+C asks for a stop while this lives.
class InterruptGuard {
 public:
  InterruptGuard() { previous_ = std::signal(SIGINT, OnInterrupt); }
  ~InterruptGuard() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*previous_)(int) = SIG_DFL;
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
  char text[96];
  std::snprintf(text, sizeof text, "passed %d  failed %d  yield %.1f%%", c.passed, c.failed,
                c.Yield());
  return text;
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
      nlohmann::json j{{"event", "chip-done"},     {"station", i + 1},
                       {"result", row.result},     {"runResult", row.runResult},
                       {"detail", row.detail},     {"durationMs", row.durationMs},
                       {"imageCrc", row.imageCrc}, {"passed", c.passed},
                       {"failed", c.failed},       {"yield", c.Yield()}};
      j["chipSerial"] = row.chipSerial ? nlohmann::json(*row.chipSerial) : nlohmann::json(nullptr);
      Emit(j);
      return;
    }
    std::string text = row.result == "pass" ? "PASS" : "FAIL " + row.result;
    if (row.chipSerial) text += "  serial " + *row.chipSerial;
    if (!row.detail.empty()) text += "  (" + ToLf(row.detail) + ")";
    Line(i, text + "  " + std::to_string(row.durationMs) + " ms  |  " + YieldText(c));
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
    if (why == StationStop::kCount || why == StationStop::kStopped) {
      Line(i, text);
    } else {
      console_.Error(Printable(labels_[i]) + ": " + Printable(text));
    }
  }
  bool WaitForNextChip(std::size_t i) override { return gate_.Wait(i); }

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
      return kExitOk;
    case StationStop::kNoProgrammer:
      return kExitNoProgrammer;
    case StationStop::kNoAnswer:
      return kExitComm;
    default:
      return kExitFailure;
  }
}

std::optional<std::string> ReadText(Console& console, const std::string& path,
                                    std::string_view what) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) {
    console.Error(std::string(what) + " " + path + ": cannot be read");
    return std::nullopt;
  }
  std::string text{std::istreambuf_iterator<char>(in), {}};
  if (in.bad()) {
    console.Error(std::string(what) + " " + path + ": read error");
    return std::nullopt;
  }
  return text;
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

  ProduceOptions& p = produceOptions_;
  produce_ = app.add_subcommand(
      "produce",
      "program chip after chip on every station, record each one (SQLite or PostgreSQL)");
  produce_->add_option("FILE", p.hex.hexPath, "Intel HEX file with the chip's application")
      ->required();
  produce_->add_flag("--fuse", p.hex.fuse, "blow each chip's fuse at the end (irreversible)");
  produce_->add_flag("--yes", p.hex.yes, "confirm --fuse without asking");
  produce_->add_flag("--skip-outside", p.hex.skipOutside,
                     "drop records outside the chip's APP region without asking");
  produce_->add_flag("--all", p.hex.all,
                     "every attached programmer is a station (the default without --device)");
  produce_->add_option("--count", p.count, "stop a station after N passed chips (0: no limit)")
      ->type_name("N")
      ->check(CLI::Range(0, 100000000));
  produce_
      ->add_option("--log", p.log,
                   "the record: a SQLite file (default velkan-production.db) or "
                   "postgresql://...")
      ->type_name("DB");
  produce_
      ->add_option("--next", p.next,
                   "enter: the next chip when Enter is pressed (a line of input); auto: "
                   "when a chip answers in the socket (and the previous one was taken out)")
      ->type_name("enter|auto")
      ->check(CLI::IsMember({"enter", "auto"}));
  produce_
      ->add_option("--stop-after-failures", p.stopAfterFailures,
                   "stop a station after K failed chips in a row (default 3, 0: never)")
      ->type_name("K")
      ->check(CLI::Range(0, 1000000));
  produce_
      ->add_option("--serial-at", p.serialAt,
                   "write a serial number into each chip at this chip address (hex)")
      ->type_name("ADDR");
  produce_
      ->add_option("--serial-start", p.serialStart,
                   "the first serial number (hex; with --serial-format bcd decimal)")
      ->type_name("HEX");
  produce_->add_option("--serial-step", p.serialStep, "increment (default 1)")
      ->type_name("N")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{1} << 40));
  produce_->add_option("--serial-bytes", p.serialBytes, "bytes written (default 4, at most 8)")
      ->type_name("K")
      ->check(CLI::Range(1, 8));
  produce_
      ->add_option("--serial-format", p.serialFormat,
                   "be (default), le, bcd or ascii (hex digits as characters)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"be", "le", "bcd", "ascii"}));
  produce_
      ->add_option("--serial-file", p.serialFile,
                   "take the serial numbers from this file: one hex value per line")
      ->type_name("F");
  produce_->add_flag("--serial-burn-failed", p.serialBurnFailed,
                     "a failed chip's serial number is not given to the next chip");

  log_ = app.add_subcommand(
      "log", "show the production record: counters per station and per HEX file, or CSV");
  log_->add_option("DB", logOptions_.db, "SQLite file or postgresql://...")->required();
  log_->add_option("--since", logOptions_.since,
                   "only chips from this UTC time on (YYYY-MM-DD[THH:MM[:SS]])")
      ->type_name("T");
  log_->add_flag("--csv", logOptions_.csv, "all rows as CSV (UTF-8, with a header line)");
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
  Settings settings;
  settings.count = p.count;
  settings.stopAfterFailures = p.stopAfterFailures;
  settings.next = p.next == "auto" ? NextChip::kAuto : NextChip::kManual;
  settings.toolVersion = VELKAN_VERSION;
  const bool counter = !p.serialStart.empty();
  if (!p.serialFile.empty() && counter) {
    console.Error("--serial-file and --serial-start: choose one");
    return kExitUsage;
  }
  if ((counter || !p.serialFile.empty()) != !p.serialAt.empty()) {
    console.Error(p.serialAt.empty() ? "serial numbers need --serial-at ADDR"
                                     : "--serial-at needs --serial-start or --serial-file");
    return kExitUsage;
  }
  if (!p.serialAt.empty()) {
    SerialPlan plan;
    std::string error;
    if (counter) {
      error = ParseCounterPlan(p.serialAt, p.serialStart, p.serialStep, p.serialBytes,
                               p.serialFormat, plan);
    } else {
      const auto text = ReadText(console, p.serialFile, "--serial-file");
      if (!text) return kExitUsage;
      const std::size_t slash = p.serialFile.find_last_of("/\\");
      error = ParseFilePlan(
          p.serialAt, slash == std::string::npos ? p.serialFile : p.serialFile.substr(slash + 1),
          *text, plan);
    }
    if (!error.empty()) {
      console.Error(error);
      return kExitUsage;
    }
    plan.burnFailed = p.serialBurnFailed;
    settings.serial = std::move(plan);
  }
  if (p.hex.fuse && !p.hex.yes) {
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
  std::string error;
  if (!LoadProduct(dialogs, p.hex.hexPath, p.hex.fuse, product, error)) {
    if (!error.empty()) console.Error(error);
    return kExitUsage;
  }
  if (settings.serial && settings.serial->FromFile()) {
    for (const auto& value : settings.serial->fileValues) {
      if (settings.serial->address + value.size() > kAppEnd) {
        console.Error("--serial-file: a value does not fit below 0xA000");
        return kExitUsage;
      }
    }
  }
  const std::unique_ptr<RecordStore> store = OpenRecordStore(p.log, true, error);
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
    if (const int c = StopExitCode(s.stop); c != kExitOk && code == kExitOk) code = c;
    list.push_back({{"serial", s.serial},
                    {"port", s.port},
                    {"passed", s.counters.passed},
                    {"failed", s.counters.failed},
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
                           {"stations", list}}));
  } else {
    text += "== total: " + YieldText(total) + "\n";
    console.Out(text);
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
  std::string error;
  const std::unique_ptr<RecordStore> store = OpenRecordStore(o.db, false, error);
  if (!store) {
    console.Error(error);
    return kExitUsage;
  }
  std::vector<ChipRecord> rows;
  if (!store->Rows(since, rows, error)) {
    console.Error(error);
    return kExitFailure;
  }
  std::string out;
  if (o.csv) {
    for (const char* column : kChipColumns) {
      out += std::string(out.empty() ? "" : ",") + column;
    }
    out += "\n";
    for (const ChipRecord& r : rows) {
      const std::string fields[] = {r.timeUtc,
                                    r.stationSerial,
                                    r.stationPort,
                                    r.toolVersion,
                                    r.hexName,
                                    r.hexSha256,
                                    r.imageCrc,
                                    r.fuse ? "1" : "0",
                                    r.chipSerial.value_or(""),
                                    r.result,
                                    std::to_string(r.runResult),
                                    r.detail,
                                    std::to_string(r.durationMs)};
      for (std::size_t i = 0; i < std::size(fields); ++i) {
        out += (i == 0 ? "" : ",") + CsvField(fields[i]);
      }
      out += "\n";
    }
    console.Out(out);
    return kExitOk;
  }
  std::map<std::string, Counters> byStation, byHex;
  Counters total;
  for (const ChipRecord& r : rows) {
    Counters& s = byStation[r.stationSerial + "  " + r.stationPort];
    Counters& h = byHex[r.hexName + "  " + r.hexSha256.substr(0, 12)];
    const bool pass = r.result == "pass";
    for (Counters* c : {&s, &h, &total}) ++(pass ? c->passed : c->failed);
  }
  char line[256];
  out += "chips: " + std::to_string(rows.size()) +
         (since.empty() ? std::string() : " since " + since) + "\n";
  out += "\nper station:\n";
  for (const auto& [name, c] : byStation) {
    std::snprintf(line, sizeof line, "  %-32s %s\n", Printable(name).c_str(), YieldText(c).c_str());
    out += line;
  }
  out += "\nper HEX file:\n";
  for (const auto& [name, c] : byHex) {
    std::snprintf(line, sizeof line, "  %-32s %s\n", Printable(name).c_str(), YieldText(c).c_str());
    out += line;
  }
  out += "\ntotal: " + YieldText(total) + "\n";
  console.Out(out);
  return kExitOk;
}

}  // namespace velkan::cli
