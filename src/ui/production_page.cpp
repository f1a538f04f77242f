#include "ui/production_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
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
#include <cstdio>
#include <iterator>
#include <optional>

#include "image/start_programming.h"
#include "production/job.h"
#include "production/production.h"
#include "production/record_server.h"
#include "production/remote_store.h"
#include "script/session.h"
#include "ui/dialog_units.h"
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

// The serial number forms in the format box's order, as the engine names them.
constexpr const char* kFormatNames[] = {"be", "le", "bcd", "ascii"};
constexpr const char* kFormatTexts[] = {"大端", "小端", "BCD", "ASCII"};

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString StopText(StationStop why, const std::string& detail, bool wasReady, bool unplugged) {
  if (unplugged) return QStringLiteral("编程器已断开！");
  switch (why) {
    case StationStop::kCount:
      return QStringLiteral("已完成");
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

bool NormalStop(StationStop why) {
  return why == StationStop::kCount || why == StationStop::kStopped;
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

QString DefaultLogDatabase() {
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return QDir::toNativeSeparators(QDir(documents.isEmpty() ? QDir::homePath() : documents)
                                      .filePath(QStringLiteral("velkan-production.db")));
}

}  // namespace

// ---------------------------------------------------------------------------
// ProgrammerTile

ProgrammerTile::ProgrammerTile(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("tile"));
  setFrameShape(QFrame::StyledPanel);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 2, 4, 2);
  layout->setSpacing(1);
  m_labelName = new QLabel(this);
  m_labelName->setTextFormat(Qt::RichText);
  m_labelActivity = new QLabel(this);
  m_progress = new QProgressBar(this);
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);
  m_progress->setMaximumHeight(m_labelActivity->fontMetrics().height() / 2 + 2);
  m_labelResult = new QLabel(this);
  m_labelCounters = new QLabel(this);
  for (QLabel* label : {m_labelName, m_labelActivity, m_labelResult, m_labelCounters}) {
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    layout->addWidget(label);
    if (label == m_labelActivity) layout->addWidget(m_progress);
  }
  layout->addStretch(1);
  SetCounters(0, 0);
  SetResult({}, {}, Look::kNeutral);
}

// The setters change only what differs: the stations report many times a
// second, and most reports move only the progress bar.
void ProgrammerTile::SetIdentity(const QString& name, const QString& port) {
  if (name == m_name && port == m_port && !m_labelName->text().isEmpty()) return;
  m_name = name;
  m_port = port;
  m_labelName->setText(QStringLiteral("<b>%1</b> <span style=\"color:#666\">%2</span>")
                           .arg(name.toHtmlEscaped(), port.toHtmlEscaped()));
  m_labelName->setToolTip(port.isEmpty() ? name : name + QStringLiteral("\n") + port);
}

void ProgrammerTile::SetActivity(const QString& text) {
  if (m_labelActivity->text() != text) m_labelActivity->setText(text);
}

void ProgrammerTile::SetProgress(int percent) {
  m_progress->setValue(percent);
}

void ProgrammerTile::SetResult(const QString& text, const QString& detail, Look look) {
  if (m_labelResult->text() != text) m_labelResult->setText(text);
  if (m_labelResult->toolTip() != detail) m_labelResult->setToolTip(detail);
  if (look == m_look) return;
  m_look = look;
  switch (look) {
    case Look::kNeutral:
      setStyleSheet(QString());
      break;
    case Look::kPass:
      setStyleSheet(
          QStringLiteral("QFrame#tile{background:#e3f4e1;border:1px solid #3a8f35;}"
                         "QLabel{background:transparent;}"));
      break;
    case Look::kFail:
      setStyleSheet(
          QStringLiteral("QFrame#tile{background:#fbe2e0;border:1px solid #c0392b;}"
                         "QLabel{background:transparent;}"));
      break;
  }
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

CProductionPage::CProductionPage(UiDialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_dialogs(dialogs) {
  setObjectName(QStringLiteral("CProductionPage"));
  setFont(DialogFont());
  const DialogUnits du(font());
  resize(du.Size(353, 180));
  m_plugTimer.setInterval(1000);
  connect(&m_plugTimer, &QTimer::timeout, this, [this] {
    RefreshProgrammers();
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
  m_editLogDb->setGeometry(du.Rect(40, 19, 234, 12));
  m_editLogDb->setToolTip(QStringLiteral("SQLite数据库文件，或PostgreSQL地址（postgresql://...）"));
  m_btnChooseLog = new QPushButton(QStringLiteral("..."), m_body);
  m_btnChooseLog->setObjectName(QStringLiteral("chooseLog"));
  m_btnChooseLog->setGeometry(du.Rect(276, 19, 16, 12));
  m_btnChooseLog->setAutoDefault(false);

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

  m_tileArea = new QScrollArea(m_body);
  m_tileArea->setObjectName(QStringLiteral("tiles"));
  m_tileArea->setGeometry(du.Rect(6, 63, 338, 56));
  m_tileArea->setWidgetResizable(true);
  m_tileArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_tileArea->setFocusPolicy(Qt::NoFocus);
  m_tileHolder = new QWidget;
  m_tileLayout = new QHBoxLayout(m_tileHolder);
  m_tileLayout->setContentsMargins(2, 2, 2, 2);
  m_tileLayout->setSpacing(4);
  m_labelNoProgrammer = new QLabel(QStringLiteral("未找到编程器"), m_tileHolder);
  m_labelNoProgrammer->setAlignment(Qt::AlignCenter);
  m_labelNoProgrammer->setStyleSheet(QStringLiteral("color:#777"));
  m_tileLayout->addWidget(m_labelNoProgrammer, 1);
  m_tileLayout->addStretch(0);
  m_tileArea->setWidget(m_tileHolder);

  m_labelTotals = new QLabel(m_body);
  m_labelTotals->setObjectName(QStringLiteral("totals"));
  m_labelTotals->setGeometry(du.Rect(6, 121, 258, 9));
  ShowTotals();
  // Serial numbers reserved for chips whose record never came: counted here
  // and settled by an engineer who has looked at those chips.
  m_btnUnknown = new QPushButton(m_body);
  m_btnUnknown->setObjectName(QStringLiteral("unknownNumbers"));
  m_btnUnknown->setGeometry(du.Rect(266, 120, 78, 10));
  m_btnUnknown->setFocusPolicy(Qt::NoFocus);
  m_btnUnknown->setStyleSheet(QStringLiteral("color:#c0392b"));
  m_btnUnknown->hide();

  m_tableRecords = new QTableWidget(0, 6, m_body);
  m_tableRecords->setObjectName(QStringLiteral("records"));
  m_tableRecords->setGeometry(du.Rect(6, 131, 338, 42));
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
  RestoreSettings();
  LockInputs(false);
  LayoutBody();
  m_body->show();
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
}

void CProductionPage::SaveSettings() {
  QSettings store;
  store.beginGroup(QStringLiteral("production"));
  store.setValue(QStringLiteral("hexFile"), m_editHexPath->text());
  store.setValue(QStringLiteral("logDatabase"), m_editLogDb->text());
  store.setValue(QStringLiteral("serial"), m_checkSerial->isChecked());
  store.setValue(QStringLiteral("serialAddress"), m_editSerialAddress->text());
  store.setValue(QStringLiteral("serialStart"), m_editSerialStart->text());
  store.setValue(QStringLiteral("serialStep"), m_spinSerialStep->value());
  store.setValue(QStringLiteral("serialBytes"), m_spinSerialBytes->value());
  store.setValue(
      QStringLiteral("serialFormat"),
      QString::fromLatin1(kFormatNames[std::max(0, m_comboSerialFormat->currentIndex())]));
  store.setValue(QStringLiteral("nextChip"),
                 m_radioNextAuto->isChecked() ? QStringLiteral("auto") : QStringLiteral("button"));
}

void CProductionPage::SetRecorderProgram(const QString& path) {
  RecorderProgram() = path;
}

CProductionPage::~CProductionPage() {
  StopAndWait();
  qApp->removeEventFilter(this);
}

MsgResult CProductionPage::MessageBox(std::string_view text, std::string_view caption,
                                      MsgButtons buttons, MsgIcon icon) {
  return m_dialogs.MessageBox(this, text, caption, buttons, icon);
}

bool CProductionPage::IsRunning() const {
  return m_runActive;
}

void CProductionPage::LockInputs(bool locked) {
  for (QWidget* w : std::initializer_list<QWidget*>{
           m_editHexPath, m_btnChooseHex, m_editLogDb, m_btnChooseLog, m_checkSerial, m_checkFuse,
           m_radioNextButton, m_radioNextAuto, m_btnStart, m_btnUnknown}) {
    w->setEnabled(!locked);
  }
  UpdateSerialInputs();
  m_btnStop->setEnabled(locked);
  m_btnNext->setEnabled(locked && m_session != nullptr && m_session->Manual());
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
  const std::optional<QString> file = m_dialogs.OpenHexFile(this);
  if (!file) return;
  m_editHexPath->setText(QDir::toNativeSeparators(*file));
  m_editHexPath->end(false);
}

void CProductionPage::ChooseLogDatabase() {
  const std::optional<QString> file = m_dialogs.ChooseLogDatabase(this);
  if (!file) return;
  m_editLogDb->setText(QDir::toNativeSeparators(*file));
  m_editLogDb->end(false);
}

void CProductionPage::ConfirmFuse() {
  if (!m_checkFuse->isChecked()) return;
  if (m_dialogs.MessageBox(this, kFuseWarning, kFuseCaption, MsgButtons::kYesNo,
                           MsgIcon::kWarning) == MsgResult::kNo) {
    m_checkFuse->setChecked(false);
  }
}

void CProductionPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  EnsureBuilt();
  // The programmers are looked for once the page is first shown, not while
  // the window starts.
  RefreshProgrammers();
  m_plugTimer.start();
}

void CProductionPage::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A run still watches its programmers while the page is hidden.
  if (!IsRunning()) m_plugTimer.stop();
}

void CProductionPage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutBody();
}

void CProductionPage::LayoutBody() {
  if (m_body == nullptr) return;
  m_body->setGeometry(rect());
  // The records take what the page has left below the totals.
  const DialogUnits du(font());
  const int top = m_tableRecords->y();
  m_tableRecords->resize(m_tableRecords->width(), std::max(du.Y(20), height() - top - du.Y(3)));
}

void CProductionPage::RefreshProgrammers() {
  EnsureBuilt();
  std::vector<FoundDevice> found = ListProgrammers();
  if (IsRunning()) {
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
  for (const FoundDevice& device : m_programmers) {
    auto* tile = new ProgrammerTile(m_tileHolder);
    tile->setMinimumWidth(du.X(80));
    tile->setMaximumWidth(du.X(120));
    tile->SetIdentity(Utf8(device.serial.empty() ? device.path : device.serial), Utf8(device.port));
    tile->SetActivity(QStringLiteral("空闲"));
    m_tileLayout->insertWidget(static_cast<int>(m_tiles.size()), tile);
    m_tiles.push_back(tile);
  }
  m_labelNoProgrammer->setVisible(m_tiles.empty());
}

void CProductionPage::StartProduction() {
  if (IsRunning()) return;
  // The job, checked by the same rules as `velkan produce`.
  JobRequest request;
  request.hexPath = m_editHexPath->text().toStdString();
  request.log = m_editLogDb->text().trimmed().toStdString();
  request.fuse = m_checkFuse->isChecked();
  request.next = m_radioNextAuto->isChecked() ? "auto" : "enter";
  if (m_checkSerial->isChecked()) {
    request.serialAt = m_editSerialAddress->text().toStdString();
    request.serialCounter = true;
    request.serialStart = m_editSerialStart->text().toStdString();
    request.serialStep = m_spinSerialStep->value();
    request.serialBytes = m_spinSerialBytes->value();
    request.serialFormat = kFormatNames[std::max(0, m_comboSerialFormat->currentIndex())];
  }
  JobProblem problem;
  std::optional<Job> job = BuildJob(request, kVersion, problem);
  if (!job) {
    MessageBox(JobProblemText(problem), kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  }
  const std::string& hexPath = job->hexPath;
  const std::string& logTarget = job->log;
  Settings settings = std::move(job->settings);

  // The stations: every programmer attached now.
  m_listed = false;
  RefreshProgrammers();
  if (m_programmers.empty()) {
    MessageBox(kNoProgrammerText, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  }
  // The default station keeps the other pages off while production runs.
  ProgrammerLease lease = AcquireForRun(DefaultStation(), *this);
  if (!lease) return;

  Product product;
  std::string error;
  if (!LoadProduct(*this, hexPath, job->fuse, product, error)) {
    if (!error.empty()) MessageBox(error, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
    return;
  }
  std::unique_ptr<RecordStore> store;
  {
    // A database server may take its time to answer (at most the
    // connection timeout).
    struct WaitCursor {
      WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
      ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    } waitCursor;
    store = OpenProductionRecord(logTarget, error);
  }
  if (!store) {
    MessageBox(std::string(kLogOpenFailed) + "\r\r" + error, kCaptionNotice, MsgButtons::kOk,
               MsgIcon::kNone);
    return;
  }
  {
    std::vector<UnknownNumber> unknown;
    if (store->Unknown(unknown, error)) ShowUnknownCount(unknown.size());
  }

  SaveSettings();
  // A fresh session: counters, totals and tiles start from nothing; the
  // records table keeps what earlier sessions recorded.
  m_session.reset();
  RebuildTiles();
  m_totalPassed = 0;
  m_totalFailed = 0;
  m_sessionClock.start();
  ShowTotals();
  for (ProgrammerTile* tile : m_tiles) tile->SetActivity(QStringLiteral("连接中..."));
  m_session = std::make_unique<ProductionSession>(
      this, [this] { ApplySession(); }, std::move(product), std::move(settings), std::move(store),
      m_programmers, std::move(lease));
  m_runActive = true;
  LockInputs(true);
  if (!m_session->Start()) {
    m_runActive = false;
    m_session.reset();
    LockInputs(false);
    return;
  }
  if (m_session->Manual()) qApp->installEventFilter(this);
  m_plugTimer.start();
}

void CProductionPage::StopProduction() {
  if (!IsRunning()) return;
  m_session->Stop();
  m_btnStop->setEnabled(false);
  m_btnNext->setEnabled(false);
  ShowTotals();
}

void CProductionPage::NextChip() {
  if (!IsRunning() || !m_session->Manual() || m_session->Stopping()) return;
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
        activity = s.stop ? StopText(*s.stop, s.stopDetail, s.ready, s.unplugged) : QString();
        break;
    }
    tile->SetActivity(activity);
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
      const QString text =
          s.resultIsPrevious ? QStringLiteral("上一片：") + s.resultText : s.resultText;
      tile->SetResult(text, s.resultDetail,
                      s.result == ProductionSession::Result::kPass ? ProgrammerTile::Look::kPass
                      : s.result == ProductionSession::Result::kFail
                          ? ProgrammerTile::Look::kFail
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
  if (m_labelTotals->text() != text) m_labelTotals->setText(text);
}

void CProductionPage::FinishRun() {
  m_sessionMs = m_sessionClock.elapsed();
  m_runActive = false;
  qApp->removeEventFilter(this);
  m_session->Join();  // the lease on the default station goes with it
  LockInputs(false);
  m_btnNext->setEnabled(false);
  if (!isVisible()) m_plugTimer.stop();
  ShowTotals();  // "正在停止..." goes with the run
  RefreshUnknownCount();
  emit productionFinished();
}

void CProductionPage::ShowUnknownCount(std::size_t count) {
  m_unknownCount = count;
  m_btnUnknown->setText(QStringLiteral("未知序列号：%1").arg(count));
  m_btnUnknown->setToolTip(QStringLiteral(
      "这些序列号已预留给记录未完成的芯片（程序被中止或记录失败），芯片上可能有此序列号。"
      "检查这些芯片后点此处理。"));
  m_btnUnknown->setVisible(count > 0);
}

void CProductionPage::RefreshUnknownCount() {
  const std::string target = m_editLogDb->text().trimmed().toStdString();
  if (target.empty()) return;
  std::string error;
  const auto store = OpenProductionRecord(target, error, StoreMode::kReadOnly);
  std::vector<UnknownNumber> unknown;
  if (store && store->Unknown(unknown, error)) ShowUnknownCount(unknown.size());
}

void CProductionPage::SettleUnknownNumbers() {
  if (IsRunning()) return;
  std::string error;
  const auto store =
      OpenProductionRecord(m_editLogDb->text().trimmed().toStdString(), error, StoreMode::kWrite);
  std::vector<UnknownNumber> unknown;
  if (!store || !store->Unknown(unknown, error)) {
    MessageBox(std::string(kLogOpenFailed) + "\r\r" + error, kCaptionNotice, MsgButtons::kOk,
               MsgIcon::kNone);
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
    if (!store->SettleUnknown(u.chipHex, u.series, answer != MsgResult::kYes, settled, error)) {
      MessageBox(std::string("处理失败！\r\r") + error, kCaptionNotice, MsgButtons::kOk,
                 MsgIcon::kNone);
      break;
    }
  }
  unknown.clear();
  if (store->Unknown(unknown, error)) ShowUnknownCount(unknown.size());
}

void CProductionPage::WaitForRun() {
  // The stations' last report always comes as a queued update, which ends
  // the run on this thread.
  while (IsRunning()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

void CProductionPage::StopAndWait() {
  if (m_session == nullptr) return;
  m_session->Stop();
  WaitForRun();
}

bool CProductionPage::eventFilter(QObject* watched, QEvent* event) {
  // Button mode: Enter and space anywhere in this window (a foot switch is
  // often a keyboard key) start the next chip while this page is shown.
  if (event->type() == QEvent::KeyPress && isVisible()) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool nextKey =
        key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Space;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (nextKey && widget != nullptr && widget->window() == window() &&
        (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      // A key held down does not start chip after chip.
      if (!key->isAutoRepeat()) NextChip();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace velkan::ui
