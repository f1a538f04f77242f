// Sealed jobs in the production window and operator mode, offscreen against
// two emulated programmers: a signed job run to its count limit (every row
// carries its id, its chip data generator runs), jobs refused by their
// check or the trusted key programming nothing, the job coming back after
// a restart, and operator mode locking everything but the job, start, stop
// and next, left only with the engineer's password.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/clock.h"
#include "common/sha256.h"
#include "emulator/emulator.h"
#include "production/engineer_password.h"
#include "production/record_store.h"
#include "programmer/backend.h"
#include "ui/main_dialog.h"
#include "ui/operator_mode.h"
#include "ui/production_page.h"
#include "ui/production_window.h"
#include "ui/ui_test_support.h"
#include "velkan/velkan.h"

namespace {

using velkan::production::ChipRecord;
using velkan::ui::CProductionPage;
using velkan::ui::OperatorMode;
using velkan::ui::ProgrammerTile;
using velkan::ui::test::FakeDialogs;
using velkan::ui::test::WriteHex;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Serves the windows until `done` holds (at most `limitMs` of real time).
bool ServeUntil(const std::function<bool()>& done, int limitMs = 30000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limitMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

class ProductionJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emulators_ = velkan::UseEmulators(std::nullopt, 2);
    ASSERT_EQ(emulators_.size(), 2u);
    velkan::SetReaderHandle(0);
    ASSERT_TRUE(temp_.isValid());
    hexPath_ = Path("app.hex");
    WriteHex(hexPath_, 256);
    QSettings().remove(QStringLiteral("production"));
    OperatorMode::Instance().SetForced(false);
    CProductionPage::SetRecorderProgram(QStringLiteral(VELKAN_TOOL_PATH));
    // The owner's key pair, and another one.
    ASSERT_EQ(Cli({"job", "keygen", "owner.pem", "owner.pub"}), 0) << cliErr_;
    ASSERT_EQ(Cli({"job", "keygen", "other.pem", "other.pub"}), 0) << cliErr_;
  }
  void TearDown() override {
    window_.reset();
    dialog_.reset();
    OperatorMode::Instance().SetForced(false);
    QSettings().remove(QStringLiteral("production"));
    const int handle = velkan::ReaderHandle();
    if (handle != 0 && handle != -2) DllCloseReader(handle);
    velkan::SetReaderHandle(0);
  }

  std::string Path(const std::string& name) const {
    return QDir(temp_.path()).filePath(QString::fromStdString(name)).toStdString();
  }
  // As the page shows a path it was given (backslashes on Windows).
  QString NativePath(const std::string& name) const {
    return QDir::toNativeSeparators(QString::fromStdString(Path(name)));
  }
  // The command-line tool in the test's folder; what it wrote in cliOut_
  // and cliErr_.
  int Cli(const QStringList& args) {
    return velkan::ui::test::RunProgram(QStringLiteral(VELKAN_CLI_PATH), args, temp_.path(),
                                        &cliOut_, &cliErr_);
  }
  // A job of the test's HEX file with serial numbers, made and (with `key`)
  // signed as the owner does it; its id.
  std::string MakeJob(const std::string& name, int limit, const char* key,
                      const QStringList& extra = {}) {
    const QString file = QString::fromStdString(name);
    EXPECT_EQ(Cli(QStringList{"job", "create", file, "app.hex", "--name", "lot 7", "--notes",
                              "line 3 only", "--serial-at", "20F0", "--serial-start", "00000100",
                              "--count-limit", QString::number(limit)} +
                  extra),
              0)
        << cliErr_;
    const std::string id = cliOut_.substr(0, 64);
    if (key != nullptr) {
      EXPECT_EQ(Cli({"job", "sign", file, "--key", key}), 0) << cliErr_;
    }
    return id;
  }
  // The production window alone, as `velkan-tool --production` opens it.
  CProductionPage& OpenWindow() {
    window_ = std::make_unique<velkan::ui::ProductionWindow>(dialogs_);
    window_->show();
    QApplication::processEvents();
    CProductionPage& page = window_->Page();
    page.m_editLogDb->setText(QString::fromStdString(Path("production.db")));
    return page;
  }
  std::vector<ChipRecord> StoredRows() {
    std::string error;
    auto store = velkan::production::OpenRecordStore(
        Path("production.db"), velkan::production::StoreMode::kReadOnly, error);
    std::vector<ChipRecord> rows;
    if (store) {
      EXPECT_TRUE(store->Rows("", rows, error)) << error;
    }
    return rows;
  }
  // Nothing reached a chip: the sockets' chips are blank and no row was
  // written.
  void ExpectNothingProgrammed() {
    for (const auto& emulator : emulators_) {
      const auto flash = emulator->Flash();
      EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](auto b) { return b == 0xFF; }));
    }
    EXPECT_TRUE(StoredRows().empty());
  }
  void UseTrustedKey(CProductionPage& page, const char* file) {
    dialogs_.chosenKey = QString::fromStdString(Path(file));
    page.m_btnChooseKey->click();
  }
  void ChooseJob(CProductionPage& page, const std::string& name) {
    dialogs_.chosenJob = QString::fromStdString(Path(name));
    page.m_btnOpenJob->click();
  }
  // The chips come and go with the feeder on the real clock.
  void FeedSockets() {
    scoped_.reset();
    for (const auto& emulator : emulators_) emulator->SetFeeder(velkan::emu::Feeder{});
  }
  std::string LastBox() const { return dialogs_.boxes.empty() ? "" : dialogs_.boxes.back().text; }

  velkan::VirtualClock clock_;
  std::optional<velkan::ScopedClock> scoped_{std::in_place, clock_};
  std::vector<std::shared_ptr<velkan::emu::Emulator>> emulators_;
  QTemporaryDir temp_;
  std::string hexPath_;
  std::string cliOut_, cliErr_;
  FakeDialogs dialogs_;
  std::unique_ptr<velkan::ui::ProductionWindow> window_;
  std::unique_ptr<CVELKANToolV2xxxDlg> dialog_;
};

TEST_F(ProductionJobTest, ASignedJobRunsToItsLimitWithItsIdInEveryRow) {
#if defined(_WIN32)
  // This build runs no per-chip data generator: a job with one is refused
  // at the start, with nothing programmed.
  MakeJob("data.vjob", 3, "owner.pem", {"--chip-data", "echo 2100:C0FFEE"});
  {
    CProductionPage& page = OpenWindow();
    UseTrustedKey(page, "owner.pub");
    ChooseJob(page, "data.vjob");
    ASSERT_TRUE(page.JobOpen()) << LastBox();
    dialogs_.boxes.clear();
    page.m_btnStart->click();
    EXPECT_FALSE(page.IsRunning());
    EXPECT_FALSE(dialogs_.boxes.empty());
    ExpectNothingProgrammed();
    page.m_btnCloseJob->click();  // not the job the next window starts with
    window_.reset();
    dialogs_.boxes.clear();
  }
  const std::string id = MakeJob("lot.vjob", 3, "owner.pem");
  const std::string dataSha256;  // no generator, nothing in the row
#else
  const std::string id = MakeJob("lot.vjob", 3, "owner.pem", {"--chip-data", "echo 2100:C0FFEE"});
  const std::string dataSha256 = velkan::Sha256Hex("2100:C0FFEE\n");
#endif
  ASSERT_EQ(id.size(), 64u);
  CProductionPage& page = OpenWindow();
  UseTrustedKey(page, "owner.pub");
  page.m_editHexPath->setText(QStringLiteral("/nowhere/own.hex"));
  ChooseJob(page, "lot.vjob");
  ASSERT_TRUE(page.JobOpen()) << LastBox();
  EXPECT_EQ(page.JobId().toStdString(), id);
  // The chooser: job files, opened where the current job is.
  const int opened = dialogs_.jobChooserOpened;
  page.m_btnOpenJob->click();
  EXPECT_EQ(dialogs_.jobChooserOpened, opened + 1);
  EXPECT_EQ(dialogs_.jobChooserCurrent, NativePath("lot.vjob"));

  // What it holds is shown, and its settings stand in the locked inputs.
  const QString shown = page.m_labelJob->text();
  for (const QString& part : {QStringLiteral("lot 7"), QStringLiteral("line 3 only"),
                              QString::fromStdString(id.substr(0, 16)), QStringLiteral("镜像CRC"),
                              QStringLiteral("数量上限：3 片"), QStringLiteral("熔断：否"),
                              QStringLiteral("起始 00000100")}) {
    EXPECT_TRUE(shown.contains(part)) << shown.toStdString() << " lacks " << part.toStdString();
  }
  EXPECT_EQ(page.m_editHexPath->text(), QStringLiteral("app.hex"));
  EXPECT_TRUE(page.m_checkSerial->isChecked());
  EXPECT_EQ(page.m_editSerialAddress->text(), QStringLiteral("20F0"));
  EXPECT_EQ(page.m_editSerialStart->text(), QStringLiteral("00000100"));
  for (QWidget* w :
       std::initializer_list<QWidget*>{page.m_editHexPath, page.m_btnChooseHex, page.m_checkSerial,
                                       page.m_editSerialStart, page.m_checkFuse}) {
    EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
  }
  EXPECT_TRUE(page.m_btnCloseJob->isEnabled());
  EXPECT_EQ(page.NextSerial(), QStringLiteral("00000100"));

  // Two stations share the limit of 3 passed chips.
  page.m_radioNextAuto->setChecked(true);
  FeedSockets();
  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning()) << LastBox();
  ASSERT_TRUE(ServeUntil([&] { return !page.IsRunning(); }, 60000));
  EXPECT_TRUE(dialogs_.boxes.empty()) << LastBox();
  for (const ProgrammerTile* tile : page.Tiles()) {
    EXPECT_EQ(tile->ActivityText(), QStringLiteral("已达到作业数量上限（3 片）"));
  }
  std::vector<ChipRecord> rows = StoredRows();
  int passed = 0;
  for (const ChipRecord& row : rows) {
    EXPECT_EQ(row.jobId, id);
    if (!velkan::production::IsPass(row.result)) continue;
    ++passed;
    // The generator's piece went onto the chip: the row keeps its hash.
    EXPECT_EQ(row.dataSha256, dataSha256);
    EXPECT_EQ(row.hexName, "app.hex");
  }
  EXPECT_EQ(passed, 3);
  EXPECT_EQ(page.TotalPassed(), 3);

  // Started again: the limit holds over sessions, no chip is added.
  page.m_btnStart->click();
  ASSERT_TRUE(ServeUntil([&] { return !page.IsRunning(); }, 60000));
  EXPECT_EQ(StoredRows().size(), rows.size());
  EXPECT_EQ(page.Tiles()[0]->ActivityText(), QStringLiteral("已达到作业数量上限（3 片）"));

  // Closed: the page's own inputs come back.
  page.m_btnCloseJob->click();
  EXPECT_FALSE(page.JobOpen());
  EXPECT_EQ(page.m_editHexPath->text(), QStringLiteral("/nowhere/own.hex"));
  EXPECT_FALSE(page.m_checkSerial->isChecked());
  EXPECT_TRUE(page.m_editHexPath->isEnabled());
}

TEST_F(ProductionJobTest, RefusedJobsProgramNothing) {
  MakeJob("signed.vjob", 3, "owner.pem");
  MakeJob("unsigned.vjob", 3, nullptr);
  MakeJob("foreign.vjob", 3, "other.pem");
  // One HEX digit changed, the id left as it was.
  std::string text = ReadFile(Path("signed.vjob"));
  const std::size_t at = text.find(":10");
  ASSERT_NE(at, std::string::npos);
  text[at + 10] = text[at + 10] == '0' ? '1' : '0';
  WriteFile(Path("edited.vjob"), text);
  // The same change with its id made anew: only the signature tells.
  auto j = nlohmann::json::parse(text);
  const auto signature = j["signature"];
  j.erase("id");
  j.erase("signature");
  j["id"] = velkan::Sha256Hex(j.dump());
  j["signature"] = signature;
  WriteFile(Path("resealed.vjob"), j.dump(2));

  CProductionPage& page = OpenWindow();
  UseTrustedKey(page, "owner.pub");
  const struct {
    const char* job;
    const char* says;
  } cases[] = {
      {"edited.vjob", "作业文件在生成后被修改过"},
      {"resealed.vjob", "作业的签名不成立"},
      {"unsigned.vjob", "作业没有签名"},
      {"foreign.vjob", "作业不是由信任公钥签名的"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.job);
    dialogs_.boxes.clear();
    ChooseJob(page, c.job);
    EXPECT_FALSE(page.JobOpen());
    ASSERT_EQ(dialogs_.boxes.size(), 1u);
    const std::string& box = dialogs_.boxes[0].text;
    // The operator's words first, the check's own reason second.
    EXPECT_EQ(box.rfind("打开作业失败！\r\r", 0), 0u) << box;
    EXPECT_NE(box.find(c.says), std::string::npos) << box;
    EXPECT_LT(box.find(c.says), box.find("技术原因：")) << box;
    // With a trusted key nothing but a job of that key runs.
    page.m_btnStart->click();
    EXPECT_FALSE(page.IsRunning());
    EXPECT_NE(LastBox().find("已设置信任公钥"), std::string::npos) << LastBox();
  }
  ExpectNothingProgrammed();

  // A job changed after it was opened is refused at the start.
  ChooseJob(page, "signed.vjob");
  ASSERT_TRUE(page.JobOpen()) << LastBox();
  WriteFile(Path("signed.vjob"), ReadFile(Path("foreign.vjob")));
  dialogs_.boxes.clear();
  page.m_btnStart->click();
  EXPECT_FALSE(page.IsRunning());
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text.rfind("作业无法运行，未编程任何芯片！", 0), 0u)
      << dialogs_.boxes[0].text;
  ExpectNothingProgrammed();

  // Another trusted key closes the open job it does not sign.
  MakeJob("signed.vjob", 3, "owner.pem");
  ChooseJob(page, "signed.vjob");
  ASSERT_TRUE(page.JobOpen()) << LastBox();
  dialogs_.boxes.clear();
  UseTrustedKey(page, "other.pub");
  EXPECT_FALSE(page.JobOpen());
  EXPECT_NE(LastBox().find("作业不是由信任公钥签名的"), std::string::npos) << LastBox();
  ExpectNothingProgrammed();
}

TEST_F(ProductionJobTest, TheOpenJobAndTheTrustedKeyComeBackAfterARestart) {
  const std::string id = MakeJob("lot.vjob", 5, "owner.pem");
  {
    CProductionPage& page = OpenWindow();
    UseTrustedKey(page, "owner.pub");
    ChooseJob(page, "lot.vjob");
    ASSERT_TRUE(page.JobOpen()) << LastBox();
    page.m_btnStart->click();
    ASSERT_TRUE(page.IsRunning()) << LastBox();
    page.StopAndWait();
  }
  window_.reset();
  CProductionPage& again = OpenWindow();
  EXPECT_TRUE(again.JobOpen());
  EXPECT_EQ(again.JobId().toStdString(), id);
  EXPECT_EQ(again.JobPath(), NativePath("lot.vjob"));
  EXPECT_EQ(again.m_editTrustedKey->text(), NativePath("owner.pub"));

  // A job file replaced meanwhile does not come back; the page says so.
  MakeJob("lot.vjob", 6, "owner.pem");
  window_.reset();
  CProductionPage& third = OpenWindow();
  EXPECT_FALSE(third.JobOpen());
  EXPECT_TRUE(third.m_labelJob->text().contains(QStringLiteral("上次打开的作业")))
      << third.m_labelJob->text().toStdString();
  EXPECT_TRUE(dialogs_.boxes.empty()) << LastBox();
}

// Whether each input of the main window's three original pages is enabled.
std::vector<bool> OriginalPageInputs(CVELKANToolV2xxxDlg& dialog) {
  std::vector<bool> enabled;
  for (QWidget* page : std::initializer_list<QWidget*>{&dialog.m_onlinePage, &dialog.m_offlinePage,
                                                       &dialog.m_i2cPage}) {
    for (QWidget* w : page->findChildren<QWidget*>()) {
      if (qobject_cast<QLineEdit*>(w) || qobject_cast<QPushButton*>(w) ||
          qobject_cast<QCheckBox*>(w)) {
        enabled.push_back(w->isEnabled());
      }
    }
  }
  return enabled;
}

TEST_F(ProductionJobTest, OperatorModeLocksAllButTheJobStartStopAndNext) {
  MakeJob("lot.vjob", 0, "owner.pem");
  dialog_ = std::make_unique<CVELKANToolV2xxxDlg>(dialogs_);
  dialog_->show();
  QTabBar* bar = dialog_->m_tab.tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(3).center());
  QApplication::processEvents();
  CProductionPage& page = dialog_->m_productionPage;
  page.m_editLogDb->setText(QString::fromStdString(Path("production.db")));
  page.m_editHexPath->setText(QString::fromStdString(hexPath_));
  const std::vector<bool> before = OriginalPageInputs(*dialog_);
  ASSERT_FALSE(before.empty());
  ASSERT_TRUE(velkan::production::PasswordHashingAvailable());

  dialogs_.passwords = {QStringLiteral("bench-42"), QStringLiteral("bench-42")};
  page.m_checkOperator->click();
  ASSERT_TRUE(OperatorMode::Instance().Active()) << LastBox();
  EXPECT_TRUE(page.m_checkOperator->isChecked());
  EXPECT_EQ(OriginalPageInputs(*dialog_), before);
  // Every input but the job, start, stop and next is locked.
  for (QWidget* w : std::initializer_list<QWidget*>{
           page.m_editHexPath, page.m_btnChooseHex, page.m_editLogDb, page.m_btnChooseLog,
           page.m_checkSerial, page.m_editSerialAddress, page.m_editSerialStart,
           page.m_spinSerialStep, page.m_spinSerialBytes, page.m_comboSerialFormat,
           page.m_checkFuse, page.m_radioNextButton, page.m_radioNextAuto, page.m_editTrustedKey,
           page.m_btnChooseKey, page.m_btnCloseJob, page.m_btnUnknown}) {
    EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
  }
  EXPECT_TRUE(page.m_btnOpenJob->isEnabled());
  EXPECT_TRUE(page.m_btnStart->isEnabled());
  // The page's own inputs do not run for an operator.
  dialogs_.boxes.clear();
  page.m_btnStart->click();
  EXPECT_FALSE(page.IsRunning());
  EXPECT_EQ(LastBox(), "操作员模式下只能运行作业，请先打开作业！");

  // A job opens and runs; closing it is not the operator's.
  ChooseJob(page, "lot.vjob");
  ASSERT_TRUE(page.JobOpen()) << LastBox();
  EXPECT_FALSE(page.m_btnCloseJob->isEnabled());
  page.CloseJob();
  EXPECT_TRUE(page.JobOpen());
  page.m_btnStart->click();
  ASSERT_TRUE(page.IsRunning()) << LastBox();
  ASSERT_TRUE(ServeUntil([&] {
    return !page.Tiles().empty() &&
           std::all_of(page.Tiles().begin(), page.Tiles().end(), [](const ProgrammerTile* t) {
             return t->ActivityText() == QStringLiteral("请放入芯片，按下一片");
           });
  }));
  EXPECT_TRUE(page.m_btnStop->isEnabled());
  EXPECT_TRUE(page.m_btnNext->isEnabled());
  EXPECT_FALSE(page.m_btnOpenJob->isEnabled());
  EXPECT_FALSE(page.m_checkOperator->isEnabled());
  page.m_btnNext->click();
  ASSERT_TRUE(ServeUntil([&] { return page.TotalPassed() == 2; }));
  page.m_btnStop->click();
  page.WaitForRun();
  for (const ChipRecord& row : StoredRows()) EXPECT_EQ(row.jobId, page.JobId().toStdString());
  EXPECT_EQ(OriginalPageInputs(*dialog_), before);

  // The production window follows the mode.
  dialog_->ShowProductionWindow();
  CProductionPage& window = dialog_->ProductionWindowIfOpen()->Page();
  QApplication::processEvents();
  EXPECT_TRUE(window.m_checkOperator->isChecked());
  EXPECT_FALSE(window.m_editHexPath->isEnabled());
  EXPECT_TRUE(window.m_btnOpenJob->isEnabled());

  // --operator: the same, and not to be left from the window.
  OperatorMode::Instance().SetForced(true);
  EXPECT_FALSE(page.m_checkOperator->isEnabled());
  EXPECT_FALSE(OperatorMode::Instance().Leave(&page, dialogs_));
  EXPECT_NE(LastBox().find("--operator"), std::string::npos) << LastBox();
  EXPECT_TRUE(OperatorMode::Instance().Active());
  OperatorMode::Instance().SetForced(false);
  EXPECT_TRUE(OperatorMode::Instance().Active());  // the engineer's setting still holds
}

TEST_F(ProductionJobTest, TheEngineersPasswordIsKeptAsAnArgon2idHashOnly) {
  CProductionPage& page = OpenWindow();
  OperatorMode& mode = OperatorMode::Instance();
  const QString password = QStringLiteral("Lin3-Seven!");

  // Set twice, differently: nothing changes.
  dialogs_.passwords = {password, QStringLiteral("Lin3-Seven")};
  page.m_checkOperator->click();
  EXPECT_FALSE(mode.Active());
  EXPECT_FALSE(page.m_checkOperator->isChecked());
  EXPECT_EQ(LastBox(), "两次输入的密码不一致！未进入操作员模式。");
  EXPECT_EQ(dialogs_.passwordPrompts.size(), 2u);
  // An empty one is no password.
  dialogs_.passwords = {QString()};
  page.m_checkOperator->click();
  EXPECT_FALSE(mode.Active());
  EXPECT_FALSE(QSettings().contains(QStringLiteral("production/engineerPassword")));

  dialogs_.passwords = {password, password};
  page.m_checkOperator->click();
  ASSERT_TRUE(mode.Active()) << LastBox();
  const QString hash = QSettings().value(QStringLiteral("production/engineerPassword")).toString();
  EXPECT_TRUE(hash.startsWith(QStringLiteral("$argon2id$"))) << hash.toStdString();
  EXPECT_FALSE(hash.contains(password));
  // The settings hold the hash and never the password.
  QSettings settings;
  settings.sync();
  for (const QString& key : settings.allKeys()) {
    EXPECT_FALSE(settings.value(key).toString().contains(password)) << key.toStdString();
  }
  EXPECT_EQ(ReadFile(settings.fileName().toStdString()).find(password.toStdString()),
            std::string::npos);

  // A wrong password leaves it on; a cancelled question too.
  dialogs_.boxes.clear();
  dialogs_.passwords = {QStringLiteral("lin3-seven!")};
  page.m_checkOperator->click();
  EXPECT_TRUE(mode.Active());
  EXPECT_TRUE(page.m_checkOperator->isChecked());
  EXPECT_EQ(LastBox(), "密码错误！仍为操作员模式。");
  page.m_checkOperator->click();
  EXPECT_TRUE(mode.Active());
  // The right one leaves it.
  dialogs_.passwords = {password};
  page.m_checkOperator->click();
  EXPECT_FALSE(mode.Active());
  EXPECT_TRUE(page.m_editHexPath->isEnabled());

  // Once set, the password is not asked again to enter, and stays the same.
  const std::size_t asked = dialogs_.passwordPrompts.size();
  page.m_checkOperator->click();
  EXPECT_TRUE(mode.Active());
  EXPECT_EQ(dialogs_.passwordPrompts.size(), asked);
  EXPECT_EQ(QSettings().value(QStringLiteral("production/engineerPassword")).toString(), hash);
  dialogs_.passwords = {password};
  page.m_checkOperator->click();
  EXPECT_FALSE(mode.Active());
}

}  // namespace
