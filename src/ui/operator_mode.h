// Operator mode: the production pages run sealed jobs only. The operator
// opens a job, starts, stops and takes the next chip; every other input of
// those pages is locked. The other pages are not touched.
//
// It is on for the whole process with `velkan-tool --operator` (the line's
// shortcut: it cannot be left from the window), or switched on by an
// engineer from a production page and kept in the settings
// ("production/operatorMode"). The first switch asks the engineer to set a
// password (twice); leaving needs it. The settings keep only its Argon2id
// hash ("production/engineerPassword", production/engineer_password.h).
#pragma once

#include <QObject>

#include "ui/ui_dialogs.h"

class QWidget;

namespace velkan::ui {

inline constexpr const char* kOperatorModeCaption = "操作员模式";

class OperatorMode final : public QObject {
  Q_OBJECT

 public:
  // The process's one state, shared by every production page.
  static OperatorMode& Instance();

  // On: from the command line or the settings.
  bool Active() const;
  // From the command line (--operator): on, and not to be left.
  bool Forced() const { return m_forced; }
  void SetForced(bool forced);
  // Whether an engineer can switch it on and off from a page: not when the
  // command line set it, nor in a build that cannot keep a password.
  bool Switchable() const;

  // The engineer switches it on; the first time a password is set (asked
  // twice through `dialogs`). False, saying why, when nothing changed.
  bool Enter(QWidget* owner, UiDialogs& dialogs);
  // Leaving, with the engineer's password. False, saying why (a wrong
  // password, --operator), when nothing changed.
  bool Leave(QWidget* owner, UiDialogs& dialogs);

 signals:
  void changed();

 private:
  OperatorMode() = default;
  void SetSetting(bool on);

  bool m_forced = false;
};

}  // namespace velkan::ui
