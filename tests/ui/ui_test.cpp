// The desktop application offscreen: tab switching, the programming pages'
// handlers, whole runs through the GUI against the emulated programmer, the
// I2C page and closing during a run. Message boxes and the file chooser are
// answered here; waits run on the virtual clock.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <QUrl>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "common/clock.h"
#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "script/session.h"
#include "ui/app.h"
#include "ui/cts1.h"
#include "ui/main_dialog.h"
#include "ui/ui_test_support.h"
#include "velkan/velkan.h"

namespace {

using velkan::MsgButtons;
using velkan::MsgIcon;
using velkan::MsgResult;
using velkan::ui::test::FakeDialogs;
using velkan::ui::test::WriteHex;

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator_ = velkan::UseEmulator(std::nullopt);
    ASSERT_NE(emulator_, nullptr);
    velkan::SetReaderHandle(0);
    ASSERT_TRUE(temp_.isValid());
    dialog_ = std::make_unique<CVELKANToolV2xxxDlg>(dialogs_);
    dialog_->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    dialog_.reset();
    const int handle = velkan::ReaderHandle();
    if (handle != 0 && handle != -2) DllCloseReader(handle);
    velkan::SetReaderHandle(0);
  }

  std::string TempPath(const char* name) const {
    return QDir(temp_.path()).filePath(QString::fromLatin1(name)).toStdString();
  }

  void ClickTab(int index) {
    QTabBar* bar = dialog_->m_tab.tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
  }

  static bool InputsEnabled(const velkan::ui::ProgrammingPage& page) {
    return page.m_btnStart->isEnabled() && page.m_checkFuse->isEnabled() &&
           page.m_btnChoose->isEnabled() && page.m_editHexPath->isEnabled();
  }
  static bool InputsDisabled(const velkan::ui::ProgrammingPage& page) {
    return !page.m_btnStart->isEnabled() && !page.m_checkFuse->isEnabled() &&
           !page.m_btnChoose->isEnabled() && !page.m_editHexPath->isEnabled();
  }

  // Types a path and presses the start button, as a user would.
  static void TypeAndStart(velkan::ui::ProgrammingPage& page, const std::string& path) {
    page.m_editHexPath->clear();
    QTest::keyClicks(page.m_editHexPath, QString::fromStdString(path));
    QTest::mouseClick(page.m_btnStart, Qt::LeftButton);
  }

  static void FinishRun(velkan::ui::ProgrammingPage& page) {
    page.WaitForRun();
    QApplication::processEvents();
  }

  velkan::VirtualClock clock_;
  velkan::ScopedClock scoped_{clock_};
  std::shared_ptr<velkan::emu::Emulator> emulator_;
  QTemporaryDir temp_;
  FakeDialogs dialogs_;
  std::unique_ptr<CVELKANToolV2xxxDlg> dialog_;
};

TEST_F(UiTest, MainWindowStartsWithItsTabsAndTheOnlinePage) {
  CVELKANToolV2xxxDlg& d = *dialog_;
  EXPECT_EQ(d.windowTitle(), QStringLiteral("VELKAN Tool V2.0.0.6"));
  EXPECT_EQ(d.minimumSize(), d.maximumSize());
  EXPECT_FALSE(d.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_FALSE(d.windowIcon().isNull());

  QTabBar* bar = d.m_tab.tabBar();
  // The three pages as they always were, then production.
  ASSERT_EQ(bar->count(), 4);
  EXPECT_EQ(bar->tabText(0), QStringLiteral("联机编程"));
  EXPECT_EQ(bar->tabText(1), QStringLiteral("脱机下载"));
  EXPECT_EQ(bar->tabText(2), QStringLiteral("I2C测试"));
  EXPECT_EQ(bar->tabText(3), QStringLiteral("量产"));
  EXPECT_EQ(d.m_tab.m_pageCount, 4);
  EXPECT_EQ(d.m_tab.m_templateIds[0], 129u);
  EXPECT_EQ(d.m_tab.m_templateIds[1], 132u);
  EXPECT_EQ(d.m_tab.m_templateIds[2], 131u);
  EXPECT_EQ(d.m_tab.m_pages[3], &d.m_productionPage);
  EXPECT_TRUE(d.m_onlinePage.isVisible());
  EXPECT_FALSE(d.m_offlinePage.isVisible());
  EXPECT_FALSE(d.m_i2cPage.isVisible());
  EXPECT_FALSE(d.m_productionPage.isVisible());

  // Every page lies in the display area below the tabs, inside the control.
  const QRect area = d.m_onlinePage.geometry();
  EXPECT_GT(area.top(), bar->tabRect(0).bottom());
  EXPECT_TRUE(d.m_tab.rect().contains(area));
  EXPECT_EQ(d.m_offlinePage.geometry(), area);
  EXPECT_EQ(d.m_i2cPage.geometry(), area);
  EXPECT_EQ(d.m_productionPage.geometry(), area);
  // Nothing of the production page reaches outside it once it shows.
  ClickTab(3);
  ASSERT_TRUE(d.m_productionPage.isVisible());
  for (const QWidget* child :
       d.m_productionPage.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    EXPECT_TRUE(d.m_productionPage.rect().contains(child->geometry()))
        << child->objectName().toStdString();
  }
  ClickTab(0);

  // Keyboard order follows the template: path, "...", fuse, start, log box
  // (the offline page's log box takes Tab focus, the online page's does not).
  auto tabChain = [](QWidget* first) {
    std::vector<QString> names;
    QWidget* w = first;
    do {
      if (w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) && !w->objectName().isEmpty())
        names.push_back(w->objectName());
      w = w->nextInFocusChain();
    } while (w != first && names.size() < 8);
    return names;
  };
  const auto chain = tabChain(d.m_offlinePage.m_editHexPath);
  ASSERT_GE(chain.size(), 5u);
  EXPECT_EQ(chain[0], QStringLiteral("hexPath"));
  EXPECT_EQ(chain[1], QStringLiteral("chooseHex"));
  EXPECT_EQ(chain[2], QStringLiteral("fuse"));
  EXPECT_EQ(chain[3], QStringLiteral("start"));
  EXPECT_EQ(chain[4], QStringLiteral("log"));
  EXPECT_FALSE(d.m_onlinePage.m_editLog->focusPolicy() & Qt::TabFocus);
}

TEST_F(UiTest, TabPressesSwitchPagesAndKeepTheirFields) {
  CVELKANToolV2xxxDlg& d = *dialog_;
  QTest::keyClicks(d.m_onlinePage.m_editHexPath, QStringLiteral("/some/where/app.hex"));

  ClickTab(2);
  EXPECT_EQ(d.m_tab.m_currentPage, 2);
  EXPECT_TRUE(d.m_i2cPage.isVisible());
  EXPECT_FALSE(d.m_onlinePage.isVisible());

  // A press on the current tab changes nothing.
  ClickTab(2);
  EXPECT_EQ(d.m_tab.m_currentPage, 2);
  EXPECT_TRUE(d.m_i2cPage.isVisible());

  // A press beside the tabs, on the bar or on the control's frame, neither.
  QTabBar* bar = d.m_tab.tabBar();
  const QPoint beside(bar->width() - 3, bar->height() / 2);
  ASSERT_EQ(bar->tabAt(beside), -1);
  QTest::mouseClick(bar, Qt::LeftButton, {}, beside);
  QTest::mouseClick(&d.m_tab, Qt::LeftButton, {},
                    QPoint(d.m_tab.width() - 1, d.m_tab.height() - 1));
  EXPECT_EQ(d.m_tab.m_currentPage, 2);
  EXPECT_TRUE(d.m_i2cPage.isVisible());

  // Neither the wheel nor a right press switches.
  QTest::mouseClick(bar, Qt::RightButton, {}, bar->tabRect(1).center());
  EXPECT_EQ(d.m_tab.m_currentPage, 2);
  EXPECT_TRUE(d.m_i2cPage.isVisible());

  ClickTab(0);
  EXPECT_EQ(d.m_tab.m_currentPage, 0);
  EXPECT_TRUE(d.m_onlinePage.isVisible());
  EXPECT_FALSE(d.m_i2cPage.isVisible());
  EXPECT_EQ(d.m_onlinePage.m_editHexPath->text(), QStringLiteral("/some/where/app.hex"));

  ClickTab(1);
  EXPECT_TRUE(d.m_offlinePage.isVisible());
  EXPECT_FALSE(d.m_onlinePage.isVisible());
}

TEST(CTS1Test, PageTableAndLayout) {
  CTS1 tab;
  QWidget pages[17];
  for (int i = 0; i < 17; ++i) tab.AddPage(&pages[i], 200 + i, "p");
  EXPECT_EQ(tab.m_pageCount, 16);
  EXPECT_EQ(tab.m_pages[15], &pages[15]);
  EXPECT_EQ(tab.m_templateIds[15], 215u);

  EXPECT_EQ(velkan::ui::PageRectangle(500, 300, 2, 20), QRect(2, 21, 496, 277));
}

TEST(AppArgumentsTest, HelpEmulatorAndUnknownArguments) {
  using velkan::ui::ParseArguments;
  auto help = ParseArguments({QStringLiteral("--help")});
  ASSERT_TRUE(help.has_value());
  EXPECT_TRUE(help->help);
  EXPECT_TRUE(ParseArguments({QStringLiteral("-h")}).value().help);
  EXPECT_FALSE(ParseArguments({}).value().help);

  auto withDir = ParseArguments({QStringLiteral("--emulator=state")});
  ASSERT_TRUE(withDir.has_value());
  EXPECT_TRUE(withDir->emulator);
  EXPECT_EQ(withDir->emulatorDir, std::optional<std::string>("state"));
  EXPECT_FALSE(ParseArguments({QStringLiteral("--emulator=")}).has_value());
  EXPECT_FALSE(ParseArguments({QStringLiteral("--bogus")}).has_value());
  EXPECT_TRUE(ParseArguments({QStringLiteral("--production")}).value().production);
  EXPECT_FALSE(ParseArguments({}).value().production);
  // --operator: the production window in operator mode.
  const auto line = ParseArguments({QStringLiteral("--emulator"), QStringLiteral("--operator")});
  ASSERT_TRUE(line.has_value());
  EXPECT_TRUE(line->operatorMode);
  EXPECT_TRUE(line->production);
  EXPECT_FALSE(ParseArguments({QStringLiteral("--production")}).value().operatorMode);
  EXPECT_FALSE(ParseArguments({QStringLiteral("--operator=1")}));

  EXPECT_TRUE(ParseArguments({QStringLiteral("--version")}).value().version);
  EXPECT_EQ(
      ParseArguments({QStringLiteral("--screenshot"), QStringLiteral("a.png")}).value().screenshot,
      std::optional<std::string>("a.png"));
  EXPECT_EQ(ParseArguments({QStringLiteral("--screenshot=b.png")}).value().screenshot,
            std::optional<std::string>("b.png"));
  EXPECT_FALSE(ParseArguments({QStringLiteral("--screenshot")}));
  EXPECT_FALSE(ParseArguments({QStringLiteral("--screenshot=")}));

  auto several = ParseArguments(
      {QStringLiteral("--emulator=state"), QStringLiteral("--emulators"), QStringLiteral("4")});
  ASSERT_TRUE(several.has_value());
  EXPECT_EQ(several->emulators, 4u);
  EXPECT_EQ(ParseArguments({QStringLiteral("--emulator"), QStringLiteral("--emulators=2")})
                .value()
                .emulators,
            2u);
  for (const char* bad : {"--emulators=0", "--emulators=65", "--emulators=x", "--emulators"}) {
    EXPECT_FALSE(ParseArguments({QStringLiteral("--emulator"), QString::fromLatin1(bad)})) << bad;
  }
  EXPECT_FALSE(ParseArguments({QStringLiteral("--emulators=2")}));  // without the emulator

  EXPECT_FALSE(ParseArguments({QStringLiteral("--emulator")}).value().usbLatency);
  auto usb = ParseArguments(
      {QStringLiteral("--emulator"), QStringLiteral("--emulator-latency"), QStringLiteral("usb")});
  ASSERT_TRUE(usb.has_value());
  EXPECT_TRUE(usb->usbLatency);
  EXPECT_FALSE(ParseArguments(
                   {QStringLiteral("--emulator=state"), QStringLiteral("--emulator-latency=none")})
                   .value()
                   .usbLatency);
  for (const char* bad : {"--emulator-latency=fast", "--emulator-latency=", "--emulator-latency"}) {
    EXPECT_FALSE(ParseArguments({QStringLiteral("--emulator"), QString::fromLatin1(bad)})) << bad;
  }
  EXPECT_FALSE(ParseArguments({QStringLiteral("--emulator-latency=usb")}));  // without the emulator
  EXPECT_TRUE(ParseArguments({QStringLiteral("--emulator"), QStringLiteral("--emulator-feeder")})
                  .value()
                  .feeder);
  EXPECT_FALSE(ParseArguments({QStringLiteral("--emulator")}).value().feeder);
  EXPECT_FALSE(ParseArguments({QStringLiteral("--emulator-feeder")}));  // without the emulator
  const auto tray =
      ParseArguments({QStringLiteral("--emulator"), QStringLiteral("--emulator-feeder"),
                      QStringLiteral("--emulator-tray-serial"), QStringLiteral("0x9FF0:4")});
  ASSERT_TRUE(tray.has_value());
  EXPECT_EQ(tray->traySerial, std::make_pair(std::uint32_t{0x9FF0}, std::size_t{4}));
  EXPECT_TRUE(ParseArguments({QStringLiteral("--emulator"), QStringLiteral("--emulator-feeder"),
                              QStringLiteral("--emulator-tray-serial=2000:8")}));
  for (const char* bad :
       {"--emulator-tray-serial=9FFF:2", "--emulator-tray-serial=2000", "--emulator-tray-serial"}) {
    EXPECT_FALSE(ParseArguments({QStringLiteral("--emulator"), QStringLiteral("--emulator-feeder"),
                                 QString::fromLatin1(bad)}))
        << bad;
  }
  EXPECT_FALSE(ParseArguments(  // without the feeder
      {QStringLiteral("--emulator"), QStringLiteral("--emulator-tray-serial=2000:8")}));

  // --help starts with the build's version, the one in the window caption.
  const std::string usage = velkan::ui::UsageText();
  EXPECT_EQ(usage.substr(0, usage.find('\n')), "velkan-tool 2.0.0.6 (VELKAN Tool V2.0.0.6)");
  EXPECT_NE(usage.find("  --operator "), std::string::npos) << usage;
}

// Icon 128 comes from the static UI library's resources, which are there at
// run time only when the library initialises them.
TEST_F(UiTest, WindowIconIsTheApplicationIcon) {
  ASSERT_TRUE(QFile::exists(QStringLiteral(":/velkan/velkan.png")));
  EXPECT_EQ(QImage(QStringLiteral(":/velkan/velkan.png")).size(), QSize(32, 32));

  // The big and the small icon: both sizes draw the picture.
  const QIcon icon = dialog_->windowIcon();
  EXPECT_TRUE(icon.availableSizes().contains(QSize(32, 32)));
  for (int size : {16, 32, 48}) {
    const QImage image = icon.pixmap(size, size).toImage();
    ASSERT_FALSE(image.isNull()) << size;
    bool drawn = false;
    for (int y = 0; y < image.height() && !drawn; ++y) {
      for (int x = 0; x < image.width() && !drawn; ++x) drawn = qAlpha(image.pixel(x, y)) != 0;
    }
    EXPECT_TRUE(drawn) << size;
  }
}

namespace {

// Sends a drag over `page` and, when the page takes it, the drop.
bool DragAndDrop(QWidget& page, QMimeData& data) {
  const QPointF at(page.width() / 2.0, page.height() / 2.0);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&page, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&page, &drop);
  return drop.isAccepted();
}

}  // namespace

TEST_F(UiTest, DroppedLocalHexFileIsTakenAsTheChosenFile) {
  velkan::ui::ProgrammingPage& page = dialog_->m_offlinePage;
  const std::string hex = TempPath("dropped_application_image.HEX");
  WriteHex(hex, 16);
  const std::string other = TempPath("notes.txt");
  std::ofstream(other) << "text\n";
  QTest::keyClicks(page.m_editHexPath, QStringLiteral("typed.hex"));
  // The path box leaves drops to the page: it would insert the URL's text.
  EXPECT_FALSE(page.m_editHexPath->acceptDrops());

  auto urls = [](std::initializer_list<QUrl> list) {
    auto data = std::make_unique<QMimeData>();
    data->setUrls(QList<QUrl>(list));
    return data;
  };
  const QUrl hexUrl = QUrl::fromLocalFile(QString::fromStdString(hex));
  // Refused: text, a remote file, two files, a folder, a file the chooser
  // would not offer, a file that is not there.
  QMimeData text;
  text.setText(hexUrl.toString());
  EXPECT_FALSE(DragAndDrop(page, text));
  EXPECT_FALSE(DragAndDrop(page, *urls({QUrl(QStringLiteral("https://example.org/app.hex"))})));
  EXPECT_FALSE(DragAndDrop(page, *urls({hexUrl, hexUrl})));
  EXPECT_FALSE(DragAndDrop(page, *urls({QUrl::fromLocalFile(temp_.path())})));
  EXPECT_FALSE(DragAndDrop(page, *urls({QUrl::fromLocalFile(QString::fromStdString(other))})));
  EXPECT_FALSE(DragAndDrop(page, *urls({QUrl::fromLocalFile(temp_.path() + "/gone.hex")})));
  EXPECT_EQ(page.m_editHexPath->text(), QStringLiteral("typed.hex"));

  // Taken: the path, not the URL, as "..." would set it, caret at its end;
  // the next start uses it.
  ASSERT_TRUE(DragAndDrop(page, *urls({hexUrl})));
  const QString path = QDir::toNativeSeparators(QString::fromStdString(hex));
  EXPECT_EQ(page.m_editHexPath->text(), path);
  EXPECT_EQ(page.HexPath(), path.toStdString());
  EXPECT_EQ(page.m_editHexPath->cursorPosition(), path.size());
  QTest::mouseClick(page.m_btnStart, Qt::LeftButton);
  FinishRun(page);
  EXPECT_TRUE(dialogs_.boxes.empty());
  EXPECT_EQ(emulator_->OfflineName(), "dropped_application_image.HEX");

  // While a run holds the page, its path cannot change.
  page.EnableInputs(false);
  EXPECT_FALSE(DragAndDrop(page, *urls({QUrl::fromLocalFile(temp_.path() + "/x.hex")})));
  page.EnableInputs(true);
}

// Qt's own texts in its dialogs (Debian package qt6-translations-l10n).
TEST(ToolkitTranslationTest, StandardDialogsReadChinese) {
  QTranslator translator;
  ASSERT_TRUE(velkan::ui::LoadToolkitTranslation(translator))
      << "Qt's Chinese translation (qtbase_zh_CN.qm) is not in "
      << QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString();

  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("警告"), QStringLiteral("?"),
                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Cancel);
  EXPECT_TRUE(box.button(QMessageBox::Yes)->text().startsWith(QStringLiteral("是")));
  EXPECT_TRUE(box.button(QMessageBox::No)->text().startsWith(QStringLiteral("否")));
  EXPECT_TRUE(box.button(QMessageBox::Ok)->text().startsWith(QStringLiteral("确定")));
  EXPECT_TRUE(box.button(QMessageBox::Cancel)->text().startsWith(QStringLiteral("取消")));

  // The file chooser the pages open (the toolkit's own, offscreen).
  QFileDialog chooser;
  chooser.setOption(QFileDialog::DontUseNativeDialog);
  chooser.setAcceptMode(QFileDialog::AcceptOpen);
  auto* buttons = chooser.findChild<QDialogButtonBox*>();
  ASSERT_NE(buttons, nullptr);
  ASSERT_NE(buttons->button(QDialogButtonBox::Open), nullptr);
  EXPECT_TRUE(buttons->button(QDialogButtonBox::Open)->text().contains(QStringLiteral("打开")));
  // Its columns and file types, and dates in the Chinese way.
  EXPECT_NE(QCoreApplication::translate("QFileSystemModel", "Date Modified"),
            QStringLiteral("Date Modified"));
  EXPECT_NE(QCoreApplication::translate("QAbstractFileIconProvider", "Folder"),
            QStringLiteral("Folder"));
  EXPECT_EQ(QLocale().language(), QLocale::Chinese);
  EXPECT_TRUE(
      QLocale().toString(QDate(2024, 5, 1), QLocale::LongFormat).contains(QStringLiteral("年")));
  QCoreApplication::removeTranslator(&translator);
  QLocale::setDefault(QLocale::c());
}

// The choosers open in the folder of the file chosen now (the nearest
// existing folder above a record not yet made), and the record's chooser
// is an open dialog that takes an existing file.
TEST(ChooserTest, OpenInTheCurrentFilesFolderAndTakeAnExistingRecord) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  const QString folder = QDir(temp.path()).filePath(QStringLiteral("records"));
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString record = QDir(folder).filePath(QStringLiteral("line1.db"));
  { std::ofstream(record.toStdString()) << "x"; }
  using velkan::ui::ChooserFolder;
  EXPECT_EQ(ChooserFolder(record), QDir(folder).absolutePath());
  EXPECT_EQ(ChooserFolder(QDir(folder).filePath(QStringLiteral("new/deeper/p.db"))),
            QDir(folder).absolutePath());
  EXPECT_EQ(ChooserFolder(QString()), QDir::currentPath());

  velkan::ui::QtUiDialogs dialogs;
  QString shownIn;
  bool openDialog = false;
  QTimer::singleShot(0, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* chooser = qobject_cast<QFileDialog*>(w);
      if (chooser == nullptr || !chooser->isVisible()) continue;
      shownIn = chooser->directory().absolutePath();
      openDialog = chooser->acceptMode() == QFileDialog::AcceptOpen;
      chooser->selectFile(record);
      QMetaObject::invokeMethod(chooser, "accept");
    }
  });
  const std::optional<QString> chosen = dialogs.ChooseLogDatabase(nullptr, record);
  EXPECT_EQ(shownIn, QDir(folder).absolutePath());
  EXPECT_TRUE(openDialog);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(QFileInfo(*chosen).absoluteFilePath(), QFileInfo(record).absoluteFilePath());
}

// A short text under its caption: the box is wide enough for the caption
// beside the title bar's buttons, and never a sliver.
TEST(MessageBoxWidthTest, BoxesAreWideEnoughForTheirCaption) {
  for (const char* caption : {"提示", "地址非法", "a caption far wider than the text of its box"}) {
    std::unique_ptr<QMessageBox> box = velkan::ui::MakeMessageBox(
        nullptr, "打开设备失败！", caption, velkan::MsgButtons::kOk, velkan::MsgIcon::kNone);
    box->setWindowModality(Qt::NonModal);
    box->show();
    QApplication::processEvents();
    const QFontMetrics metrics(box->font());
    EXPECT_GE(box->width(),
              metrics.horizontalAdvance(QString::fromUtf8(caption)) + 10 * metrics.height())
        << caption;
    EXPECT_GE(box->width(), 30 * metrics.averageCharWidth()) << caption;
    EXPECT_EQ(box->windowTitle(), QString::fromUtf8(caption));
    box->close();
  }
}

TEST_F(UiTest, FileChooserAndTypedPath) {
  velkan::ui::ProgrammingPage& page = dialog_->m_onlinePage;
  QTest::keyClicks(page.m_editHexPath, QStringLiteral("typed.hex"));

  // Cancelled: the typed path is the page's HEX path.
  QTest::mouseClick(page.m_btnChoose, Qt::LeftButton);
  EXPECT_EQ(dialogs_.chooserOpened, 1);
  EXPECT_EQ(page.HexPath(), "typed.hex");
  EXPECT_EQ(page.m_editHexPath->text(), QStringLiteral("typed.hex"));

  // Chosen: the box shows the path the way the system writes it (with
  // backslashes on Windows), with the caret (and view) at its end.
  const QString chosen = QStringLiteral(
      "/a/very/long/folder/name/that/goes/on/and/on/for/"
      "quite/a/while/before/it/ends/in/the/app_image.hex");
  const QString longPath = QDir::toNativeSeparators(chosen);
  dialogs_.chosenFile = chosen;
  QTest::mouseClick(page.m_btnChoose, Qt::LeftButton);
  EXPECT_EQ(page.m_editHexPath->text(), longPath);
  EXPECT_EQ(page.HexPath(), longPath.toStdString());
  EXPECT_EQ(page.m_editHexPath->cursorPosition(), longPath.size());
}

TEST_F(UiTest, FuseNeedsConfirmation) {
  velkan::ui::ProgrammingPage& page = dialog_->m_offlinePage;
  dialogs_.answers = {MsgResult::kNo};
  QTest::mouseClick(page.m_checkFuse, Qt::LeftButton);
  EXPECT_FALSE(page.m_checkFuse->isChecked());
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, "熔断后，芯片将不可再编程！\r\r  请确认是否要熔断！");
  EXPECT_EQ(dialogs_.boxes[0].caption, "警告");
  EXPECT_EQ(dialogs_.boxes[0].buttons, MsgButtons::kYesNo);
  EXPECT_EQ(dialogs_.boxes[0].icon, MsgIcon::kWarning);
  EXPECT_EQ(dialogs_.boxes[0].owner, &page);
  EXPECT_FALSE(dialogs_.boxes[0].defaultNo);  // the programming pages keep their 是

  dialogs_.answers = {MsgResult::kYes};
  QTest::mouseClick(page.m_checkFuse, Qt::LeftButton);
  EXPECT_TRUE(page.m_checkFuse->isChecked());
  EXPECT_TRUE(page.FuseChosen());

  // Unticking asks nothing.
  QTest::mouseClick(page.m_checkFuse, Qt::LeftButton);
  EXPECT_FALSE(page.m_checkFuse->isChecked());
  EXPECT_EQ(dialogs_.boxes.size(), 2u);

  // The "\r\r" of the question shows as line breaks.
  EXPECT_EQ(velkan::ui::DisplayText("a\r\rb\r\nc"), QStringLiteral("a\n\nb\nc"));
}

TEST_F(UiTest, StartWithEmptyPathStartsNothing) {
  velkan::ui::ProgrammingPage& page = dialog_->m_onlinePage;
  QTest::mouseClick(page.m_btnStart, Qt::LeftButton);
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, "请打开hex文件！");
  EXPECT_EQ(dialogs_.boxes[0].caption, "提示");
  EXPECT_FALSE(page.IsRunning());
  EXPECT_TRUE(InputsEnabled(page));
  EXPECT_FALSE(velkan::ProgrammerBusy());
  EXPECT_EQ(emulator_->ExchangeCount(), 0u);
}

TEST_F(UiTest, LogBoxShowsWholeLogAndTransientProgress) {
  velkan::ui::ProgrammingPage& page = dialog_->m_onlinePage;
  page.Append("联机编程...\r\n");
  page.ShowProgress(30);
  EXPECT_EQ(page.m_editLog->toPlainText(), QStringLiteral("联机编程...\n30%"));
  page.Show();
  EXPECT_EQ(page.m_editLog->toPlainText(), QStringLiteral("联机编程...\n"));
  EXPECT_EQ(page.LogText(), "联机编程...\r\n");

  // From another thread the call waits until this thread has served it.
  std::thread worker([&page] {
    page.Append("下载成功！\r\n");
    page.ShowProgress(100);
    page.EnableInputs(false);
  });
  while (page.m_btnStart->isEnabled()) QApplication::processEvents();
  worker.join();
  EXPECT_EQ(page.m_editLog->toPlainText(), QStringLiteral("联机编程...\n下载成功！\n100%"));
  EXPECT_TRUE(InputsDisabled(page));
  EXPECT_FALSE(page.m_editLog->toPlainText().contains(QLatin1Char('\r')));
}

TEST_F(UiTest, OnlineRunThroughTheGui) {
  velkan::ui::ProgrammingPage& page = dialog_->m_onlinePage;
  const std::string path = TempPath("app.hex");
  const std::vector<std::uint8_t> data = WriteHex(path, 300);

  TypeAndStart(page, path);
  // Locked and holding the programmer before the run has done anything.
  EXPECT_TRUE(page.IsRunning());
  EXPECT_TRUE(InputsDisabled(page));
  EXPECT_TRUE(velkan::ProgrammerBusy());
  const auto script = page.Script();
  page.StartProgramming();  // a second press cannot start a second run
  EXPECT_EQ(page.Script(), script);

  QSignalSpy finished(&page, &velkan::ui::ProgrammingPage::runFinished);
  FinishRun(page);
  EXPECT_EQ(finished.count(), 1);
  EXPECT_FALSE(page.IsRunning());
  EXPECT_TRUE(InputsEnabled(page));
  EXPECT_FALSE(velkan::ProgrammerBusy());
  EXPECT_EQ(page.LogText(), "打开设备成功！\r\n联机编程...\r\n下载成功！\r\n");
  EXPECT_EQ(page.m_editLog->toPlainText(),
            QStringLiteral("打开设备成功！\n联机编程...\n下载成功！\n"));
  const auto flash = emulator_->Flash();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
  EXPECT_EQ(emulator_->Led(), 2);

  // A second run: the log box shows only the second run's output.
  TypeAndStart(page, path);
  FinishRun(page);
  EXPECT_EQ(page.m_editLog->toPlainText(), QStringLiteral("联机编程...\n下载成功！\n"));
}

#if !defined(_WIN32)
// The start press reads the HEX file once: a FIFO written once programs the
// chip; a file that is not there gives the page's own message.
TEST_F(UiTest, StartReadsTheHexFileOnce) {
  velkan::ui::ProgrammingPage& page = dialog_->m_onlinePage;
  const std::string source = TempPath("source.hex");
  const std::vector<std::uint8_t> data = WriteHex(source, 300);
  const std::string fifo = TempPath("fifo.hex");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ifstream in(source, std::ios::binary);
    std::ofstream(fifo, std::ios::binary) << in.rdbuf();
  });
  TypeAndStart(page, fifo);
  writer.join();
  FinishRun(page);
  EXPECT_EQ(page.LogText(), "打开设备成功！\r\n联机编程...\r\n下载成功！\r\n");
  const auto flash = emulator_->Flash();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));

  TypeAndStart(page, TempPath("missing.hex"));
  ASSERT_FALSE(dialogs_.boxes.empty());
  EXPECT_EQ(dialogs_.boxes.back().text, "hex文件打开错误！");
  EXPECT_FALSE(page.IsRunning());
}
#endif

TEST_F(UiTest, OfflineRunThroughTheGui) {
  velkan::ui::ProgrammingPage& page = dialog_->m_offlinePage;
  const std::string path = TempPath("demo.hex");
  WriteHex(path, 256);
  dialogs_.answers = {MsgResult::kYes};
  QTest::mouseClick(page.m_checkFuse, Qt::LeftButton);

  TypeAndStart(page, path);
  EXPECT_TRUE(InputsDisabled(page));
  FinishRun(page);
  EXPECT_TRUE(InputsEnabled(page));
  const QString log = page.m_editLog->toPlainText();
  EXPECT_TRUE(
      log.startsWith(QStringLiteral("打开设备成功！\n脱机程序装载...\n脱机文件装载正确！\n")))
      << log.toStdString();
  EXPECT_TRUE(log.contains(QStringLiteral("熔断位已选择，编程后将锁死，不能再编程！\n")));
  EXPECT_TRUE(log.endsWith(QStringLiteral("切换至OFFLINE模式，然后上电进行脱机下载！\n")));
  EXPECT_EQ(emulator_->OfflineName(), "demo.hex");
  // begin, 4 header lines, 2 data lines, CRC line, fuse line, end
  const auto records = emulator_->OfflineRecords();
  ASSERT_EQ(records.size(), 10u);
  EXPECT_EQ(records.back().kind, 0x03);
  EXPECT_EQ(records[8].content, (std::vector<std::uint8_t>{0x08, 0x01, 0x00, 0x00}));
}

TEST_F(UiTest, NoProgrammerDuringARunGivesOneMessageAndUnlocks) {
  velkan::ui::ProgrammingPage& page = dialog_->m_onlinePage;
  const std::string path = TempPath("app.hex");
  WriteHex(path, 16);
  velkan::emu::Fault unplug;
  unplug.kind = velkan::emu::FaultKind::kUnplug;
  emulator_->InjectFault(unplug);
  const int handle = DllOpenReader();
  DllI2cRePower(handle);  // the programmer is gone from this exchange on
  DllCloseReader(handle);

  TypeAndStart(page, path);
  FinishRun(page);
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, "打开设备失败！");
  EXPECT_EQ(dialogs_.boxes[0].owner, &page);
  EXPECT_EQ(page.m_editLog->toPlainText(), QStringLiteral("打开设备失败！\n"));
  EXPECT_TRUE(InputsEnabled(page));
}

TEST_F(UiTest, OtherPagesAreKeptOffTheProgrammerDuringARun) {
  const std::string path = TempPath("app.hex");
  WriteHex(path, 64);
  TypeAndStart(dialog_->m_onlinePage, path);
  ASSERT_TRUE(dialog_->m_onlinePage.IsRunning());

  // The offline page refuses with a message and starts nothing.
  TypeAndStart(dialog_->m_offlinePage, path);
  EXPECT_FALSE(dialog_->m_offlinePage.IsRunning());
  EXPECT_TRUE(InputsEnabled(dialog_->m_offlinePage));
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, velkan::kBusyText);

  // So does the I2C page, with its own form of the text.
  QTest::mouseClick(dialog_->m_i2cPage.m_btnI2cCommand, Qt::LeftButton);
  ASSERT_EQ(dialogs_.boxes.size(), 2u);
  EXPECT_EQ(dialogs_.boxes[1].text, velkan::kBusyTextAscii);

  FinishRun(dialog_->m_onlinePage);
  EXPECT_EQ(dialog_->m_onlinePage.LogText(), "打开设备成功！\r\n联机编程...\r\n下载成功！\r\n");
}

TEST_F(UiTest, ClosingDuringARunIsRefusedUntilItEnds) {
  const std::string path = TempPath("app.hex");
  WriteHex(path, 64);
  TypeAndStart(dialog_->m_onlinePage, path);
  ASSERT_TRUE(dialog_->RunInProgress());

  dialog_->close();
  EXPECT_TRUE(dialog_->isVisible());
  ASSERT_EQ(dialogs_.boxes.size(), 1u);
  EXPECT_EQ(dialogs_.boxes[0].text, velkan::kBusyText);
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_TRUE(dialog_->isVisible());

  FinishRun(dialog_->m_onlinePage);
  dialog_->close();
  EXPECT_FALSE(dialog_->isVisible());
}

TEST_F(UiTest, DestroyingTheWindowDuringARunWaitsForIt) {
  const std::string path = TempPath("app.hex");
  WriteHex(path, 512);
  TypeAndStart(dialog_->m_offlinePage, path);
  ASSERT_TRUE(dialog_->RunInProgress());
  dialog_.reset();  // serves the run's calls until it has ended
  EXPECT_FALSE(velkan::ProgrammerBusy());
  EXPECT_EQ(emulator_->OfflineName(), "app.hex");
}

TEST_F(UiTest, I2cPageThroughTheGui) {
  CI2cTest& page = dialog_->m_i2cPage;
  ClickTab(2);
  EXPECT_EQ(page.m_editI2cAddr->text(), QStringLiteral("00"));
  EXPECT_EQ(page.m_editReadLen->text(), QStringLiteral("02"));

  // The read length follows a typed four-byte command, and never drops.
  QTest::keyClicks(page.m_editData, QStringLiteral("07 00 00 04"));
  EXPECT_EQ(page.m_editReadLen->text(), QStringLiteral("06"));
  page.m_editData->setText(QStringLiteral("07 00 00 00"));
  EXPECT_EQ(page.m_editReadLen->text(), QStringLiteral("06"));
  page.m_editReadLen->setText(QStringLiteral("01"));
  page.m_editData->setText(QStringLiteral("07 00 00 00"));
  page.m_editData->setText(QStringLiteral("07 00 00 00 "));
  EXPECT_EQ(page.m_editReadLen->text(), QStringLiteral("02"));

  page.m_editI2cAddr->setText(QStringLiteral("a1"));
  const auto before = clock_.Now();
  QTest::mouseClick(page.m_btnI2cCommand, Qt::LeftButton);
  EXPECT_GE(clock_.Now() - before, std::chrono::milliseconds(650));
  EXPECT_EQ(page.m_editOutput->toPlainText(), QStringLiteral("9000"));
  EXPECT_EQ(page.m_editI2cAddr->text(), QStringLiteral("a1"));
  EXPECT_TRUE(dialogs_.boxes.empty());

  page.m_editI2cAddr->setText(QStringLiteral("G0"));
  QTest::mouseClick(page.m_btnI2cCommand, Qt::LeftButton);
  EXPECT_EQ(page.m_editOutput->toPlainText(), QStringLiteral("请输入正确的 I2C 地址!"));

  // A failed write closes the programmer; the next press reopens it.
  velkan::emu::Fault fault;
  fault.kind = velkan::emu::FaultKind::kStatus;
  fault.status = 3;
  fault.atCommand = 0x76;
  emulator_->InjectFault(fault);
  page.m_editI2cAddr->setText(QStringLiteral("A0"));
  QTest::mouseClick(page.m_btnI2cCommand, Qt::LeftButton);
  EXPECT_EQ(page.m_editOutput->toPlainText(), QStringLiteral("I2C 写通信失败, ErrCode = -9!"));
  EXPECT_EQ(velkan::ReaderHandle(), 0);
  page.m_editData->clear();
  page.m_editReadLen->setText(QStringLiteral("0"));
  QTest::mouseClick(page.m_btnI2cCommand, Qt::LeftButton);
  EXPECT_EQ(page.m_editOutput->toPlainText(), QStringLiteral("打开设备成功!\n"));
}

}  // namespace
