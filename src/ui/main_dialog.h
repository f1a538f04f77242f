// The main window: a fixed-size dialog holding the tab control with the
// three programming and test pages and the production page.
#pragma once

#include <QDialog>
#include <QIcon>
#include <memory>

#include "ui/cts1.h"
#include "ui/i2c_page.h"
#include "ui/production_page.h"
#include "ui/production_window.h"
#include "ui/programming_pages.h"
#include "ui/ui_dialogs.h"

class CVELKANToolV2xxxDlg final : public QDialog {
  Q_OBJECT

 public:
  explicit CVELKANToolV2xxxDlg(velkan::ui::UiDialogs& dialogs, QWidget* parent = nullptr);
  ~CVELKANToolV2xxxDlg() override;

  // Closing (close box, Escape) while a programming run or production is
  // under way is refused with a message: the run's page must outlive the
  // run.
  void reject() override;

  // Whether a programming run of either page, or production, is under way.
  bool RunInProgress() const;

  // The production window ("量产窗口"), made and shown on first use.
  velkan::ui::ProductionWindow& ShowProductionWindow();
  velkan::ui::ProductionWindow* ProductionWindowIfOpen() { return m_productionWindow.get(); }

  QIcon m_hIcon;
  CTS1 m_tab;
  COnLineDownload m_onlinePage;
  COfflineLoad m_offlinePage;
  CI2cTest m_i2cPage;
  velkan::ui::CProductionPage m_productionPage;

 protected:
  // Escape on the production tab closes nothing (it is the operator's
  // keyboard); the other pages keep the dialog's Escape.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnInitDialog();

  std::unique_ptr<velkan::ui::ProductionWindow> m_productionWindow;

  velkan::ui::UiDialogs& m_dialogs;
};
