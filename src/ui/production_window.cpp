#include "ui/production_window.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "ui/resource_ids.h"

namespace velkan::ui {

ProductionWindow::ProductionWindow(UiDialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window), m_dialogs(dialogs), m_page(dialogs, PageLayout::kWindow) {
  setObjectName(QStringLiteral("ProductionWindow"));
  setWindowTitle(QString::fromUtf8(kProductionWindowCaption) + QStringLiteral(" - ") +
                 QString::fromUtf8(kMainCaption));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(&m_page);
  setMinimumSize(640, 480);
  resize(DefaultSize());
}

ProductionWindow::~ProductionWindow() {
  m_page.StopAndWait();
  // The page is a member: out of the layout before it goes.
  m_page.setParent(nullptr);
}

QSize ProductionWindow::DefaultSize() {
  return {1280, 800};
}

void ProductionWindow::closeEvent(QCloseEvent* event) {
  if (m_page.IsRunning()) {
    m_dialogs.MessageBox(this, kProductionRunningText, velkan::kCaptionNotice,
                         velkan::MsgButtons::kOk, velkan::MsgIcon::kNone);
    event->ignore();
    return;
  }
  event->accept();
}

void ProductionWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace velkan::ui
