// Geometry of the balloon hint: a rounded body with a pointer triangle whose
// tip sits on the mouse position.
#pragma once

#include <QPoint>
#include <QPolygon>
#include <QRect>
#include <QSize>

namespace tskivor {

struct BalloonShape {
    int width = 0;        // w: the body's width, and the window's
    int bodyHeight = 0;   // h
    QRect body;           // (0,0)-(w,h), corners rounded by a 12x10 ellipse
    QPolygon pointer;     // (w-12,h-10), (w-12,h+15), (w-37,h-10)
    QSize window;         // w by h+25
    QPoint textOrigin;    // where the text starts
    QPoint iconOrigin;    // where the icon is drawn (with an icon)
};

inline constexpr int kBalloonCornerWidth = 12, kBalloonCornerHeight = 10;

// `text` is the size the text takes; `icon` is (0,0) without an icon.
BalloonShape balloonShape(QSize text, QSize icon);
// Top-left of the window so that the pointer's tip lies on `anchor`.
QPoint balloonTopLeft(const BalloonShape& shape, QPoint anchor);
// An icon's size as the balloon counts it: twice its hot spot, each kept to
// eight bits.
QSize balloonIconSize(QPoint hotSpot);

}  // namespace tskivor
