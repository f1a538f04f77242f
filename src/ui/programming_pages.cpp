#include "ui/programming_pages.h"

#include <system_error>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrl>

#include "image/start_programming.h"
#include "script/runs.h"
#include "script/session.h"
#include "ui/dialog_units.h"
#include "ui/resource_ids.h"
#include "ui/ui_thread.h"

namespace velkan::ui {

namespace {

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ProgrammingPage::ProgrammingPage(const ProgrammingPageTemplate& tmpl, UiDialogs& dialogs,
                                 QWidget* parent)
    : QWidget(parent), m_template(tmpl), m_dialogs(dialogs) {
  setFont(DialogFont());
  const DialogUnits du(font());
  resize(du.Size(353, 180));

  // Created in template order, which is also the keyboard order.
  auto* hexLabel = new QLabel(QStringLiteral("Hex文件:"), this);
  hexLabel->setGeometry(du.Rect(11, 24, 32, 8));

  m_editHexPath = new QLineEdit(this);
  m_editHexPath->setObjectName(QStringLiteral("hexPath"));
  m_editHexPath->setGeometry(du.Rect(46, 21, 270, 14));
  // A drop on the path box is the page's: the box would insert the URL text.
  m_editHexPath->setAcceptDrops(false);

  m_btnChoose = new QPushButton(QStringLiteral("..."), this);
  m_btnChoose->setObjectName(QStringLiteral("chooseHex"));
  m_btnChoose->setGeometry(du.Rect(320, 21, 16, 14));
  m_btnChoose->setAutoDefault(false);

  m_checkFuse = new QCheckBox(Utf8(kFuseText), this);
  m_checkFuse->setObjectName(QStringLiteral("fuse"));
  m_checkFuse->setGeometry(du.Rect(47, 42, 128, 10));

  m_btnStart = new QPushButton(Utf8(tmpl.startText), this);
  m_btnStart->setObjectName(QStringLiteral("start"));
  m_btnStart->setGeometry(du.Rect(236, 40, tmpl.startWidth, 14));
  m_btnStart->setAutoDefault(false);

  m_editLog = new QPlainTextEdit(this);
  m_editLog->setObjectName(QStringLiteral("log"));
  m_editLog->setGeometry(du.Rect(7, 58, 339, 115));
  m_editLog->setReadOnly(true);
  m_editLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_editLog->setUndoRedoEnabled(false);
  m_editLog->setFocusPolicy(tmpl.logTabStop ? Qt::StrongFocus : Qt::ClickFocus);

  m_staticDescription = new QLabel(Utf8(tmpl.description), this);
  m_staticDescription->setGeometry(du.Rect(27, 7, 319, 8));
  m_staticDescription->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

  setAcceptDrops(true);

  connect(m_btnChoose, &QPushButton::clicked, this, [this] { ChooseHexFile(); });
  connect(m_checkFuse, &QCheckBox::clicked, this, [this] { ConfirmFuse(); });
  connect(m_btnStart, &QPushButton::clicked, this, [this] { StartProgramming(); });
}

ProgrammingPage::~ProgrammingPage() {
  // The run borrows the page: it must end before the page goes. The calls
  // it makes meanwhile are served here, so waiting cannot deadlock.
  WaitForRun();
}

void ProgrammingPage::UpdateFields() {
  SetHexPath(m_editHexPath->text().toStdString());
}

void ProgrammingPage::UpdateControls() {
  m_editHexPath->setText(Utf8(HexPath()));
}

void ProgrammingPage::EnableInputs(bool enable) {
  CallOnOwnerThread(this, [this, enable] {
    m_btnStart->setEnabled(enable);
    m_checkFuse->setEnabled(enable);
    m_btnChoose->setEnabled(enable);
    m_editHexPath->setEnabled(enable);
  });
}

bool ProgrammingPage::FuseChosen() {
  return CallOnOwnerThread(this, [this] { return m_checkFuse->isChecked(); });
}

MsgResult ProgrammingPage::MessageBox(std::string_view text, std::string_view caption,
                                      MsgButtons buttons, MsgIcon icon) {
  return CallOnOwnerThread(
      this, [&] { return m_dialogs.MessageBox(this, text, caption, buttons, icon); });
}

void ProgrammingPage::OnEvent(const velkan::Event& event) {
  RunLog::OnEvent(event);
  if (const auto notice = velkan::NoticeText(event)) {
    MessageBox(*notice, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
  }
}

void ProgrammingPage::Display(const std::string& logText, std::string_view transientTail) {
  // The conversion happens on the caller's thread; the page's thread only
  // replaces the box's content. A display that would show exactly what the
  // box shows already (a progress figure that has not moved) changes
  // nothing and is not sent.
  QString text = DisplayText(logText);
  text += DisplayText(transientTail);
  {
    std::lock_guard lock(m_shownMutex);
    if (m_shownValid && text == m_shown) return;
    m_shown = text;
    m_shownValid = true;
  }
  CallOnOwnerThread(this, [this, &text] { m_editLog->setPlainText(text); });
}

void ProgrammingPage::ChooseHexFile() {
  UpdateFields();
  const std::optional<QString> file = m_dialogs.OpenHexFile(this, m_editHexPath->text());
  if (!file) return;
  SetChosenHexFile(*file);
}

void ProgrammingPage::SetChosenHexFile(const QString& file) {
  SetHexPath(QDir::toNativeSeparators(file).toStdString());
  UpdateControls();
  // The end of a long path, with the file name, is what the box shows.
  m_editHexPath->end(false);
}

std::optional<QString> ProgrammingPage::DroppedHexFile(const QMimeData* data) const {
  // The path can change only while the inputs are enabled.
  if (data == nullptr || !m_editHexPath->isEnabled() || !data->hasUrls()) return std::nullopt;
  const QList<QUrl> urls = data->urls();
  if (urls.size() != 1 || !urls.front().isLocalFile()) return std::nullopt;
  // What the file chooser offers: an existing file matching "*.hex".
  const QFileInfo info(urls.front().toLocalFile());
  if (!info.isFile() || info.suffix().compare(QLatin1String("hex"), Qt::CaseInsensitive) != 0) {
    return std::nullopt;
  }
  return info.absoluteFilePath();
}

void ProgrammingPage::dragEnterEvent(QDragEnterEvent* event) {
  if (DroppedHexFile(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void ProgrammingPage::dragMoveEvent(QDragMoveEvent* event) {
  if (DroppedHexFile(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void ProgrammingPage::dropEvent(QDropEvent* event) {
  const std::optional<QString> file = DroppedHexFile(event->mimeData());
  if (!file) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  SetChosenHexFile(*file);
}

void ProgrammingPage::ConfirmFuse() {
  UpdateFields();
  if (!m_checkFuse->isChecked()) return;
  if (m_dialogs.MessageBox(this, kFuseWarning, kFuseCaption, MsgButtons::kYesNo,
                           MsgIcon::kWarning) == MsgResult::kNo) {
    m_checkFuse->setChecked(false);
  }
}

void ProgrammingPage::StartProgramming() {
  if (IsRunning()) return;
  JoinFinishedRun();
  UpdateFields();

  // An empty path is answered before anything else ("请打开hex文件！").
  if (HexPath().empty()) {
    velkan::StartProgramming(*this, HexPath(), FuseChosen(), Script());
    return;
  }
  // The programmer is taken before the script is rebuilt, and handed to the
  // run: no other page can start meanwhile.
  velkan::Station& station = velkan::DefaultStation();
  ProgrammerLease lease = AcquireForRun(station, *this);
  if (!lease) return;
  const bool fuse = FuseChosen();
  if (!velkan::StartProgramming(*this, HexPath(), fuse, Script())) return;

  // Locked before the worker exists, so that a second press cannot start a
  // second run or rebuild the script under the first.
  EnableInputs(false);
  ClearLog();
  m_running.store(true, std::memory_order_release);
  try {
    m_worker = std::jthread([this, &station, fuse, lease = std::move(lease)]() mutable {
      m_template.run(station, Context(fuse, *this));
      EnableInputs(true);
      lease.Release();
      m_running.store(false, std::memory_order_release);
      QMetaObject::invokeMethod(
          this, [this] { emit runFinished(); }, Qt::QueuedConnection);
    });
  } catch (const std::system_error&) {
    // No thread, no run: the lease went with the lambda; the page must not
    // stay locked.
    m_running.store(false, std::memory_order_release);
    EnableInputs(true);
  }
  UpdateControls();
}

void ProgrammingPage::JoinFinishedRun() {
  if (m_worker.joinable() && !IsRunning()) m_worker.join();
}

void ProgrammingPage::WaitForRun() {
  while (IsRunning()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  if (m_worker.joinable()) m_worker.join();
}

}  // namespace velkan::ui

namespace {

velkan::RunOutcome OnlineRun(velkan::Station& station, const velkan::RunContext& run) {
  return velkan::OnlineProgramRun(station, run);
}

const velkan::ui::ProgrammingPageTemplate kOnlineTemplate = {
    velkan::ui::kIdOnlinePage,   "开始编程", 50, "联机编程操作，将程序下载到加密芯片中！", false,
    &OnlineRun};

const velkan::ui::ProgrammingPageTemplate kOfflineTemplate = {
    velkan::ui::kIdOfflinePage,
    "下载到编程器",
    58,
    "脱机下载，将程序下载到编程器中，然后由编程器进行脱机下载！",
    true,
    &velkan::OfflineLoadRun};

}  // namespace

COnLineDownload::COnLineDownload(velkan::ui::UiDialogs& dialogs, QWidget* parent)
    : ProgrammingPage(kOnlineTemplate, dialogs, parent) {
  setObjectName(QStringLiteral("COnLineDownload"));
}

COfflineLoad::COfflineLoad(velkan::ui::UiDialogs& dialogs, QWidget* parent)
    : ProgrammingPage(kOfflineTemplate, dialogs, parent) {
  setObjectName(QStringLiteral("COfflineLoad"));
}
