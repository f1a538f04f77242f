// velkan: the command-line tool. Programs VELKAN security chips from Intel
// HEX files, loads the programmer's offline storage, runs programming
// scripts, talks to the chip over I2C and looks after the programmer.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#if VELKAN_WITH_PRODUCTION
#include "cli/production_commands.h"
#endif
#include "cli/terminal.h"
#include "common/codepage.h"
#include "common/input_file.h"
#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "programmer/trace.h"
#include "velkan/velkan.h"

namespace {

using namespace velkan::cli;

constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0  success: everything done (and checked, where the command checks)\n"
    "  1  other failure: the programmer is held by another activity, or the output\n"
    "     or the --trace file could not be written\n"
    "  2  bad usage or input: unknown option, missing or unreadable file, HEX file\n"
    "     not used, a question answered No or not answerable without a terminal;\n"
    "     nothing was sent to the programmer\n"
    "  3  no programmer found\n"
    "  4  communication with the programmer failed\n"
    "  5  the chip refused a command (status word not 90xx): possibly a fused chip\n"
    "  6  data mismatch: bytes read back differ from the expected ones\n"
    "  7  unsupported script line\n";

// Sets up the programmer access the global options ask for.
int SetUpProgrammer(const GlobalOptions& global) {
  if (global.emulator) {
    // "--emulator=$DIR" with an unset variable must not quietly fall back to
    // a state in memory that is gone when the command ends.
    if (global.emulatorDir && global.emulatorDir->empty()) {
      std::fputs(
          "velkan: --emulator=: no state folder given (--emulator alone keeps the state in "
          "memory)\n",
          stderr);
      return kExitUsage;
    }
    std::optional<std::filesystem::path> dir;
    if (global.emulatorDir) dir = velkan::PathFromUtf8(*global.emulatorDir);
    std::string why;
    const auto emulators = velkan::UseEmulators(dir, global.emulators, &why);
    if (emulators.empty()) {
      std::fprintf(stderr, "velkan: --emulator=%s: the state folder cannot be used%s%s\n",
                   velkan::Printable(global.emulatorDir.value_or("")).c_str(),
                   why.empty() ? "" : ": ", velkan::Printable(why).c_str());
      return kExitUsage;
    }
    const auto latency = velkan::emu::Latency::Named(global.emulatorLatency.value_or("none"));
    for (const auto& emulator : emulators) emulator->SetLatency(latency.value());
  } else if (global.emulators != 1) {
    std::fputs("velkan: --emulators: only with --emulator[=DIR]\n", stderr);
    return kExitUsage;
  } else if (global.emulatorLatency) {
    std::fputs("velkan: --emulator-latency: only with --emulator[=DIR]\n", stderr);
    return kExitUsage;
  }
  if (global.device) velkan::SelectDevice(velkan::DeviceSelector::Parse(*global.device));
  if (global.trace && VelkanTraceTo(global.trace->c_str()) != 0) {
    std::fprintf(stderr, "velkan: --trace %s: the file cannot be opened\n",
                 velkan::Printable(*global.trace).c_str());
    return kExitUsage;
  }
  return kExitOk;
}

// Output that could not be written (a full disk, a closed pipe) fails the
// command: `velkan script x.hex > x.txt` must not report success for a cut
// script.
int WithOutputChecked(int code) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("velkan: the output could not be written\n", stderr);
    if (code == kExitOk) return kExitFailure;
  }
  return code;
}

// The trace is evidence of what was sent: one that lost lines fails the
// command, as output that could not be written does.
int WithTraceChecked(const GlobalOptions& global, int code) {
  if (!global.trace) return code;
  std::string loss;
  velkan::TraceWritten(&loss);
  if (VelkanTraceTo(nullptr) == -2) {
    std::fprintf(stderr,
                 "velkan: --trace %s: the trace could not be written%s%s; it is incomplete\n",
                 velkan::Printable(*global.trace).c_str(), loss.empty() ? "" : ": ",
                 velkan::Printable(loss).c_str());
    if (code == kExitOk) return kExitFailure;
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareConsole();
  std::vector<std::string> args = Utf8Arguments(argc, argv);

  GlobalOptions global;
  // "--emulator=DIR" carries a value only in this form, so that
  // "--emulator FILE.hex" never takes the file for the folder.
  for (std::string& arg : args) {
    constexpr std::string_view kWithDir = "--emulator=";
    if (arg.rfind(kWithDir, 0) == 0) {
      global.emulatorDir = arg.substr(kWithDir.size());
      arg = "--emulator";
    }
  }

  CLI::App app{"Programs VELKAN security chips through the VELKAN USB HID programmer.", "velkan"};
  app.allow_windows_style_options(false);
  app.require_subcommand(1, 1);
  app.fallthrough();
  app.set_version_flag("--version", "velkan " VELKAN_VERSION);
  app.footer(kExitCodeHelp);

  std::string trace;
  std::vector<std::string> devices;
  app.add_flag("--emulator", global.emulator,
               "--emulator[=DIR]: use the emulated programmer instead of real HID; with DIR its "
               "chip, storage and firmware are kept in DIR (flash.bin, state.json)");
  auto* traceOpt = app.add_option("--trace", trace, "append every HID report exchanged to FILE")
                       ->type_name("FILE");
  auto* deviceOpt =
      app.add_option("--device", devices,
                     "use this programmer: its device path, serial=SN or port=P (see: list); "
                     "needed when several are attached; given more than once, program and "
                     "offline run on all of them at once")
          ->type_name("PATH|serial=SN|port=P")
          ->allow_extra_args(false);
  app.add_flag("--json", global.json,
               "machine-readable output: one JSON object per line on stdout (see the README)");
  app.add_option("--emulators", global.emulators,
                 "with --emulator: N emulated programmers (serials EMU0001...); with DIR each "
                 "keeps its state in DIR/<serial>/")
      ->type_name("N")
      ->check(CLI::Range(1, 64));
  std::string latency;
  auto* latencyOpt =
      app.add_option("--emulator-latency", latency,
                     "with --emulator: none (default: replies at once) or usb (reports in 1 ms "
                     "USB full-speed frames, chip busy times)")
          ->type_name("none|usb")
          ->check(CLI::IsMember({"none", "usb"}));
  app.add_flag("-q,--quiet", global.quiet, "no progress and no informational lines");

  HexOptions hex;
  auto addHexCommand = [&](const char* name, const char* help, bool sends) {
    CLI::App* sub = app.add_subcommand(name, help);
    sub->add_option("FILE", hex.hexPath, "Intel HEX file with the chip's application")->required();
    sub->add_flag("--fuse", hex.fuse, "end the script by blowing the chip's fuse (irreversible)");
    if (sends) {
      sub->add_flag("--yes", hex.yes, "confirm --fuse without asking (needed without a terminal)");
      sub->add_flag("--all", hex.all, "run on every attached programmer at once");
    }
    sub->add_flag("--skip-outside", hex.skipOutside,
                  "drop records outside the chip's APP region 0x2000-0x9FFF without asking");
    return sub;
  };
  CLI::App* program =
      addHexCommand("program", "program the chip from a HEX file through the programmer", true);
  CLI::App* offline = addHexCommand(
      "offline", "store the HEX file's programming script in the programmer's offline storage",
      true);
  CLI::App* script = addHexCommand(
      "script", "print the programming script generated from a HEX file (nothing is sent)", false);

  std::string scriptPath;
  CLI::App* run = app.add_subcommand("run", "run a programming script file against the chip");
  run->add_option("SCRIPT", scriptPath, "script text file (UTF-8, one line per script line)")
      ->required();

  I2cOptions i2c;
  std::string data, readLength;
  CLI::App* i2cCmd =
      app.add_subcommand("i2c", "write bytes to the chip over I2C and read its answer");
  i2cCmd->add_option("--addr", i2c.address, "I2C address, two hex digits (8-bit form, e.g. A0)")
      ->required()
      ->type_name("HH");
  auto* dataOpt =
      i2cCmd->add_option("--data", data, "bytes to write as hex digits, e.g. \"07 00 00 00\"")
          ->type_name("HEX");
  auto* lenOpt = i2cCmd
                     ->add_option("--len", readLength,
                                  "bytes to read, hex (default 02, or the fourth byte of a "
                                  "four-byte command + 2; 0: no read)")
                     ->type_name("HH");

  CLI::App* list = app.add_subcommand("list", "list the attached programmers");
  bool listVerbose = false;
  list->add_flag("-v,--verbose", listVerbose,
                 "also name every HID interface that could not be read, and why");
  CLI::App* info =
      app.add_subcommand("info", "show the programmer's firmware version and offline file name");
  std::string firmwarePath;
  CLI::App* firmware = app.add_subcommand("firmware", "update the programmer's firmware");
  firmware->add_option("FILE", firmwarePath, "firmware image")->required();

#if VELKAN_WITH_PRODUCTION
  ProductionCommands production(app);
  const auto producing = [&] { return production.ProduceParsed(); };
#else
  const auto producing = [] { return false; };
  // Left out of this build (no SQLite when it was built): named all the same,
  // so that using one says what is missing rather than that the command line
  // is wrong.
  std::vector<CLI::App*> absent;
  for (const char* name : {"produce", "log", "job"}) {
    CLI::App* sub = app.add_subcommand(name, "(not available in this build)");
    sub->fallthrough(false);
    sub->allow_extras();
    absent.push_back(sub);
  }
#endif

  if (args.empty()) args.emplace_back("velkan");
  std::vector<std::string> reversed(args.rbegin(), args.rend() - 1);
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
#if !VELKAN_WITH_PRODUCTION
  for (const CLI::App* sub : absent) {
    if (sub->parsed()) {
      std::fprintf(stderr,
                   "velkan: %s: not available in this build (it was built without SQLite)\n",
                   sub->get_name().c_str());
      return kExitUsage;
    }
  }
#endif
  if (traceOpt->count() > 0) global.trace = trace;
  if (devices.size() == 1) global.device = devices.front();
  if (devices.size() > 1) global.devices = devices;
  if (deviceOpt->count() > 1 && !program->parsed() && !offline->parsed() && !producing()) {
    std::fputs(
        "velkan: --device more than once: only program, offline and produce run on several "
        "programmers\n",
        stderr);
    return kExitUsage;
  }
  if (latencyOpt->count() > 0) global.emulatorLatency = latency;
  if (global.emulatorDir) global.emulator = true;
  if (dataOpt->count() > 0) i2c.data = data;
  if (lenOpt->count() > 0) i2c.readLength = readLength;

  // Generating a script needs no programmer at all.
  if (script->parsed()) return WithOutputChecked(ScriptCommand(global, hex));
#if VELKAN_WITH_PRODUCTION
  if (production.LogParsed()) return WithOutputChecked(production.Log(global));
  if (production.JobParsed()) return WithOutputChecked(production.JobCommand(global));
#endif

  if (int code = SetUpProgrammer(global); code != kExitOk) return code;
  // A production run takes every attached programmer unless told otherwise.
  if (!list->parsed() && !hex.all && global.devices.empty() && !producing()) {
    if (int code = RefuseAmbiguousProgrammer(global); code != kExitOk) return code;
  }
  int code = kExitUsage;
  if (program->parsed()) {
    code = ProgramCommand(global, hex);
  } else if (offline->parsed()) {
    code = OfflineCommand(global, hex);
  } else if (run->parsed()) {
    code = RunCommand(global, scriptPath);
  } else if (i2cCmd->parsed()) {
    code = I2cCommand(global, i2c);
  } else if (list->parsed()) {
    code = ListCommand(global, listVerbose);
  } else if (info->parsed()) {
    code = InfoCommand(global);
  } else if (firmware->parsed()) {
    code = FirmwareCommand(global, firmwarePath);
  }
#if VELKAN_WITH_PRODUCTION
  if (production.ProduceParsed()) code = production.Produce(global);
#endif
  CloseProgrammer();
  return WithOutputChecked(WithTraceChecked(global, code));
}
