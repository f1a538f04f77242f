#include "ui/cts1.h"

#include <QMouseEvent>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>

namespace velkan::ui {

QRect PageRectangle(int clientRight, int clientBottom, int itemLeft, int itemBottom) {
  const int x = itemLeft;
  const int y = itemBottom + 1;
  const int width = clientRight - itemLeft - 2;
  const int height = clientBottom - itemBottom - 3;
  return QRect(x, y, width, height);
}

}  // namespace velkan::ui

// The row of tabs. A left press goes to the control's page switching after
// the bar has made the pressed tab current; the bar takes no keyboard focus
// and ignores the mouse wheel, so the current tab changes only by a press.
class CTS1::Bar final : public QTabBar {
 public:
  explicit Bar(CTS1* owner) : QTabBar(owner), owner_(owner) {
    setFocusPolicy(Qt::NoFocus);
    setExpanding(false);
    setDrawBase(false);
  }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    QTabBar::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) owner_->OnLButtonDown();
  }
  void wheelEvent(QWheelEvent* event) override { event->ignore(); }

 private:
  CTS1* owner_;
};

CTS1::CTS1(QWidget* parent) : QWidget(parent), m_bar(new Bar(this)) {
  m_bar->setObjectName(QStringLiteral("tabBar"));
}

CTS1::~CTS1() = default;

void CTS1::AddPage(QWidget* page, unsigned templateId, const char* caption) {
  if (m_pageCount >= kMaxPages) return;
  m_pages[m_pageCount] = page;
  m_templateIds[m_pageCount] = templateId;
  m_captions[m_pageCount] = caption;
  ++m_pageCount;
}

void CTS1::InitPages() {
  for (int i = 0; i < m_pageCount; ++i) {
    if (m_pages[i] != nullptr) m_pages[i]->setParent(this);
    m_bar->addTab(QString::fromUtf8(m_captions[i]));
  }
  m_bar->setCurrentIndex(0);
  m_currentPage = 0;
  m_bar->resize(width(), m_bar->sizeHint().height());
  for (int i = 0; i < m_pageCount; ++i) {
    if (m_pages[i] != nullptr) m_pages[i]->setVisible(i == 0);
  }
  LayoutPages();
}

void CTS1::LayoutPages() {
  if (m_pageCount == 0) return;
  const QRect item = m_bar->tabRect(0).translated(m_bar->pos());
  const QRect area =
      velkan::ui::PageRectangle(width(), height(), item.left(), item.top() + item.height());
  for (int i = 0; i < m_pageCount; ++i) {
    QWidget* page = m_pages[i];
    if (page == nullptr) continue;
    page->setGeometry(area);
    page->raise();
  }
  if (m_pages[0] != nullptr) m_pages[0]->raise();
}

void CTS1::OnLButtonDown() {
  const int focus = m_bar->currentIndex();
  if (focus == m_currentPage) return;
  // No focus item, or one outside the table: nothing to switch to.
  if (focus < 0 || focus >= m_pageCount) return;
  if (m_pages[m_currentPage] != nullptr) m_pages[m_currentPage]->hide();
  m_currentPage = focus;
  if (m_pages[m_currentPage] != nullptr) m_pages[m_currentPage]->show();
}

void CTS1::mousePressEvent(QMouseEvent* event) {
  QWidget::mousePressEvent(event);
  if (event->button() == Qt::LeftButton) OnLButtonDown();
}

void CTS1::paintEvent(QPaintEvent*) {
  // The frame of the display area, joined to the row of tabs.
  QStylePainter painter(this);
  QStyleOptionTabWidgetFrame frame;
  frame.initFrom(this);
  const int barHeight = m_bar->height();
  frame.rect = QRect(0, barHeight - 1, width(), height() - barHeight + 1);
  frame.tabBarSize = m_bar->size();
  frame.tabBarRect = m_bar->geometry();
  frame.shape = QTabBar::RoundedNorth;
  frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
  painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

void CTS1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  m_bar->resize(width(), m_bar->sizeHint().height());
}
