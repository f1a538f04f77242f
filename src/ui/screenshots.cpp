// Renders the main window's pages into PNG files: the two programming pages as
// they start, the online page after a finished run and the I2C page after
// one exchange against the emulated programmer.
//   velkan_ui_screenshots DIR
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <cstdio>

#include "common/clock.h"
#include "programmer/backend.h"
#include "ui/app.h"
#include "ui/main_dialog.h"

namespace {

// Every message box is answered with OK / Yes; the file chooser is cancelled.
class AnsweringDialogs final : public velkan::ui::UiDialogs {
 public:
  velkan::MsgResult MessageBox(QWidget*, std::string_view, std::string_view,
                               velkan::MsgButtons buttons, velkan::MsgIcon) override {
    return buttons == velkan::MsgButtons::kYesNo ? velkan::MsgResult::kYes : velkan::MsgResult::kOk;
  }
  std::optional<QString> OpenHexFile(QWidget*) override { return std::nullopt; }
};

void ShowTab(CVELKANToolV2xxxDlg& dialog, int index) {
  dialog.m_tab.tabBar()->setCurrentIndex(index);
  dialog.m_tab.OnLButtonDown();
  QApplication::processEvents();
}

bool Save(QWidget& widget, const QDir& dir, const char* name) {
  const QString path = dir.filePath(QString::fromLatin1(name));
  if (!widget.grab().save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fputs("usage: velkan_ui_screenshots DIR HEXFILE\n", stderr);
    return 2;
  }
  const QDir dir(QString::fromLocal8Bit(argv[1]));
  if (!QDir().mkpath(dir.path())) return 1;
  velkan::ui::ApplyApplicationFont();

  velkan::VirtualClock clock;  // the runs' waits cost no time here
  velkan::ScopedClock scoped(clock);
  if (velkan::UseEmulator(std::nullopt) == nullptr) return 1;

  const QString hexPath = QString::fromLocal8Bit(argv[2]);

  AnsweringDialogs dialogs;
  CVELKANToolV2xxxDlg dialog(dialogs);
  dialog.show();
  QApplication::processEvents();

  bool ok = Save(dialog, dir, "online_page.png");
  ShowTab(dialog, 1);
  ok = Save(dialog, dir, "offline_page.png") && ok;

  ShowTab(dialog, 0);
  dialog.m_onlinePage.m_editHexPath->setText(hexPath);
  dialog.m_onlinePage.m_btnStart->click();
  dialog.m_onlinePage.WaitForRun();
  QApplication::processEvents();
  ok = Save(dialog, dir, "online_run.png") && ok;

  ShowTab(dialog, 2);
  dialog.m_i2cPage.m_editI2cAddr->setText(QStringLiteral("A0"));
  dialog.m_i2cPage.m_editData->setText(QStringLiteral("07 00 00 00"));
  dialog.m_i2cPage.m_btnI2cCommand->click();
  ok = Save(dialog, dir, "i2c_page.png") && ok;
  return ok ? 0 : 1;
}
