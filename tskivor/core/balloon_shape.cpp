#include "balloon_shape.h"

namespace tskivor {

BalloonShape balloonShape(QSize text, QSize icon) {
    int w = text.width() + 24, h = text.height() + 20;
    const bool withIcon = icon.width() > 0 || icon.height() > 0;
    if (withIcon) {
        w += icon.width() + 5;
        h = std::max(h, icon.height());
    }
    BalloonShape s;
    s.width = w;
    s.bodyHeight = h;
    s.body = QRect(0, 0, w, h);
    s.pointer = QPolygon({QPoint(w - 12, h - 10), QPoint(w - 12, h + 15), QPoint(w - 37, h - 10)});
    s.window = QSize(w, h + 25);
    s.textOrigin = QPoint(withIcon ? icon.width() + 17 : 12, 10);
    s.iconOrigin = QPoint(12, 10);
    return s;
}

QPoint balloonTopLeft(const BalloonShape& s, QPoint anchor) {
    return QPoint(anchor.x() - s.width + 12, anchor.y() - s.window.height() + 10);
}

QSize balloonIconSize(QPoint hotSpot) { return QSize((hotSpot.x() * 2) % 256, (hotSpot.y() * 2) % 256); }

}  // namespace tskivor
