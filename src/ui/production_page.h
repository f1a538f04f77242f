// The production page (tab 3): chip after chip on every attached programmer
// through the production engine, with a tile per programmer, the session's
// counters and the last records. The page holds the default station while
// production runs, so the other pages' runs are refused meanwhile (and
// production is refused while one of theirs runs).
#pragma once

#include <QElapsedTimer>
#include <QFrame>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "common/dialogs.h"
#include "programmer/backend.h"
#include "ui/ui_dialogs.h"

class QCheckBox;
class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSpinBox;
class QTableWidget;

namespace velkan::ui {

// One programmer on the production page: its name and port, what it does
// now, the progress of the chip in the socket, the last chip's result and
// its counters.
class ProgrammerTile final : public QFrame {
  Q_OBJECT

 public:
  enum class Look { kNeutral, kPass, kFail };

  explicit ProgrammerTile(QWidget* parent = nullptr);

  void SetIdentity(const QString& name, const QString& port);
  void SetActivity(const QString& text);
  void SetProgress(int percent);
  void SetResult(const QString& text, const QString& detail, Look look);
  void SetCounters(int passed, int failed);

  QString Name() const { return m_name; }
  QString ActivityText() const;
  QString ResultText() const;
  int Progress() const;
  Look CurrentLook() const { return m_look; }

  QLabel* m_labelName = nullptr;
  QLabel* m_labelActivity = nullptr;
  QProgressBar* m_progress = nullptr;
  QLabel* m_labelResult = nullptr;
  QLabel* m_labelCounters = nullptr;

 private:
  QString m_name;
  QString m_port;
  Look m_look = Look::kNeutral;
};

class ProductionSession;

class CProductionPage final : public QWidget, public velkan::Dialogs {
  Q_OBJECT

 public:
  explicit CProductionPage(UiDialogs& dialogs, QWidget* parent = nullptr);
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
  // The tiles follow the programmers attached now (while no production
  // runs; the page does it by itself every second while it is shown).
  void RefreshProgrammers();

  bool IsRunning() const;
  // Serves the stations' window updates until production has ended.
  void WaitForRun();
  // Asks production to stop and waits for it (the window is going away).
  void StopAndWait();

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

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void EnsureBuilt();
  void ShowUnknownCount(std::size_t count);
  void RefreshUnknownCount();
  void RestoreSettings();
  void SaveSettings();
  void LayoutBody();
  void LockInputs(bool locked);
  void UpdateSerialInputs();
  void RebuildTiles();
  // Shows what the stations reported since the last call (page's thread).
  void ApplySession();
  void ShowTotals();
  void FinishRun();

  UiDialogs& m_dialogs;
  QWidget* m_body = nullptr;  // holds every control, made on first show
  QWidget* m_tileHolder = nullptr;
  QHBoxLayout* m_tileLayout = nullptr;
  std::vector<ProgrammerTile*> m_tiles;
  std::vector<FoundDevice> m_programmers;
  bool m_listed = false;
  bool m_runActive = false;  // from the start until the run's end is shown
  QTimer m_plugTimer;
  std::unique_ptr<ProductionSession> m_session;
  int m_totalPassed = 0;
  int m_totalFailed = 0;
  std::size_t m_unknownCount = 0;
  QElapsedTimer m_sessionClock;  // from the session's start
  qint64 m_sessionMs = 0;        // its length once it has ended
};

}  // namespace velkan::ui
