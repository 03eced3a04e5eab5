// SPDX-License-Identifier: LGPL-2.1-or-later
// See first_paint.h.
#include <cstdio>
#include <ctime>

#include <QCoreApplication>
#include <QEvent>
#include <QWindow>

#include "first_paint.h"

namespace {

long long realtime_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class FirstPaintProbe : public QObject {
public:
    using QObject::QObject;

protected:
    // The first exposure of a window is painted and flushed while the
    // window handles it, so the moment after is the first painted window.
    bool eventFilter(QObject *receiver, QEvent *event) override
    {
        auto *window = qobject_cast<QWindow *>(receiver);
        if (reported || event->type() != QEvent::Expose || window == nullptr)
            return false;
        receiver->event(event); // public on QObject, dispatched to the window
        if (!window->isExposed())
            return true;
        reported = true;
        std::printf("first-paint %lld\n", realtime_ns());
        std::fflush(stdout);
        // Queued: the exposure may come before the event loop runs.
        QMetaObject::invokeMethod(
            qApp,
            [] {
                if (afterFirstPaint())
                    afterFirstPaint()();
                QCoreApplication::quit();
            },
            Qt::QueuedConnection);
        return true;
    }

private:
    bool reported = false;
};

void install_probe() { qApp->installEventFilter(new FirstPaintProbe(qApp)); }

} // namespace

std::function<void()> &afterFirstPaint()
{
    static std::function<void()> action;
    return action;
}

Q_COREAPP_STARTUP_FUNCTION(install_probe)
