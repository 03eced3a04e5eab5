// SPDX-License-Identifier: LGPL-2.1-or-later
#include "outer_bounds.h"

#include <QEvent>
#include <QWidget>
#include <QWindow>

namespace {

class OuterBoundsKeeper : public QObject {
public:
    OuterBoundsKeeper(QWidget &topLevel, QRect outerBounds)
        : QObject(&topLevel), window(topLevel), bounds(outerBounds)
    {
        window.installEventFilter(this);
    }

    // Before the window is framed: the client area takes the whole bounds,
    // which is right where there is no frame at all.
    void placeUnframed()
    {
        window.resize(bounds.size());
        window.move(bounds.topLeft()); // A top-level's position is its frame's.
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::WindowActivate:
            fitToFrame();
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void fitToFrame()
    {
        const QWindow *handle = window.windowHandle();
        if (handle == nullptr)
            return;
        const QMargins frame = handle->frameMargins();
        if (frame.isNull())
            return;
        window.removeEventFilter(this); // Fitted once; the user may move it now.
        window.resize(bounds.width() - frame.left() - frame.right(),
                      bounds.height() - frame.top() - frame.bottom());
        window.move(bounds.topLeft());
        deleteLater();
    }

    QWidget &window;
    const QRect bounds;
};

} // namespace

void keepOuterBounds(QWidget &window, QRect bounds)
{
    (new OuterBoundsKeeper(window, bounds))->placeUnframed();
}
