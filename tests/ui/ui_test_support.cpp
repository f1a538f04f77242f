#include "ui/ui_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <memory>

namespace velkan::ui::test {

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings the pages keep go to this test program's own folder, never
    // to the user's.
    if (config_.isValid()) qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
    QCoreApplication::setOrganizationName(QStringLiteral("velkan-test"));
    QCoreApplication::setApplicationName(QStringLiteral("ui_tests"));
#if defined(_WIN32)
    // Windows keeps settings in the registry, one for every test program of
    // the prefix; these go to an INI file in this program's folder instead,
    // so that tests running side by side do not see each other's.
    QSettings::setDefaultFormat(QSettings::IniFormat);
    if (config_.isValid()) {
      QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config_.path());
    }
#endif
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override {
    app_.reset();
  }

 private:
  int argc_ = 1;
  char name_[16] = "ui_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
  QTemporaryDir config_;
};
[[maybe_unused]] const auto* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

// An application image of `bytes` bytes (rounded up to 16) from chip address
// 0x2000 on.
std::vector<std::uint8_t> WriteHex(const std::string& path, unsigned bytes) {
  std::vector<std::uint8_t> data((bytes + 15) / 16 * 16);
  std::ofstream out(path, std::ios::binary);
  for (unsigned offset = 0; offset < bytes; offset += 16) {
    const unsigned address = 0x2000 + offset;
    unsigned sum = 16 + (address >> 8) + (address & 0xFF);
    char line[64];
    int n = std::snprintf(line, sizeof line, ":10%04X00", address);
    for (unsigned i = 0; i < 16; ++i) {
      const auto byte = static_cast<std::uint8_t>((offset + i) * 13 + 1);
      data[offset + i] = byte;
      sum += byte;
      n += std::snprintf(line + n, sizeof line - n, "%02X", byte);
    }
    std::snprintf(line + n, sizeof line - n, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out << line;
  }
  out << ":00000001FF\r\n";
  return data;
}

int RunProgram(const QString& program, const QStringList& args, const QString& folder,
               std::string* out, std::string* err, int limitMs) {
  QProcess process;
  process.setWorkingDirectory(folder);
  process.setStandardInputFile(QProcess::nullDevice());
  process.start(program, args);
  const bool ended = process.waitForStarted(limitMs) && process.waitForFinished(limitMs);
  if (!ended) {
    process.kill();
    process.waitForFinished(5000);
  }
  if (out != nullptr) *out = process.readAllStandardOutput().toStdString();
  if (err != nullptr) *err = process.readAllStandardError().toStdString();
  if (!ended || process.exitStatus() != QProcess::NormalExit) return -1;
  return process.exitCode();
}

}  // namespace velkan::ui::test
