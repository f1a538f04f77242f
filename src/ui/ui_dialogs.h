// The modal dialogs the pages open: message boxes and the HEX file chooser.
// The application uses the Qt dialogs; tests install their own answers so
// that no real modal dialog ever waits for a user.
#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <string_view>

#include "common/dialogs.h"
#include "script/session.h"

class QMessageBox;
class QWidget;

namespace velkan::ui {

class UiDialogs {
 public:
  virtual ~UiDialogs() = default;
  // A message box modal to `owner`'s window; UTF-8 `text` and `caption`.
  virtual MsgResult MessageBox(QWidget* owner, std::string_view text, std::string_view caption,
                               MsgButtons buttons, MsgIcon icon) = 0;
  // A warning asking yes or no whose default button (Enter) is 否: for
  // what cannot be undone. UTF-8 `text` and `caption`.
  virtual MsgResult ConfirmIrreversible(QWidget* owner, std::string_view text,
                                        std::string_view caption) {
    return MessageBox(owner, text, caption, MsgButtons::kYesNo, MsgIcon::kWarning);
  }
  // The file-open dialog for one existing HEX file, opened in the folder of
  // `current` (the file chosen now, may be empty); nothing when cancelled.
  virtual std::optional<QString> OpenHexFile(QWidget* owner, const QString& current) = 0;
  // The chooser of the production record's SQLite file: an existing file or
  // a new name (it is created when production starts), opened in the
  // folder of `current`; nothing when cancelled.
  virtual std::optional<QString> ChooseLogDatabase(QWidget* owner, const QString& current) = 0;
  // The file-open dialog for one existing job file (.vjob), opened in the
  // folder of `current`; nothing when cancelled (the default).
  virtual std::optional<QString> OpenJobFile(QWidget* owner, const QString& current) {
    (void)owner, (void)current;
    return std::nullopt;
  }
  // The file-open dialog for the trusted public key, opened in the folder
  // of `current`; nothing when cancelled (the default).
  virtual std::optional<QString> ChooseTrustedKey(QWidget* owner, const QString& current) {
    (void)owner, (void)current;
    return std::nullopt;
  }
  // Asks for a password (what is typed is not shown); UTF-8 `text` and
  // `caption`. Nothing when cancelled (the default).
  virtual std::optional<QString> AskPassword(QWidget* owner, std::string_view text,
                                             std::string_view caption) {
    (void)owner, (void)text, (void)caption;
    return std::nullopt;
  }
};

// The toolkit's message box and file dialog.
class QtUiDialogs final : public UiDialogs {
 public:
  MsgResult MessageBox(QWidget* owner, std::string_view text, std::string_view caption,
                       MsgButtons buttons, MsgIcon icon) override;
  MsgResult ConfirmIrreversible(QWidget* owner, std::string_view text,
                                std::string_view caption) override;
  std::optional<QString> OpenHexFile(QWidget* owner, const QString& current) override;
  std::optional<QString> ChooseLogDatabase(QWidget* owner, const QString& current) override;
  std::optional<QString> OpenJobFile(QWidget* owner, const QString& current) override;
  std::optional<QString> ChooseTrustedKey(QWidget* owner, const QString& current) override;
  std::optional<QString> AskPassword(QWidget* owner, std::string_view text,
                                     std::string_view caption) override;
};

// The message box QtUiDialogs shows: caption, text, buttons and icon, no
// narrower than MessageBoxMinimumWidth.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, std::string_view text,
                                            std::string_view caption, MsgButtons buttons,
                                            MsgIcon icon);
// A message box's minimum width in pixels: room for its caption beside the
// title bar's icon and buttons, and at least a comfortable reading width,
// so that a short text ("打开设备失败！") does not leave the caption elided.
int MessageBoxMinimumWidth(const QWidget& box);

// The folder a chooser opens in for the file `current`: its own folder when
// that exists, else the nearest existing folder above it, else the working
// folder.
QString ChooserFolder(const QString& current);

// Takes `station` for an activity started from the page `owner`. When
// another activity holds it, says kBusyText in a box (caption "提示", an OK
// button) owned by `owner` and returns an empty lease; nothing is sent to
// the programmer.
ProgrammerLease AcquireForRun(Station& station, Dialogs& owner);

// The filter of the HEX file chooser.
inline constexpr const char* kHexFilter = "hex Files (*.hex)";
// The filters of the record chooser.
inline constexpr const char* kLogDatabaseFilter =
    "SQLite数据库 (*.db *.sqlite *.sqlite3);;所有文件 (*)";

// The filter of the job chooser.
inline constexpr const char* kJobFilter = "作业文件 (*.vjob)";
// The filters of the trusted key's chooser.
inline constexpr const char* kTrustedKeyFilter = "公钥文件 (*.pub *.pem);;所有文件 (*)";

// Text for a control: "\r\n" (and a lone "\r") becomes one line break, so
// that texts kept with Windows line ends show neither stray characters nor
// blank lines.
QString DisplayText(std::string_view text);

}  // namespace velkan::ui
