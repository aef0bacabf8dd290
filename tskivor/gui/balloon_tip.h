// A balloon-shaped pop-up for long hints: shown half a second after the
// pointer comes to rest on a control that has a hint, with the tip of its
// pointer on the mouse position; hidden when the pointer moves off that spot
// or a button is pressed.
#pragma once

#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "balloon_shape.h"

namespace tskivor {

class CBalloonTip : public QWidget {
    Q_OBJECT
public:
    static constexpr int kShowDelayMs = 500;
    static constexpr int kWatchPeriodMs = 500;

    explicit CBalloonTip(QWidget* owner);
    // Registering a control again replaces its hint.
    void addHint(QWidget* control, const QString& text, const QIcon& icon = QIcon(), QPoint iconHotSpot = {});
    // The owner hands every event it is about to deliver to this.
    void relay(QEvent* event);

    // Where the pointer is and which window lies under it (tests replace
    // these).
    std::function<QPoint()> cursorPosition;
    std::function<QWidget*(QPoint)> widgetAtPoint;

    QTimer& showTimer() { return showTimer_; }    // timer 100
    QTimer& watchTimer() { return watchTimer_; }  // timer 101
    QPoint anchor() const { return anchor_; }
    const QString& currentText() const { return text_; }
    const BalloonShape& shape() const { return shape_; }
    QSize textSize() const;

    void onShowTimer();
    void onWatchTimer();

protected:
    void paintEvent(QPaintEvent*) override;

private:
    struct Hint {
        QString text;
        QIcon icon;
        QSize iconSize;
    };
    QHash<const QWidget*, Hint> hints_;
    QString text_;
    QIcon icon_;
    QSize iconSize_;
    QPoint anchor_{0, 0};
    BalloonShape shape_;
    QTimer showTimer_;
    QTimer watchTimer_;
};

}  // namespace tskivor
