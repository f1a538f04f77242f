// Dialog-template geometry: positions and sizes given in dialog units,
// turned into pixels with the dialog font's metrics the way dialog units are
// defined (a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its height).
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace velkan::ui {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}

  int X(int units) const { return units * baseX_ / 4; }
  int Y(int units) const { return units * baseY_ / 8; }
  QRect Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
  }
  QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }

  int baseX() const { return baseX_; }
  int baseY() const { return baseY_; }

 private:
  int baseX_ = 8;
  int baseY_ = 16;
};

// The font of the dialogs: the application font at 8 points.
QFont DialogFont();

}  // namespace velkan::ui
