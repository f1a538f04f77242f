// The production record against what a desktop process does to files: the
// window's file dialogs on the record's folder, file type sniffing and a
// plain open and close of the record file (each releases every POSIX lock
// the process holds on the file), another program reading the record in
// between, then SIGKILL. Every chip the page showed as passed, and every
// chip that left its socket with the pass LED, is in the record.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "production/record_store.h"
#include "production/tray_audit.h"
#include "ui/ui_test_support.h"

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(ProductionRecordFault, PassedChipsSurviveFileDialogsAReaderAndAKill) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  const QDir dir(temp.path());
  ASSERT_TRUE(dir.mkpath(QStringLiteral("records")));
  const std::string hex = dir.filePath(QStringLiteral("app.hex")).toStdString();
  velkan::ui::test::WriteHex(hex, 256);
  const QString emulators = dir.filePath(QStringLiteral("emu"));
  const QString record = dir.filePath(QStringLiteral("records/production.db"));

  QProcess page;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
  page.setProcessEnvironment(env);
  page.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  page.start(QStringLiteral(VELKAN_RECORD_FAULT_PAGE),
             {emulators, QString::fromStdString(hex), record, QStringLiteral(VELKAN_TOOL_PATH)});
  ASSERT_TRUE(page.waitForStarted(10000));

  // Three rounds of openings, each followed by a reader; then two more
  // chips, and the kill.
  std::vector<std::string> shown;
  std::size_t shownAtLastRead = 0;
  int reads = 0;
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 90000 && page.state() == QProcess::Running) {
    if (reads >= 3 && shown.size() >= shownAtLastRead + 2) break;
    if (!page.canReadLine() && !page.waitForReadyRead(100)) continue;
    while (page.canReadLine()) {
      const std::string line = page.readLine().trimmed().toStdString();
      if (line.rfind("pass ", 0) == 0) shown.push_back(line.substr(5));
      if (line.rfind("poked ", 0) != 0 || reads >= 3) continue;
      QProcess reader;
      reader.start(QStringLiteral(VELKAN_RECORD_READER), {record});
      ASSERT_TRUE(reader.waitForFinished(15000));
      EXPECT_EQ(reader.exitCode(), 0) << reader.readAllStandardError().toStdString();
      ++reads;
      shownAtLastRead = shown.size();
    }
  }
  ASSERT_EQ(page.state(), QProcess::Running) << "the page ended by itself";
  page.kill();  // SIGKILL
  ASSERT_TRUE(page.waitForFinished(10000));
  while (page.canReadLine()) {
    const std::string line = page.readLine().trimmed().toStdString();
    if (line.rfind("pass ", 0) == 0) shown.push_back(line.substr(5));
  }
  ASSERT_EQ(reads, 3);
  ASSERT_GE(shown.size(), 8u);

  std::string error;
  auto store = velkan::production::OpenRecordStore(record.toStdString(),
                                                   velkan::production::StoreMode::kReadOnly, error);
  ASSERT_NE(store, nullptr) << error;
  std::vector<velkan::production::ChipRecord> rows;
  ASSERT_TRUE(store->Rows("", rows, error)) << error;
  std::set<std::string> passRows;
  for (const auto& row : rows) {
    if (row.result == velkan::production::ChipResult::kPass && row.chipSerial)
      passRows.insert(Upper(*row.chipSerial));
  }
  std::vector<std::string> missing;
  for (const std::string& serial : shown) {
    if (!passRows.count(Upper(serial))) missing.push_back(serial);
  }
  EXPECT_TRUE(missing.empty()) << "the page showed " << shown.size() << " passed chips; "
                               << missing.size() << " of them are not in the record (of "
                               << rows.size() << " rows), the first " << missing.front();

  std::vector<velkan::test::TrayChip> chips;
  ASSERT_TRUE(velkan::test::ReadTrays(emulators.toStdString(), chips, error)) << error;
  int leftPassed = 0;
  for (const auto& chip : chips) {
    if (chip.led != velkan::test::kPassLed) continue;
    ++leftPassed;
    ASSERT_TRUE(chip.serialHex.has_value()) << chip.tray;
    EXPECT_TRUE(passRows.count(Upper(*chip.serialHex)))
        << chip.tray << ": chip " << chip.chip << " (" << *chip.serialHex
        << ") left with the pass LED and is not in the record";
  }
  EXPECT_GE(leftPassed, 6);
}

}  // namespace
