// Renders the main window's pages into PNG files: the two programming pages as
// they start, the online page after a finished run and the I2C page after
// one exchange against the emulated programmer.
//   velkan_ui_screenshots DIR
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>

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

// An application image of `bytes` bytes from 0x2000 on, 16 bytes a record.
bool WriteDemoHex(const std::string& path, unsigned bytes) {
  std::ofstream out(path, std::ios::binary);
  for (unsigned offset = 0; offset < bytes; offset += 16) {
    const unsigned address = 0x2000 + offset;
    unsigned sum = 16 + (address >> 8) + (address & 0xFF);
    char line[64];
    int n = std::snprintf(line, sizeof line, ":10%04X00", address);
    for (unsigned i = 0; i < 16; ++i) {
      const unsigned byte = (offset + i * 7) & 0xFF;
      sum += byte;
      n += std::snprintf(line + n, sizeof line - n, "%02X", byte);
    }
    std::snprintf(line + n, sizeof line - n, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out << line;
  }
  out << ":00000001FF\r\n";
  return static_cast<bool>(out);
}

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
  if (argc != 2) {
    std::fputs("usage: velkan_ui_screenshots DIR\n", stderr);
    return 2;
  }
  const QDir dir(QString::fromLocal8Bit(argv[1]));
  if (!QDir().mkpath(dir.path())) return 1;
  velkan::ui::ApplyApplicationFont();

  velkan::VirtualClock clock;  // the runs' waits cost no time here
  velkan::ScopedClock scoped(clock);
  if (velkan::UseEmulator(std::nullopt) == nullptr) return 1;

  QTemporaryDir temp;
  const std::string hexPath =
      QDir(temp.path()).filePath(QStringLiteral("demo_app.hex")).toStdString();
  if (!temp.isValid() || !WriteDemoHex(hexPath, 4096)) return 1;

  AnsweringDialogs dialogs;
  CVELKANToolV2xxxDlg dialog(dialogs);
  dialog.show();
  QApplication::processEvents();

  bool ok = Save(dialog, dir, "online_page.png");
  ShowTab(dialog, 1);
  ok = Save(dialog, dir, "offline_page.png") && ok;

  ShowTab(dialog, 0);
  dialog.m_onlinePage.m_editHexPath->setText(QString::fromStdString(hexPath));
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
