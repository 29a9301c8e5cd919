#pragma once
// Start-up probes print the monotonic time their first window is exposed, and end there.
#include <QDeadlineTimer>
#include <QEvent>
#include <QWindow>

#include <cstdio>
#include <cstdlib>

namespace {
const auto nowNs = [] { return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs(); };

// In a start-up probe: prints the monotonic time the first window is exposed and ends there.
struct ExposeProbe final : QObject {
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const auto *window = event->type() == QEvent::Expose ? qobject_cast<QWindow *>(watched) : nullptr;
        if (window && window->isExposed()) {
            std::printf("%lld\n", nowNs());
            std::fflush(stdout);
            std::_Exit(0);
        }
        return false;
    }
};
} // namespace
