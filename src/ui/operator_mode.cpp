#include "ui/operator_mode.h"

#include <QSettings>
#include <string>

#include "production/engineer_password.h"

namespace velkan::ui {

namespace {

const QString kModeKey = QStringLiteral("production/operatorMode");
const QString kPasswordKey = QStringLiteral("production/engineerPassword");

constexpr std::string_view kSetPassword =
    "进入操作员模式前，请设置工程师密码（退出操作员模式时需要输入）：";
constexpr std::string_view kRepeatPassword = "请再次输入工程师密码：";
constexpr std::string_view kEmptyPassword = "密码不能为空！未进入操作员模式。";
constexpr std::string_view kPasswordsDiffer = "两次输入的密码不一致！未进入操作员模式。";
constexpr std::string_view kPasswordNotSaved = "无法保存工程师密码！未进入操作员模式。";
constexpr std::string_view kAskPassword = "请输入工程师密码以退出操作员模式：";
constexpr std::string_view kWrongPassword = "密码错误！仍为操作员模式。";
constexpr std::string_view kForcedMode =
    "本程序以 --operator 参数启动，不能在窗口中退出操作员模式。";
constexpr std::string_view kNoPasswords =
    "此版本不支持工程师密码（未包含libsodium），操作员模式只能由 --operator 参数设定。";

// The password as the hash function takes it; the copy is wiped when it goes.
struct Secret {
  explicit Secret(const QString& text) : bytes(text.toUtf8()) {}
  ~Secret() { bytes.fill('\0'); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  std::string_view View() const {
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
  }
  QByteArray bytes;
};

void Say(UiDialogs& dialogs, QWidget* owner, std::string_view text) {
  dialogs.MessageBox(owner, text, kOperatorModeCaption, MsgButtons::kOk, MsgIcon::kNone);
}

}  // namespace

OperatorMode& OperatorMode::Instance() {
  static OperatorMode mode;
  return mode;
}

bool OperatorMode::Active() const {
  return m_forced || QSettings().value(kModeKey, false).toBool();
}

void OperatorMode::SetForced(bool forced) {
  if (forced == m_forced) return;
  m_forced = forced;
  emit changed();
}

bool OperatorMode::Switchable() const {
  return !m_forced && production::PasswordHashingAvailable();
}

void OperatorMode::SetSetting(bool on) {
  QSettings settings;
  settings.setValue(kModeKey, on);
  settings.sync();
  emit changed();
}

bool OperatorMode::Enter(QWidget* owner, UiDialogs& dialogs) {
  if (Active()) return true;
  if (!production::PasswordHashingAvailable()) {
    Say(dialogs, owner, kNoPasswords);
    return false;
  }
  if (QSettings().value(kPasswordKey).toString().isEmpty()) {
    const std::optional<QString> first =
        dialogs.AskPassword(owner, kSetPassword, kOperatorModeCaption);
    if (!first) return false;
    if (first->isEmpty()) {
      Say(dialogs, owner, kEmptyPassword);
      return false;
    }
    const std::optional<QString> second =
        dialogs.AskPassword(owner, kRepeatPassword, kOperatorModeCaption);
    if (!second) return false;
    if (*second != *first) {
      Say(dialogs, owner, kPasswordsDiffer);
      return false;
    }
    const Secret secret(*first);
    std::string hash, error;
    if (!production::HashEngineerPassword(secret.View(), hash, error)) {
      Say(dialogs, owner, std::string(kPasswordNotSaved) + "\r\r技术原因：" + error);
      return false;
    }
    QSettings().setValue(kPasswordKey, QString::fromStdString(hash));
  }
  SetSetting(true);
  return true;
}

bool OperatorMode::Leave(QWidget* owner, UiDialogs& dialogs) {
  if (!Active()) return true;
  if (m_forced) {
    Say(dialogs, owner, kForcedMode);
    return false;
  }
  if (!production::PasswordHashingAvailable()) {
    Say(dialogs, owner, kNoPasswords);
    return false;
  }
  const std::optional<QString> typed =
      dialogs.AskPassword(owner, kAskPassword, kOperatorModeCaption);
  if (!typed) return false;
  const Secret secret(*typed);
  const std::string hash = QSettings().value(kPasswordKey).toString().toStdString();
  if (!production::EngineerPasswordMatches(secret.View(), hash)) {
    Say(dialogs, owner, kWrongPassword);
    return false;
  }
  SetSetting(false);
  return true;
}

}  // namespace velkan::ui
