// The main window's tab control: a row of tabs over a display area that
// holds the pages. It keeps a small page table and shows the page of the tab
// that the last left press made the focus item.
#pragma once

#include <QTabBar>
#include <QWidget>
#include <array>

namespace velkan::ui {

// The page rectangle below the row of tabs, inset from the control's edges:
// from the client area's right and bottom edges and tab item 0's left and
// bottom edges (right and bottom edges exclusive).
QRect PageRectangle(int clientRight, int clientBottom, int itemLeft, int itemBottom);

}  // namespace velkan::ui

class CTS1 : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kMaxPages = 16;

  explicit CTS1(QWidget* parent = nullptr);
  ~CTS1() override;

  // Appends a page to the table; ignored once the table holds 16 pages. No
  // window is touched here.
  void AddPage(QWidget* page, unsigned templateId, const char* caption);
  // Puts the pages into the display area, adds the tab items, shows page 0
  // and hides the others, then lays the pages out. Called once.
  void InitPages();
  // Gives every page the display area's rectangle.
  void LayoutPages();
  // A left press on the control (on or beside the tabs): the tab bar
  // handles it first; then the page of the focus item is shown unless it is
  // the current one.
  void OnLButtonDown();

  QTabBar* tabBar() const { return m_bar; }

  const char* m_captions[kMaxPages] = {};
  unsigned m_templateIds[kMaxPages] = {};
  QWidget* m_pages[kMaxPages] = {};
  int m_pageCount = 0;
  int m_currentPage = 0;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  class Bar;
  QTabBar* m_bar = nullptr;
};
