// The application object: starts the toolkit, picks the programmer backend
// from the command line and runs the main window until it is closed.
#pragma once

#include <QStringList>

class QTranslator;
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace velkan::ui {

struct AppOptions {
  bool emulator = false;
  std::optional<std::string> emulatorDir;  // --emulator=DIR
  std::size_t emulators = 1;               // --emulators N (1 to 64, with --emulator)
  // --emulator-latency usb (or none, the default; with --emulator)
  bool usbLatency = false;
  // --emulator-feeder: each emulated socket gets a fresh blank chip a moment
  // after the previous one was taken out (production demos; with --emulator)
  bool feeder = false;
  // --emulator-tray-serial ADDR:K: the feeder's tray lines carry the K bytes
  // at chip address ADDR (with --emulator-feeder)
  std::optional<std::pair<std::uint32_t, std::size_t>> traySerial;
  bool production = false;  // --production: the production window instead of the main one
  // --operator: the production window in operator mode, which cannot be
  // left from the window (implies --production)
  bool operatorMode = false;
  bool quitWhenShown = false;  // --quit-when-shown: print "shown" and end (start-up timing)
  bool help = false;           // -h, --help: print the usage and end
  bool version = false;        // --version: print the version and end
  // --screenshot FILE: once the window is shown, save it as a PNG file and end
  std::optional<std::string> screenshot;
};

// The command line without the program name and the toolkit's own options:
// nothing (real programmer), --emulator or --emulator=DIR (with --emulators
// N, --emulator-latency none|usb and --emulator-feeder [--emulator-tray-serial
// ADDR:K]), --production, --operator, --screenshot FILE, --quit-when-shown, or
// -h/--help and --version.
// Nothing on an unknown or malformed argument.
std::optional<AppOptions> ParseArguments(const QStringList& arguments);

// Uses a font with Chinese glyphs for the whole application when one is
// installed.
void ApplyApplicationFont();

// Loads the toolkit's own Chinese texts (the standard buttons 是/否/确定/取消,
// the file chooser's 打开, ...) into `translator` and installs it for the
// application; false when they are not installed. The translator must stay
// alive as long as the application uses it.
bool LoadToolkitTranslation(QTranslator& translator);

// What --help prints: the version, then the usage.
std::string UsageText();

}  // namespace velkan::ui

class CVELKANToolV2xxxApp {
 public:
  // Runs the program; returns the process exit code.
  int InitInstance(int argc, char** argv);
};

extern CVELKANToolV2xxxApp theApp;
