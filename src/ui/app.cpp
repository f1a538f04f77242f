#include "ui/app.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QTimer>
#include <cstdio>

#include "programmer/backend.h"
#include "ui/main_dialog.h"

namespace velkan::ui {

std::optional<AppOptions> ParseArguments(const QStringList& arguments) {
  AppOptions options;
  for (const QString& arg : arguments) {
    if (arg == QLatin1String("--emulator")) {
      options.emulator = true;
      options.emulatorDir.reset();
    } else if (arg.startsWith(QLatin1String("--emulator="))) {
      const QString dir = arg.mid(11);
      if (dir.isEmpty()) return std::nullopt;
      options.emulator = true;
      options.emulatorDir = dir.toStdString();
    } else if (arg == QLatin1String("--quit-when-shown")) {
      options.quitWhenShown = true;
    } else {
      return std::nullopt;
    }
  }
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

}  // namespace velkan::ui

namespace {

// Prints "shown" once the window has been painted for the first time, then
// ends the program (start-up timing).
class FirstPaintReporter final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!done_ && event->type() == QEvent::Paint) {
      done_ = true;
      std::fputs("shown\n", stdout);
      std::fflush(stdout);
      QTimer::singleShot(0, qApp, [] { QApplication::exit(0); });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool done_ = false;
};

}  // namespace

CVELKANToolV2xxxApp theApp;

int CVELKANToolV2xxxApp::InitInstance(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  const std::optional<velkan::ui::AppOptions> options = velkan::ui::ParseArguments(arguments);
  if (!options) {
    std::fputs("usage: velkan-tool [--emulator[=DIR]]\n", stderr);
    return 2;
  }
  if (options->emulator && velkan::UseEmulator(options->emulatorDir) == nullptr) {
    std::fprintf(stderr, "velkan-tool: cannot use the emulator state folder %s\n",
                 options->emulatorDir.value_or("").c_str());
    return 1;
  }
  velkan::ui::ApplyApplicationFont();

  velkan::ui::QtUiDialogs dialogs;
  CVELKANToolV2xxxDlg dialog(dialogs);
  FirstPaintReporter reporter;
  if (options->quitWhenShown) dialog.installEventFilter(&reporter);
  // The main window runs modally; when it closes, the program ends.
  dialog.exec();
  return 0;
}
