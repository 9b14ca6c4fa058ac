// The text labels of Parlet's windows: a pixel size, a weight, an optional serif face and a text
// colour; the caller sets the text format, alignment and wrapping it needs. GUI thread only.
//   auto* heading = styledLabel("Archive", 18, QFont::DemiBold, true, primary);
#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QLabel;

namespace parlet::widgets {

// A new label showing `text` in that font and colour; the caller owns it (or its parent will).
QLabel* styledLabel(const QString& text, int pixelSize, QFont::Weight weight, bool serif, const QColor& color);

}  // namespace parlet::widgets
