// The production page in a window of its own: resizable and maximisable,
// its tiles large enough to be read from across the bench. Opened from the
// tab's "量产窗口" and by `velkan-tool --production`.
#pragma once

#include <QWidget>

#include "ui/production_page.h"
#include "ui/ui_dialogs.h"

namespace velkan::ui {

inline constexpr const char* kProductionWindowCaption = "量产";

class ProductionWindow final : public QWidget {
  Q_OBJECT

 public:
  explicit ProductionWindow(UiDialogs& dialogs, QWidget* parent = nullptr);
  ~ProductionWindow() override;

  CProductionPage& Page() { return m_page; }
  // The size it opens with: room for 8 programmers' tiles.
  static QSize DefaultSize();

 protected:
  // Closing while production runs is refused, saying to press 停止 first.
  void closeEvent(QCloseEvent* event) override;
  // Escape never closes it.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  UiDialogs& m_dialogs;
  CProductionPage m_page;
};

}  // namespace velkan::ui
