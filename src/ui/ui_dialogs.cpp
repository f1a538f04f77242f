#include "ui/ui_dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

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

MsgResult QtUiDialogs::MessageBox(QWidget* owner, std::string_view text, std::string_view caption,
                                  MsgButtons buttons, MsgIcon icon) {
  QMessageBox box(
      icon == MsgIcon::kWarning ? QMessageBox::Warning : QMessageBox::NoIcon, DisplayText(caption),
      DisplayText(text),
      buttons == MsgButtons::kYesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
      owner);
  box.setWindowModality(Qt::WindowModal);
  const int answer = box.exec();
  if (buttons == MsgButtons::kOk) return MsgResult::kOk;
  return answer == QMessageBox::Yes ? MsgResult::kYes : MsgResult::kNo;
}

std::optional<QString> QtUiDialogs::OpenHexFile(QWidget* owner) {
  QFileDialog dialog(owner ? owner->window() : nullptr);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(QString::fromLatin1(kHexFilter));
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return files.front();
}

}  // namespace velkan::ui
