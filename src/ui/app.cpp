#include "ui/app.h"
#include "common/input_file.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocale>
#include <QPixmap>
#include <QTimer>
#include <QTranslator>
#include <QWidget>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "ui/main_dialog.h"
#include "ui/operator_mode.h"
#include "ui/production_window.h"
#include "ui/resource_ids.h"

namespace velkan::ui {

std::optional<AppOptions> ParseArguments(const QStringList& arguments) {
  AppOptions options;
  bool latencyGiven = false;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& arg = arguments[i];
    if (arg == QLatin1String("--emulators") || arg.startsWith(QLatin1String("--emulators="))) {
      QString count = arg.mid(12);
      if (arg.size() == 11) {
        if (++i == arguments.size()) return std::nullopt;
        count = arguments[i];
      }
      bool number = false;
      const uint n = count.toUInt(&number);
      if (!number || n < 1 || n > 64) return std::nullopt;
      options.emulators = n;
    } else if (arg == QLatin1String("--emulator-latency") ||
               arg.startsWith(QLatin1String("--emulator-latency="))) {
      QString name = arg.mid(19);
      if (arg.size() == 18) {
        if (++i == arguments.size()) return std::nullopt;
        name = arguments[i];
      }
      if (name != QLatin1String("none") && name != QLatin1String("usb")) return std::nullopt;
      options.usbLatency = name == QLatin1String("usb");
      latencyGiven = true;
    } else if (arg == QLatin1String("--emulator-feeder")) {
      options.feeder = true;
    } else if (arg == QLatin1String("--emulator-tray-serial") ||
               arg.startsWith(QLatin1String("--emulator-tray-serial="))) {
      QString value = arg.mid(23);
      if (arg.size() == 22) {
        if (++i == arguments.size()) return std::nullopt;
        value = arguments[i];
      }
      options.traySerial = emu::ParseTraySerial(value.toStdString());
      if (!options.traySerial) return std::nullopt;
    } else if (arg == QLatin1String("--emulator")) {
      options.emulator = true;
      options.emulatorDir.reset();
    } else if (arg.startsWith(QLatin1String("--emulator="))) {
      const QString dir = arg.mid(11);
      if (dir.isEmpty()) return std::nullopt;
      options.emulator = true;
      options.emulatorDir = dir.toStdString();
    } else if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
      options.help = true;
    } else if (arg == QLatin1String("--version")) {
      options.version = true;
    } else if (arg == QLatin1String("--production")) {
      options.production = true;
    } else if (arg == QLatin1String("--operator")) {
      options.operatorMode = true;
      options.production = true;
    } else if (arg == QLatin1String("--quit-when-shown")) {
      options.quitWhenShown = true;
    } else if (arg == QLatin1String("--screenshot") ||
               arg.startsWith(QLatin1String("--screenshot="))) {
      QString file = arg.mid(13);
      if (arg.size() == 12) {
        if (++i == arguments.size()) return std::nullopt;
        file = arguments[i];
      }
      if (file.isEmpty()) return std::nullopt;
      options.screenshot = file.toStdString();
    } else {
      return std::nullopt;
    }
  }
  // Several emulated programmers and their latency only with the emulator.
  if ((options.emulators != 1 || latencyGiven || options.feeder) && !options.emulator) {
    return std::nullopt;
  }
  if (options.traySerial && !options.feeder) return std::nullopt;
  return options;
}

void ApplyApplicationFont() {
  static const char* const kCandidates[] = {"WenQuanYi Micro Hei", "Noto Sans CJK SC",
                                            "Microsoft YaHei", "SimSun"};
  const QStringList families = QFontDatabase::families();
  for (const char* family : kCandidates) {
    if (families.contains(QLatin1String(family))) {
      QFont font(QString::fromLatin1(family));
      font.setPointSize(9);
      QApplication::setFont(font);
      return;
    }
  }
}

namespace {

// The few toolkit texts that Qt's Chinese translation leaves in English:
// the file chooser's type column names folders and drives under a
// context the translation does not have.
class ToolkitTextGaps final : public QTranslator {
 public:
  QString translate(const char* context, const char* sourceText, const char* /*disambiguation*/,
                    int /*n*/) const override {
    if (context == nullptr || sourceText == nullptr ||
        std::string_view(context) != "QAbstractFileIconProvider") {
      return {};
    }
    static constexpr std::pair<std::string_view, const char*> kTexts[] = {{"Folder", "文件夹"},
                                                                          {"Drive", "驱动器"},
                                                                          {"Shortcut", "快捷方式"},
                                                                          {"Alias", "替身"},
                                                                          {"Unknown", "未知"}};
    for (const auto& [english, chinese] : kTexts) {
      if (english == sourceText) return QString::fromUtf8(chinese);
    }
    return {};
  }
  bool isEmpty() const override { return false; }
};

}  // namespace

bool LoadToolkitTranslation(QTranslator& translator) {
  // The interface is Chinese whatever the user's locale, and so are the
  // dialogs the toolkit draws itself.
  const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (!translator.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                       QStringLiteral("_"), dir)) {
    return false;
  }
  // Dates and numbers the toolkit shows (the file chooser's dates) in the
  // Chinese way too.
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  static ToolkitTextGaps gaps;
  QCoreApplication::installTranslator(&gaps);
  return QCoreApplication::installTranslator(&translator);
}

std::string UsageText() {
  static constexpr const char* kUsage =
      "usage: velkan-tool [--emulator[=DIR] [--emulators N] [--emulator-latency none|usb]\n"
      "                   [--emulator-feeder [--emulator-tray-serial ADDR:K]]]\n"
      "                   [--production | --operator] [--screenshot FILE]\n"
      "  (none)          use the VELKAN programmer on USB (0755:0102)\n"
      "  --emulator      use the emulated programmer, its state kept in memory\n"
      "  --emulator=DIR  use the emulated programmer, its chip and storage kept in DIR\n"
      "  --emulators N   N emulated programmers (serials EMU0001...); with DIR each keeps\n"
      "                  its state in DIR/<serial>/; the pages use the first one\n"
      "  --emulator-latency usb\n"
      "                  emulated reports move in 1 ms USB full-speed frames and the chip\n"
      "                  takes its time (none, the default: replies at once)\n"
      "  --emulator-feeder\n"
      "                  each emulated socket gets a fresh blank chip a moment after the\n"
      "                  previous one was taken out (for trying the 量产 page); with DIR\n"
      "                  each chip taken out gets a line in the tray, DIR/tray.jsonl\n"
      "  --emulator-tray-serial ADDR:K\n"
      "                  the tray's lines carry the K bytes (1 to 8) at chip address ADDR\n"
      "                  (hex, 2000 to 9FFF): the serial number\n"
      "  --production    open the production window (量产) instead of the main window\n"
      "  --operator      the production window in operator mode: only a sealed job (.vjob)\n"
      "                  is opened, started, stopped and fed the next chip; every other\n"
      "                  input is locked, and the mode cannot be left from the window\n"
      "  --screenshot FILE\n"
      "                  save the window as a PNG file once it is shown, then end\n"
      "  -h, --help      print the version and this text\n"
      "  --version       print the version\n";
  return std::string("velkan-tool ") + kVersion + " (" + kMainCaption + ")\n" + kUsage;
}

}  // namespace velkan::ui

namespace {

// Once the window has been painted for the first time: prints "shown", or
// saves the window as a PNG file, then ends the program (start-up timing,
// pictures of the pages without a display).
class FirstPaintReporter final : public QObject {
 public:
  explicit FirstPaintReporter(QWidget* window, std::optional<QString> screenshot)
      : window_(window), screenshot_(std::move(screenshot)) {}

  int result() const { return result_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!done_ && event->type() == QEvent::Paint) {
      done_ = true;
      // After this paint has ended: grab() paints the window once more.
      QTimer::singleShot(0, qApp, [this] { Finish(); });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void Finish() {
    if (!screenshot_) {
      std::fputs("shown\n", stdout);
      std::fflush(stdout);
    } else if (!window_->grab().save(*screenshot_, "PNG")) {
      std::fprintf(stderr, "velkan-tool: cannot write %s\n",
                   velkan::Printable(screenshot_->toStdString()).c_str());
      result_ = 1;
    }
    QApplication::exit(result_);
  }

  QWidget* window_;
  std::optional<QString> screenshot_;
  bool done_ = false;
  int result_ = 0;
};

}  // namespace

CVELKANToolV2xxxApp theApp;

int CVELKANToolV2xxxApp::InitInstance(int argc, char** argv) {
  // The usage needs no display: answered before the toolkit starts.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(velkan::ui::UsageText().c_str(), stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("velkan-tool %s\n", velkan::ui::kVersion);
      return 0;
    }
  }
  QApplication app(argc, argv);
  // Where the production page keeps its last settings
  // (~/.config/velkan/velkan-tool.conf).
  QCoreApplication::setOrganizationName(QStringLiteral("velkan"));
  QCoreApplication::setApplicationName(QStringLiteral("velkan-tool"));
  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  const std::optional<velkan::ui::AppOptions> options = velkan::ui::ParseArguments(arguments);
  if (!options) {
    std::fputs(velkan::ui::UsageText().c_str(), stderr);
    return 2;
  }
  if (options->help) {
    std::fputs(velkan::ui::UsageText().c_str(), stdout);
    return 0;
  }
  if (options->version) {
    std::printf("velkan-tool %s\n", velkan::ui::kVersion);
    return 0;
  }
  std::string why;
  if (options->emulator) {
    const auto emulators = velkan::UseEmulators(options->emulatorDir, options->emulators, &why);
    if (emulators.empty()) {
      std::fprintf(stderr, "velkan-tool: cannot use the emulator state folder %s%s%s\n",
                   velkan::Printable(options->emulatorDir.value_or("")).c_str(),
                   why.empty() ? "" : ": ", velkan::Printable(why).c_str());
      return 1;
    }
    for (const auto& emulator : emulators) {
      if (options->usbLatency) emulator->SetLatency(velkan::emu::Latency::UsbFullSpeed());
      if (options->feeder) {
        velkan::emu::Feeder feeder;
        feeder.traySerial = options->traySerial;
        emulator->SetFeeder(feeder);
      }
    }
  }
  velkan::ui::ApplyApplicationFont();
  QTranslator toolkitTexts;
  velkan::ui::LoadToolkitTranslation(toolkitTexts);

  velkan::ui::QtUiDialogs dialogs;
  // The line's shortcut: operator mode for this process, whatever the settings say.
  if (options->operatorMode) velkan::ui::OperatorMode::Instance().SetForced(true);
  std::optional<QString> screenshot;
  if (options->screenshot) screenshot = QString::fromStdString(*options->screenshot);
  if (options->production) {
    // The production window alone; when it closes, the program ends.
    velkan::ui::ProductionWindow window(dialogs);
    FirstPaintReporter reporter(&window, screenshot);
    if (options->quitWhenShown || screenshot) window.installEventFilter(&reporter);
    window.show();
    const int result = app.exec();
    return reporter.result() != 0 ? reporter.result() : result;
  }
  CVELKANToolV2xxxDlg dialog(dialogs);
  FirstPaintReporter reporter(&dialog, screenshot);
  if (options->quitWhenShown || screenshot) dialog.installEventFilter(&reporter);
  // The main window runs modally; when it closes, the program ends.
  dialog.exec();
  return reporter.result();
}
