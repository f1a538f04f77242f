// A desktop window in production whose process opens the record's folder
// and file the ways a desktop process does: the window's own file dialogs
// (the toolkit's, in the record's folder), a file dialog listing the folder,
// file type sniffing and a plain open and close of the record file. For
// record_fault_test.cpp, which kills it with SIGKILL.
//
//   record_fault_page EMULATOR_DIR HEX RECORD RECORDER_PROGRAM
//
// Standard output: "pass SERIAL" for each chip the page shows as passed,
// "poked N" after each round of openings (one round after every two passed
// chips). It runs until killed (at most two minutes).
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "emulator/emulator.h"
#include "ui/main_dialog.h"
#include "ui/production_page.h"
#include "ui/ui_dialogs.h"

namespace {

void Serve(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Rejects the modal dialog that opens next, after it had `ms` to list its
// folder.
void RejectNextDialog(int ms) {
  QTimer::singleShot(ms, qApp, [] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      dialog->reject();
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fputs("usage: record_fault_page EMULATOR_DIR HEX RECORD RECORDER_PROGRAM\n", stderr);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("velkan-test"));
  QCoreApplication::setApplicationName(QStringLiteral("record-fault-page"));
  const QString hex = QString::fromLocal8Bit(argv[2]);
  const QString record = QString::fromLocal8Bit(argv[3]);
  // The choosers open in the current folder: the record's.
  QDir::setCurrent(QFileInfo(record).absolutePath());

  std::string why;
  const auto emulators = velkan::UseEmulators(std::string(argv[1]), 2, &why);
  if (emulators.size() != 2) {
    std::fprintf(stderr, "no emulators: %s\n", why.c_str());
    return 1;
  }
  for (const auto& emulator : emulators) {
    velkan::emu::Feeder feeder;
    feeder.traySerial = std::make_pair(0x20F0u, std::size_t{4});
    emulator->SetFeeder(feeder);
  }
  velkan::ui::CProductionPage::SetRecorderProgram(QString::fromLocal8Bit(argv[4]));

  velkan::ui::QtUiDialogs dialogs;
  CVELKANToolV2xxxDlg window(dialogs);
  window.show();
  // The production tab, as the operator clicks it.
  QTabBar* bar = window.m_tab.tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(3).center());
  QApplication::processEvents();
  velkan::ui::CProductionPage& page = window.m_productionPage;
  page.RefreshProgrammers();
  page.m_editHexPath->setText(hex);
  page.m_editLogDb->setText(record);
  page.m_checkSerial->setChecked(true);
  page.m_editSerialAddress->setText(QStringLiteral("20F0"));
  page.m_editSerialStart->setText(QStringLiteral("00000100"));
  page.m_radioNextAuto->setChecked(true);
  page.StartProduction();
  if (!page.IsRunning()) {
    std::fputs("production did not start\n", stderr);
    return 1;
  }

  int shown = 0;  // rows of the records table printed
  int passed = 0;
  int pokedAt = 0;
  int rounds = 0;
  QElapsedTimer life;
  life.start();
  while (life.elapsed() < 120000) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    const int rows = page.m_tableRecords->rowCount();
    for (int r = rows - shown - 1; r >= 0; --r) {  // newest on top
      if (page.m_tableRecords->item(r, 3)->text() == QStringLiteral("通过")) {
        std::printf("pass %s\n", qPrintable(page.m_tableRecords->item(r, 2)->text()));
        ++passed;
      }
    }
    shown = rows;
    std::fflush(stdout);
    if (!page.IsRunning()) {
      std::fputs("production ended\n", stderr);
      return 1;
    }
    if (passed < pokedAt + 2) continue;
    pokedAt = passed;
    // The window's choosers, as the operator opens them.
    RejectNextDialog(300);
    dialogs.ChooseLogDatabase(&page, record);
    RejectNextDialog(300);
    dialogs.OpenHexFile(&page, hex);
    // A file dialog on the record's folder, listing and looking at it.
    {
      QFileDialog browse(&window, QStringLiteral("browse"), QFileInfo(record).absolutePath());
      browse.setOption(QFileDialog::DontUseNativeDialog);
      browse.show();
      browse.selectFile(record);
      Serve(200);
    }
    // What type the file is: its first bytes are read.
    QMimeDatabase().mimeTypeForFile(record, QMimeDatabase::MatchContent);
    {
      QFile file(record);
      if (file.open(QIODevice::ReadOnly)) file.read(16);
    }
    std::printf("poked %d\n", ++rounds);
    std::fflush(stdout);
  }
  return 0;
}
