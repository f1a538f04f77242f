// The subcommands of the command-line tool. Each returns the process's exit
// code (cli/exit_codes.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velkan::cli {

struct GlobalOptions {
  bool emulator = false;
  std::optional<std::string> emulatorDir;  // with --emulator=DIR
  std::optional<std::string> trace;
  std::optional<std::string> device;  // a path, "serial=SN" or "port=P"
  std::vector<std::string> devices;   // --device given more than once: several at once
  std::size_t emulators = 1;          // --emulators N
  // --emulator-latency none|usb
  std::optional<std::string> emulatorLatency;
  bool quiet = false;
  bool json = false;  // --json: JSON lines on stdout
};

struct HexOptions {
  std::string hexPath;
  bool fuse = false;
  bool yes = false;          // the fuse warning answered Yes in advance
  bool skipOutside = false;  // out-of-region records dropped without asking
  bool all = false;          // --all: every attached programmer at once
};

struct I2cOptions {
  std::string address;
  std::optional<std::string> data;
  std::optional<std::string> readLength;
};

int ProgramCommand(const GlobalOptions& global, const HexOptions& hex);
int OfflineCommand(const GlobalOptions& global, const HexOptions& hex);
int ScriptCommand(const GlobalOptions& global, const HexOptions& hex);
int RunCommand(const GlobalOptions& global, const std::string& scriptPath);
int I2cCommand(const GlobalOptions& global, const I2cOptions& i2c);
// `verbose`: also every HID interface the search passed over, and why.
int ListCommand(const GlobalOptions& global, bool verbose = false);
int InfoCommand(const GlobalOptions& global);
int FirmwareCommand(const GlobalOptions& global, const std::string& path);

// Closes the module-wide reader handle if a command left it open.
void CloseProgrammer();

// Without --device, a command that talks to a programmer must not pick one
// of several by chance: kExitUsage with the list on stderr then.
int RefuseAmbiguousProgrammer(const GlobalOptions& global);

// The udev rule that grants access to the programmer (packaging/).
inline constexpr const char* kUdevRuleFile = "70-velkan-programmer.rules";

}  // namespace velkan::cli
