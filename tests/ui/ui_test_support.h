// What the desktop tests share: the toolkit started once for the whole test
// program (offscreen), message boxes and choosers answered by the tests, and
// HEX files written on the fly.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ui/ui_dialogs.h"

namespace velkan::ui::test {

using velkan::MsgButtons;
using velkan::MsgIcon;
using velkan::MsgResult;

// Answers message boxes from a queue (OK, or No for a question, when it is
// empty) and the file choosers with a set path or a cancel.
class FakeDialogs final : public velkan::ui::UiDialogs {
 public:
  struct Box {
    std::string text;
    std::string caption;
    MsgButtons buttons;
    MsgIcon icon;
    QWidget* owner;
    bool defaultNo = false;  // 否 is the default button
  };
  MsgResult MessageBox(QWidget* owner, std::string_view text, std::string_view caption,
                       MsgButtons buttons, MsgIcon icon) override {
    boxes.push_back({std::string(text), std::string(caption), buttons, icon, owner});
    if (!answers.empty()) {
      const MsgResult answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return buttons == MsgButtons::kYesNo ? MsgResult::kNo : MsgResult::kOk;
  }
  MsgResult ConfirmIrreversible(QWidget* owner, std::string_view text,
                                std::string_view caption) override {
    const MsgResult answer =
        MessageBox(owner, text, caption, MsgButtons::kYesNo, MsgIcon::kWarning);
    boxes.back().defaultNo = true;
    return answer;
  }
  std::optional<QString> OpenHexFile(QWidget*, const QString& current) override {
    ++chooserOpened;
    chooserCurrent = current;
    return chosenFile;
  }
  std::optional<QString> ChooseLogDatabase(QWidget*, const QString& current) override {
    ++logChooserOpened;
    logChooserCurrent = current;
    return chosenLog;
  }

  std::optional<QString> OpenJobFile(QWidget*, const QString& current) override {
    ++jobChooserOpened;
    jobChooserCurrent = current;
    return chosenJob;
  }
  std::optional<QString> ChooseTrustedKey(QWidget*, const QString& current) override {
    ++keyChooserOpened;
    keyChooserCurrent = current;
    return chosenKey;
  }
  // Answers from `passwords` (cancelled when it is empty).
  std::optional<QString> AskPassword(QWidget*, std::string_view text, std::string_view) override {
    passwordPrompts.emplace_back(text);
    if (passwords.empty()) return std::nullopt;
    const QString answer = passwords.front();
    passwords.pop_front();
    return answer;
  }

  std::vector<Box> boxes;
  std::deque<MsgResult> answers;
  std::optional<QString> chosenFile;
  int chooserOpened = 0;
  std::optional<QString> chosenLog;
  int logChooserOpened = 0;
  QString chooserCurrent;     // the file the last HEX chooser was given
  QString logChooserCurrent;  // the file the last record chooser was given
  std::optional<QString> chosenJob;
  int jobChooserOpened = 0;
  QString jobChooserCurrent;
  std::optional<QString> chosenKey;
  int keyChooserOpened = 0;
  QString keyChooserCurrent;
  std::deque<QString> passwords;
  std::vector<std::string> passwordPrompts;
};

// An application image of `bytes` bytes (rounded up to 16) from chip address
// 0x2000 on.
std::vector<std::uint8_t> WriteHex(const std::string& path, unsigned bytes);

// Runs `program` with `args` (no shell, so the same on every platform) in
// `folder`, with nothing on its input; what it wrote goes to `out` and `err`.
// Its exit code, or -1 when it did not start, crashed or ran past `limitMs`.
int RunProgram(const QString& program, const QStringList& args, const QString& folder,
               std::string* out = nullptr, std::string* err = nullptr, int limitMs = 120000);

}  // namespace velkan::ui::test
