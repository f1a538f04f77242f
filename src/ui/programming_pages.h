// The two programming pages: online programming (tab 0) and offline
// download (tab 1). Same controls, different start button and run.
#pragma once

#include <QWidget>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "script/run_log.h"
#include "script/runs.h"
#include "script/station.h"
#include "ui/ui_dialogs.h"

class QCheckBox;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QMimeData;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace velkan::ui {

// What tells the two pages apart.
struct ProgrammingPageTemplate {
  unsigned id;              // dialog template
  const char* startText;    // text of the start button
  int startWidth;           // its width in dialog units
  const char* description;  // the description line
  bool logTabStop;          // whether the log box takes keyboard focus by Tab
  // The run the start button starts, on the station the pages share.
  velkan::RunOutcome (*run)(velkan::Station& station, const velkan::RunContext& run);
};

// A programming page. Its run's events (log box, message boxes) come from
// the run's worker thread and are served by the page's own thread before
// the run goes on. The page owns the worker and does not go away before the
// run has ended.
class ProgrammingPage : public QWidget, public velkan::RunLog, public velkan::Dialogs {
  Q_OBJECT

 public:
  ProgrammingPage(const ProgrammingPageTemplate& tmpl, UiDialogs& dialogs,
                  QWidget* parent = nullptr);
  ~ProgrammingPage() override;

  // Enables or disables the input controls (start button, fuse checkbox,
  // file chooser, path box, in that order).
  void EnableInputs(bool enable);
  // Whether the fuse checkbox is checked now.
  bool FuseChosen();
  // ---- velkan::Dialogs ----
  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons,
                       MsgIcon icon) override;
  // ---- velkan::RunLog: the log text, then the event's message box ----
  void OnEvent(const velkan::Event& event) override;

  // ---- Handlers ----
  // "...": the HEX file chooser.
  void ChooseHexFile();
  // The fuse checkbox was clicked (it has already toggled).
  void ConfirmFuse();
  // The start button: builds the script and starts the run on a worker
  // thread, with the inputs disabled and the programmer taken first.
  void StartProgramming();

  // A file dropped from a file manager: the local HEX file it names, the
  // way "..." would have chosen it, or nothing for any other drop (several
  // files, a folder, a remote file, text) and while a run holds the page.
  std::optional<QString> DroppedHexFile(const QMimeData* data) const;
  // Takes `file` as the chosen HEX file, as "..." does.
  void SetChosenHexFile(const QString& file);

  // Data exchange: path box -> HEX path, and back.
  void UpdateFields();
  void UpdateControls();

  // Whether a run of this page has not yet ended.
  bool IsRunning() const { return m_running.load(std::memory_order_acquire); }
  // Serves the run's window calls until it has ended.
  void WaitForRun();

  unsigned TemplateId() const { return m_template.id; }

  QLineEdit* m_editHexPath = nullptr;   // 1002
  QPushButton* m_btnChoose = nullptr;   // 1003
  QCheckBox* m_checkFuse = nullptr;     // 1004
  QPushButton* m_btnStart = nullptr;    // 1005
  QPlainTextEdit* m_editLog = nullptr;  // 1007
  QLabel* m_staticDescription = nullptr;

 signals:
  // The run has ended (emitted on the page's thread).
  void runFinished();

 protected:
  void Display(const std::string& logText, std::string_view transientTail) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void JoinFinishedRun();

  const ProgrammingPageTemplate m_template;
  UiDialogs& m_dialogs;
  std::atomic<bool> m_running{false};
  // What the log box shows; only Display writes the box.
  std::mutex m_shownMutex;
  QString m_shown;
  bool m_shownValid = false;
  std::jthread m_worker;
};

}  // namespace velkan::ui

// Online programming: "开始编程" starts the online programming run.
class COnLineDownload final : public velkan::ui::ProgrammingPage {
  Q_OBJECT

 public:
  explicit COnLineDownload(velkan::ui::UiDialogs& dialogs, QWidget* parent = nullptr);
};

// Offline download: "下载到编程器" stores the script in the programmer.
class COfflineLoad final : public velkan::ui::ProgrammingPage {
  Q_OBJECT

 public:
  explicit COfflineLoad(velkan::ui::UiDialogs& dialogs, QWidget* parent = nullptr);
};
