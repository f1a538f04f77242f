// The production page offscreen against two emulated programmers: the tiles
// following programmers, production sessions with the feeder (counters,
// totals, the records table and the record store agree), a failing and an
// unplugged programmer shown alone as failed, stop in the middle of chips,
// the operator's keys, the start checks and the busy rule with the other
// pages.
#include <gtest/gtest.h>

#include <fstream>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QTabBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "production/job.h"
#include "production/pg_server.h"
#include "production/record_store.h"
#include "programmer/backend.h"
#include "programmer/device_watcher.h"
#include "script/session.h"
#include "ui/main_dialog.h"
#include "ui/production_page.h"
#include "ui/production_window.h"
#include "ui/resource_ids.h"
#include "ui/ui_test_support.h"
#include "velkan/velkan.h"

namespace {

using velkan::ui::CProductionPage;
using velkan::ui::ProgrammerTile;
using velkan::ui::test::FakeDialogs;
using velkan::ui::test::WriteHex;

class ProductionPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emulators_ = velkan::UseEmulators(std::nullopt, 2);
    ASSERT_EQ(emulators_.size(), 2u);
    velkan::SetReaderHandle(0);
    ASSERT_TRUE(temp_.isValid());
    hexPath_ = Path("app.hex");
    image_ = WriteHex(hexPath_, 256);
    QSettings().remove(QStringLiteral("production"));  // each test from the defaults
    // The record is kept by the desktop program's recorder process.
    CProductionPage::SetRecorderProgram(QStringLiteral(VELKAN_TOOL_PATH));
    dialog_ = std::make_unique<CVELKANToolV2xxxDlg>(dialogs_);
    dialog_->show();
    ShowProductionTab();
    Page().m_editHexPath->setText(QString::fromStdString(hexPath_));
    Page().m_editLogDb->setText(QString::fromStdString(Path("production.db")));
  }
  void TearDown() override {
    dialog_.reset();
    const int handle = velkan::ReaderHandle();
    if (handle != 0 && handle != -2) DllCloseReader(handle);
    velkan::SetReaderHandle(0);
  }

  CProductionPage& Page() { return dialog_->m_productionPage; }
  std::string Path(const char* name) const {
    return QDir(temp_.path()).filePath(QString::fromLatin1(name)).toStdString();
  }
  void ShowProductionTab() {
    QTabBar* bar = dialog_->m_tab.tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(3).center());
    QApplication::processEvents();
  }
  void UseSerialNumbers() {
    Page().m_checkSerial->setChecked(true);
    Page().m_editSerialAddress->setText(QStringLiteral("20F0"));
    Page().m_editSerialStart->setText(QStringLiteral("00000100"));
  }
  // The feeder's chips come and go on the real clock: the stations poll
  // every 100 ms while the feeder takes 300 ms for each move, which virtual
  // time (jumping with every sleep of either station) would not keep.
  void FeedSockets() {
    scoped_.reset();
    for (const auto& emulator : emulators_) emulator->SetFeeder(velkan::emu::Feeder{});
  }
  // Serves the page until `done` holds (at most `limitMs` of real time).
  static bool ServeUntil(const std::function<bool()>& done, int limitMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
      if (timer.elapsed() > limitMs) {
        if (qEnvironmentVariableIsSet("VELKAN_DEBUG_TILES")) {
          for (QWidget* w : QApplication::topLevelWidgets()) {
            for (auto* page : w->findChildren<CProductionPage*>()) {
              for (auto* tile : page->Tiles()) {
                std::fprintf(stderr, "tile %s: [%s] [%s] %d\n", qPrintable(tile->Name()),
                             qPrintable(tile->ActivityText()), qPrintable(tile->ResultText()),
                             tile->Progress());
              }
              std::fprintf(stderr, "totals %d/%d\n", page->TotalPassed(), page->TotalFailed());
            }
          }
        }
        return false;
      }
      QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }
  std::vector<velkan::production::ChipRecord> StoredRows() {
    std::string error;
    auto store = velkan::production::OpenRecordStore(
        Path("production.db"), velkan::production::StoreMode::kReadOnly, error);
    EXPECT_NE(store, nullptr) << error;
    std::vector<velkan::production::ChipRecord> rows;
    if (store) {
      EXPECT_TRUE(store->Rows("", rows, error)) << error;
    }
    return rows;
  }
  // Every station waits for the operator's key.
  bool AllWaitingForTheKey() { return AllWaitingIn(Page()); }
  static bool AllWaitingIn(CProductionPage& page) {
    for (const ProgrammerTile* tile : page.Tiles()) {
      if (tile->ActivityText() != QStringLiteral("请放入芯片，按下一片")) return false;
    }
    return !page.Tiles().empty();
  }
  static bool InputsLocked(CProductionPage& page) {
    return !page.m_editHexPath->isEnabled() && !page.m_btnChooseHex->isEnabled() &&
           !page.m_editLogDb->isEnabled() && !page.m_checkSerial->isEnabled() &&
           !page.m_editSerialStart->isEnabled() && !page.m_checkFuse->isEnabled() &&
           !page.m_radioNextAuto->isEnabled() && !page.m_btnStart->isEnabled() &&
           page.m_btnStop->isEnabled();
  }
  // Unplugs emulator `index`: it is gone from its next exchange on.
  void Unplug(std::size_t index) {
    velkan::emu::Fault unplug;
    unplug.kind = velkan::emu::FaultKind::kUnplug;
    emulators_[index]->InjectFault(unplug);
    const int handle = velkan::OpenReader(
        velkan::DeviceSelector::Parse("serial=EMU000" + std::to_string(index + 1)));
    ASSERT_GT(handle, 0);
    DllI2cRePower(handle);
    DllCloseReader(handle);
  }

  velkan::VirtualClock clock_;
  std::optional<velkan::ScopedClock> scoped_{std::in_place, clock_};
  std::vector<std::shared_ptr<velkan::emu::Emulator>> emulators_;
  QTemporaryDir temp_;
  std::string hexPath_;
  std::vector<std::uint8_t> image_;
  FakeDialogs dialogs_;
  std::unique_ptr<CVELKANToolV2xxxDlg> dialog_;
};

TEST_F(ProductionPageTest, TilesFollowProgrammersPluggedInAndOutWhileIdle) {
  CProductionPage& page = Page();
  ASSERT_TRUE(ServeUntil([&] { return page.Tiles().size() == 2; }, 5000));
  EXPECT_EQ(page.Tiles()[0]->Name(), QStringLiteral("EMU0001"));
  EXPECT_EQ(page.Tiles()[1]->Name(), QStringLiteral("EMU0002"));
  EXPECT_FALSE(page.m_labelNoProgrammer->isVisible());

  // The watcher lists them on its own thread; the tiles follow its list.
  Unplug(1);
  page.RefreshProgrammers();
  ASSERT_TRUE(ServeUntil([&] { return page.Tiles().size() == 1; }, 5000));
  EXPECT_EQ(page.Tiles()[0]->Name(), QStringLiteral("EMU0001"));

  Unplug(0);
  page.RefreshProgrammers();
  ASSERT_TRUE(ServeUntil([&] { return page.Tiles().empty(); }, 5000));
  EXPECT_TRUE(page.m_labelNoProgrammer->isVisible());
  // Nothing to produce on: said, and nothing starts.
  page.m_btnStart->click();
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, "打开设备失败！");
  EXPECT_FALSE(page.IsRunning());

  emulators_[0]->Replug();
  emulators_[1]->Replug();
  page.RefreshProgrammers();
  ASSERT_TRUE(ServeUntil([&] { return page.Tiles().size() == 2; }, 5000));
  EXPECT_EQ(page.Tiles()[1]->Name(), QStringLiteral("EMU0002"));

  // The page looks by itself while it is shown.
  Unplug(1);
  ASSERT_TRUE(ServeUntil([&] { return page.Tiles().size() == 1; }, 5000));
}

TEST_F(ProductionPageTest, SessionWithTheFeederCountsAndRecordsEveryChip) {
  CProductionPage& page = Page();
  UseSerialNumbers();
  page.m_radioNextAuto->setChecked(true);
  FeedSockets();

  page.m_btnStart->click();
  ASSERT_TRUE(dialogs_.boxes.empty()) << dialogs_.boxes[0].text;
  ASSERT_TRUE(page.IsRunning());
  EXPECT_TRUE(InputsLocked(page));
  EXPECT_FALSE(page.m_btnNext->isEnabled());  // automatic detection: no key needed
  ASSERT_TRUE(ServeUntil([&] {
    return page.Tiles()[0]->ResultText().startsWith(QStringLiteral("通过")) &&
           page.Tiles()[1]->ResultText().startsWith(QStringLiteral("通过")) &&
           page.TotalPassed() >= 6;
  }));
  page.m_btnStop->click();
  page.WaitForRun();
  EXPECT_FALSE(page.IsRunning());
  EXPECT_TRUE(page.m_btnStart->isEnabled());
  EXPECT_TRUE(page.m_editHexPath->isEnabled());
  EXPECT_FALSE(page.m_btnStop->isEnabled());
  EXPECT_TRUE(dialogs_.boxes.empty());

  // Tiles, totals, the table and the store tell the same story.
  const std::vector<velkan::production::ChipRecord> rows = StoredRows();
  const int total = page.TotalPassed() + page.TotalFailed();
  EXPECT_EQ(page.TotalFailed(), 0);
  EXPECT_EQ(static_cast<int>(rows.size()), total);
  EXPECT_EQ(page.m_tableRecords->rowCount(), total);
  EXPECT_TRUE(page.m_labelTotals->text().startsWith(
      QStringLiteral("合计：通过 %1  失败 0  良率 100.0%  用时 00:00:").arg(total)))
      << page.m_labelTotals->text().toStdString();
  std::set<std::string> serials;
  int perTile[2] = {0, 0};
  for (const auto& row : rows) {
    EXPECT_EQ(row.result, velkan::production::ChipResult::kPass);
    ASSERT_TRUE(row.chipSerial.has_value());
    EXPECT_TRUE(serials.insert(*row.chipSerial).second) << *row.chipSerial << " given twice";
    if (row.stationSerial == "EMU0001") ++perTile[0];
    if (row.stationSerial == "EMU0002") ++perTile[1];
  }
  EXPECT_EQ(*serials.begin(), "00000100");
  EXPECT_EQ(page.Tiles()[0]->m_labelCounters->text(),
            QStringLiteral("通过 %1  失败 0").arg(perTile[0]));
  EXPECT_EQ(page.Tiles()[1]->m_labelCounters->text(),
            QStringLiteral("通过 %1  失败 0").arg(perTile[1]));
  EXPECT_EQ(perTile[0] + perTile[1], total);
  // Newest first in the table: the last row recorded.
  EXPECT_EQ(page.m_tableRecords->item(0, 2)->text().toStdString(), *rows.back().chipSerial);
  EXPECT_EQ(page.m_tableRecords->item(0, 3)->text(), QStringLiteral("通过"));
  for (const ProgrammerTile* tile : page.Tiles()) {
    EXPECT_EQ(tile->ActivityText(), QStringLiteral("已停止"));
  }
  // The other pages may use the programmer again.
  EXPECT_FALSE(velkan::ProgrammerBusy());
}

TEST_F(ProductionPageTest, AFailingProgrammerIsShownAloneAsFailed) {
  CProductionPage& page = Page();
  page.m_radioNextAuto->setChecked(true);
  FeedSockets();
  // Programmer 2 refuses every I2C write to its chips.
  velkan::emu::Fault refuse;
  refuse.kind = velkan::emu::FaultKind::kStatus;
  refuse.atCommand = 0x76;
  refuse.once = false;
  emulators_[1]->InjectFault(refuse);

  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning());
  // Programmer 2 stops after three failures in a row; programmer 1 goes on.
  ASSERT_TRUE(ServeUntil([&] {
    return page.Tiles()[1]->ActivityText() == QStringLiteral("连续失败，已停止！") &&
           page.TotalPassed() >= 2;
  }));
  EXPECT_TRUE(page.IsRunning());
  const ProgrammerTile& good = *page.Tiles()[0];
  const ProgrammerTile& bad = *page.Tiles()[1];
  EXPECT_EQ(bad.CurrentLook(), ProgrammerTile::Look::kFail);
  EXPECT_TRUE(bad.ResultText().startsWith(QStringLiteral("失败：")))
      << bad.ResultText().toStdString();
  EXPECT_EQ(bad.m_labelCounters->text(), QStringLiteral("通过 0  失败 3"));
  EXPECT_NE(good.CurrentLook(), ProgrammerTile::Look::kFail);
  page.StopProduction();
  page.WaitForRun();
  EXPECT_EQ(page.TotalFailed(), 3);
  EXPECT_EQ(good.m_labelCounters->text(),
            QStringLiteral("通过 %1  失败 0").arg(page.TotalPassed()));

  // The failures are in the table with the reason as the online page words
  // it.
  int failedRows = 0;
  for (int r = 0; r < page.m_tableRecords->rowCount(); ++r) {
    if (page.m_tableRecords->item(r, 3)->text() != QStringLiteral("失败")) continue;
    ++failedRows;
    EXPECT_EQ(page.m_tableRecords->item(r, 1)->text(), QStringLiteral("EMU0002"));
    EXPECT_TRUE(page.m_tableRecords->item(r, 5)->text().startsWith(QStringLiteral("通信错误！")))
        << page.m_tableRecords->item(r, 5)->text().toStdString();
  }
  EXPECT_EQ(failedRows, 3);
}

TEST_F(ProductionPageTest, AnUnpluggedProgrammerFailsAndTheOtherGoesOn) {
  CProductionPage& page = Page();
  FeedSockets();
  page.m_radioNextAuto->setChecked(true);
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() >= 2; }));

  Unplug(1);
  const int passedBefore = page.TotalPassed();
  ASSERT_TRUE(ServeUntil([&] {
    return page.Tiles()[1]->CurrentLook() == ProgrammerTile::Look::kFail &&
           page.TotalPassed() >= passedBefore + 2;
  }));
  EXPECT_EQ(page.Tiles()[1]->ActivityText(), QStringLiteral("编程器已断开！"));
  EXPECT_TRUE(page.IsRunning());
  page.StopProduction();
  page.WaitForRun();
  EXPECT_NE(page.Tiles()[0]->CurrentLook(), ProgrammerTile::Look::kFail);
  // Once production has ended the tiles follow the programmers again.
  page.RefreshProgrammers();
  EXPECT_TRUE(ServeUntil([&] { return page.Tiles().size() == 1; }, 5000));
}

TEST_F(ProductionPageTest, ButtonModeTakesEnterAndSpaceFromTheOperator) {
  CProductionPage& page = Page();
  ASSERT_TRUE(page.m_radioNextButton->isChecked());  // the default
  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning());
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  EXPECT_TRUE(page.m_btnNext->isEnabled());
  EXPECT_EQ(page.TotalPassed(), 0);

  // Enter wherever the focus is in the window: both stations take a chip.
  QTest::keyClick(page.m_tableRecords, Qt::Key_Return);
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 2 && AllWaitingForTheKey(); }));
  // A key held down starts nothing more; space starts the next round, and
  // so does the button.
  QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QString(), true);
  QApplication::sendEvent(dialog_.get(), &repeat);
  QTest::qWait(20);
  EXPECT_EQ(page.TotalPassed(), 2);
  QTest::keyClick(dialog_.get(), Qt::Key_Space);
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 4 && AllWaitingForTheKey(); }));
  page.m_btnNext->click();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 6 && AllWaitingForTheKey(); }));

  // On another tab the keys are that page's.
  QTabBar* bar = dialog_->m_tab.tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(0).center());
  QTest::keyClick(dialog_->m_onlinePage.m_editHexPath, Qt::Key_Space);
  EXPECT_EQ(dialog_->m_onlinePage.m_editHexPath->text(), QStringLiteral(" "));
  QApplication::processEvents();
  EXPECT_EQ(page.TotalPassed(), 6);
  ShowProductionTab();

  // The close box is refused while production runs, saying what ends it;
  // Escape on this tab closes nothing and asks nothing.
  dialog_->close();
  EXPECT_TRUE(dialog_->isVisible());
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_TRUE(dialog_->isVisible());
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, velkan::ui::kProductionRunningText);

  page.m_btnStop->click();
  page.WaitForRun();
  // The stations waiting for a chip ended without one.
  EXPECT_EQ(StoredRows().size(), 6u);
  // The keys are the widgets' own again.
  page.m_editHexPath->clear();
  QTest::keyClick(page.m_editHexPath, Qt::Key_Space);
  EXPECT_EQ(page.m_editHexPath->text(), QStringLiteral(" "));
}

TEST_F(ProductionPageTest, OtherPagesAndProductionKeepOffEachOther) {
  CProductionPage& page = Page();
  EXPECT_TRUE(page.m_labelTotals->text().contains(QStringLiteral("良率 —")))
      << page.m_labelTotals->text().toStdString();
  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning());
  // Closing (Esc, the window's close button) says what ends production.
  dialog_->reject();
  EXPECT_TRUE(dialog_->isVisible());
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, velkan::ui::kProductionRunningText);
  dialogs_.boxes.clear();
  // While production runs: the programming pages and the I2C page refuse.
  dialog_->m_onlinePage.m_editHexPath->setText(QString::fromStdString(hexPath_));
  dialog_->m_onlinePage.m_btnStart->click();
  EXPECT_FALSE(dialog_->m_onlinePage.IsRunning());
  dialog_->m_i2cPage.m_btnI2cCommand->click();
  ASSERT_EQ(dialogs_.boxes.size(), 2u);
  EXPECT_EQ(dialogs_.boxes[0].text, velkan::kBusyText);
  EXPECT_EQ(dialogs_.boxes[1].text, velkan::kBusyTextAscii);
  page.StopProduction();
  page.WaitForRun();

  // While the online page runs, production is refused and starts nothing.
  dialogs_.boxes.clear();
  WriteHex(hexPath_, 4096);
  dialog_->m_onlinePage.m_btnStart->click();
  ASSERT_TRUE(dialog_->m_onlinePage.IsRunning());
  page.m_btnStart->click();
  EXPECT_FALSE(page.IsRunning());
  EXPECT_TRUE(page.m_btnStart->isEnabled());
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, velkan::kBusyText);
  EXPECT_EQ(dialogs_.boxes[0].owner, &page);
  dialog_->m_onlinePage.WaitForRun();
}

TEST_F(ProductionPageTest, StartIsRefusedWithAMessageUntilTheSettingsHold) {
  CProductionPage& page = Page();
  auto refused = [&](const std::string& text) {
    dialogs_.boxes.clear();
    page.m_btnStart->click();
    EXPECT_FALSE(page.IsRunning());
    EXPECT_TRUE(page.m_btnStart->isEnabled());
    EXPECT_FALSE(velkan::ProgrammerBusy());
    ASSERT_EQ(dialogs_.boxes.size(), 1u);
    EXPECT_EQ(dialogs_.boxes[0].text, text);
    EXPECT_EQ(dialogs_.boxes[0].caption, "提示");
  };
  page.m_editHexPath->clear();
  refused("请打开hex文件！");
  page.m_editHexPath->setText(QString::fromStdString(Path("missing.hex")));
  refused("hex文件打开错误！");
  page.m_editHexPath->setText(QString::fromStdString(hexPath_));

  page.m_editLogDb->setText(QStringLiteral("  "));
  refused("请选择记录库！");
  // A record whose folder cannot be made (a file stands in its way).
  // Said in Chinese first, the store's own reason second; the record is
  // opened off the window's thread, its answer comes a moment later.
  std::ofstream(Path("not-a-folder")) << "x";
  page.m_editLogDb->setText(QString::fromStdString(Path("not-a-folder/p.db")));
  dialogs_.boxes.clear();
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return !page.IsRunning(); }, 10000));
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text.rfind(
                "打开记录库失败！\r\r记录库所在的路径不是文件夹。\r\r技术原因：", 0),
            0u)
      << dialogs_.boxes[0].text;
  EXPECT_TRUE(page.m_btnStart->isEnabled());
  EXPECT_FALSE(velkan::ProgrammerBusy());
  page.m_editLogDb->setText(QString::fromStdString(Path("production.db")));

  UseSerialNumbers();
  page.m_editSerialAddress->setText(QStringLiteral("1FFF"));
  refused("序列号地址错误！\r\r地址为十六进制，序列号须在0x2000-0x9FFF之内。");
  page.m_editSerialAddress->setText(QStringLiteral("9FFE"));  // 4 bytes reach past 0x9FFF
  refused("序列号地址错误！\r\r地址为十六进制，序列号须在0x2000-0x9FFF之内。");
  page.m_editSerialAddress->setText(QStringLiteral("9FF0"));
  page.m_spinSerialBytes->setValue(1);
  page.m_editSerialStart->setText(QStringLiteral("100"));
  refused("序列号起始值错误！\r\r起始值为十六进制数（BCD格式为十进制数），且须能写入所设字节数。");
  page.m_spinSerialBytes->setValue(2);
  page.m_comboSerialFormat->setCurrentIndex(2);  // BCD: decimal digits
  page.m_editSerialStart->setText(QStringLiteral("12AB"));
  refused("序列号起始值错误！\r\r起始值为十六进制数（BCD格式为十进制数），且须能写入所设字节数。");
  // Without serial numbers the settings are not looked at.
  page.m_checkSerial->setChecked(false);
  EXPECT_FALSE(page.m_editSerialStart->isEnabled());
  dialogs_.boxes.clear();
  page.m_btnStart->click();
  EXPECT_TRUE(dialogs_.boxes.empty());
  EXPECT_TRUE(page.IsRunning());
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  page.StopProduction();
  page.WaitForRun();
  EXPECT_TRUE(StoredRows().empty());  // nobody pressed for a chip
}

TEST_F(ProductionPageTest, ChoosersAndTheFuseWarning) {
  CProductionPage& page = Page();
  dialogs_.chosenFile = QStringLiteral("/chips/app.hex");
  page.m_btnChooseHex->click();
  EXPECT_EQ(page.m_editHexPath->text(), QDir::toNativeSeparators(QStringLiteral("/chips/app.hex")));
  dialogs_.chosenLog = QStringLiteral("/records/line1.db");
  page.m_btnChooseLog->click();
  EXPECT_EQ(page.m_editLogDb->text(),
            QDir::toNativeSeparators(QStringLiteral("/records/line1.db")));
  dialogs_.chosenLog.reset();
  page.m_btnChooseLog->click();  // cancelled: unchanged
  EXPECT_EQ(page.m_editLogDb->text(),
            QDir::toNativeSeparators(QStringLiteral("/records/line1.db")));
  EXPECT_EQ(dialogs_.logChooserOpened, 2);

  // Each chooser is given the file chosen now: it opens in that folder.
  EXPECT_EQ(dialogs_.logChooserCurrent,
            QDir::toNativeSeparators(QStringLiteral("/records/line1.db")));
  page.m_btnChooseHex->click();
  EXPECT_EQ(dialogs_.chooserCurrent, QDir::toNativeSeparators(QStringLiteral("/chips/app.hex")));

  page.m_checkFuse->click();  // answered No
  EXPECT_FALSE(page.m_checkFuse->isChecked());
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, "熔断后，芯片将不可再编程！\r\r  请确认是否要熔断！");
  EXPECT_EQ(dialogs_.boxes[0].caption, "警告");
  // Enter (or a foot switch) answers 否 here.
  EXPECT_TRUE(dialogs_.boxes[0].defaultNo);
  dialogs_.answers.push_back(velkan::MsgResult::kYes);
  page.m_checkFuse->click();
  EXPECT_TRUE(page.m_checkFuse->isChecked());
}

TEST_F(ProductionPageTest, TheLastSettingsComeBackButNeverTheFuse) {
  CProductionPage& page = Page();
  UseSerialNumbers();
  page.m_spinSerialStep->setValue(3);
  page.m_comboSerialFormat->setCurrentIndex(3);  // ASCII
  page.m_radioNextAuto->setChecked(true);
  dialogs_.answers.push_back(velkan::MsgResult::kYes);
  page.m_checkFuse->click();
  ASSERT_TRUE(page.m_checkFuse->isChecked());
  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning()) << (dialogs_.boxes.empty() ? "" : dialogs_.boxes.back().text);
  page.StopProduction();
  page.WaitForRun();

  dialog_ = std::make_unique<CVELKANToolV2xxxDlg>(dialogs_);
  dialog_->show();
  ShowProductionTab();
  CProductionPage& again = Page();
  EXPECT_EQ(again.m_editHexPath->text().toStdString(), hexPath_);
  EXPECT_EQ(again.m_editLogDb->text().toStdString(), Path("production.db"));
  EXPECT_TRUE(again.m_checkSerial->isChecked());
  EXPECT_EQ(again.m_editSerialAddress->text(), QStringLiteral("20F0"));
  EXPECT_EQ(again.m_editSerialStart->text(), QStringLiteral("00000100"));
  EXPECT_EQ(again.m_spinSerialStep->value(), 3);
  EXPECT_EQ(again.m_comboSerialFormat->currentIndex(), 3);
  EXPECT_TRUE(again.m_radioNextAuto->isChecked());
  EXPECT_FALSE(again.m_checkFuse->isChecked());
}

// The record in PostgreSQL: an address in the record box instead of a file.
TEST_F(ProductionPageTest, RecordsGoToAPostgresAddress) {
  velkan::test::PgServer server;
  VELKAN_START_PG(server);
  CProductionPage& page = Page();
  page.m_editLogDb->setText(QString::fromStdString(server.Uri()));
  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning()) << (dialogs_.boxes.empty() ? "" : dialogs_.boxes.back().text);
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  page.NextChip();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 2 && AllWaitingForTheKey(); }));
  page.StopProduction();
  page.WaitForRun();

  std::string error;
  auto store = velkan::production::OpenRecordStore(server.Uri(),
                                                   velkan::production::StoreMode::kReadOnly, error);
  ASSERT_NE(store, nullptr) << error;
  std::vector<velkan::production::ChipRecord> rows;
  ASSERT_TRUE(store->Rows("", rows, error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].result, velkan::production::ChipResult::kPass);
  EXPECT_EQ(rows[0].hexName, "app.hex");
}

// On the real clock with USB timing a chip takes seconds, so stop lands in
// the middle of both chips: they are finished and recorded, then production
// ends.
TEST_F(ProductionPageTest, StopFinishesTheChipsInProgress) {
  scoped_.reset();
  for (const auto& emulator : emulators_) {
    emulator->SetLatency(velkan::emu::Latency::UsbFullSpeed());
  }
  CProductionPage& page = Page();
  UseSerialNumbers();
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  page.NextChip();
  ASSERT_TRUE(ServeUntil(
      [&] { return page.Tiles()[0]->Progress() >= 10 && page.Tiles()[1]->Progress() >= 10; }));
  ASSERT_LT(page.Tiles()[0]->Progress(), 100);
  page.StopProduction();
  EXPECT_FALSE(page.m_btnStop->isEnabled());
  EXPECT_FALSE(page.m_btnNext->isEnabled());
  EXPECT_TRUE(page.m_labelTotals->text().contains(QStringLiteral("正在停止")));
  page.WaitForRun();
  EXPECT_FALSE(page.m_labelTotals->text().contains(QStringLiteral("正在停止")))
      << "the stop is over";

  const auto rows = StoredRows();
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& row : rows) {
    EXPECT_EQ(row.result, velkan::production::ChipResult::kPass);
    ASSERT_TRUE(row.chipSerial.has_value());
    // The whole image is on each chip, its serial number at 0x20F0.
    const std::size_t i = row.stationSerial == "EMU0001" ? 0 : 1;
    const auto flash = emulators_[i]->Flash();
    std::vector<std::uint8_t> expected = image_;
    const auto number = std::stoul(*row.chipSerial, nullptr, 16);
    for (int b = 0; b < 4; ++b)
      expected[0xF0 + b] = static_cast<std::uint8_t>(number >> (24 - 8 * b));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin())) << row.stationSerial;
  }
  for (const ProgrammerTile* tile : page.Tiles()) {
    EXPECT_EQ(tile->CurrentLook(), ProgrammerTile::Look::kPass);
    EXPECT_EQ(tile->ActivityText(), QStringLiteral("已停止"));
  }
}

// The page and `velkan produce` accept and refuse the same jobs: one table
// fed to both (and to the shared check they use).
TEST_F(ProductionPageTest, ThePageAndTheCommandLineAcceptTheSameJobs) {
  struct Case {
    const char* what;
    std::string hex, log;
    bool serial;
    std::string at, start;
    int bytes;
    const char* format;
    bool accept;
  };
  const std::string hex = hexPath_, log = Path("jobs.db");
  const Case cases[] = {
      {"plain", hex, log, false, "", "", 4, "be", true},
      {"no HEX file", "", log, false, "", "", 4, "be", false},
      {"no record", hex, "", false, "", "", 4, "be", false},
      {"counter", hex, log, true, "20F0", "00000100", 4, "be", true},
      {"eight bytes", hex, log, true, "20F0", "0102030405060708", 8, "le", true},
      {"bcd", hex, log, true, "20F0", "99", 1, "bcd", true},
      {"below the region", hex, log, true, "1FFF", "1", 1, "be", false},
      {"past the region", hex, log, true, "9FFD", "1", 4, "be", false},
      {"address not hex", hex, log, true, "XYZ", "1", 4, "be", false},
      {"no address", hex, log, true, "", "1", 4, "be", false},
      {"start not hex", hex, log, true, "20F0", "1G", 4, "be", false},
      {"start too large", hex, log, true, "20F0", "10000", 2, "be", false},
      {"bcd start not decimal", hex, log, true, "20F0", "1A", 4, "bcd", false},
      {"no start", hex, log, true, "20F0", "", 4, "be", false},
      {"start past 63 bits", hex, log, true, "20F0", "8000000000000000", 8, "be", false},
  };
  CProductionPage& page = Page();
  const QStringList formats = {QStringLiteral("be"), QStringLiteral("le"), QStringLiteral("bcd"),
                               QStringLiteral("ascii")};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The shared check.
    velkan::production::JobRequest request;
    request.hexPath = c.hex;
    request.log = c.log;
    if (c.serial) {
      request.serialCounter = true;
      request.serialAt = c.at;
      request.serialStart = c.start;
      request.serialBytes = c.bytes;
      request.serialFormat = c.format;
    }
    velkan::production::JobProblem problem;
    EXPECT_EQ(velkan::production::BuildJob(request, "test", problem).has_value(), c.accept)
        << problem.text;

    // The command line: refused before anything is sent (2), or run until
    // its input ends (0).
    QStringList args = {"--emulator", "produce", QString::fromStdString(c.hex), "--log",
                        QString::fromStdString(c.log)};
    if (c.serial) {
      args << "--serial-at" << QString::fromStdString(c.at) << "--serial-start"
           << QString::fromStdString(c.start) << "--serial-bytes" << QString::number(c.bytes)
           << "--serial-format" << c.format;
    }
    std::string err;
    EXPECT_EQ(velkan::ui::test::RunProgram(QStringLiteral(VELKAN_CLI_PATH), args, temp_.path(),
                                           nullptr, &err),
              c.accept ? 0 : 2)
        << err;

    // The page: refused with a message, or production starts.
    page.m_editHexPath->setText(QString::fromStdString(c.hex));
    page.m_editLogDb->setText(QString::fromStdString(c.log));
    page.m_checkSerial->setChecked(c.serial);
    page.m_editSerialAddress->setText(QString::fromStdString(c.at));
    page.m_editSerialStart->setText(QString::fromStdString(c.start));
    page.m_spinSerialBytes->setValue(c.bytes);
    page.m_comboSerialFormat->setCurrentIndex(
        static_cast<int>(formats.indexOf(QString::fromLatin1(c.format))));
    dialogs_.boxes.clear();
    page.m_btnStart->click();
    EXPECT_EQ(page.IsRunning(), c.accept);
    EXPECT_EQ(dialogs_.boxes.empty(), c.accept);
    if (page.IsRunning()) page.StopAndWait();
  }
}

// Numbers reserved for chips whose record never came are counted on the
// page and settled one by one after the engineer has checked the chips.
TEST_F(ProductionPageTest, UnknownNumbersAreCountedAndSettledByTheEngineer) {
  using namespace velkan::production;
  {
    std::string error;
    auto store = OpenSqliteStore(Path("production.db"), StoreMode::kCreate, error);
    ASSERT_TRUE(store) << error;
    for (int i = 0; i < 2; ++i) {
      std::int64_t number = 0;
      bool exhausted = false;
      ASSERT_TRUE(store->Reserve(
          "be:4", 0x100, 1, "EMU0001", NewAttemptId(),
          [](std::int64_t n, std::string&) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%08llX", static_cast<unsigned long long>(n));
            return std::optional<std::string>(hex);
          },
          number, exhausted, error))
          << error;
    }
  }
  CProductionPage& page = Page();
  UseSerialNumbers();
  FeedSockets();
  page.m_radioNextAuto->setChecked(true);
  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning());
  ASSERT_TRUE(ServeUntil([&] { return page.UnknownCount() == 2u; }, 10000));
  EXPECT_FALSE(page.m_btnUnknown->isEnabled());  // not while production runs
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() >= 2; }));
  page.StopProduction();
  page.WaitForRun();
  ASSERT_TRUE(ServeUntil([&] { return page.m_btnUnknown->isEnabled(); }, 10000));
  ASSERT_TRUE(page.m_btnUnknown->isVisible());
  EXPECT_EQ(page.m_btnUnknown->text(), QStringLiteral("未知序列号：2"));
  // The chips were given new numbers, never the unknown ones.
  for (const auto& row : StoredRows()) {
    EXPECT_NE(row.chipSerial, "00000100");
    EXPECT_NE(row.chipSerial, "00000101");
  }

  // 0x100 is on a chip that is kept: burnt; 0x101 on none: released.
  dialogs_.boxes.clear();
  dialogs_.answers = {velkan::MsgResult::kYes, velkan::MsgResult::kNo};
  page.m_btnUnknown->click();
  ASSERT_TRUE(ServeUntil([&] { return dialogs_.boxes.size() == 2u; }, 10000));
  EXPECT_NE(dialogs_.boxes[0].text.find("00000100"), std::string::npos);
  EXPECT_EQ(page.UnknownCount(), 0u);
  EXPECT_FALSE(page.m_btnUnknown->isVisible());
  std::string error;
  auto store = OpenSqliteStore(Path("production.db"), StoreMode::kWrite, error);
  ASSERT_TRUE(store) << error;
  std::int64_t number = 0;
  bool exhausted = false;
  ASSERT_TRUE(store->Reserve(
      "be:4", 0x100, 1, "T", NewAttemptId(),
      [](std::int64_t, std::string&) { return std::optional<std::string>("x"); }, number, exhausted,
      error));
  EXPECT_EQ(number, 0x101);  // released: given again; 0x100 never
}

TEST_F(ProductionPageTest, ClosingTheWindowDuringProductionStopsIt) {
  CProductionPage& page = Page();
  FeedSockets();
  page.m_radioNextAuto->setChecked(true);
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() >= 2; }));
  dialog_.reset();  // stops production and serves it until it has ended
  EXPECT_FALSE(velkan::ProgrammerBusy());
  for (const auto& row : StoredRows()) EXPECT_EQ(row.result, velkan::production::ChipResult::kPass);
}

}  // namespace

namespace {

// A foot switch held down repeats its key, flagged as repeats or not (some
// keyboards and adapters send plain presses): one chip per station for the
// whole hold, the next only after the key was let go and pressed again.
TEST_F(ProductionPageTest, AHeldKeyStartsOneChipPerStation) {
  CProductionPage& page = Page();
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  auto send = [&](QEvent::Type type, bool repeat) {
    QKeyEvent key(type, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), repeat);
    QApplication::sendEvent(page.m_tableRecords, &key);
  };
  send(QEvent::KeyPress, false);
  // The hold: repeats while the first chips run and after their results.
  for (int i = 0; i < 40; ++i) {
    send(QEvent::KeyRelease, true);
    send(QEvent::KeyPress, true);
    if (i % 4 == 0) send(QEvent::KeyPress, false);  // unflagged repeats
    QTest::qWait(10);
  }
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 2 && AllWaitingForTheKey(); }));
  for (int i = 0; i < 10; ++i) {
    send(QEvent::KeyPress, true);
    send(QEvent::KeyPress, false);
    QTest::qWait(10);
  }
  EXPECT_EQ(page.TotalPassed() + page.TotalFailed(), 2);
  EXPECT_TRUE(AllWaitingForTheKey());
  // Let go and pressed again: the next chip on each.
  send(QEvent::KeyRelease, false);
  send(QEvent::KeyPress, false);
  send(QEvent::KeyRelease, false);
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 4 && AllWaitingForTheKey(); }));
  page.StopAndWait();
  EXPECT_EQ(StoredRows().size(), 4u);
  EXPECT_EQ(page.TotalFailed(), 0);
}

// A programmer that senses its socket: after a result the chip must be
// taken out before a press counts, so a press (or a bouncing foot switch)
// while the programmed chip is still in does not start it again.
TEST_F(ProductionPageTest, APressWhileTheChipIsStillInTheSocketStartsNothing) {
  CProductionPage& page = Page();
  UseSerialNumbers();
  scoped_.reset();  // the feeder's chips move on the real clock
  velkan::emu::Feeder feeder;
  feeder.takeOut = std::chrono::milliseconds(1500);  // a slow operator
  for (const auto& emulator : emulators_) emulator->SetFeeder(feeder);
  auto tilesShow = [&](const QString& text) {
    for (const ProgrammerTile* tile : page.Tiles()) {
      if (tile->ActivityText() != text) return false;
    }
    return true;
  };
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  page.NextChip();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 2; }));
  // The first chips leave the sockets: now the programmers are known to
  // sense them, and fresh chips come in.
  QTest::qWait(2500);
  page.NextChip();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 4; }));
  ASSERT_TRUE(ServeUntil([&] { return tilesShow(QStringLiteral("请取出芯片")); }));
  page.NextChip();  // the programmed chips are still in
  QTest::keyClick(page.m_tableRecords, Qt::Key_Space);
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  EXPECT_EQ(page.TotalPassed() + page.TotalFailed(), 4);
  // Pressed before the next chip is in: it starts once the chip is there.
  page.NextChip();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 6; }));
  page.StopAndWait();
  EXPECT_EQ(page.TotalFailed(), 0);
  const auto rows = StoredRows();
  ASSERT_EQ(rows.size(), 6u);
  std::set<std::string> serials;
  for (const auto& row : rows) {
    EXPECT_EQ(row.result, velkan::production::ChipResult::kPass);
    if (row.chipSerial) serials.insert(*row.chipSerial);
  }
  EXPECT_EQ(serials.size(), 6u);
}

// Escape on the idle production tab closes nothing; the other pages keep
// the dialog's Escape.
TEST_F(ProductionPageTest, EscapeOnTheProductionTabClosesNothing) {
  QTest::keyClick(Page().m_editHexPath, Qt::Key_Escape);
  QApplication::processEvents();
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_TRUE(dialogs_.boxes.empty());
  QTabBar* bar = dialog_->m_tab.tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(0).center());
  QTest::keyClick(dialog_->m_onlinePage.m_editHexPath, Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
}

// A record in a folder that does not exist yet (a fresh account's documents
// folder) is made with its folder.
TEST_F(ProductionPageTest, ARecordInAMissingFolderIsCreatedWithIt) {
  CProductionPage& page = Page();
  const std::string record = Path("new/deeper/production.db");
  page.m_editLogDb->setText(QString::fromStdString(record));
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  EXPECT_TRUE(dialogs_.boxes.empty()) << dialogs_.boxes[0].text;
  page.NextChip();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 2 && AllWaitingForTheKey(); }));
  page.StopAndWait();
  std::string error;
  auto store =
      velkan::production::OpenRecordStore(record, velkan::production::StoreMode::kReadOnly, error);
  ASSERT_NE(store, nullptr) << error;
  std::vector<velkan::production::ChipRecord> rows;
  ASSERT_TRUE(store->Rows("", rows, error)) << error;
  EXPECT_EQ(rows.size(), 2u);
}

// The next chip's serial number is shown from the start and follows the
// chips; each tile keeps its chip's number and its result until the next
// result.
TEST_F(ProductionPageTest, TheNextSerialNumberAndTheLastResultStayInSight) {
  CProductionPage& page = Page();
  UseSerialNumbers();
  EXPECT_EQ(page.NextSerial(), QStringLiteral("00000100"));
  EXPECT_TRUE(page.m_labelTotals->text().contains(QStringLiteral("下一序列号 00000100")));
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingForTheKey(); }));
  EXPECT_TRUE(page.m_labelTotals->text().contains(QStringLiteral("良率 —")));
  page.NextChip();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 2 && AllWaitingForTheKey(); }));
  EXPECT_EQ(page.NextSerial(), QStringLiteral("00000102"));
  EXPECT_TRUE(page.m_labelTotals->text().contains(QStringLiteral("下一序列号 00000102")));
  EXPECT_EQ(page.m_editSerialStart->text(), QStringLiteral("00000100"));  // the setting stays
  for (const ProgrammerTile* tile : page.Tiles()) {
    EXPECT_EQ(tile->CurrentLook(), ProgrammerTile::Look::kPass);
    EXPECT_TRUE(tile->ResultText().startsWith(QStringLiteral("通过 0000010")));
  }
  // While the next chips are programmed, the results stay green.
  scoped_.reset();
  for (const auto& emulator : emulators_) {
    emulator->SetLatency(velkan::emu::Latency::UsbFullSpeed());
  }
  page.NextChip();
  ASSERT_TRUE(ServeUntil([&] {
    const ProgrammerTile* tile = page.Tiles()[0];
    return tile->ActivityText().startsWith(QStringLiteral("编程中")) && tile->Progress() >= 10 &&
           tile->Progress() < 100;
  }));
  EXPECT_EQ(page.Tiles()[0]->CurrentLook(), ProgrammerTile::Look::kPass);
  EXPECT_FALSE(page.Tiles()[0]->ResultText().startsWith(QStringLiteral("上一片")));
  page.StopAndWait();
  EXPECT_EQ(page.NextSerial(), QStringLiteral("00000104"));
}

// The production window: its own resizable, maximisable window with a
// large tile per programmer; Escape never closes it, closing during
// production says to press 停止 first; at its size for 8 programmers every
// text of every tile fits.
TEST_F(ProductionPageTest, TheProductionWindowShowsEightProgrammersWithoutClippedTexts) {
  emulators_ = velkan::UseEmulators(std::nullopt, 8);
  ASSERT_EQ(emulators_.size(), 8u);
  dialog_->m_productionPage.m_btnWindow->click();
  velkan::ui::ProductionWindow* window = dialog_->ProductionWindowIfOpen();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(window->isVisible());
  EXPECT_TRUE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_NE(window->minimumSize(), window->maximumSize());
  EXPECT_EQ(window->size(), velkan::ui::ProductionWindow::DefaultSize());
  CProductionPage& page = window->Page();
  EXPECT_EQ(page.Layout(), velkan::ui::PageLayout::kWindow);
  page.m_editHexPath->setText(QString::fromStdString(hexPath_));
  page.m_editLogDb->setText(QString::fromStdString(Path("window.db")));
  page.RefreshProgrammers();
  ASSERT_TRUE(ServeUntil([&] { return page.Tiles().size() == 8; }, 5000));

  QTest::keyClick(page.m_editHexPath, Qt::Key_Escape);
  EXPECT_TRUE(window->isVisible());

  // The longest texts a tile shows.
  for (std::size_t i = 0; i < page.Tiles().size(); ++i) {
    ProgrammerTile* tile = page.Tiles()[i];
    tile->SetIdentity(QStringLiteral("EMU000%1").arg(i + 1), QStringLiteral("1-1.4.3"));
    tile->SetActivity(QStringLiteral("请放入芯片，按下一片"), i == 1);
    tile->SetChipSerial(QStringLiteral("0000000100000001"));
    tile->SetCounters(99999, 99999);
    if (i == 0) {
      tile->SetResult(QStringLiteral("失败：错误，SW = 6986"), {}, ProgrammerTile::Look::kFail);
    } else if (i == 2) {
      tile->SetResult(QStringLiteral("失败：未记录！请将芯片放到一边（序列号 0000000100000001）"),
                      {}, ProgrammerTile::Look::kFail);
    } else {
      tile->SetResult(QStringLiteral("通过"), {}, ProgrammerTile::Look::kPass);
    }
  }
  QApplication::processEvents();
  // All of them in sight, none scrolled away.
  EXPECT_LE(page.m_tileArea->widget()->height(), page.m_tileArea->viewport()->height());
  for (ProgrammerTile* tile : page.Tiles()) {
    SCOPED_TRACE(tile->Name().toStdString());
    EXPECT_TRUE(page.m_tileArea->widget()->rect().contains(tile->geometry()));
    for (QLabel* label : tile->findChildren<QLabel*>()) {
      if (!label->isVisible() || label->text().isEmpty()) continue;
      SCOPED_TRACE(label->text().toStdString());
      EXPECT_TRUE(tile->rect().contains(label->geometry()));
      if (label->wordWrap()) {
        EXPECT_LE(label->heightForWidth(label->width()), label->height());
      } else {
        EXPECT_LE(label->sizeHint().width(), label->width());
        EXPECT_LE(label->sizeHint().height(), label->height());
      }
    }
  }

  // Production in the window: closing is refused, saying what ends it.
  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning()) << (dialogs_.boxes.empty() ? "" : dialogs_.boxes.back().text);
  ASSERT_TRUE(ServeUntil([&] { return AllWaitingIn(page); }));
  dialogs_.boxes.clear();
  window->close();
  EXPECT_TRUE(window->isVisible());
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, velkan::ui::kProductionRunningText);
  // The tab cannot start production meanwhile, nor the main window close.
  dialog_->close();
  EXPECT_TRUE(dialog_->isVisible());
  page.StopAndWait();
  window->close();
  EXPECT_FALSE(window->isVisible());
}

// The watcher opens no programmer a station is using: the one in use keeps
// the identity it had, the others are looked at again.
class CountingPlatform final : public velkan::hid::Platform {
 public:
  class Set final : public velkan::hid::InterfaceSet {
   public:
    explicit Set(std::vector<std::string> paths) : paths_(std::move(paths)) {}
    Item At(std::size_t index) override {
      return index < paths_.size() ? Item::kPresent : Item::kNoMore;
    }
    bool DevicePath(std::size_t index, std::string& path) override {
      path = paths_.at(index);
      return true;
    }

   private:
    std::vector<std::string> paths_;
  };
  class Device final : public velkan::hid::Device {
   public:
    Device(CountingPlatform& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
    bool GetAttributes(velkan::hid::Attributes& out) override {
      out = {velkan::kProgrammerVendorId, velkan::kProgrammerProductId};
      return true;
    }
    bool WriteReport(const velkan::hid::Report&) override { return false; }
    bool ReadReport(velkan::hid::Report&, std::size_t&) override { return false; }
    bool Close() override { return true; }
    bool GetIdentity(velkan::hid::Identity& out) override {
      std::lock_guard lock(owner_.mutex);
      ++owner_.identityReads[path_];
      out.serial = "SN-" + path_;
      return true;
    }
    int LastError() const override { return 0; }

   private:
    CountingPlatform& owner_;
    std::string path_;
  };
  std::unique_ptr<velkan::hid::InterfaceSet> PresentInterfaces() override {
    std::lock_guard lock(mutex);
    return std::make_unique<Set>(paths);
  }
  std::unique_ptr<velkan::hid::Device> Open(const std::string& path) override {
    {
      std::lock_guard lock(mutex);
      ++opens[path];
    }
    return std::make_unique<Device>(*this, path);
  }
  std::map<std::string, int> Opens() {
    std::lock_guard lock(mutex);
    return opens;
  }

  std::mutex mutex;
  std::vector<std::string> paths{"a", "b"};
  std::map<std::string, int> opens;
  std::map<std::string, int> identityReads;
};

TEST(DeviceWatcherTest, ProgrammersInUseAreNeverOpenedAndPlugsAreHeard) {
  auto platform = std::make_shared<CountingPlatform>();
  velkan::UsePlatform(platform);
  std::mutex mutex;
  std::vector<std::vector<velkan::FoundDevice>> heard;
  {
    velkan::DeviceWatcher watcher(nullptr, std::chrono::milliseconds(20));
    const int key = watcher.Subscribe([&](const std::vector<velkan::FoundDevice>& found) {
      std::lock_guard lock(mutex);
      heard.push_back(found);
    });
    auto heardCount = [&] {
      std::lock_guard lock(mutex);
      return heard.size();
    };
    auto waitFor = [&](const std::function<bool()>& done) {
      QElapsedTimer timer;
      timer.start();
      while (!done() && timer.elapsed() < 5000) QTest::qWait(5);
      return done();
    };
    ASSERT_TRUE(waitFor([&] { return heardCount() == 1; }));
    {
      std::lock_guard lock(mutex);
      ASSERT_EQ(heard[0].size(), 2u);
      EXPECT_EQ(heard[0][1].serial, "SN-b");
    }
    // "a" in use: listed with its identity, never opened again.
    watcher.SetInUse({"a"});
    const int opensOfA = platform->Opens()["a"];
    const std::size_t scans = watcher.Scans();
    ASSERT_TRUE(waitFor([&] { return watcher.Scans() >= scans + 5; }));
    EXPECT_EQ(platform->Opens()["a"], opensOfA);
    EXPECT_GT(platform->Opens()["b"], 1);
    EXPECT_EQ(heardCount(), 1u) << "nothing changed, nothing told";
    // "b" is unplugged: told once, "a" still there as it was.
    {
      std::lock_guard lock(platform->mutex);
      platform->paths = {"a"};
    }
    ASSERT_TRUE(waitFor([&] { return heardCount() == 2; }));
    {
      std::lock_guard lock(mutex);
      ASSERT_EQ(heard[1].size(), 1u);
      EXPECT_EQ(heard[1][0].serial, "SN-a");
    }
    watcher.Unsubscribe(key);
  }
  velkan::UseSystemHid();
}

}  // namespace
