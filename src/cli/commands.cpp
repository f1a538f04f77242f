#include "cli/commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>

#include "cli/console.h"
#include "cli/event_output.h"
#include "cli/exit_codes.h"
#include "cli/gang.h"
#include "cli/script_file.h"
#include "cli/terminal.h"
#include "common/codepage.h"
#include "common/hex_text.h"
#include "common/input_file.h"
#include "emulator/emulator.h"
#include "image/start_programming.h"
#include "programmer/backend.h"
#include "programmer/firmware_update.h"
#include "programmer/hid_emulated.h"
#include "script/i2c_test.h"
#include "script/runs.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace velkan::cli {
namespace {

constexpr std::size_t kMaxScriptFileBytes = 16u << 20;
constexpr std::size_t kMaxFirmwareBytes = 16u << 20;

ConsoleOptions MakeConsoleOptions(const GlobalOptions& global, bool answerYes) {
  ConsoleOptions o;
  o.quiet = global.quiet;
  o.json = global.json;
  o.progress = StdoutIsTerminal();
  o.interactive = StdinIsTerminal();
  o.answerYes = answerYes;
  o.noTerminalHint =
      "no terminal to answer the question: stopped (--skip-outside drops records outside the "
      "chip's APP region without asking)";
  return o;
}

// The whole file, read once (a FIFO or /dev/stdin works), or a message and
// nothing.
std::optional<std::string> ReadWholeFile(Console& console, const std::string& path,
                                         std::string_view what, std::size_t limit) {
  if (path.empty()) {
    console.Error(std::string(what) + ": no file name given");
    return std::nullopt;
  }
  InputFileOptions options;
  options.limit = limit;
  std::string bytes;
  InputFileError error = InputFileError::kCannotOpen;
  try {
    error = ReadInputFile(PathFromUtf8(path), options, bytes);
  } catch (const std::exception&) {
    // a name the platform cannot represent
  }
  if (error != InputFileError::kNone) {
    console.Error(std::string(what) + " " + Printable(path) + ": " +
                  InputFileErrorText(error, options));
    return std::nullopt;
  }
  return bytes;
}

std::string Hex4(unsigned value);

// The I2C press's events as JSON lines; its end carries what the I2C page
// showed.
class I2cJsonSink final : public EventSink {
 public:
  I2cJsonSink(const Station& station, LineWriter& writer, const ConsoleI2cView& view)
      : station_(station), writer_(writer), view_(view) {}
  void OnEvent(const Event& event) override {
    nlohmann::json j = EventJson(event, station_);
    if (event.kind == EventKind::kRunFinished) {
      nlohmann::json shown = nlohmann::json::array();
      for (const ConsoleI2cView::Show& s : view_.Shown()) shown.push_back(ToLf(s.text));
      j["output"] = std::move(shown);
    }
    writer_.Write(JsonLine(j));
  }

 private:
  const Station& station_;
  LineWriter& writer_;
  const ConsoleI2cView& view_;
};

// What to do about a programmer that the system refused to open with
// `error`; empty when there is no advice.
std::string UnopenableAdvice([[maybe_unused]] int error) {
#if !defined(_WIN32)
  if (error == EACCES || error == EPERM) {
    return std::string(" - install the udev rule ") + kUdevRuleFile +
           " (see the README) and plug the programmer in again";
  }
#endif
  return {};
}

// Programmers that are attached but could not be opened, and why: without
// this a missing access right looks exactly like no programmer at all.
void ReportUnopenable(Console& console) {
  for (const UnopenableDevice& d : ListUnopenableProgrammers()) {
    console.Error(Printable(d.path) + ": a programmer (0755:0102) that cannot be opened: " +
                  ErrorText(d.error) + UnopenableAdvice(d.error));
  }
}

const char* SkipReasonName(SkippedInterface::Reason reason) {
  switch (reason) {
    case SkippedInterface::Reason::kNoPath:
      return "no-path";
    case SkippedInterface::Reason::kOpen:
      return "open";
    case SkippedInterface::Reason::kAttributes:
      return "attributes";
    case SkippedInterface::Reason::kIdentity:
      return "identity";
  }
  return "unknown";
}

// One line of `list -v` for an interface the search passed over.
std::string SkippedLine(const SkippedInterface& s) {
  std::string line = "skipped HID interface " + std::to_string(s.index);
  if (!s.path.empty()) line += " (" + Printable(s.path) + ")";
  switch (s.reason) {
    case SkippedInterface::Reason::kNoPath:
      line += ": the system gave no device path for it";
      break;
    case SkippedInterface::Reason::kOpen:
      line += ": cannot be opened";
      break;
    case SkippedInterface::Reason::kAttributes:
      line += ": its vendor and product IDs cannot be read";
      break;
    case SkippedInterface::Reason::kIdentity:
      line += ": its serial number and port cannot be read";
      break;
  }
  if (s.error != 0) line += std::string(": ") + ErrorText(s.error);
  if (s.IsProgrammer()) {
    line += " - a programmer (0755:0102)";
    if (s.reason == SkippedInterface::Reason::kOpen) line += UnopenableAdvice(s.error);
  } else if (s.attributes) {
    line += " - " + Hex4(s.attributes->vendorId) + ":" + Hex4(s.attributes->productId) +
            ", not a programmer";
  }
  return line;
}

// `list -v`: every interface the search passed over and why, on stderr (as
// JSON lines on stdout with --json).
void ReportSkipped(Console& console, const ProgrammerSearch& search) {
  for (const SkippedInterface& s : search.skipped) {
    if (console.options().json) {
      nlohmann::json j{{"event", "skipped"}, {"index", s.index},
                       {"path", s.path},     {"reason", SkipReasonName(s.reason)},
                       {"error", s.error},   {"programmer", s.IsProgrammer()}};
      if (s.error != 0) j["errorText"] = ErrorText(s.error);
      if (s.attributes) {
        j["vendorId"] = Hex4(s.attributes->vendorId);
        j["productId"] = Hex4(s.attributes->productId);
      }
      console.Out(JsonLine(j) + "\n");
    } else {
      console.Error(SkippedLine(s));
    }
  }
  if (!search.complete) {
    console.Error(
        "the system's list of HID interfaces failed; interfaces after those shown "
        "were not searched");
  }
}

// The table `list` prints: path, VID:PID, serial, port, product.
std::string ProgrammerTable(const std::vector<FoundDevice>& devices) {
  auto field = [](const std::string& text) { return text.empty() ? "-" : Printable(text); };
  std::string out;
  for (const FoundDevice& d : devices) {
    out += Printable(d.path) + "\t" + Hex4(d.vendorId) + ":" + Hex4(d.productId) + "\t" +
           field(d.serial) + "\t" + field(d.port) + "\t" + field(d.product) + "\n";
  }
  return out;
}

int OnlineExitCode(const RunOutcome& outcome) {
  if (outcome.busy) return kExitFailure;
  if (!outcome.opened) return kExitNoProgrammer;
  switch (outcome.result) {
    case kRunOk:
      return kExitOk;
    case kRunCommFailure:
      return kExitComm;
    case kRunStatusWord:
      return kExitStatusWord;
    case kRunDataMismatch:
      return kExitMismatch;
    case kRunUnsupported:
      return kExitUnsupported;
    default:
      return kExitFailure;
  }
}

int OfflineExitCode(const RunOutcome& outcome) {
  if (outcome.busy) return kExitFailure;
  if (!outcome.opened) return kExitNoProgrammer;
  switch (outcome.result) {
    case 0:
      return kExitOk;
    case -1:
      return kExitComm;
    case 3:
      return kExitUnsupported;
    case 4:
      return kExitUsage;
    default:
      return kExitFailure;
  }
}

// Runs the run of `kind` with the page's script while holding the
// programmer of the default station; with --json its events also go to
// stdout as JSON lines.
int RunOnPage(ConsolePage& page, RunKind kind, int (*exitCode)(const RunOutcome&)) {
  Station& station = DefaultStation();
  ProgrammerLease lease = ProgrammerLease::TryAcquire(station);
  if (!lease) {
    page.MessageBox(kBusyText, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return kExitFailure;
  }
  LineWriter writer(page.console().options().out);
  JsonSink json(station, writer);
  TeeSink sink(page, page.console().options().json ? &json : nullptr);
  page.ClearLog();
  const RunContext run = page.Context(page.Fuse(), sink);
  const int code = exitCode(kind == RunKind::kOffline ? OfflineLoadRun(station, run)
                                                      : OnlineProgramRun(station, run));
  if (code != kExitOk) page.PrintLogIfQuiet();
  if (code == kExitNoProgrammer) ReportUnopenable(page.console());
  return code;
}

// HEX file -> page script table, with the questions answered on the console.
// Returns kExitOk when the run may start.
int PrepareHexPage(Console& console, ConsolePage& page, const HexOptions& hex, bool asksFuse) {
  if (asksFuse && hex.fuse && !hex.yes && !console.options().interactive) {
    console.Error(
        "--fuse blows the chip's fuse, after which it can never be programmed again; without a "
        "terminal to confirm that, add --yes. Nothing was sent to the programmer.");
    return kExitUsage;
  }
  page.SetHexPath(hex.hexPath);
  // The file is read once, by StartProgramming: what is checked is what is
  // programmed, and a FIFO or a pipe works.
  std::string readError;
  if (!StartProgramming(page, hex.hexPath, hex.fuse, page.Script(), &readError)) {
    if (hex.hexPath.empty()) {
      console.Error("HEX file: no file name given; nothing was sent to the programmer");
    } else if (!readError.empty()) {
      console.Error("HEX file " + Printable(hex.hexPath) + ": " + readError +
                    "; nothing was sent to the programmer");
    } else {
      console.Error("stopped: " + Printable(hex.hexPath) +
                    " was not used; nothing was sent to the programmer");
    }
    return kExitUsage;
  }
  if (asksFuse && hex.fuse && !hex.yes) {
    std::string question = "[" + std::string(kFuseCaption) + "] " + std::string(kFuseWarning);
    std::replace(question.begin(), question.end(), '\r', '\n');
    if (!console.AskYesNo(question, "")) {
      console.Error("fuse not confirmed: nothing was sent to the programmer");
      return kExitUsage;
    }
  }
  return kExitOk;
}

// The programmers of a run on several at once: every attached one (--all)
// or those of the --device options.
std::vector<GangTarget> GangTargets(const GlobalOptions& global, const HexOptions& hex) {
  std::vector<GangTarget> targets;
  if (hex.all) {
    for (const FoundDevice& d : ListProgrammers()) {
      targets.push_back(
          {{DeviceSelector::Kind::kPath, d.path}, d.serial.empty() ? d.path : d.serial});
    }
  } else {
    for (const std::string& text : global.devices)
      targets.push_back({DeviceSelector::Parse(text), text});
  }
  return targets;
}

int ProgrammingCommand(const GlobalOptions& global, const HexOptions& hex, RunKind kind,
                       int (*exitCode)(const RunOutcome&)) {
  Console console(MakeConsoleOptions(global, hex.skipOutside));
  ConsolePage page(console, hex.fuse);
  const bool gang = hex.all || global.devices.size() > 1;
  if (hex.all && (global.device || !global.devices.empty())) {
    console.Error("--all and --device: choose one");
    return kExitUsage;
  }
  if (int code = PrepareHexPage(console, page, hex, true); code != kExitOk) return code;
  if (!gang) return RunOnPage(page, kind, exitCode);
  const std::vector<GangTarget> targets = GangTargets(global, hex);
  if (targets.empty()) {
    console.Error("no programmer found (USB 0755:0102)");
    ReportUnopenable(console);
    return kExitNoProgrammer;
  }
  return RunGang(console, page, hex.fuse, targets, kind, exitCode);
}

// An open programmer for the commands that talk to it directly; closed again
// when the command ends.
class DirectSession {
 public:
  explicit DirectSession(Console& console) : console_(console) {}
  ~DirectSession() {
    if (handle_ > 0) DllCloseReader(handle_);
  }
  DirectSession(const DirectSession&) = delete;
  DirectSession& operator=(const DirectSession&) = delete;

  // kExitOk with the programmer open, or the exit code.
  int Open() {
    lease_ = ProgrammerLease::TryAcquire();
    if (!lease_) {
      console_.Error("the programmer is busy with another activity");
      return kExitFailure;
    }
    handle_ = OpenReader(SelectedDevice());
    if (handle_ == VELKAN_ERR_NO_READER) {
      console_.Error("no programmer found (USB 0755:0102)");
      ReportUnopenable(console_);
      return kExitNoProgrammer;
    }
    if (HoldProgrammerForActivity(handle_) == kReaderBusy) {
      console_.Error(kBusyText);
      return kExitFailure;
    }
    return kExitOk;
  }
  int handle() const { return handle_; }

  int Failed(std::string_view what, int rc) {
    console_.Error(std::string(what) + " failed (error " + std::to_string(rc) + ")");
    return kExitComm;
  }

 private:
  Console& console_;
  ProgrammerLease lease_;
  int handle_ = 0;
};

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
  return text;
}

// Whether the offline storage holds a whole download: a download that was
// cut short leaves records without the end record behind. The programmer's
// command set cannot read the records back; the emulated one can be asked.
std::string OfflineStorageSummary(int handle) {
  constexpr std::uint8_t kEndRecordKind = 0x03;
  // With several emulated programmers, the one open is known by its serial.
  const std::vector<std::shared_ptr<emu::Emulator>> emulators = CurrentEmulators();
  std::shared_ptr<emu::Emulator> emulator;
  hid::Identity identity;
  if (emulators.size() == 1) {
    emulator = emulators.front();
  } else if (ReaderIdentity(handle, identity)) {
    for (std::size_t i = 0; i < emulators.size(); ++i) {
      if (hid::EmulatorSerial(i) == identity.serial) emulator = emulators[i];
    }
  }
  if (!emulator) return "the records cannot be read back from this programmer";
  const std::vector<emu::OfflineRecord> records = emulator->OfflineRecords();
  if (records.empty()) return "empty";
  const std::string count =
      std::to_string(records.size()) + (records.size() == 1 ? " record" : " records");
  if (records.back().kind == kEndRecordKind) return count + ", ending with an end record";
  return count + ", NOT ending with an end record: the last download did not finish";
}

}  // namespace

int ProgramCommand(const GlobalOptions& global, const HexOptions& hex) {
  return ProgrammingCommand(global, hex, RunKind::kOnline, &OnlineExitCode);
}

int OfflineCommand(const GlobalOptions& global, const HexOptions& hex) {
  return ProgrammingCommand(global, hex, RunKind::kOffline, &OfflineExitCode);
}

int ScriptCommand(const GlobalOptions& global, const HexOptions& hex) {
  Console console(MakeConsoleOptions(global, hex.skipOutside));
  ConsolePage page(console, hex.fuse);
  if (int code = PrepareHexPage(console, page, hex, false); code != kExitOk) return code;
  std::size_t size = 0;
  for (const auto& [number, text] : page.Script()) size += text.size() + 1;
  std::string out;
  out.reserve(size);
  for (const auto& [number, text] : page.Script()) {
    out += text;
    out += '\n';
  }
  console.Out(out);
  return kExitOk;
}

int RunCommand(const GlobalOptions& global, const std::string& scriptPath) {
  Console console(MakeConsoleOptions(global, false));
  std::optional<std::string> text =
      ReadWholeFile(console, scriptPath, "script file", kMaxScriptFileBytes);
  if (!text) return kExitUsage;
  ConsolePage page(console, false);
  if (!ParseScriptFile(*text, page.Script())) {
    console.Error("script file " + Printable(scriptPath) + ": not UTF-8 text");
    return kExitUsage;
  }
  page.SetHexPath(scriptPath);
  return RunOnPage(page, RunKind::kOnline, &OnlineExitCode);
}

int I2cCommand(const GlobalOptions& global, const I2cOptions& i2c) {
  Console console(MakeConsoleOptions(global, false));
  // The inputs are read before the programmer is touched, by the page's
  // rules for its boxes.
  I2cRequest request;
  if (const std::optional<std::uint8_t> address = I2cAddressOf(i2c.address)) {
    request.address = *address;
  } else {
    console.Error("--addr " + i2c.address + ": 请输入正确的 I2C 地址!");
    return kExitUsage;
  }
  if (std::optional<std::vector<std::uint8_t>> data = I2cDataOf(i2c.data.value_or(""))) {
    request.data = std::move(*data);
  } else {
    console.Error("--data: 数据域错误! (an even number of hex digits, at most 255 bytes)");
    return kExitUsage;
  }
  request.readLength = 2;
  if (i2c.readLength) {
    const std::string& text = *i2c.readLength;
    const bool hexDigits = !text.empty() && text.size() <= 4 &&
                           std::all_of(text.begin(), text.end(), [](char c) {
                             return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                           });
    request.readLength = hexDigits ? std::strtoul(text.c_str(), nullptr, 16) : kI2cMaxRead + 1;
    if (request.readLength > kI2cMaxRead) {
      console.Error("--len " + text + ": a hexadecimal byte count from 0 to 200 (512)");
      return kExitUsage;
    }
  } else if (const auto announced = AnnouncedReadLength(request.data)) {
    // A four-byte command announces its reply length.
    request.readLength = std::max(request.readLength, *announced);
  }

  ConsoleI2cView view;
  std::string output;
  Station& station = DefaultStation();
  LineWriter writer(console.options().out);
  I2cJsonSink json(station, writer, view);
  const I2cPressOutcome outcome =
      I2cRequestPress(station, view, request, output, global.json ? &json : nullptr);
  if (const auto notice = I2cNoticeText(outcome.result)) {
    console.MessageBox(*notice, kCaptionNotice, MsgButtons::kOk);
  }
  for (const ConsoleI2cView::Show& shown : view.Shown()) {
    if (global.json) break;
    std::string text = ToLf(shown.text);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    switch (shown.step) {
      case I2cShown::kRead:  // the answer: data on stdout, also in quiet mode
        console.Out(text + "\n");
        break;
      case I2cShown::kBadAddress:
      case I2cShown::kBadData:
      case I2cShown::kWriteFailed:
      case I2cShown::kReadFailed:
        console.Error(text);
        break;
      case I2cShown::kOpened:
      case I2cShown::kNotFound:
      case I2cShown::kWritten:
        console.Info(text);
        break;
    }
  }
  switch (outcome.result) {
    case I2cPressResult::kOk:
      return kExitOk;
    case I2cPressResult::kNoProgrammer:
      ReportUnopenable(console);
      return kExitNoProgrammer;
    case I2cPressResult::kBadAddress:
    case I2cPressResult::kBadData:
      return kExitUsage;
    case I2cPressResult::kWriteFailed:
    case I2cPressResult::kReadFailed:
      return kExitComm;
    case I2cPressResult::kBusy:
      return kExitFailure;
  }
  return kExitFailure;
}

int ListCommand(const GlobalOptions& global, bool verbose) {
  Console console(MakeConsoleOptions(global, false));
  // Verbose, one walk tells both what was found and what was passed over.
  const ProgrammerSearch search =
      verbose ? SearchProgrammers() : ProgrammerSearch{ListProgrammers(), {}, true};
  const std::vector<FoundDevice>& devices = search.found;
  // Unopenable programmers are among the skipped interfaces of `list -v`.
  auto reportProblems = [&] {
    if (verbose) {
      ReportSkipped(console, search);
    } else {
      ReportUnopenable(console);
    }
  };
  if (devices.empty()) {
    console.Error("no programmer found (USB 0755:0102)");
    reportProblems();
    return kExitNoProgrammer;
  }
  if (global.json) {
    for (const FoundDevice& d : devices) {
      nlohmann::json j{{"event", "programmer"},        {"path", d.path},
                       {"vendorId", Hex4(d.vendorId)}, {"productId", Hex4(d.productId)},
                       {"serial", d.serial},           {"port", d.port},
                       {"product", d.product}};
      console.Out(JsonLine(j) + "\n");
    }
  } else {
    console.Out(ProgrammerTable(devices));
  }
  reportProblems();
  return kExitOk;
}

int InfoCommand(const GlobalOptions& global) {
  Console console(MakeConsoleOptions(global, false));
  DirectSession session(console);
  if (int code = session.Open(); code != kExitOk) return code;

  char version[VELKAN_VERSION_TEXT_MAX] = {};
  unsigned int versionLength = 0;
  unsigned int value = 0;
  if (int rc = DllGetFirmwareVersion(session.handle(), version, &versionLength, &value); rc != 0) {
    return session.Failed("reading the firmware version", rc);
  }
  versionLength = std::min<unsigned int>(versionLength, sizeof version);

  char name[VELKAN_OFFLINE_NAME_MAX] = {};
  unsigned int nameLength = 0;
  if (int rc = DllGetOfflineFileName(session.handle(), name, &nameLength); rc != 0) {
    return session.Failed("reading the offline file name", rc);
  }
  nameLength = std::min<unsigned int>(nameLength, sizeof name);

  hid::Identity identity;
  const bool identified = ReaderIdentity(session.handle(), identity);
  if (global.json) {
    nlohmann::json j{{"event", "info"},
                     {"serial", identity.serial},
                     {"port", identity.port},
                     {"product", identity.product},
                     {"firmwareVersion", std::string(version, versionLength)},
                     {"firmwareValue", Hex4(value)},
                     {"offlineFileName", std::string(name, nameLength)},
                     {"offlineStorage", OfflineStorageSummary(session.handle())}};
    console.Out(JsonLine(j) + "\n");
    return kExitOk;
  }
  std::string out = "firmware version: " + Printable(std::string_view(version, versionLength)) +
                    " (value 0x" + Hex4(value) + ")\n";
  out += "offline file name: " + Printable(std::string_view(name, nameLength)) + "\n";
  out += "offline storage: " + OfflineStorageSummary(session.handle()) + "\n";
  if (identified) {
    auto field = [](const std::string& text) { return text.empty() ? "-" : Printable(text); };
    out += "serial number: " + field(identity.serial) + "\nport: " + field(identity.port) +
           "\nproduct: " + field(identity.product) + "\n";
  }
  console.Out(out);
  return kExitOk;
}

int FirmwareCommand(const GlobalOptions& global, const std::string& path) {
  Console console(MakeConsoleOptions(global, false));
  std::optional<std::string> image =
      ReadWholeFile(console, path, "firmware file", kMaxFirmwareBytes);
  if (!image) return kExitUsage;
  if (image->size() < kFirmwareImageHeaderSize) {
    console.Error("firmware file " + Printable(path) + ": shorter than its 8-byte header");
    return kExitUsage;
  }
  DirectSession session(console);
  if (int code = session.Open(); code != kExitOk) return code;

  console.Info("firmware " + Printable(path) + ": " + std::to_string(image->size()) + " bytes");
  int shown = -1;
  const FirmwareUpdateResult result =
      UpdateFirmware(session.handle(),
                     std::span(reinterpret_cast<const std::uint8_t*>(image->data()), image->size()),
                     [&](std::size_t sent, std::size_t total) {
                       const int percent = static_cast<int>(sent * 100 / total);
                       if (percent == shown) return;
                       shown = percent;
                       console.DrawProgress(percent);
                     });
  console.ClearProgress();
  using Outcome = FirmwareUpdateResult::Outcome;
  switch (result.outcome) {
    case Outcome::kDone:
      console.Info("firmware update complete");
      return kExitOk;
    case Outcome::kBusy:
      console.Error(kBusyText);
      return kExitFailure;
    case Outcome::kBadImage:
    case Outcome::kStartFailed:
      return session.Failed("starting the firmware update", result.error);
    case Outcome::kSendFailed:
      return session.Failed("sending the firmware at byte " + std::to_string(result.offset),
                            result.error);
    case Outcome::kCompleteFailed:
      return session.Failed("completing the firmware update", result.error);
    case Outcome::kCancelled:
      break;
  }
  console.Error("firmware update stopped; the programmer keeps its old firmware");
  return kExitFailure;
}

int RefuseAmbiguousProgrammer(const GlobalOptions& global) {
  if (global.device) return kExitOk;
  const std::vector<FoundDevice> devices = ListProgrammers();
  if (devices.size() <= 1) return kExitOk;
  Console console(MakeConsoleOptions(global, false));
  console.Error(std::to_string(devices.size()) +
                " programmers are attached; choose one with --device PATH, --device serial=SN or "
                "--device port=P:\n" +
                ProgrammerTable(devices));
  return kExitUsage;
}

void CloseProgrammer() {
  DefaultStation().CloseReader();
}

}  // namespace velkan::cli
