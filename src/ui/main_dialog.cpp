#include "ui/main_dialog.h"

#include <QKeyEvent>

#include "script/session.h"
#include "ui/dialog_units.h"
#include "ui/resource_ids.h"

using namespace velkan::ui;

// The icon lives in the static library's resources, which nothing pulls into
// the program unless they are initialised by name.
static void InitIconResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(velkan);
    return true;
  }();
  (void)done;
}

CVELKANToolV2xxxDlg::CVELKANToolV2xxxDlg(UiDialogs& dialogs, QWidget* parent)
    : QDialog(parent),
      m_tab(this),
      m_onlinePage(dialogs),
      m_offlinePage(dialogs),
      m_i2cPage(dialogs),
      m_productionPage(dialogs),
      m_dialogs(dialogs) {
  InitIconResources();
  // Icon 128: the window's big and small icon.
  m_hIcon.addFile(QStringLiteral(":/velkan/velkan.png"), QSize(32, 32));
  m_hIcon.addFile(QStringLiteral(":/velkan/velkan.svg"));
  OnInitDialog();
}

CVELKANToolV2xxxDlg::~CVELKANToolV2xxxDlg() {
  // Normally nothing runs any more (closing is refused meanwhile); should
  // the window go away some other way, the runs end first, while every page
  // is still whole. Production has no end of its own: it is stopped (the
  // chips in progress are finished and recorded).
  if (m_productionWindow) m_productionWindow->Page().StopAndWait();
  m_productionPage.StopAndWait();
  m_onlinePage.WaitForRun();
  m_offlinePage.WaitForRun();
}

void CVELKANToolV2xxxDlg::OnInitDialog() {
  setObjectName(QStringLiteral("CVELKANToolV2xxxDlg"));
  setWindowTitle(QString::fromUtf8(kMainCaption));
  // A fixed-size window with a close box only.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setSizeGripEnabled(false);
  setFont(DialogFont());
  const DialogUnits du(font());
  setFixedSize(du.Size(353, 190));
  setWindowIcon(m_hIcon);

  m_tab.setObjectName(QStringLiteral("tab"));
  m_tab.setGeometry(du.Rect(1, 0, 352, 187));

  m_tab.AddPage(&m_onlinePage, kIdOnlinePage, kOnlineCaption);
  m_tab.AddPage(&m_offlinePage, kIdOfflinePage, kOfflineCaption);
  m_tab.AddPage(&m_i2cPage, kIdI2cPage, kI2cCaption);
  m_tab.AddPage(&m_productionPage, kIdProductionPage, kProductionCaption);
  m_tab.InitPages();
  connect(&m_productionPage, &velkan::ui::CProductionPage::windowRequested, this,
          [this] { ShowProductionWindow(); });
}

velkan::ui::ProductionWindow& CVELKANToolV2xxxDlg::ShowProductionWindow() {
  if (!m_productionWindow) {
    m_productionWindow = std::make_unique<velkan::ui::ProductionWindow>(m_dialogs);
    m_productionWindow->setWindowIcon(m_hIcon);
  }
  m_productionWindow->show();
  m_productionWindow->raise();
  m_productionWindow->activateWindow();
  return *m_productionWindow;
}

void CVELKANToolV2xxxDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && m_productionPage.isVisible()) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool CVELKANToolV2xxxDlg::RunInProgress() const {
  return m_onlinePage.IsRunning() || m_offlinePage.IsRunning() || m_productionPage.IsRunning() ||
         (m_productionWindow && m_productionWindow->Page().IsRunning());
}

void CVELKANToolV2xxxDlg::reject() {
  if (m_productionPage.IsRunning() ||
      (m_productionWindow && m_productionWindow->Page().IsRunning())) {
    // Production never ends by itself: say what ends it.
    m_dialogs.MessageBox(this, kProductionRunningText, velkan::kCaptionNotice,
                         velkan::MsgButtons::kOk, velkan::MsgIcon::kNone);
    return;
  }
  if (RunInProgress()) {
    m_dialogs.MessageBox(this, velkan::kBusyText, velkan::kCaptionNotice, velkan::MsgButtons::kOk,
                         velkan::MsgIcon::kNone);
    return;
  }
  if (m_productionWindow) m_productionWindow->close();
  QDialog::reject();
}
