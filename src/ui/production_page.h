// The production page (tab 3): chip after chip on every attached programmer
// through the production engine, with a tile per programmer, the session's
// counters and the last records. The page holds the default station while
// production runs, so the other pages' runs are refused meanwhile (and
// production is refused while one of theirs runs).
#pragma once

#include <QElapsedTimer>
#include <QFrame>
#include <QSet>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/dialogs.h"
#include "programmer/backend.h"
#include "ui/ui_dialogs.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSpinBox;
class QTableWidget;

namespace velkan {
class DeviceWatcher;
namespace production {
class RecordStore;
struct Product;
struct Settings;
struct SealedJob;
struct SerialPlan;
}  // namespace production
}  // namespace velkan

namespace velkan::ui {

// The tab inside the fixed main window (compact) or the production window
// of its own (large tiles, laid out for 1 to 16 programmers).
enum class PageLayout { kCompact, kWindow };

// One programmer on the production page: its name and port, what it does
// now, the progress of the chip in the socket, the last chip's result and
// its counters.
class ProgrammerTile final : public QFrame {
  Q_OBJECT

 public:
  // kNeutral: no result yet and not programming (grey); kBusy: programming
  // its first chip (amber). A result's colour stays until the next result.
  enum class Look { kNeutral, kBusy, kPass, kFail };

  // `crowded`: more than 8 programmers share the window.
  explicit ProgrammerTile(PageLayout layout = PageLayout::kCompact, QWidget* parent = nullptr,
                          bool crowded = false);

  void SetIdentity(const QString& name, const QString& port);
  // The socket's number on the line (window only).
  void SetNumber(int number);
  // `busy`: a chip is being programmed (the line is amber).
  void SetActivity(const QString& text, bool busy = false);
  // The serial number of the chip in the socket or last programmed.
  void SetChipSerial(const QString& serial);
  void SetProgress(int percent);
  void SetResult(const QString& text, const QString& detail, Look look);
  void SetCounters(int passed, int failed);

  QString Name() const { return m_name; }
  QString ActivityText() const;
  QString ResultText() const;
  int Progress() const;
  Look CurrentLook() const { return m_look; }

  QLabel* m_labelNumber = nullptr;  // window only
  QLabel* m_labelName = nullptr;
  QLabel* m_labelActivity = nullptr;
  QLabel* m_labelChipSerial = nullptr;
  QProgressBar* m_progress = nullptr;
  QLabel* m_labelResult = nullptr;
  QLabel* m_labelCounters = nullptr;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void FitResult();

  QString m_name;
  QString m_port;
  void ApplyLook();

  PageLayout m_layout;
  Look m_look = Look::kNeutral;
  bool m_busy = false;
  bool m_styled = false;
};

class ProductionSession;

class CProductionPage final : public QWidget, public velkan::Dialogs {
  Q_OBJECT

 public:
  explicit CProductionPage(UiDialogs& dialogs, PageLayout layout = PageLayout::kCompact,
                           QWidget* parent = nullptr);
  ~CProductionPage() override;

  // ---- velkan::Dialogs (the HEX loader's messages at start) ----
  MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons,
                       MsgIcon icon) override;

  // ---- Handlers ----
  void ChooseHexFile();
  void ChooseLogDatabase();
  // The fuse checkbox was clicked (it has already toggled): the same
  // warning as on the programming pages.
  void ConfirmFuse();
  // "开始量产": checks the settings, takes the programmers and starts one
  // station per tile.
  void StartProduction();
  // "停止": every station finishes and records the chip in progress, then
  // ends.
  void StopProduction();
  // "下一片" (also Enter and space in button mode): the stations waiting for
  // the operator take the next chip.
  void NextChip();
  // The engineer's word on each unknown serial number (after checking the
  // chips): burnt when a kept chip carries it, released otherwise.
  void SettleUnknownNumbers();
  std::size_t UnknownCount() const { return m_unknownCount; }
  // Asks the device watcher to look for programmers now; the tiles follow
  // its list (while no production runs) as it comes.
  void RefreshProgrammers();

  // ---- Sealed jobs ----
  // "打开作业...": the job chooser, opened in the current job's folder.
  void ChooseJobFile();
  // Opens the job file at `path`, checked as `velkan produce --job` checks
  // it (with the trusted key when one is set): its settings replace the
  // page's own HEX file, serial numbers and fuse, which are locked. False,
  // saying why, when it is refused; the page is then as it was.
  bool OpenJob(const QString& path);
  // "关闭作业": the page's own inputs come back.
  void CloseJob();
  bool JobOpen() const { return m_job != nullptr; }
  // The open job's id (SHA-256, hex) and file; empty without a job.
  QString JobId() const;
  QString JobPath() const;
  // "信任公钥": the public key file chooser. With a key set only jobs signed
  // by it open and run, and nothing runs without a job.
  void ChooseTrustedKey();
  // "操作员模式" was clicked: the engineer switches operator mode on (the
  // first time setting the password) or off (with the password).
  void ToggleOperatorMode();

  // From "开始量产" (the record being opened included) until production has
  // ended.
  bool IsRunning() const;
  // Serves the stations' window updates until production has ended, at
  // most `limitMs`; whether it has ended.
  bool WaitForRun(int limitMs = 60000);
  // Asks production to stop and waits for it (the window is going away),
  // at most `limitMs`; a session that has not ended by then is left to end
  // on its own thread.
  void StopAndWait(int limitMs = 30000);
  // The serial number the next chip is given ("" without serial numbers).
  QString NextSerial() const { return m_nextSerial; }
  PageLayout Layout() const { return m_layout; }

  // The program that keeps the record open in a process of its own (on
  // Linux; it is started with --record-server): this program unless set.
  // Test programs set the desktop program's path.
  static void SetRecorderProgram(const QString& path);

  // The controls below exist once the page has been shown (or
  // RefreshProgrammers called).

  // The tiles, one per programmer, in the stations' order.
  const std::vector<ProgrammerTile*>& Tiles() const { return m_tiles; }
  int TotalPassed() const { return m_totalPassed; }
  int TotalFailed() const { return m_totalFailed; }

  QLineEdit* m_editHexPath = nullptr;
  QPushButton* m_btnChooseHex = nullptr;
  QLineEdit* m_editLogDb = nullptr;
  QPushButton* m_btnChooseLog = nullptr;
  QCheckBox* m_checkSerial = nullptr;
  QLineEdit* m_editSerialAddress = nullptr;
  QLineEdit* m_editSerialStart = nullptr;
  QSpinBox* m_spinSerialStep = nullptr;
  QSpinBox* m_spinSerialBytes = nullptr;
  QComboBox* m_comboSerialFormat = nullptr;
  QCheckBox* m_checkFuse = nullptr;
  QRadioButton* m_radioNextButton = nullptr;
  QRadioButton* m_radioNextAuto = nullptr;
  QPushButton* m_btnStart = nullptr;
  QPushButton* m_btnStop = nullptr;
  QPushButton* m_btnNext = nullptr;
  QPushButton* m_btnWindow = nullptr;  // compact only: "量产窗口"
  QLineEdit* m_editTrustedKey = nullptr;
  QPushButton* m_btnChooseKey = nullptr;
  QPushButton* m_btnOpenJob = nullptr;
  QPushButton* m_btnCloseJob = nullptr;
  QLabel* m_labelJob = nullptr;  // the open job's name, id, image CRC, plan and notes
  QCheckBox* m_checkOperator = nullptr;
  QLabel* m_labelNextSerial = nullptr;
  QScrollArea* m_tileArea = nullptr;
  QLabel* m_labelNoProgrammer = nullptr;
  QLabel* m_labelTotals = nullptr;
  QPushButton* m_btnUnknown = nullptr;
  QTableWidget* m_tableRecords = nullptr;

  // Rows the records table keeps (newest first); the record store keeps all.
  static constexpr int kShownRecords = 500;

 signals:
  // Production has ended and the inputs are unlocked again.
  void productionFinished();
  // "量产窗口" was pressed.
  void windowRequested();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void EnsureBuilt();
  void BuildWindowLayout(const std::vector<QWidget*>& labels);
  void WatchProgrammers();
  void StopWatching();
  void ProgrammersListed(std::vector<FoundDevice> found);
  // The record opened on a worker thread: `done` runs on the page's thread
  // with the store (nullptr with the error in Chinese, the technical
  // reason second) unless the page has gone.
  void OpenRecordOffThread(
      std::string target, int mode,
      std::function<void(std::unique_ptr<production::RecordStore>, std::string)> done);
  void RecordOpened(std::unique_ptr<production::RecordStore> store, const std::string& error);
  void ShowNextSerial();
  std::optional<std::int64_t> SerialNumberOf(const std::string& text) const;
  bool NextChipKey(QEvent* event);
  void ShowUnknownCount(std::size_t count);
  void RefreshUnknownCount();
  void RestoreSettings();
  void SaveSettings();
  void SaveJobSettings();
  void LayoutBody();
  void LockInputs(bool locked);
  // Enables what production, an open job and operator mode leave enabled.
  void UpdateInputs();
  // Reads and checks the job file (`quiet`: no message boxes; `why` then
  // says what refused it, in Chinese) and shows it; false when refused.
  bool LoadJob(const QString& path, bool quiet, QString* why);
  // The open job checked again just before it runs (the file may have been
  // changed since it was opened, the trusted key too): the job, or nothing
  // after saying why.
  std::optional<production::SealedJob> RecheckJob();
  void ShowJob();
  void ShowOwnInputs();
  QString TrustedKeyPath() const;
  // The trusted key was typed in or chosen: kept, and the open job checked
  // against it.
  void TrustedKeyChanged();
  std::int64_t SerialStep() const;
  void UpdateSerialInputs();
  void RebuildTiles();
  // Shows what the stations reported since the last call (page's thread).
  void ApplySession();
  void ShowTotals();
  void FinishRun();

  UiDialogs& m_dialogs;
  QWidget* m_body = nullptr;  // holds every control, made on first show
  QWidget* m_tileHolder = nullptr;
  QHBoxLayout* m_tileLayout = nullptr;  // compact
  QGridLayout* m_tileGrid = nullptr;    // window
  std::vector<ProgrammerTile*> m_tiles;
  std::vector<FoundDevice> m_programmers;
  bool m_listed = false;
  bool m_runActive = false;  // from the start until the run's end is shown
  bool m_opening = false;    // the record is being opened
  PageLayout m_layout;
  std::shared_ptr<DeviceWatcher> m_watcher;
  int m_watchKey = 0;
  QTimer m_clockTimer;   // the session's time in the totals
  QSet<int> m_keysDown;  // next-chip keys held now
  // What the start keeps while the record is being opened.
  struct Pending;
  std::unique_ptr<Pending> m_pending;
  std::optional<std::int64_t> m_nextNumber;
  int m_openGeneration = 0;  // which start the record being opened is for
  QString m_nextSerial;
  std::unique_ptr<ProductionSession> m_session;
  int m_totalPassed = 0;
  int m_totalFailed = 0;
  std::size_t m_unknownCount = 0;
  QElapsedTimer m_sessionClock;  // from the session's start
  qint64 m_sessionMs = 0;        // its length once it has ended
  bool m_inputsLocked = false;   // production runs (or its record is being opened)
  // The open job, and the page's own inputs it stands in for meanwhile.
  struct OpenedJob;
  std::unique_ptr<OpenedJob> m_job;
  struct OwnInputs;
  std::unique_ptr<OwnInputs> m_own;
  QString m_lastJobPath;        // the chooser opens in its folder
  QString m_jobNote;            // why the job of the last session did not come back
  std::int64_t m_runLimit = 0;  // the running job's limit of passed chips
};

}  // namespace velkan::ui
