#include "Parlet/desktop/widgets/Labels.h"

#include <QLabel>
#include <QPalette>

namespace parlet::widgets {

QLabel* styledLabel(const QString& text, int pixelSize, QFont::Weight weight, bool serif, const QColor& color) {
  auto* l = new QLabel(text);
  QFont font = l->font();
  if (serif) {
    font.setFamilies({"DejaVu Serif", "Noto Serif", "Liberation Serif", "serif"});
    font.setStyleHint(QFont::Serif);
  }
  font.setPixelSize(pixelSize);
  font.setWeight(weight);
  l->setFont(font);
  QPalette palette = l->palette();
  palette.setColor(QPalette::WindowText, color);
  l->setPalette(palette);
  return l;
}

}  // namespace parlet::widgets
