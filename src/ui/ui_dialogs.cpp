#include "ui/ui_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <algorithm>

namespace velkan::ui {

QString DisplayText(std::string_view text) {
  QString out;
  out.reserve(static_cast<qsizetype>(text.size()));
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') continue;
    out += QString::fromUtf8(text.data() + start, static_cast<qsizetype>(i - start));
    out += QLatin1Char('\n');
    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  out += QString::fromUtf8(text.data() + start, static_cast<qsizetype>(text.size() - start));
  return out;
}

int MessageBoxMinimumWidth(const QWidget& box) {
  const QFontMetrics metrics(box.font());
  // Title bars take about two icons and three buttons beside the caption.
  const int decorations = 10 * metrics.height();
  const int caption = metrics.horizontalAdvance(box.windowTitle()) + decorations;
  const int reading = 30 * metrics.averageCharWidth();
  return std::max(caption, reading);
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, std::string_view text,
                                            std::string_view caption, MsgButtons buttons,
                                            MsgIcon icon) {
  auto box = std::make_unique<QMessageBox>(
      icon == MsgIcon::kWarning ? QMessageBox::Warning : QMessageBox::NoIcon, DisplayText(caption),
      DisplayText(text),
      buttons == MsgButtons::kYesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
      owner);
  box->setWindowModality(Qt::WindowModal);
  // QMessageBox sizes itself from its layout and ignores a minimum width set
  // on it; a spacer row under the contents carries the width instead.
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    grid->addItem(
        new QSpacerItem(MessageBoxMinimumWidth(*box), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
        grid->rowCount(), 0, 1, grid->columnCount());
  }
  return box;
}

MsgResult QtUiDialogs::MessageBox(QWidget* owner, std::string_view text, std::string_view caption,
                                  MsgButtons buttons, MsgIcon icon) {
  const std::unique_ptr<QMessageBox> box = MakeMessageBox(owner, text, caption, buttons, icon);
  const int answer = box->exec();
  if (buttons == MsgButtons::kOk) return MsgResult::kOk;
  return answer == QMessageBox::Yes ? MsgResult::kYes : MsgResult::kNo;
}

MsgResult QtUiDialogs::ConfirmIrreversible(QWidget* owner, std::string_view text,
                                           std::string_view caption) {
  const std::unique_ptr<QMessageBox> box =
      MakeMessageBox(owner, text, caption, MsgButtons::kYesNo, MsgIcon::kWarning);
  box->setDefaultButton(QMessageBox::No);
  box->setEscapeButton(QMessageBox::No);
  return box->exec() == QMessageBox::Yes ? MsgResult::kYes : MsgResult::kNo;
}

QString ChooserFolder(const QString& current) {
  const QString trimmed = current.trimmed();
  if (trimmed.isEmpty()) return QDir::currentPath();
  // The nearest folder that exists: a record's folder is made only when
  // production starts.
  QString folder = QFileInfo(QDir::fromNativeSeparators(trimmed)).absolutePath();
  while (!QFileInfo(folder).isDir()) {
    const QString above = QFileInfo(folder).absolutePath();
    if (above == folder) return QDir::currentPath();
    folder = above;
  }
  return QDir(folder).absolutePath();
}

std::optional<QString> QtUiDialogs::ChooseLogDatabase(QWidget* owner, const QString& current) {
  QFileDialog dialog(owner ? owner->window() : nullptr, QString(), ChooserFolder(current));
  // An existing record is chosen to be added to (an open dialog, no
  // overwrite question); a new name is taken too.
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.setNameFilter(QString::fromUtf8(kLogDatabaseFilter));
  dialog.setDefaultSuffix(QStringLiteral("db"));
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return files.front();
}

namespace {

// One existing file of the kinds `filter` names, opened in the folder of `current`.
std::optional<QString> OpenExistingFile(QWidget* owner, const QString& current,
                                        const QString& filter) {
  QFileDialog dialog(owner ? owner->window() : nullptr, QString(), ChooserFolder(current));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(filter);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return files.front();
}

}  // namespace

std::optional<QString> QtUiDialogs::OpenHexFile(QWidget* owner, const QString& current) {
  return OpenExistingFile(owner, current, QString::fromLatin1(kHexFilter));
}

std::optional<QString> QtUiDialogs::OpenJobFile(QWidget* owner, const QString& current) {
  return OpenExistingFile(owner, current, QString::fromUtf8(kJobFilter));
}

std::optional<QString> QtUiDialogs::ChooseTrustedKey(QWidget* owner, const QString& current) {
  return OpenExistingFile(owner, current, QString::fromUtf8(kTrustedKeyFilter));
}

std::optional<QString> QtUiDialogs::AskPassword(QWidget* owner, std::string_view text,
                                                std::string_view caption) {
  QInputDialog dialog(owner ? owner->window() : nullptr);
  dialog.setWindowTitle(DisplayText(caption));
  dialog.setLabelText(DisplayText(text));
  dialog.setInputMode(QInputDialog::TextInput);
  dialog.setTextEchoMode(QLineEdit::Password);
  dialog.setOkButtonText(QStringLiteral("确定"));
  dialog.setCancelButtonText(QStringLiteral("取消"));
  dialog.setWindowModality(Qt::WindowModal);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.textValue();
}

ProgrammerLease AcquireForRun(Station& station, Dialogs& owner) {
  ProgrammerLease lease = ProgrammerLease::TryAcquire(station);
  if (!lease) owner.MessageBox(kBusyText, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
  return lease;
}

}  // namespace velkan::ui
