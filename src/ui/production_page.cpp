#include "ui/production_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTimeZone>
#include <QVBoxLayout>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>

#include "common/input_file.h"
#include "image/start_programming.h"
#include "production/child_process.h"
#include "production/job.h"
#include "production/job_file.h"
#include "production/production.h"
#include "production/record_server.h"
#include "production/remote_store.h"
#include "production/serial_numbers.h"
#include "programmer/device_watcher.h"
#include "script/session.h"
#include "ui/dialog_units.h"
#include "ui/operator_mode.h"
#include "ui/production_session.h"
#include "ui/resource_ids.h"

namespace velkan::ui {

using namespace velkan::production;

namespace {

constexpr std::string_view kNoLogDatabase = "请选择记录库！";
constexpr std::string_view kLogOpenFailed = "打开记录库失败！";
constexpr std::string_view kSerialAddressWrong =
    "序列号地址错误！\r\r地址为十六进制，序列号须在0x2000-0x9FFF之内。";
constexpr std::string_view kSerialStartWrong =
    "序列号起始值错误！\r\r起始值为十六进制数（BCD格式为十进制数），且须能写入所设字节数。";
constexpr std::string_view kSerialWrong = "序列号设置错误！";
constexpr std::string_view kJobOpenFailed = "打开作业失败！";
constexpr std::string_view kJobNotRun = "作业无法运行，未编程任何芯片！";
constexpr std::string_view kJobHexUnusable = "作业中的HEX文件无法使用！";
constexpr std::string_view kJobReplaced =
    "作业文件在打开后已被更换或修改，未编程任何芯片！\r\r请重新打开作业。";
constexpr std::string_view kOperatorNeedsJob = "操作员模式下只能运行作业，请先打开作业！";
constexpr std::string_view kTrustedKeyNeedsJob =
    "已设置信任公钥：只能运行由该公钥签名的作业，请先打开作业！";
constexpr std::string_view kNoChipDataHere =
    "此作业需要芯片数据生成程序，本版本不能运行外部程序（仅Linux等POSIX系统支持），"
    "未编程任何芯片！";

// The serial number forms in the format box's order, as the engine names them.
constexpr const char* kFormatNames[] = {"be", "le", "bcd", "ascii"};
constexpr const char* kFormatTexts[] = {"大端", "小端", "BCD", "ASCII"};

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString StopText(StationStop why, const std::string& detail, bool wasReady, bool unplugged,
                 std::int64_t limit) {
  if (unplugged) return QStringLiteral("编程器已断开！");
  switch (why) {
    case StationStop::kCount:
      return QStringLiteral("已完成");
    case StationStop::kLimit:
      return limit > 0 ? QStringLiteral("已达到作业数量上限（%1 片）").arg(limit)
                       : QStringLiteral("已达到作业数量上限");
    case StationStop::kStopped:
      return QStringLiteral("已停止");
    case StationStop::kFailures:
      return QStringLiteral("连续失败，已停止！");
    case StationStop::kNoProgrammer:
      return wasReady ? QStringLiteral("编程器已断开！") : Utf8(kNoProgrammerText);
    case StationStop::kBusy:
      return Utf8(kBusyText);
    case StationStop::kLog:
      return QStringLiteral("记录失败！") + Utf8(detail);
    case StationStop::kSerial:
      return QStringLiteral("序列号已用完！");
    case StationStop::kNoAnswer:
      return QStringLiteral("编程器无应答！");
    case StationStop::kNotStopped:
      return QStringLiteral("未能及时停止！");
  }
  return {};
}

// A refused job in the page's words.
std::string_view JobProblemText(const JobProblem& problem) {
  switch (problem.kind) {
    case JobError::kNoHexFile:
      return kNoHexFile;
    case JobError::kNoLog:
      return kNoLogDatabase;
    case JobError::kSerialAddress:
    case JobError::kSerialAtMissing:
      return kSerialAddressWrong;
    case JobError::kSerialStart:
      return kSerialStartWrong;
    default:
      return kSerialWrong;
  }
}

// A refused job file in the page's words, the check's own (technical)
// reason second.
std::string JobRefusalText(std::string_view heading, JobCheck check, const std::string& error) {
  std::string_view why;
  switch (check) {
    case JobCheck::kOk:
    case JobCheck::kUnreadable:
      why = "无法读取作业文件。";
      break;
    case JobCheck::kNotAJob:
      why = "该文件不是作业文件，或不是本版本的作业文件。";
      break;
    case JobCheck::kEdited:
      why = "作业文件在生成后被修改过，不能使用。";
      break;
    case JobCheck::kAlgorithm:
      why = "作业的签名算法本版本无法校验。";
      break;
    case JobCheck::kSignature:
      why = "作业的签名不成立：作业在签名后被修改过，不能使用。";
      break;
    case JobCheck::kTrustedKey:
      why = "无法读取信任公钥文件。";
      break;
    case JobCheck::kUnsigned:
      why = "作业没有签名。已设置信任公钥，只能使用由该公钥签名的作业。";
      break;
    case JobCheck::kOtherKey:
      why = "作业不是由信任公钥签名的，不能使用。";
      break;
    case JobCheck::kAbsent:
      why = "本版本不能校验签名（未包含libsodium），不能使用已签名的作业或信任公钥。";
      break;
  }
  return std::string(heading) + "\r\r" + std::string(why) + "\r\r技术原因：" + error;
}

// The HEX loader's questions while a job of an earlier session is opened
// again without anyone at the window: answered no.
class NoDialogs final : public velkan::Dialogs {
 public:
  MsgResult MessageBox(std::string_view, std::string_view, MsgButtons buttons, MsgIcon) override {
    return buttons == MsgButtons::kYesNo ? MsgResult::kNo : MsgResult::kOk;
  }
};

QString FormatText(const std::string& name) {
  const auto it = std::find(std::begin(kFormatNames), std::end(kFormatNames), name);
  return it == std::end(kFormatNames)
             ? Utf8(name)
             : QString::fromUtf8(kFormatTexts[it - std::begin(kFormatNames)]);
}

bool NormalStop(StationStop why) {
  return why == StationStop::kCount || why == StationStop::kStopped || why == StationStop::kLimit;
}

QString& RecorderProgram() {
  static QString path;
  return path;
}

// Opens the record for production. On Linux in the recorder process: the
// file's POSIX locks belong to the process that opened it and all go when
// any descriptor of the file is closed, and in this process file dialogs,
// file type sniffing and icon providers open and close whatever file they
// list. SQLite's locks gone, another program reading the record would
// checkpoint and delete its journal while this one writes on into it.
// Windows locks belong to the handle: the store stays in process there.
std::unique_ptr<RecordStore> OpenProductionRecord(const std::string& target, std::string& error,
                                                  StoreMode mode = StoreMode::kCreate) {
#if defined(__linux__)
  // This very program, even when its file was replaced since it started.
  const std::string program =
      RecorderProgram().isEmpty() ? "/proc/self/exe" : RecorderProgram().toStdString();
  return OpenRemoteStore(program, {kRecordServerArgument}, target, mode, error);
#else
  return OpenRecordStore(target, mode, error);
#endif
}

// Why the record did not open, in the operator's words, with the store's
// own (technical) reason second.
std::string StoreFailureText(const std::string& target, const std::string& error) {
  std::string why;
  if (IsPostgresTarget(target)) {
    why = "无法连接数据库服务器，请检查地址、用户名、密码和网络。";
  } else {
    const QFileInfo file(QString::fromStdString(target));
    const QFileInfo folder(file.absolutePath());
    if (!folder.exists()) {
      why = "无法创建记录库所在的文件夹。";
    } else if (!folder.isDir()) {
      why = "记录库所在的路径不是文件夹。";
    } else if (file.exists() && file.isDir()) {
      why = "所选路径是文件夹，不是记录库文件。";
    } else if (file.exists() && !file.isWritable()) {
      why = "没有写入记录库文件的权限。";
    } else if (file.exists()) {
      why = "该文件不是记录库，或已损坏，或被其他程序占用。";
    } else if (!QFileInfo(folder.absoluteFilePath()).isWritable()) {
      why = "没有在该文件夹中创建文件的权限。";
    } else {
      why = "无法创建记录库文件。";
    }
  }
  return std::string(kLogOpenFailed) + "\r\r" + why + "\r\r技术原因：" + error;
}

// The records being opened on threads of their own: a page going away
// waits for them a bounded time, so that none outlives the program.
struct Openers {
  std::mutex mutex;
  std::condition_variable done;
  int running = 0;
};

Openers& RecordOpeners() {
  static Openers openers;
  return openers;
}

// Longer than a database server's connection timeout.
constexpr auto kOpenerWait = std::chrono::seconds(15);

QString DefaultLogDatabase() {
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return QDir::toNativeSeparators(QDir(documents.isEmpty() ? QDir::homePath() : documents)
                                      .filePath(QStringLiteral("velkan-production.db")));
}

}  // namespace

// ---------------------------------------------------------------------------
// ProgrammerTile

namespace {

// The window's tiles are read from two metres: the result in large type.
QFont TileFont(const QFont& base, int pointSize, bool bold) {
  QFont font = base;
  font.setPointSize(pointSize);
  font.setBold(bold);
  return font;
}

}  // namespace

ProgrammerTile::ProgrammerTile(PageLayout layout, QWidget* parent, bool crowded)
    : QFrame(parent), m_layout(layout) {
  setObjectName(QStringLiteral("tile"));
  setFrameShape(QFrame::StyledPanel);
  setAutoFillBackground(true);
  const bool large = layout == PageLayout::kWindow;
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(large ? 10 : 4, large ? 6 : 2, large ? 10 : 4, large ? 6 : 2);
  column->setSpacing(large ? 4 : 1);
  auto* header = new QHBoxLayout;
  header->setSpacing(large ? 10 : 4);
  if (large) {
    m_labelNumber = new QLabel(this);
    m_labelNumber->setFont(TileFont(font(), crowded ? 16 : 22, true));
    header->addWidget(m_labelNumber);
  }
  m_labelName = new QLabel(this);
  m_labelName->setTextFormat(Qt::RichText);
  header->addWidget(m_labelName, 1);
  column->addLayout(header);
  m_labelActivity = new QLabel(this);
  m_labelActivity->setObjectName(QStringLiteral("activity"));
  m_progress = new QProgressBar(this);
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);
  m_labelResult = new QLabel(this);
  m_labelResult->setObjectName(QStringLiteral("result"));
  m_labelChipSerial = new QLabel(this);
  m_labelCounters = new QLabel(this);
  if (large) {
    // More than 8 programmers: four rows of tiles, smaller type.
    const int small = crowded ? 10 : 13;
    m_labelName->setFont(TileFont(font(), small, false));
    m_labelActivity->setFont(TileFont(font(), small, false));
    m_labelResult->setFont(TileFont(font(), 24, true));
    m_labelResult->setWordWrap(true);
    m_labelResult->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The result takes the room the others leave and its type is fitted
    // to it (FitResult).
    m_labelResult->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_labelChipSerial->setFont(TileFont(font(), crowded ? 11 : 14, true));
    m_labelCounters->setFont(TileFont(font(), small, false));
  }
  m_progress->setMaximumHeight(m_labelActivity->fontMetrics().height() / 2 + 2);
  m_labelActivity->setContentsMargins(large ? 4 : 0, 0, large ? 4 : 0, 0);
  column->addWidget(m_labelActivity);
  column->addWidget(m_progress);
  if (large) {
    column->addWidget(m_labelResult, 1);
    column->addWidget(m_labelChipSerial);
  } else {
    // The compact tile shows the chip's serial number with its result.
    m_labelChipSerial->hide();
    column->addWidget(m_labelResult);
  }
  column->addWidget(m_labelCounters);
  for (QLabel* label : findChildren<QLabel*>()) {
    label->setTextInteractionFlags(Qt::NoTextInteraction);
  }
  if (!large) column->addStretch(1);
  SetCounters(0, 0);
  SetResult({}, {}, Look::kNeutral);
  ApplyLook();
}

// The setters change only what differs: the stations report many times a
// second, and most reports move only the progress bar.
void ProgrammerTile::SetIdentity(const QString& name, const QString& port) {
  if (name == m_name && port == m_port && !m_labelName->text().isEmpty()) return;
  m_name = name;
  m_port = port;
  m_labelName->setText(QStringLiteral("<b>%1</b> <span style=\"color:#555\">%2</span>")
                           .arg(name.toHtmlEscaped(), port.toHtmlEscaped()));
  m_labelName->setToolTip(port.isEmpty() ? name : name + QStringLiteral("\n") + port);
}

void ProgrammerTile::SetNumber(int number) {
  if (m_labelNumber != nullptr) m_labelNumber->setText(QString::number(number));
}

void ProgrammerTile::SetActivity(const QString& text, bool busy) {
  if (m_labelActivity->text() != text) m_labelActivity->setText(text);
  if (busy != m_busy) {
    m_busy = busy;
    ApplyLook();
  }
}

void ProgrammerTile::SetChipSerial(const QString& serial) {
  const QString text = serial.isEmpty() ? QString() : QStringLiteral("序列号 ") + serial;
  if (m_labelChipSerial->text() != text) m_labelChipSerial->setText(text);
}

void ProgrammerTile::SetProgress(int percent) {
  m_progress->setValue(percent);
}

void ProgrammerTile::SetResult(const QString& text, const QString& detail, Look look) {
  if (m_labelResult->text() != text) {
    m_labelResult->setText(text);
    FitResult();
  }
  if (m_labelResult->toolTip() != detail) m_labelResult->setToolTip(detail);
  if (look == m_look && m_styled) return;
  m_look = look;
  ApplyLook();
}

// The whole tile shows the last result: green passed, red failed; before
// the first result amber while programming, grey while waiting. The
// activity line is amber while a chip is programmed.
void ProgrammerTile::ApplyLook() {
  m_styled = true;
  const bool large = m_layout == PageLayout::kWindow;
  QString background;
  QString border;
  switch (m_look) {
    case Look::kNeutral:
      background = large ? QStringLiteral("#e4e4e4") : QString();
      border = QStringLiteral("#9e9e9e");
      break;
    case Look::kBusy:
      background = large ? QStringLiteral("#ffd54f") : QStringLiteral("#fff3cd");
      border = QStringLiteral("#c79100");
      break;
    case Look::kPass:
      background = large ? QStringLiteral("#66bb6a") : QStringLiteral("#e3f4e1");
      border = QStringLiteral("#2e7d32");
      break;
    case Look::kFail:
      background = large ? QStringLiteral("#ef5350") : QStringLiteral("#fbe2e0");
      border = QStringLiteral("#b71c1c");
      break;
  }
  QString sheet;
  if (!background.isEmpty()) {
    sheet = QStringLiteral(
                "QFrame#tile{background:%1;border:%2px solid %3;}"
                "QLabel{background:transparent;color:#000;}")
                .arg(background)
                .arg(large ? 2 : 1)
                .arg(border);
  }
  if (m_busy) {
    sheet += QStringLiteral("QLabel#activity{background:#ffb300;}");
  }
  if (styleSheet() != sheet) setStyleSheet(sheet);
}

void ProgrammerTile::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  FitResult();
}

bool ProgrammerTile::event(QEvent* event) {
  const bool done = QFrame::event(event);
  // The layout places the result once the tile's size is settled.
  if (event->type() == QEvent::LayoutRequest) FitResult();
  return done;
}

void ProgrammerTile::FitResult() {
  if (m_layout != PageLayout::kWindow) return;
  const QRect room = m_labelResult->contentsRect();
  if (room.width() <= 0 || room.height() <= 0) return;
  // The largest type in which the whole result fits its room: "通过" in
  // large type, a long reason smaller.
  static constexpr int kSizes[] = {72, 56, 44, 36, 28, 24, 20, 17, 14, 12, 10, 8};
  QFont font = m_labelResult->font();
  for (const int size : kSizes) {
    font.setPointSize(size);
    const QFontMetrics metrics(font);
    const QRect needed = metrics.boundingRect(
        QRect(0, 0, room.width(), 100000), Qt::TextWordWrap | Qt::AlignLeft, m_labelResult->text());
    if (needed.height() <= room.height() && needed.width() <= room.width()) break;
  }
  if (font != m_labelResult->font()) m_labelResult->setFont(font);
}

void ProgrammerTile::SetCounters(int passed, int failed) {
  const QString text = QStringLiteral("通过 %1  失败 %2").arg(passed).arg(failed);
  if (m_labelCounters->text() != text) m_labelCounters->setText(text);
}

QString ProgrammerTile::ActivityText() const {
  return m_labelActivity->text();
}

QString ProgrammerTile::ResultText() const {
  return m_labelResult->text();
}

int ProgrammerTile::Progress() const {
  return m_progress->value();
}

// ---------------------------------------------------------------------------
// CProductionPage

struct CProductionPage::Pending {
  Product product;
  Settings settings;
  ProgrammerLease lease;
  std::vector<FoundDevice> programmers;
};

struct CProductionPage::OpenedJob {
  QString path;
  SealedJob job;
  std::string id;
  std::string crc;  // the image's CRC-16 (without a serial number)
};

// The page's own HEX file, serial numbers and fuse.
struct CProductionPage::OwnInputs {
  QString hexPath;
  bool serial = false;
  QString address;
  QString start;
  int step = 1;
  int bytes = 4;
  int format = 0;
  bool fuse = false;
};

CProductionPage::CProductionPage(UiDialogs& dialogs, PageLayout layout, QWidget* parent)
    : QWidget(parent), m_dialogs(dialogs), m_layout(layout) {
  setObjectName(QStringLiteral("CProductionPage"));
  setFont(DialogFont());
  const DialogUnits du(font());
  resize(du.Size(353, 180));
  // Only the session's time moves with it: the programmers are watched on
  // the device watcher's thread.
  m_clockTimer.setInterval(1000);
  connect(&m_clockTimer, &QTimer::timeout, this, [this] {
    if (m_runActive) ShowTotals();
  });
}

void CProductionPage::EnsureBuilt() {
  // The controls are made when the page is first shown: the window comes up
  // as fast as it did before the page existed.
  if (m_body != nullptr) return;
  const DialogUnits du(font());
  m_body = new QWidget(this);
  m_body->setGeometry(rect());

  // Created in keyboard order.
  const bool large = m_layout == PageLayout::kWindow;
  auto* hexLabel = new QLabel(QStringLiteral("Hex文件:"), m_body);
  hexLabel->setGeometry(du.Rect(6, 6, 34, 8));
  m_editHexPath = new QLineEdit(m_body);
  m_editHexPath->setObjectName(QStringLiteral("hexPath"));
  m_editHexPath->setGeometry(du.Rect(40, 4, 234, 12));
  m_btnChooseHex = new QPushButton(QStringLiteral("..."), m_body);
  m_btnChooseHex->setObjectName(QStringLiteral("chooseHex"));
  m_btnChooseHex->setGeometry(du.Rect(276, 4, 16, 12));
  m_btnChooseHex->setAutoDefault(false);

  auto* logLabel = new QLabel(QStringLiteral("记录库:"), m_body);
  logLabel->setGeometry(du.Rect(6, 21, 34, 8));
  m_editLogDb = new QLineEdit(DefaultLogDatabase(), m_body);
  m_editLogDb->setObjectName(QStringLiteral("logDatabase"));
  m_editLogDb->setGeometry(du.Rect(40, 19, 120, 12));
  m_editLogDb->setToolTip(QStringLiteral("SQLite数据库文件，或PostgreSQL地址（postgresql://...）"));
  m_btnChooseLog = new QPushButton(QStringLiteral("..."), m_body);
  m_btnChooseLog->setObjectName(QStringLiteral("chooseLog"));
  m_btnChooseLog->setGeometry(du.Rect(162, 19, 16, 12));
  m_btnChooseLog->setAutoDefault(false);
  // Only jobs signed by this key open and run.
  auto* keyLabel = new QLabel(QStringLiteral("信任公钥:"), m_body);
  keyLabel->setGeometry(du.Rect(182, 21, 36, 8));
  m_editTrustedKey = new QLineEdit(m_body);
  m_editTrustedKey->setObjectName(QStringLiteral("trustedKey"));
  m_editTrustedKey->setGeometry(du.Rect(218, 19, 56, 12));
  m_editTrustedKey->setToolTip(
      QStringLiteral("设置后只能打开和运行由该公钥签名的作业（Ed25519公钥，PEM文件）"));
  m_btnChooseKey = new QPushButton(QStringLiteral("..."), m_body);
  m_btnChooseKey->setObjectName(QStringLiteral("chooseTrustedKey"));
  m_btnChooseKey->setGeometry(du.Rect(276, 19, 16, 12));
  m_btnChooseKey->setAutoDefault(false);

  m_checkSerial = new QCheckBox(QStringLiteral("序列号"), m_body);
  m_checkSerial->setObjectName(QStringLiteral("serial"));
  m_checkSerial->setGeometry(du.Rect(6, 35, 38, 10));
  auto* addressLabel = new QLabel(QStringLiteral("地址:"), m_body);
  addressLabel->setGeometry(du.Rect(45, 36, 18, 8));
  const auto* hexDigits = new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[0-9A-Fa-f]{0,16}")), m_body);
  m_editSerialAddress = new QLineEdit(QStringLiteral("9FFC"), m_body);
  m_editSerialAddress->setObjectName(QStringLiteral("serialAddress"));
  m_editSerialAddress->setGeometry(du.Rect(63, 34, 26, 12));
  m_editSerialAddress->setMaxLength(4);
  m_editSerialAddress->setValidator(hexDigits);
  auto* startLabel = new QLabel(QStringLiteral("起始:"), m_body);
  startLabel->setGeometry(du.Rect(92, 36, 18, 8));
  m_editSerialStart = new QLineEdit(QStringLiteral("00000001"), m_body);
  m_editSerialStart->setObjectName(QStringLiteral("serialStart"));
  m_editSerialStart->setGeometry(du.Rect(110, 34, 52, 12));
  m_editSerialStart->setMaxLength(16);
  m_editSerialStart->setValidator(hexDigits);
  auto* stepLabel = new QLabel(QStringLiteral("步长:"), m_body);
  stepLabel->setGeometry(du.Rect(165, 36, 18, 8));
  m_spinSerialStep = new QSpinBox(m_body);
  m_spinSerialStep->setObjectName(QStringLiteral("serialStep"));
  m_spinSerialStep->setGeometry(du.Rect(183, 34, 30, 12));
  m_spinSerialStep->setRange(1, 65535);
  auto* bytesLabel = new QLabel(QStringLiteral("字节:"), m_body);
  bytesLabel->setGeometry(du.Rect(216, 36, 18, 8));
  m_spinSerialBytes = new QSpinBox(m_body);
  m_spinSerialBytes->setObjectName(QStringLiteral("serialBytes"));
  m_spinSerialBytes->setGeometry(du.Rect(234, 34, 22, 12));
  m_spinSerialBytes->setRange(1, 8);
  m_spinSerialBytes->setValue(4);
  m_comboSerialFormat = new QComboBox(m_body);
  m_comboSerialFormat->setObjectName(QStringLiteral("serialFormat"));
  m_comboSerialFormat->setGeometry(du.Rect(258, 34, 34, 12));
  for (const char* text : kFormatTexts) m_comboSerialFormat->addItem(QString::fromUtf8(text));

  m_checkFuse = new QCheckBox(QString::fromUtf8(kFuseText), m_body);
  m_checkFuse->setObjectName(QStringLiteral("fuse"));
  m_checkFuse->setGeometry(du.Rect(6, 50, 128, 10));
  auto* nextLabel = new QLabel(QStringLiteral("下一片:"), m_body);
  nextLabel->setGeometry(du.Rect(150, 51, 28, 8));
  m_radioNextButton = new QRadioButton(QStringLiteral("按键"), m_body);
  m_radioNextButton->setObjectName(QStringLiteral("nextButton"));
  m_radioNextButton->setGeometry(du.Rect(178, 50, 34, 10));
  m_radioNextButton->setToolTip(
      QStringLiteral("放入芯片后按“下一片”、回车键或空格键（脚踏开关）开始编程"));
  m_radioNextButton->setChecked(true);
  m_radioNextAuto = new QRadioButton(QStringLiteral("自动检测"), m_body);
  m_radioNextAuto->setObjectName(QStringLiteral("nextAuto"));
  m_radioNextAuto->setGeometry(du.Rect(214, 50, 50, 10));
  m_radioNextAuto->setToolTip(QStringLiteral("编程器检测到插座中的芯片后自动开始编程"));

  m_btnStart = new QPushButton(QStringLiteral("开始量产"), m_body);
  m_btnStart->setObjectName(QStringLiteral("start"));
  m_btnStart->setGeometry(du.Rect(298, 3, 46, 14));
  m_btnStart->setAutoDefault(false);
  // Stop and next are pressed with the mouse (or the keys the page serves):
  // a foot switch sending space must never land on "停止".
  m_btnStop = new QPushButton(QStringLiteral("停止"), m_body);
  m_btnStop->setObjectName(QStringLiteral("stop"));
  m_btnStop->setGeometry(du.Rect(298, 18, 46, 14));
  m_btnStop->setAutoDefault(false);
  m_btnStop->setFocusPolicy(Qt::NoFocus);
  m_btnNext = new QPushButton(QStringLiteral("下一片"), m_body);
  m_btnNext->setObjectName(QStringLiteral("next"));
  m_btnNext->setGeometry(du.Rect(298, 33, 46, 14));
  m_btnNext->setAutoDefault(false);
  m_btnNext->setFocusPolicy(Qt::NoFocus);
  if (!large) {
    // The same production in a window of its own, with large tiles.
    m_btnWindow = new QPushButton(QStringLiteral("量产窗口"), m_body);
    m_btnWindow->setObjectName(QStringLiteral("window"));
    m_btnWindow->setGeometry(du.Rect(298, 48, 46, 14));
    m_btnWindow->setAutoDefault(false);
    m_btnWindow->setFocusPolicy(Qt::NoFocus);
    connect(m_btnWindow, &QPushButton::clicked, this, [this] { emit windowRequested(); });
  }

  // The sealed job: what it holds, opened and closed here.
  auto* jobLabel = new QLabel(QStringLiteral("作业:"), m_body);
  jobLabel->setGeometry(du.Rect(6, 65, 18, 8));
  m_labelJob = new QLabel(m_body);
  m_labelJob->setObjectName(QStringLiteral("job"));
  m_labelJob->setGeometry(du.Rect(24, 65, 158, 8));
  m_labelJob->setTextInteractionFlags(Qt::NoTextInteraction);
  m_labelJob->setTextFormat(Qt::PlainText);
  m_btnOpenJob = new QPushButton(QStringLiteral("打开作业..."), m_body);
  m_btnOpenJob->setObjectName(QStringLiteral("openJob"));
  m_btnOpenJob->setGeometry(du.Rect(184, 63, 42, 12));
  m_btnOpenJob->setAutoDefault(false);
  m_btnOpenJob->setFocusPolicy(Qt::NoFocus);
  m_btnCloseJob = new QPushButton(QStringLiteral("关闭作业"), m_body);
  m_btnCloseJob->setObjectName(QStringLiteral("closeJob"));
  m_btnCloseJob->setGeometry(du.Rect(228, 63, 34, 12));
  m_btnCloseJob->setAutoDefault(false);
  m_btnCloseJob->setFocusPolicy(Qt::NoFocus);
  m_checkOperator = new QCheckBox(QString::fromUtf8(kOperatorModeCaption), m_body);
  m_checkOperator->setObjectName(QStringLiteral("operatorMode"));
  m_checkOperator->setGeometry(du.Rect(266, 64, 78, 10));
  m_checkOperator->setFocusPolicy(Qt::NoFocus);

  m_tileArea = new QScrollArea(m_body);
  m_tileArea->setObjectName(QStringLiteral("tiles"));
  m_tileArea->setGeometry(du.Rect(6, 77, 338, 50));
  m_tileArea->setWidgetResizable(true);
  m_tileArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_tileArea->setFocusPolicy(Qt::NoFocus);
  m_tileHolder = new QWidget;
  m_labelNoProgrammer = new QLabel(QStringLiteral("未找到编程器"), m_tileHolder);
  m_labelNoProgrammer->setAlignment(Qt::AlignCenter);
  m_labelNoProgrammer->setStyleSheet(QStringLiteral("color:#777"));
  if (large) {
    m_labelNoProgrammer->setFont(TileFont(font(), 16, false));
    m_tileGrid = new QGridLayout(m_tileHolder);
    m_tileGrid->setContentsMargins(2, 2, 2, 2);
    m_tileGrid->setSpacing(8);
    m_tileGrid->addWidget(m_labelNoProgrammer, 0, 0);
  } else {
    m_tileLayout = new QHBoxLayout(m_tileHolder);
    m_tileLayout->setContentsMargins(2, 2, 2, 2);
    m_tileLayout->setSpacing(4);
    m_tileLayout->addWidget(m_labelNoProgrammer, 1);
    m_tileLayout->addStretch(0);
  }
  m_tileArea->setWidget(m_tileHolder);

  m_labelTotals = new QLabel(m_body);
  m_labelTotals->setObjectName(QStringLiteral("totals"));
  m_labelTotals->setGeometry(du.Rect(6, 129, 338, 9));
  m_labelNextSerial = new QLabel(m_body);
  m_labelNextSerial->setObjectName(QStringLiteral("nextSerial"));
  // The compact tab has no room of its own for it: its totals say it.
  m_labelNextSerial->setVisible(large);
  ShowTotals();
  // Serial numbers reserved for chips whose record never came: counted here
  // and settled by an engineer who has looked at those chips.
  m_btnUnknown = new QPushButton(m_body);
  m_btnUnknown->setObjectName(QStringLiteral("unknownNumbers"));
  m_btnUnknown->setGeometry(du.Rect(266, 128, 78, 10));
  m_btnUnknown->setFocusPolicy(Qt::NoFocus);
  m_btnUnknown->setStyleSheet(QStringLiteral("color:#c0392b"));
  m_btnUnknown->hide();

  m_tableRecords = new QTableWidget(0, 6, m_body);
  m_tableRecords->setObjectName(QStringLiteral("records"));
  m_tableRecords->setGeometry(du.Rect(6, 139, 338, 34));
  m_tableRecords->setHorizontalHeaderLabels({QStringLiteral("时间"), QStringLiteral("编程器"),
                                             QStringLiteral("序列号"), QStringLiteral("结果"),
                                             QStringLiteral("耗时(ms)"), QStringLiteral("说明")});
  m_tableRecords->verticalHeader()->hide();
  m_tableRecords->verticalHeader()->setDefaultSectionSize(m_tableRecords->fontMetrics().height() +
                                                          4);
  m_tableRecords->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_tableRecords->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_tableRecords->setFocusPolicy(Qt::NoFocus);
  m_tableRecords->horizontalHeader()->setStretchLastSection(true);
  const int widths[] = {54, 50, 54, 30, 34};
  for (int c = 0; c < 5; ++c) m_tableRecords->setColumnWidth(c, du.X(widths[c]));

  connect(m_btnChooseHex, &QPushButton::clicked, this, [this] { ChooseHexFile(); });
  connect(m_btnChooseLog, &QPushButton::clicked, this, [this] { ChooseLogDatabase(); });
  connect(m_checkFuse, &QCheckBox::clicked, this, [this] { ConfirmFuse(); });
  connect(m_checkSerial, &QCheckBox::toggled, this, [this] { UpdateSerialInputs(); });
  connect(m_btnStart, &QPushButton::clicked, this, [this] { StartProduction(); });
  connect(m_btnStop, &QPushButton::clicked, this, [this] { StopProduction(); });
  connect(m_btnUnknown, &QPushButton::clicked, this, [this] { SettleUnknownNumbers(); });
  connect(m_btnNext, &QPushButton::clicked, this, [this] { NextChip(); });
  connect(m_btnOpenJob, &QPushButton::clicked, this, [this] { ChooseJobFile(); });
  connect(m_btnCloseJob, &QPushButton::clicked, this, [this] { CloseJob(); });
  connect(m_btnChooseKey, &QPushButton::clicked, this, [this] { ChooseTrustedKey(); });
  connect(m_checkOperator, &QCheckBox::clicked, this, [this] { ToggleOperatorMode(); });
  connect(&OperatorMode::Instance(), &OperatorMode::changed, this, [this] { UpdateInputs(); });
  RestoreSettings();
  // The trusted key is kept as soon as it is set; an open job is checked
  // against it once it is typed in (or chosen).
  connect(m_editTrustedKey, &QLineEdit::textChanged, this, [](const QString& key) {
    QSettings().setValue(QStringLiteral("production/trustedKey"), key.trimmed());
  });
  connect(m_editTrustedKey, &QLineEdit::editingFinished, this, [this] { TrustedKeyChanged(); });
  connect(m_editSerialStart, &QLineEdit::textChanged, this, [this] {
    if (!m_runActive) {
      m_nextNumber.reset();
      ShowNextSerial();
    }
  });
  connect(m_checkSerial, &QCheckBox::toggled, this, [this] { ShowNextSerial(); });
  connect(m_comboSerialFormat, &QComboBox::currentIndexChanged, this, [this] {
    if (!m_runActive) ShowNextSerial();
  });
  if (large) {
    BuildWindowLayout({hexLabel, logLabel, addressLabel, startLabel, stepLabel, bytesLabel,
                       nextLabel, keyLabel, jobLabel});
  }
  LockInputs(false);
  ShowJob();
  ShowNextSerial();
  LayoutBody();
  m_body->show();
}

void CProductionPage::BuildWindowLayout(const std::vector<QWidget*>& labels) {
  // labels: Hex文件, 记录库, 地址, 起始, 步长, 字节, 下一片, 信任公钥, 作业.
  auto* root = new QVBoxLayout(m_body);
  root->setContentsMargins(8, 8, 8, 8);
  root->setSpacing(6);
  auto* settings = new QGridLayout;
  settings->setHorizontalSpacing(6);
  settings->addWidget(labels[0], 0, 0);
  settings->addWidget(m_editHexPath, 0, 1);
  settings->addWidget(m_btnChooseHex, 0, 2);
  settings->addWidget(labels[1], 1, 0);
  settings->addWidget(m_editLogDb, 1, 1);
  settings->addWidget(m_btnChooseLog, 1, 2);
  settings->addWidget(labels[7], 2, 0);
  settings->addWidget(m_editTrustedKey, 2, 1);
  settings->addWidget(m_btnChooseKey, 2, 2);
  auto* serial = new QHBoxLayout;
  for (QWidget* w :
       {static_cast<QWidget*>(m_checkSerial), labels[2], static_cast<QWidget*>(m_editSerialAddress),
        labels[3], static_cast<QWidget*>(m_editSerialStart), labels[4],
        static_cast<QWidget*>(m_spinSerialStep), labels[5],
        static_cast<QWidget*>(m_spinSerialBytes), static_cast<QWidget*>(m_comboSerialFormat)}) {
    serial->addWidget(w);
  }
  serial->addStretch(1);
  settings->addLayout(serial, 3, 0, 1, 3);
  auto* modes = new QHBoxLayout;
  for (QWidget* w :
       {static_cast<QWidget*>(m_checkFuse), labels[6], static_cast<QWidget*>(m_radioNextButton),
        static_cast<QWidget*>(m_radioNextAuto)}) {
    modes->addWidget(w);
  }
  modes->addStretch(1);
  modes->addWidget(m_checkOperator);
  settings->addLayout(modes, 4, 0, 1, 3);
  // The job: what it holds in full, and the engineer's way back to the
  // page's own inputs.
  m_labelJob->setWordWrap(true);
  m_labelJob->setFrameShape(QFrame::StyledPanel);
  m_labelJob->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  settings->addWidget(labels[8], 5, 0, Qt::AlignTop);
  settings->addWidget(m_labelJob, 5, 1);
  settings->addWidget(m_btnCloseJob, 5, 2, Qt::AlignTop);
  settings->setColumnStretch(1, 1);
  auto* buttons = new QVBoxLayout;
  const QFont buttonFont = TileFont(font(), 14, true);
  for (QPushButton* b : {m_btnOpenJob, m_btnStart, m_btnStop, m_btnNext}) {
    b->setFont(buttonFont);
    b->setMinimumWidth(b->fontMetrics().horizontalAdvance(QStringLiteral("开始量产")) + 40);
    buttons->addWidget(b);
  }
  auto* top = new QHBoxLayout;
  top->addLayout(settings, 1);
  top->addSpacing(12);
  top->addLayout(buttons);
  root->addLayout(top);
  m_tileArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  root->addWidget(m_tileArea, 4);
  auto* status = new QHBoxLayout;
  m_labelTotals->setFont(TileFont(font(), 13, true));
  m_labelNextSerial->setFont(TileFont(font(), 13, true));
  m_btnUnknown->setFont(TileFont(font(), 11, false));
  status->addWidget(m_labelTotals);
  status->addSpacing(24);
  status->addWidget(m_labelNextSerial);
  status->addStretch(1);
  status->addWidget(m_btnUnknown);
  root->addLayout(status);
  root->addWidget(m_tableRecords, 1);
  m_tableRecords->setMinimumHeight(m_tableRecords->verticalHeader()->defaultSectionSize() * 4);
}

// The settings of the last production started come back with the page (the
// fuse excepted: it is chosen anew, with its warning, every time).
void CProductionPage::RestoreSettings() {
  QSettings store;
  store.beginGroup(QStringLiteral("production"));
  auto text = [&](const char* key, QLineEdit* edit) {
    const QVariant value = store.value(QLatin1String(key));
    if (value.isValid()) edit->setText(value.toString());
  };
  text("hexFile", m_editHexPath);
  text("logDatabase", m_editLogDb);
  text("serialAddress", m_editSerialAddress);
  text("serialStart", m_editSerialStart);
  m_checkSerial->setChecked(store.value(QStringLiteral("serial"), false).toBool());
  m_spinSerialStep->setValue(store.value(QStringLiteral("serialStep"), 1).toInt());
  m_spinSerialBytes->setValue(store.value(QStringLiteral("serialBytes"), 4).toInt());
  const int format = static_cast<int>(
      std::find(std::begin(kFormatNames), std::end(kFormatNames),
                store.value(QStringLiteral("serialFormat")).toString().toStdString()) -
      std::begin(kFormatNames));
  m_comboSerialFormat->setCurrentIndex(format < m_comboSerialFormat->count() ? format : 0);
  (store.value(QStringLiteral("nextChip")).toString() == QLatin1String("auto") ? m_radioNextAuto
                                                                               : m_radioNextButton)
      ->setChecked(true);
  text("trustedKey", m_editTrustedKey);
  // The job open then comes back when its file still holds the same job
  // and passes the same checks.
  const QString jobFile = store.value(QStringLiteral("jobFile")).toString();
  const QString jobId = store.value(QStringLiteral("jobId")).toString();
  store.endGroup();
  m_lastJobPath = jobFile;
  if (jobFile.isEmpty()) return;
  QString why;
  if (!LoadJob(jobFile, true, &why)) {
    m_jobNote = QStringLiteral("上次打开的作业无法再打开：") + why;
  } else if (JobId() != jobId) {
    m_job.reset();
    ShowOwnInputs();
    m_jobNote = QStringLiteral("上次打开的作业文件已被更换或修改，请重新打开作业");
  }
}

void CProductionPage::SaveSettings() {
  // While a job is open its settings stand in the inputs: the page's own
  // are kept.
  OwnInputs own;
  if (m_own) {
    own = *m_own;
  } else {
    own.hexPath = m_editHexPath->text();
    own.serial = m_checkSerial->isChecked();
    own.address = m_editSerialAddress->text();
    own.start = m_editSerialStart->text();
    own.step = m_spinSerialStep->value();
    own.bytes = m_spinSerialBytes->value();
    own.format = std::max(0, m_comboSerialFormat->currentIndex());
  }
  QSettings store;
  store.beginGroup(QStringLiteral("production"));
  store.setValue(QStringLiteral("hexFile"), own.hexPath);
  store.setValue(QStringLiteral("logDatabase"), m_editLogDb->text());
  store.setValue(QStringLiteral("serial"), own.serial);
  store.setValue(QStringLiteral("serialAddress"), own.address);
  store.setValue(QStringLiteral("serialStart"), own.start);
  store.setValue(QStringLiteral("serialStep"), own.step);
  store.setValue(QStringLiteral("serialBytes"), own.bytes);
  store.setValue(QStringLiteral("serialFormat"), QString::fromLatin1(kFormatNames[own.format]));
  store.setValue(QStringLiteral("nextChip"),
                 m_radioNextAuto->isChecked() ? QStringLiteral("auto") : QStringLiteral("button"));
  store.endGroup();
  SaveJobSettings();
}

void CProductionPage::SaveJobSettings() {
  QSettings store;
  store.beginGroup(QStringLiteral("production"));
  store.setValue(QStringLiteral("jobFile"), JobPath());
  store.setValue(QStringLiteral("jobId"), JobId());
  store.setValue(QStringLiteral("trustedKey"), TrustedKeyPath());
}

void CProductionPage::SetRecorderProgram(const QString& path) {
  RecorderProgram() = path;
}

CProductionPage::~CProductionPage() {
  StopAndWait();
  qApp->removeEventFilter(this);
  StopWatching();
  // A record still being opened ends on its thread (its answer is dropped).
  std::unique_lock lock(RecordOpeners().mutex);
  RecordOpeners().done.wait_for(lock, kOpenerWait, [] { return RecordOpeners().running == 0; });
}

MsgResult CProductionPage::MessageBox(std::string_view text, std::string_view caption,
                                      MsgButtons buttons, MsgIcon icon) {
  return m_dialogs.MessageBox(this, text, caption, buttons, icon);
}

bool CProductionPage::IsRunning() const {
  return m_runActive;
}

void CProductionPage::LockInputs(bool locked) {
  m_inputsLocked = locked;
  UpdateInputs();
}

void CProductionPage::UpdateInputs() {
  if (m_body == nullptr) return;
  const OperatorMode& mode = OperatorMode::Instance();
  const bool idle = !m_inputsLocked;
  const bool operatorMode = mode.Active();
  // The engineer's settings: not while production runs, nor for an operator.
  const bool engineer = idle && !operatorMode;
  // The page's own HEX file, serial numbers and fuse: not while a job
  // stands in for them.
  const bool own = engineer && m_job == nullptr;
  for (QWidget* w :
       std::initializer_list<QWidget*>{m_editHexPath, m_btnChooseHex, m_checkSerial, m_checkFuse}) {
    w->setEnabled(own);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{m_editLogDb, m_btnChooseLog, m_radioNextButton,
                                                    m_radioNextAuto, m_editTrustedKey,
                                                    m_btnChooseKey, m_btnUnknown}) {
    w->setEnabled(engineer);
  }
  m_btnCloseJob->setEnabled(engineer && m_job != nullptr);
  m_btnOpenJob->setEnabled(idle);
  m_btnStart->setEnabled(idle);
  if (m_btnWindow != nullptr) m_btnWindow->setEnabled(idle);
  m_checkOperator->setChecked(operatorMode);
  m_checkOperator->setEnabled(idle && mode.Switchable());
  m_checkOperator->setToolTip(
      mode.Forced() ? QStringLiteral("以 --operator 参数启动：不能在窗口中退出操作员模式")
      : !mode.Switchable()
          ? QStringLiteral("本版本不支持工程师密码，操作员模式只能由 --operator 参数设定")
          : QStringLiteral("操作员模式下只能打开作业、开始、停止和下一片；退出需要工程师密码"));
  UpdateSerialInputs();
  m_btnStop->setEnabled(m_inputsLocked);
  m_btnNext->setEnabled(m_inputsLocked && m_session != nullptr && m_session->Manual());
}

void CProductionPage::UpdateSerialInputs() {
  const bool enable = m_checkSerial->isEnabled() && m_checkSerial->isChecked();
  for (QWidget* w :
       std::initializer_list<QWidget*>{m_editSerialAddress, m_editSerialStart, m_spinSerialStep,
                                       m_spinSerialBytes, m_comboSerialFormat}) {
    w->setEnabled(enable);
  }
}

void CProductionPage::ChooseHexFile() {
  const std::optional<QString> file = m_dialogs.OpenHexFile(this, m_editHexPath->text());
  if (!file) return;
  m_editHexPath->setText(QDir::toNativeSeparators(*file));
  m_editHexPath->end(false);
}

void CProductionPage::ChooseLogDatabase() {
  const std::optional<QString> file = m_dialogs.ChooseLogDatabase(this, m_editLogDb->text());
  if (!file) return;
  m_editLogDb->setText(QDir::toNativeSeparators(*file));
  m_editLogDb->end(false);
}

void CProductionPage::ConfirmFuse() {
  if (!m_checkFuse->isChecked()) return;
  // Enter (or a foot switch) must not confirm what cannot be undone: 否 is
  // the default here.
  if (m_dialogs.ConfirmIrreversible(this, kFuseWarning, kFuseCaption) != MsgResult::kYes) {
    m_checkFuse->setChecked(false);
  }
}

QString CProductionPage::JobId() const {
  return m_job != nullptr ? QString::fromStdString(m_job->id) : QString();
}

QString CProductionPage::JobPath() const {
  return m_job != nullptr ? m_job->path : QString();
}

QString CProductionPage::TrustedKeyPath() const {
  return m_editTrustedKey != nullptr ? m_editTrustedKey->text().trimmed() : QString();
}

std::int64_t CProductionPage::SerialStep() const {
  if (m_job != nullptr && m_job->job.serialFileName.empty() && !m_job->job.serialAt.empty()) {
    return m_job->job.serialStep;
  }
  return m_spinSerialStep->value();
}

void CProductionPage::ChooseJobFile() {
  if (IsRunning()) return;
  const std::optional<QString> file =
      m_dialogs.OpenJobFile(this, m_job != nullptr ? m_job->path : m_lastJobPath);
  if (!file) return;
  OpenJob(QDir::toNativeSeparators(*file));
}

bool CProductionPage::OpenJob(const QString& path) {
  EnsureBuilt();
  if (IsRunning()) return false;
  if (!LoadJob(path, false, nullptr)) return false;
  SaveJobSettings();
  return true;
}

bool CProductionPage::LoadJob(const QString& path, bool quiet, QString* why) {
  const auto refuse = [&](const std::string& text) {
    if (why != nullptr) *why = DisplayText(text).simplified();
    if (!quiet) MessageBox(text, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return false;
  };
  // The same check as `velkan produce --job` (and the trusted key).
  SealedJob sealed;
  std::string error;
  const JobCheck check =
      CheckJobFile(path.toStdString(), TrustedKeyPath().toStdString(), sealed, error);
  if (check != JobCheck::kOk) return refuse(JobRefusalText(kJobOpenFailed, check, error));
  NoDialogs noDialogs;
  Product product;
  if (!LoadProductText(quiet ? static_cast<velkan::Dialogs&>(noDialogs) : *this, sealed.hexName,
                       sealed.hexText, sealed.fuse, product, error)) {
    return refuse(std::string(kJobHexUnusable) +
                  (error.empty() ? std::string() : "\r\r技术原因：" + error));
  }
  std::string crc;
  ScriptTable script;
  ChipScript(product, nullptr, nullptr, script, crc);

  // The page's own inputs are kept while the job stands in for them.
  if (m_own == nullptr) {
    auto own = std::make_unique<OwnInputs>();
    own->hexPath = m_editHexPath->text();
    own->serial = m_checkSerial->isChecked();
    own->address = m_editSerialAddress->text();
    own->start = m_editSerialStart->text();
    own->step = m_spinSerialStep->value();
    own->bytes = m_spinSerialBytes->value();
    own->format = std::max(0, m_comboSerialFormat->currentIndex());
    own->fuse = m_checkFuse->isChecked();
    m_own = std::move(own);
  }
  auto job = std::make_unique<OpenedJob>();
  job->path = path;
  job->id = JobIdOf(sealed);
  job->crc = crc;
  job->job = std::move(sealed);
  m_job = std::move(job);
  m_lastJobPath = path;
  m_jobNote.clear();

  const SealedJob& j = m_job->job;
  const bool counter = !j.serialAt.empty() && j.serialFileName.empty();
  m_editHexPath->setText(Utf8(j.hexName));
  m_checkSerial->setChecked(!j.serialAt.empty());
  m_editSerialAddress->setText(Utf8(j.serialAt));
  m_editSerialStart->setText(counter ? Utf8(j.serialStart) : QString());
  m_spinSerialStep->setValue(
      counter ? static_cast<int>(std::min<std::int64_t>(j.serialStep, m_spinSerialStep->maximum()))
              : 1);
  m_spinSerialBytes->setValue(counter ? j.serialBytes : 4);
  const auto format = std::find(std::begin(kFormatNames), std::end(kFormatNames), j.serialFormat);
  m_comboSerialFormat->setCurrentIndex(
      format == std::end(kFormatNames) ? 0 : static_cast<int>(format - std::begin(kFormatNames)));
  m_checkFuse->setChecked(j.fuse);
  ShowJob();
  UpdateInputs();
  m_nextNumber.reset();
  ShowNextSerial();
  return true;
}

void CProductionPage::ShowOwnInputs() {
  if (m_own == nullptr) return;
  const std::unique_ptr<OwnInputs> own = std::move(m_own);
  m_editHexPath->setText(own->hexPath);
  m_checkSerial->setChecked(own->serial);
  m_editSerialAddress->setText(own->address);
  m_editSerialStart->setText(own->start);
  m_spinSerialStep->setValue(own->step);
  m_spinSerialBytes->setValue(own->bytes);
  m_comboSerialFormat->setCurrentIndex(own->format);
  m_checkFuse->setChecked(own->fuse);
}

void CProductionPage::CloseJob() {
  // An operator never goes back to free inputs.
  if (m_job == nullptr || IsRunning() || OperatorMode::Instance().Active()) return;
  m_job.reset();
  ShowOwnInputs();
  SaveJobSettings();
  ShowJob();
  UpdateInputs();
  m_nextNumber.reset();
  ShowNextSerial();
}

std::optional<SealedJob> CProductionPage::RecheckJob() {
  SealedJob sealed;
  std::string error;
  const JobCheck check =
      CheckJobFile(m_job->path.toStdString(), TrustedKeyPath().toStdString(), sealed, error);
  if (check != JobCheck::kOk) {
    MessageBox(JobRefusalText(kJobNotRun, check, error), kCaptionNotice, MsgButtons::kOk,
               MsgIcon::kNone);
    return std::nullopt;
  }
  if (const std::string id = JobIdOf(sealed); id != m_job->id) {
    MessageBox(std::string(kJobReplaced) + "\r\r技术原因：" + Printable(m_job->path.toStdString()) +
                   ": the job's id is now " + id + ", it was " + m_job->id + " when it was opened",
               kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return std::nullopt;
  }
  return sealed;
}

void CProductionPage::ShowJob() {
  if (m_labelJob == nullptr) return;
  if (m_job == nullptr) {
    const QString text = m_jobNote.isEmpty() ? QStringLiteral("未打开作业") : m_jobNote;
    m_labelJob->setText(text);
    m_labelJob->setToolTip(text);
    m_labelJob->setStyleSheet(m_jobNote.isEmpty() ? QString() : QStringLiteral("color:#c0392b"));
    return;
  }
  m_labelJob->setStyleSheet(QString());
  const SealedJob& j = m_job->job;
  const QString name = j.name.empty() ? QStringLiteral("（未命名）") : Utf8(j.name);
  const QString id = Utf8(std::string_view(m_job->id).substr(0, 16));
  const QString crc = Utf8(m_job->crc);
  QString plan;
  if (j.serialAt.empty()) {
    plan = QStringLiteral("无");
  } else if (!j.serialFileName.empty()) {
    plan = QStringLiteral("地址 %1，文件 %2").arg(Utf8(j.serialAt), Utf8(j.serialFileName));
  } else {
    plan = QStringLiteral("地址 %1，起始 %2，步长 %3，%4 字节，%5")
               .arg(Utf8(j.serialAt), Utf8(j.serialStart))
               .arg(j.serialStep)
               .arg(j.serialBytes)
               .arg(FormatText(j.serialFormat));
  }
  const QString limit =
      j.countLimit > 0 ? QStringLiteral("%1 片").arg(j.countLimit) : QStringLiteral("无");
  const QString signer =
      j.signature ? QStringLiteral("已签名（公钥 %1…）")
                        .arg(Utf8(std::string_view(j.signature->publicKey).substr(0, 16)))
                  : QStringLiteral("未签名");
  QStringList lines;
  lines << QStringLiteral("%1    ID %2    镜像CRC %3    %4").arg(name, id, crc, signer);
  lines << QStringLiteral("序列号：%1    熔断：%2    数量上限：%3    芯片数据：%4")
               .arg(plan, j.fuse ? QStringLiteral("是") : QStringLiteral("否"), limit,
                    j.chipData.empty() ? QStringLiteral("无") : QStringLiteral("有"));
  if (!j.notes.empty()) lines << QStringLiteral("说明：") + Utf8(j.notes);
  const QString full = lines.join(QLatin1Char('\n'));
  m_labelJob->setToolTip(full);
  // The compact tab has one line for it: the rest is in the tooltip and
  // in the inputs the job fills.
  m_labelJob->setText(m_layout == PageLayout::kWindow
                          ? full
                          : QStringLiteral("%1 ID %2 CRC %3 上限 %4").arg(name, id, crc, limit));
}

void CProductionPage::ChooseTrustedKey() {
  if (IsRunning() || OperatorMode::Instance().Active()) return;
  const std::optional<QString> file = m_dialogs.ChooseTrustedKey(this, TrustedKeyPath());
  if (!file) return;
  m_editTrustedKey->setText(QDir::toNativeSeparators(*file));
  m_editTrustedKey->end(false);
  TrustedKeyChanged();
}

void CProductionPage::TrustedKeyChanged() {
  SaveJobSettings();
  if (m_job == nullptr || IsRunning()) return;
  // The open job must pass the new key too, or it is closed.
  SealedJob sealed;
  std::string error;
  const JobCheck check =
      CheckJobFile(m_job->path.toStdString(), TrustedKeyPath().toStdString(), sealed, error);
  if (check == JobCheck::kOk && JobIdOf(sealed) == m_job->id) return;
  MessageBox(check != JobCheck::kOk ? JobRefusalText("当前作业不能再使用，已关闭！", check, error)
                                    : std::string(kJobReplaced),
             kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
  m_job.reset();
  ShowOwnInputs();
  SaveJobSettings();
  ShowJob();
  UpdateInputs();
  m_nextNumber.reset();
  ShowNextSerial();
}

void CProductionPage::ToggleOperatorMode() {
  OperatorMode& mode = OperatorMode::Instance();
  if (!IsRunning()) {
    if (mode.Active()) {
      mode.Leave(this, m_dialogs);
    } else {
      mode.Enter(this, m_dialogs);
    }
  }
  // The box shows the mode as it is, whatever was answered.
  UpdateInputs();
}

void CProductionPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  EnsureBuilt();
  // The programmers are watched once the page is first shown, not while
  // the window starts.
  RefreshProgrammers();
}

void CProductionPage::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A run still watches its programmers while the page is hidden.
  if (!IsRunning()) StopWatching();
}

void CProductionPage::StopWatching() {
  if (m_watcher == nullptr || m_watchKey == 0) return;
  m_watcher->Unsubscribe(m_watchKey);
  m_watchKey = 0;
}

void CProductionPage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutBody();
}

void CProductionPage::LayoutBody() {
  if (m_body == nullptr) return;
  m_body->setGeometry(rect());
  if (m_layout == PageLayout::kWindow) return;  // its layouts place the controls
  // The records take what the page has left below the totals.
  const DialogUnits du(font());
  const int top = m_tableRecords->y();
  m_tableRecords->resize(m_tableRecords->width(), std::max(du.Y(20), height() - top - du.Y(3)));
}

void CProductionPage::RefreshProgrammers() {
  EnsureBuilt();
  WatchProgrammers();
  m_watcher->Rescan();
}

void CProductionPage::WatchProgrammers() {
  if (m_watchKey != 0) return;
  // Every page of the process shares one watcher; its thread does the
  // device search, this thread only shows the list.
  if (!m_watcher) m_watcher = DeviceWatcher::Shared();
  m_watchKey = m_watcher->Subscribe([this](const std::vector<FoundDevice>& found) {
    QMetaObject::invokeMethod(
        this, [this, found] { ProgrammersListed(found); }, Qt::QueuedConnection);
  });
}

void CProductionPage::ProgrammersListed(std::vector<FoundDevice> found) {
  if (m_session != nullptr && m_runActive) {
    // During a run the stations stay as they were; a programmer that is gone
    // ends its station.
    const auto& devices = m_session->Devices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const bool present = std::any_of(found.begin(), found.end(), [&](const FoundDevice& d) {
        return d.path == devices[i].path;
      });
      if (!present) m_session->Unplugged(i);
    }
    return;
  }
  if (m_runActive) return;  // the record is being opened: the tiles are taken
  auto same = [](const FoundDevice& a, const FoundDevice& b) {
    return a.path == b.path && a.serial == b.serial && a.port == b.port;
  };
  if (m_listed &&
      std::equal(found.begin(), found.end(), m_programmers.begin(), m_programmers.end(), same)) {
    return;
  }
  m_listed = true;
  m_programmers = std::move(found);
  RebuildTiles();
}

void CProductionPage::RebuildTiles() {
  for (ProgrammerTile* tile : m_tiles) delete tile;
  m_tiles.clear();
  const DialogUnits du(font());
  const int count = static_cast<int>(m_programmers.size());
  // The window's tiles fill its width: up to 4 in a row (1 to 16 programmers
  // in at most 4 rows), each row as high as the area allows.
  const int columns = count <= 4 ? std::max(count, 1) : count <= 9 ? (count + 1) / 2 : 4;
  for (const FoundDevice& device : m_programmers) {
    auto* tile = new ProgrammerTile(m_layout, m_tileHolder, count > 8);
    const int index = static_cast<int>(m_tiles.size());
    if (m_layout == PageLayout::kWindow) {
      tile->SetNumber(index + 1);
      tile->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
      m_tileGrid->addWidget(tile, index / columns, index % columns);
    } else {
      tile->setMinimumWidth(du.X(80));
      tile->setMaximumWidth(du.X(120));
      m_tileLayout->insertWidget(index, tile);
    }
    tile->SetIdentity(Utf8(device.serial.empty() ? device.path : device.serial), Utf8(device.port));
    tile->SetActivity(QStringLiteral("空闲"));
    m_tiles.push_back(tile);
  }
  m_labelNoProgrammer->setVisible(m_tiles.empty());
  if (m_tileGrid != nullptr) {
    // Every tile as wide and as high as the others, whatever its text.
    for (int c = 0; c < m_tileGrid->columnCount(); ++c) m_tileGrid->setColumnStretch(c, 0);
    for (int r = 0; r < m_tileGrid->rowCount(); ++r) m_tileGrid->setRowStretch(r, 0);
    for (int c = 0; c < columns; ++c) m_tileGrid->setColumnStretch(c, 1);
    for (int r = 0; r < (count + columns - 1) / columns; ++r) m_tileGrid->setRowStretch(r, 1);
  }
}

void CProductionPage::StartProduction() {
  if (IsRunning()) return;
  // The job, checked by the same rules as `velkan produce`: a sealed job
  // as `velkan produce --job` runs it, or the page's own inputs.
  JobRequest request;
  request.log = m_editLogDb->text().trimmed().toStdString();
  request.next = m_radioNextAuto->isChecked() ? "auto" : "enter";
  std::optional<SealedJob> sealed;
  if (m_job != nullptr) {
    sealed = RecheckJob();
    if (!sealed) return;
    ApplySealedJob(*sealed, request);
  } else if (OperatorMode::Instance().Active()) {
    MessageBox(kOperatorNeedsJob, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  } else if (!TrustedKeyPath().isEmpty()) {
    MessageBox(kTrustedKeyNeedsJob, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  } else {
    request.hexPath = m_editHexPath->text().toStdString();
    request.fuse = m_checkFuse->isChecked();
    if (m_checkSerial->isChecked()) {
      request.serialAt = m_editSerialAddress->text().toStdString();
      request.serialCounter = true;
      request.serialStart = m_editSerialStart->text().toStdString();
      request.serialStep = m_spinSerialStep->value();
      request.serialBytes = m_spinSerialBytes->value();
      request.serialFormat = kFormatNames[std::max(0, m_comboSerialFormat->currentIndex())];
    }
  }
  if (!request.chipData.empty() && !ChildProcessesAvailable()) {
    MessageBox(kNoChipDataHere, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  }
  JobProblem problem;
  std::optional<Job> job = BuildJob(request, kVersion, problem);
  if (!job) {
    MessageBox(JobProblemText(problem), kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  }
  // The job's fuse was chosen by its owner: confirmed here as the command
  // line confirms it, 否 the default.
  if (sealed && sealed->fuse &&
      m_dialogs.ConfirmIrreversible(this, kFuseWarning, kFuseCaption) != MsgResult::kYes) {
    return;
  }

  // The stations: every programmer attached now, as the watcher last saw
  // them (its first list is waited for a moment after the page appears).
  WatchProgrammers();
  if (!m_listed && m_watcher->WaitListed(std::chrono::seconds(2))) {
    ProgrammersListed(m_watcher->Current());
  }
  if (m_programmers.empty()) {
    MessageBox(kNoProgrammerText, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  }
  // The default station keeps the other pages off while production runs.
  ProgrammerLease lease = AcquireForRun(DefaultStation(), *this);
  if (!lease) return;

  auto pending = std::make_unique<Pending>();
  std::string error;
  if (sealed ? !LoadProductText(*this, sealed->hexName, sealed->hexText, job->fuse,
                                pending->product, error)
             : !LoadProduct(*this, job->hexPath, job->fuse, pending->product, error)) {
    if (!error.empty()) MessageBox(error, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  }
  SaveSettings();
  m_runLimit = job->settings.countLimit;
  pending->settings = std::move(job->settings);
  pending->lease = std::move(lease);
  pending->programmers = m_programmers;
  m_pending = std::move(pending);

  // A database server may take its time to answer (at most the connection
  // timeout): the record is opened off this thread, the page meanwhile
  // locked and saying so.
  m_runActive = true;
  m_opening = true;
  LockInputs(true);
  m_btnNext->setEnabled(false);
  for (ProgrammerTile* tile : m_tiles) tile->SetActivity(QStringLiteral("正在打开记录库..."));
  const int generation = ++m_openGeneration;
  OpenRecordOffThread(job->log, static_cast<int>(StoreMode::kCreate),
                      [this, generation](std::unique_ptr<RecordStore> store, std::string failure) {
                        // A start given up before its record came: not this one.
                        if (generation == m_openGeneration) RecordOpened(std::move(store), failure);
                      });
}

void CProductionPage::OpenRecordOffThread(
    std::string target, int mode,
    std::function<void(std::unique_ptr<RecordStore>, std::string)> done) {
  QPointer<CProductionPage> page(this);
  auto open = [page, target = std::move(target), mode, done = std::move(done)]() mutable {
    struct Running {
      ~Running() {
        std::lock_guard lock(RecordOpeners().mutex);
        --RecordOpeners().running;
        RecordOpeners().done.notify_all();
      }
    } running;
    std::string error;
    const auto storeMode = static_cast<StoreMode>(mode);
    // A record in a folder that does not exist yet gets its folder.
    if (storeMode == StoreMode::kCreate && !IsPostgresTarget(target)) {
      std::error_code ignored;
      const std::filesystem::path folder =
          std::filesystem::absolute(std::filesystem::u8path(target), ignored).parent_path();
      if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
    }
    std::unique_ptr<RecordStore> store = OpenProductionRecord(target, error, storeMode);
    std::string failure = store ? std::string() : StoreFailureText(target, error);
    auto shared = std::make_shared<std::unique_ptr<RecordStore>>(std::move(store));
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app,
        [page, shared, failure = std::move(failure), done = std::move(done)]() mutable {
          if (page) done(std::move(*shared), std::move(failure));
        },
        Qt::QueuedConnection);
  };
  {
    std::lock_guard lock(RecordOpeners().mutex);
    ++RecordOpeners().running;  // counted down by the thread as it ends
  }
  try {
    // Not joined: a page that goes away meanwhile does not wait for a
    // server; the store is then closed on this thread when it comes.
    std::thread(std::move(open)).detach();
  } catch (const std::system_error&) {
    {
      std::lock_guard lock(RecordOpeners().mutex);
      --RecordOpeners().running;
    }
    done(nullptr, std::string(kLogOpenFailed));
  }
}

void CProductionPage::RecordOpened(std::unique_ptr<RecordStore> store, const std::string& error) {
  m_opening = false;
  std::unique_ptr<Pending> pending = std::move(m_pending);
  if (!store || pending == nullptr || !m_runActive) {
    m_runActive = false;
    LockInputs(false);
    m_btnNext->setEnabled(false);
    for (ProgrammerTile* tile : m_tiles) tile->SetActivity(QStringLiteral("空闲"));
    if (!store && pending != nullptr) {
      pending->lease.Release();
      MessageBox(error, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    }
    return;
  }
  {
    std::vector<UnknownNumber> unknown;
    std::string ignored;
    if (store->Unknown(unknown, ignored)) ShowUnknownCount(unknown.size());
  }

  // A fresh session: counters, totals and tiles start from nothing; the
  // records table keeps what earlier sessions recorded.
  m_session.reset();
  m_programmers = pending->programmers;
  RebuildTiles();
  m_totalPassed = 0;
  m_totalFailed = 0;
  m_sessionClock.start();
  m_nextNumber.reset();
  ShowTotals();
  ShowNextSerial();
  for (ProgrammerTile* tile : m_tiles) tile->SetActivity(QStringLiteral("连接中..."));
  std::set<std::string> paths;
  for (const FoundDevice& device : m_programmers) paths.insert(device.path);
  // The programmers the stations use are not opened by the watcher.
  m_watcher->SetInUse(std::move(paths));
  m_session = std::make_unique<ProductionSession>(
      this, [this] { ApplySession(); }, std::move(pending->product), std::move(pending->settings),
      std::move(store), m_programmers, std::move(pending->lease));
  LockInputs(true);
  if (!m_session->Start()) {
    m_runActive = false;
    m_session.reset();
    m_watcher->SetInUse({});
    LockInputs(false);
    return;
  }
  m_keysDown.clear();
  if (m_session->Manual()) qApp->installEventFilter(this);
  m_clockTimer.start();
}

void CProductionPage::StopProduction() {
  if (!IsRunning()) return;
  if (m_opening) {
    // The record is still being opened: production does not start.
    m_runActive = false;
    m_opening = false;
    ++m_openGeneration;
    m_pending.reset();
    LockInputs(false);
    m_btnNext->setEnabled(false);
    for (ProgrammerTile* tile : m_tiles) tile->SetActivity(QStringLiteral("空闲"));
    return;
  }
  m_session->Stop();
  m_btnStop->setEnabled(false);
  m_btnNext->setEnabled(false);
  ShowTotals();
}

void CProductionPage::NextChip() {
  if (!IsRunning() || m_session == nullptr || !m_session->Manual() || m_session->Stopping()) {
    return;
  }
  m_session->ReleaseWaiting();
}

void CProductionPage::ApplySession() {
  // An update queued before the run's end was shown has nothing left to do.
  if (m_session == nullptr || !m_runActive) return;
  ProductionSession::News state = m_session->Take();
  for (std::size_t i = 0; i < state.stations.size() && i < m_tiles.size(); ++i) {
    const ProductionSession::StationState& s = state.stations[i];
    ProgrammerTile* tile = m_tiles[i];
    tile->SetIdentity(Utf8(s.serial.empty() ? m_session->Devices()[i].path : s.serial),
                      Utf8(s.port));
    tile->SetProgress(s.percent);
    tile->SetCounters(s.counters.passed, s.counters.failed);
    QString activity;
    switch (s.activity) {
      case ProductionSession::Activity::kOpening:
        activity = QStringLiteral("连接中...");
        break;
      case ProductionSession::Activity::kWaitingChip:
        activity = m_session->Manual() ? QStringLiteral("请放入芯片，按下一片")
                                       : QStringLiteral("等待芯片...");
        break;
      case ProductionSession::Activity::kWaitingRemoval:
        activity = QStringLiteral("请取出芯片");
        break;
      case ProductionSession::Activity::kProgramming:
        activity = QStringLiteral("编程中 %1%").arg(s.percent);
        if (s.chipSerial) activity += QStringLiteral("  ") + Utf8(*s.chipSerial);
        break;
      case ProductionSession::Activity::kEnded:
        activity =
            s.stop ? StopText(*s.stop, s.stopDetail, s.ready, s.unplugged, m_runLimit) : QString();
        break;
    }
    const bool programming = s.activity == ProductionSession::Activity::kProgramming;
    tile->SetActivity(activity, programming);
    if (s.chipSerial) tile->SetChipSerial(Utf8(*s.chipSerial));
    if (s.chipSerial && s.chipSerial->size() <= 16) {
      // The next chip's number is one step past the highest given.
      if (const auto number = SerialNumberOf(*s.chipSerial)) {
        const std::int64_t next = *number + SerialStep();
        if (!m_nextNumber || next > *m_nextNumber) m_nextNumber = next;
      }
    }
    const bool stationFailed = s.activity == ProductionSession::Activity::kEnded && s.stop &&
                               (s.unplugged || !NormalStop(*s.stop));
    if (stationFailed && s.unrecorded) {
      // Which chip to put aside matters more than why the station stopped.
      tile->SetResult(s.resultText, s.resultDetail, ProgrammerTile::Look::kFail);
    } else if (stationFailed) {
      // The station itself failed: shown as failed whatever its last chip did.
      const QString text = QStringLiteral("失败：") + activity;
      tile->SetResult(text, Utf8(s.stopDetail), ProgrammerTile::Look::kFail);
    } else {
      tile->SetResult(s.resultText, s.resultDetail,
                      s.result == ProductionSession::Result::kPass   ? ProgrammerTile::Look::kPass
                      : s.result == ProductionSession::Result::kFail ? ProgrammerTile::Look::kFail
                      : programming                                  ? ProgrammerTile::Look::kBusy
                                    : ProgrammerTile::Look::kNeutral);
    }
  }

  // New records on top.
  for (std::size_t r = 0; r < state.newRecords.size(); ++r) {
    const ChipRecord& row = state.newRecords[r];
    const bool passed = IsPass(row.result);
    // An attempt that never reached a chip is recorded but not counted.
    const bool reached = ReachedChip(row.result);
    if (reached) (passed ? m_totalPassed : m_totalFailed) += 1;
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(row.started.time_since_epoch())
            .count(),
        QTimeZone::utc());
    QString note = state.newReasons[r];
    if (!row.detail.empty()) note += QStringLiteral("  ") + DisplayText(row.detail);
    const QString cells[] = {time.isValid()
                                 ? time.toLocalTime().toString(QStringLiteral("HH:mm:ss"))
                                 : Utf8(row.timeUtc),
                             Utf8(row.stationSerial.empty() ? row.stationPort : row.stationSerial),
                             row.chipSerial ? Utf8(*row.chipSerial) : QString(),
                             passed    ? QStringLiteral("通过")
                             : reached ? QStringLiteral("失败")
                                       : QStringLiteral("未编程"),
                             QString::number(row.durationMs),
                             note.simplified()};
    m_tableRecords->insertRow(0);
    for (int c = 0; c < 6; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      if (c == 3) item->setForeground(passed ? QColor(0x2e, 0x7d, 0x32) : QColor(0xc0, 0x39, 0x2b));
      if (c == 5) item->setToolTip(note);
      m_tableRecords->setItem(0, c, item);
    }
  }
  if (m_tableRecords->rowCount() > kShownRecords) m_tableRecords->setRowCount(kShownRecords);
  ShowTotals();
  ShowNextSerial();
  if (m_session->Manual() && !m_session->Stopping()) m_btnNext->setEnabled(true);
  if (state.finished) FinishRun();
}

void CProductionPage::ShowTotals() {
  const Counters totals{m_totalPassed, m_totalFailed};
  // No yield before the first chip: 0% would read as a line that fails everything.
  const QString yield = totals.passed + totals.failed == 0
                            ? QStringLiteral("—")
                            : QString::number(totals.Yield(), 'f', 1) + QLatin1Char('%');
  QString text = QStringLiteral("合计：通过 %1  失败 %2  良率 %3")
                     .arg(totals.passed)
                     .arg(totals.failed)
                     .arg(yield);
  // The session's time (to its end once it has ended) and, after the first
  // minute, the pace of passed chips.
  if (m_sessionClock.isValid()) {
    const qint64 ms = m_runActive ? m_sessionClock.elapsed() : m_sessionMs;
    const qint64 s = ms / 1000;
    text += QStringLiteral("  用时 %1:%2:%3")
                .arg(s / 3600, 2, 10, QLatin1Char('0'))
                .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                .arg(s % 60, 2, 10, QLatin1Char('0'));
    if (ms >= 60000) {
      text += QStringLiteral("  每小时 %1 片").arg(qRound64(totals.passed * 3600000.0 / ms));
    }
  }
  if (m_runActive && m_session != nullptr && m_session->Stopping()) {
    text += QStringLiteral("  正在停止...");
  }
  // The compact tab has no room of its own for the next number.
  if (m_layout == PageLayout::kCompact && !m_nextSerial.isEmpty()) {
    text += QStringLiteral("  下一序列号 ") + m_nextSerial;
  }
  if (m_labelTotals->text() != text) m_labelTotals->setText(text);
}

void CProductionPage::FinishRun() {
  m_sessionMs = m_sessionClock.elapsed();
  m_runActive = false;
  qApp->removeEventFilter(this);
  m_keysDown.clear();
  m_session->Join();  // the lease on the default station goes with it
  LockInputs(false);
  m_btnNext->setEnabled(false);
  m_clockTimer.stop();
  ShowTotals();  // "正在停止..." goes with the run
  if (m_watcher) {
    m_watcher->SetInUse({});
    m_watcher->Rescan();
  }
  if (!isVisible()) StopWatching();
  RefreshUnknownCount();
  emit productionFinished();
}

std::optional<std::int64_t> CProductionPage::SerialNumberOf(const std::string& text) const {
  // The record's text of a counter's number back to the number: hex digits
  // (least significant byte first for le), decimal digits for BCD.
  const int format = m_comboSerialFormat->currentIndex();
  std::string digits = text;
  if (format == 1) {
    digits.clear();
    for (std::size_t i = text.size(); i >= 2; i -= 2) digits += text.substr(i - 2, 2);
  }
  bool ok = false;
  const qint64 number = QString::fromStdString(digits).toLongLong(&ok, format == 2 ? 10 : 16);
  if (!ok) return std::nullopt;
  return number;
}

void CProductionPage::ShowNextSerial() {
  QString next;
  if (m_checkSerial->isChecked()) {
    SerialPlan plan;
    const std::string error = ParseCounterPlan(
        m_editSerialAddress->text().toStdString(), m_editSerialStart->text().toStdString(),
        SerialStep(), m_spinSerialBytes->value(),
        kFormatNames[std::max(0, m_comboSerialFormat->currentIndex())], plan);
    if (error.empty()) {
      std::string ignored;
      const auto value = ValueOf(plan, m_nextNumber.value_or(plan.start), ignored);
      if (value) next = Utf8(value->text);
    }
  }
  m_nextSerial = next;
  m_labelNextSerial->setText(next.isEmpty() ? QString() : QStringLiteral("下一序列号：") + next);
  ShowTotals();
}

void CProductionPage::ShowUnknownCount(std::size_t count) {
  m_unknownCount = count;
  m_btnUnknown->setText(QStringLiteral("未知序列号：%1").arg(count));
  m_btnUnknown->setToolTip(QStringLiteral(
      "这些序列号已预留给记录未完成的芯片（程序被中止或记录失败），芯片上可能有此序列号。"
      "检查这些芯片后点此处理。"));
  m_btnUnknown->setVisible(count > 0);
  if (m_layout == PageLayout::kCompact) {
    // The totals take the row when the unknown numbers' button is away.
    const DialogUnits du(font());
    m_labelTotals->setGeometry(du.Rect(6, 129, count > 0 ? 258 : 338, 9));
  }
}

void CProductionPage::RefreshUnknownCount() {
  const std::string target = m_editLogDb->text().trimmed().toStdString();
  if (target.empty()) return;
  OpenRecordOffThread(target, static_cast<int>(StoreMode::kReadOnly),
                      [this](std::unique_ptr<RecordStore> store, std::string) {
                        std::vector<UnknownNumber> unknown;
                        std::string error;
                        if (store && store->Unknown(unknown, error))
                          ShowUnknownCount(unknown.size());
                      });
}

void CProductionPage::SettleUnknownNumbers() {
  // The engineer's word, not the operator's.
  if (IsRunning() || OperatorMode::Instance().Active()) return;
  m_btnUnknown->setEnabled(false);
  OpenRecordOffThread(
      m_editLogDb->text().trimmed().toStdString(), static_cast<int>(StoreMode::kWrite),
      [this](std::unique_ptr<RecordStore> store, std::string failure) {
        UpdateInputs();
        std::string error;
        std::vector<UnknownNumber> unknown;
        if (!store || !store->Unknown(unknown, error)) {
          MessageBox(store ? std::string(kLogOpenFailed) + "\r\r技术原因：" + error : failure,
                     kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
          return;
        }
        for (const UnknownNumber& u : unknown) {
          if (u.chipHex.empty()) continue;  // an older record's number: settle with velkan log
          const std::string question = "序列号 " + u.chipHex + " 未知（编程器 " + u.station + "，" +
                                       u.timeUtc +
                                       " 预留，记录未完成）。\r\r请先找到这片芯片并检查。\r"
                                       "是：芯片上有此序列号，作废此序列号（不再分配）\r"
                                       "否：没有芯片使用此序列号，释放（分配给下一片）";
          const MsgResult answer =
              MessageBox(question, kCaptionNotice, MsgButtons::kYesNo, MsgIcon::kWarning);
          int settled = 0;
          if (!store->SettleUnknown(u.chipHex, u.series, answer != MsgResult::kYes, settled,
                                    error)) {
            MessageBox(std::string("处理失败！\r\r技术原因：") + error, kCaptionNotice,
                       MsgButtons::kOk, MsgIcon::kNone);
            break;
          }
        }
        unknown.clear();
        if (store->Unknown(unknown, error)) ShowUnknownCount(unknown.size());
      });
}

bool CProductionPage::WaitForRun(int limitMs) {
  // The stations' last report always comes as a queued update, which ends
  // the run on this thread.
  QElapsedTimer waited;
  waited.start();
  while (IsRunning() && waited.elapsed() < limitMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return !IsRunning();
}

void CProductionPage::StopAndWait(int limitMs) {
  if (m_opening) StopProduction();
  if (m_session == nullptr) return;
  m_session->Stop();
  if (WaitForRun(limitMs)) return;
  // A station that does not end in time (a programmer that stopped
  // answering, a record server that does not) is left to end on its own:
  // the session is not destroyed under it.
  m_session->Detach();
  (void)m_session.release();
  m_runActive = false;
  qApp->removeEventFilter(this);
}

bool CProductionPage::NextChipKey(QEvent* event) {
  auto* key = static_cast<QKeyEvent*>(event);
  const bool nextKey =
      key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Space;
  return nextKey && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

bool CProductionPage::eventFilter(QObject* watched, QEvent* event) {
  // Button mode: Enter and space anywhere in this window (a foot switch is
  // often a keyboard key) start the next chip while this page is shown.
  const QEvent::Type type = event->type();
  if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && isVisible() &&
      NextChipKey(event)) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget != nullptr && widget->window() == window()) {
      auto* key = static_cast<QKeyEvent*>(event);
      // One chip per press: a key held down (a foot switch that repeats,
      // with or without the repeat flag) starts nothing more until it has
      // been let go.
      if (type == QEvent::KeyRelease) {
        if (!key->isAutoRepeat()) m_keysDown.remove(key->key());
      } else if (!key->isAutoRepeat() && !m_keysDown.contains(key->key())) {
        m_keysDown.insert(key->key());
        NextChip();
      }
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace velkan::ui
