#include "balloon_tip.h"

#include <QApplication>
#include <QCursor>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>

namespace tskivor {

CBalloonTip::CBalloonTip(QWidget* owner)
    : QWidget(owner, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
    resize(0, 0);
    hints_.reserve(17);
    cursorPosition = [] { return QCursor::pos(); };
    widgetAtPoint = [](QPoint p) { return QApplication::widgetAt(p); };
    connect(&showTimer_, &QTimer::timeout, this, &CBalloonTip::onShowTimer);
    connect(&watchTimer_, &QTimer::timeout, this, &CBalloonTip::onWatchTimer);
}

void CBalloonTip::addHint(QWidget* control, const QString& text, const QIcon& icon, QPoint iconHotSpot) {
    hints_.insert(control, Hint{text, icon, icon.isNull() ? QSize() : balloonIconSize(iconHotSpot)});
}

void CBalloonTip::relay(QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseMove: {
            const QPoint p = cursorPosition();
            if (p != anchor_) {
                const auto found = hints_.constFind(widgetAtPoint(p));
                if (found != hints_.constEnd()) {
                    anchor_ = p;
                    icon_ = found->icon;
                    iconSize_ = found->iconSize;
                    text_ = found->text;
                    showTimer_.start(kShowDelayMs);
                }
            }
            if (p != anchor_) {
                // Off the anchor: hide, and drop a show still waiting, so a
                // quick pass over a control does not pop a balloon up later.
                showTimer_.stop();
                hide();
            }
            break;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            const auto b = static_cast<QMouseEvent*>(event)->button();
            if (b == Qt::LeftButton || b == Qt::RightButton || b == Qt::MiddleButton) hide();
            break;
        }
        default:
            break;
    }
}

QSize CBalloonTip::textSize() const {
    return fontMetrics().boundingRect(QRect(0, 0, 10000, 10000), Qt::AlignLeft | Qt::AlignTop, text_).size();
}

void CBalloonTip::onShowTimer() {
    showTimer_.stop();
    shape_ = balloonShape(textSize(), iconSize_);
    // The body with its rounded corners, and the pointer.
    QPainterPath rounded;
    rounded.addRoundedRect(QRectF(shape_.body), kBalloonCornerWidth / 2.0, kBalloonCornerHeight / 2.0);
    const QRegion region = QRegion(rounded.toFillPolygon().toPolygon()) + QRegion(shape_.pointer);
    resize(shape_.window);
    setMask(region);
    move(balloonTopLeft(shape_, anchor_));
    show();
    raise();
    watchTimer_.start(kWatchPeriodMs);
}

void CBalloonTip::onWatchTimer() {
    if (cursorPosition() != anchor_) {
        watchTimer_.stop();
        hide();
    }
}

void CBalloonTip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(shape_.body), kBalloonCornerWidth / 2.0, kBalloonCornerHeight / 2.0);
    QPainterPath pointer;
    pointer.addPolygon(QPolygonF(shape_.pointer));
    pointer.closeSubpath();
    outline = outline.united(pointer);
    // The shape reaches to x = w and y = h, one past the last pixel of the
    // window: drawn as it is, the right and bottom edges fall outside. Drawn
    // within the pixels, every edge shows.
    const QRectF bounds = outline.boundingRect();
    QTransform inside;
    inside.translate(0.5, 0.5);
    inside.scale((bounds.width() - 1) / bounds.width(), (bounds.height() - 1) / bounds.height());
    outline = inside.map(outline);
    painter.fillPath(outline, palette().color(QPalette::Base));
    // The band lies inside the shape, 3 pixels wide within the outline's
    // pixel: a pen centred on the outline reaches 3.5 pixels in, and what it
    // paints outside falls outside the window's shape.
    painter.setPen(QPen(palette().color(QPalette::Mid), 7));
    painter.drawPath(outline);
    painter.setPen(QPen(palette().color(QPalette::Text), 1));
    painter.drawPath(outline);
    painter.drawText(QRect(shape_.textOrigin, QSize(10000, 10000)), Qt::AlignLeft | Qt::AlignTop, text_);
    if (!icon_.isNull()) painter.drawPixmap(QRect(shape_.iconOrigin, iconSize_), icon_.pixmap(iconSize_));
}

}  // namespace tskivor
