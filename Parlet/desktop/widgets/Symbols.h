// The icons Parlet draws itself, as vector shapes: the tray's state icons and the symbols of the
// pill, the welcome pages and the archive ("pencil.tip", "mic.fill", "lock.shield", "trash", …).
// An unknown name draws nothing. GUI thread only.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QRectF>
#include <QString>

#include "Parlet/desktop/StatusMenuModel.h"

class QPainter;

namespace parlet::widgets {

// Draws the symbol inside `box` (kept square, centred) in `color`.
void drawSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color);
// The symbol on a transparent square pixmap of `size` logical pixels.
QPixmap symbolPixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio = 1);
// The tray icon for a state at an opacity (the blinking).
QIcon statusIcon(StatusIcon icon, double alpha = 1);
// The application's icon, as the launcher entry's icon file draws it: the white pencil on a dark
// rounded tile. Every window shows it.
QIcon applicationIcon();

}  // namespace parlet::widgets
