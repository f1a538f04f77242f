// Renders the main window's pages into PNG files: the two programming pages as
// they start, the online page after a finished run, the I2C page after one
// exchange against the emulated programmer, and the production page idle and
// during production with two emulated programmers; then the production
// window mid-session with 1, 4 and 8 emulated programmers (one failed, one
// programming, the others passed).
//   velkan_ui_screenshots DIR
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "production/record_server.h"
#include "programmer/backend.h"
#include "ui/app.h"
#include "ui/main_dialog.h"
#include "ui/production_window.h"

namespace {

// Every message box is answered with OK / Yes; the file chooser is cancelled.
class AnsweringDialogs final : public velkan::ui::UiDialogs {
 public:
  velkan::MsgResult MessageBox(QWidget*, std::string_view, std::string_view,
                               velkan::MsgButtons buttons, velkan::MsgIcon) override {
    return buttons == velkan::MsgButtons::kYesNo ? velkan::MsgResult::kYes : velkan::MsgResult::kOk;
  }
  std::optional<QString> OpenHexFile(QWidget*, const QString&) override { return std::nullopt; }
  std::optional<QString> ChooseLogDatabase(QWidget*, const QString&) override {
    return std::nullopt;
  }
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

bool SaveAndStop(velkan::ui::ProductionWindow& window, const QDir& dir, int count);

// The production window on `count` emulated programmers, caught in the
// middle of a session in button mode: the first programmer's chips fail,
// the second is programming at USB speed, the others have passed. With one
// programmer (automatic detection): passed, and programming the next chip.
bool SaveProductionWindow(velkan::ui::UiDialogs& dialogs, const QDir& dir, const QString& hexName,
                          int count) {
  const auto emulators = velkan::UseEmulators(std::nullopt, static_cast<std::size_t>(count));
  if (emulators.empty()) return false;
  for (const auto& emulator : emulators) emulator->SetFeeder(velkan::emu::Feeder{});
  if (count == 1) {
    emulators[0]->SetLatency(velkan::emu::Latency::UsbFullSpeed());
  } else {
    velkan::emu::Fault refuse;
    refuse.kind = velkan::emu::FaultKind::kStatus;
    refuse.atCommand = 0x76;
    refuse.once = false;
    emulators[0]->InjectFault(refuse);
    emulators[1]->SetLatency(velkan::emu::Latency::UsbFullSpeed());
  }
  velkan::ui::ProductionWindow window(dialogs);
  window.show();
  velkan::ui::CProductionPage& page = window.Page();
  page.m_editHexPath->setText(hexName);
  page.m_editLogDb->setText(QStringLiteral("line-%1.db").arg(count));
  page.m_checkSerial->setChecked(true);
  page.m_editSerialAddress->setText(QStringLiteral("9FF0"));
  page.m_editSerialStart->setText(QStringLiteral("00000100"));
  // One programmer: automatic detection, the feeder bringing the chips.
  (count == 1 ? page.m_radioNextAuto : page.m_radioNextButton)->setChecked(true);
  QElapsedTimer waited;
  waited.start();
  auto serveUntil = [&](const std::function<bool()>& done) {
    while (!done() && waited.elapsed() < 60000) {
      QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
  };
  page.RefreshProgrammers();
  serveUntil([&] { return static_cast<int>(page.Tiles().size()) == count; });
  page.m_btnStart->click();
  if (count == 1) {
    serveUntil([&] {
      const auto* tile = page.Tiles()[0];
      // The second chip at least 40 % through (a chip done shows 100 %).
      return page.TotalPassed() >= 1 && tile->Progress() >= 40 && tile->Progress() < 100;
    });
    return SaveAndStop(window, dir, count);
  }
  auto waiting = [&](const velkan::ui::ProgrammerTile* tile) {
    return tile->ActivityText() == QStringLiteral("请放入芯片，按下一片");
  };
  serveUntil([&] {
    for (const auto* tile : page.Tiles()) {
      if (!waiting(tile)) return false;
    }
    return !page.Tiles().empty();
  });
  page.NextChip();
  serveUntil([&] {
    const auto& tiles = page.Tiles();
    if (tiles[0]->CurrentLook() != velkan::ui::ProgrammerTile::Look::kFail) return false;
    if (tiles[1]->Progress() < 40) return false;
    for (std::size_t i = 2; i < tiles.size(); ++i) {
      if (tiles[i]->CurrentLook() != velkan::ui::ProgrammerTile::Look::kPass) return false;
    }
    return true;
  });
  return SaveAndStop(window, dir, count);
}

bool SaveAndStop(velkan::ui::ProductionWindow& window, const QDir& dir, int count) {
  const std::string name = "production_window_" + std::to_string(count) + ".png";
  const bool saved = Save(window, dir, name.c_str());
  window.Page().StopAndWait();
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  // The production page keeps its record in a recorder process: this
  // program again, started with the recorder's argument.
  if (argc >= 2 && std::string_view(argv[1]) == velkan::production::kRecordServerArgument) {
    return velkan::production::RecordServerMain();
  }
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fputs("usage: velkan_ui_screenshots DIR HEXFILE\n", stderr);
    return 2;
  }
  const QDir dir(QString::fromLocal8Bit(argv[1]));
  if (!QDir().mkpath(dir.path())) return 1;
  velkan::ui::ApplyApplicationFont();

  // Two programmers; the pages use the first. The runs' waits cost no time
  // until production, which runs on the real clock at USB speed so that it
  // can be caught in the middle.
  std::optional<velkan::VirtualClock> clock(std::in_place);
  std::optional<velkan::ScopedClock> scoped(std::in_place, *clock);
  const auto emulators = velkan::UseEmulators(std::nullopt, 2);
  if (emulators.empty()) return 1;

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

  // Production works in a scratch folder with a copy of the HEX file; both
  // show by their plain names.
  QTemporaryDir scratch;
  const QString hexName = QFileInfo(hexPath).fileName();
  if (!scratch.isValid() || !QFile::copy(hexPath, QDir(scratch.path()).filePath(hexName)) ||
      !QDir::setCurrent(scratch.path())) {
    std::fputs("cannot prepare a scratch folder\n", stderr);
    return 1;
  }
  ShowTab(dialog, 3);
  velkan::ui::CProductionPage& production = dialog.m_productionPage;
  production.m_editHexPath->setText(hexName);
  production.m_editLogDb->setText(QStringLiteral("velkan-production.db"));
  production.m_checkSerial->setChecked(true);
  production.m_editSerialAddress->setText(QStringLiteral("9FF0"));
  production.m_editSerialStart->setText(QStringLiteral("00000100"));
  production.m_radioNextAuto->setChecked(true);
  QApplication::processEvents();
  ok = Save(dialog, dir, "production_page.png") && ok;

  scoped.reset();
  clock.reset();
  for (const auto& emulator : emulators) {
    emulator->SetLatency(velkan::emu::Latency::UsbFullSpeed());
    emulator->SetFeeder(velkan::emu::Feeder{});
  }
  production.m_btnStart->click();
  // Caught once a few chips are recorded and both programmers are busy
  // with the next ones (at most a minute).
  QElapsedTimer waited;
  waited.start();
  auto busy = [&] {
    if (production.TotalPassed() < 3) return false;
    for (const auto* tile : production.Tiles()) {
      if (tile->Progress() < 25 || tile->Progress() > 90) return false;
    }
    return true;
  };
  while (!busy() && waited.elapsed() < 60000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  ok = Save(dialog, dir, "production_run.png") && ok;
  production.StopProduction();
  production.WaitForRun();

  for (const int count : {1, 4, 8}) {
    ok = SaveProductionWindow(dialogs, dir, hexName, count) && ok;
  }
  return ok ? 0 : 1;
}
