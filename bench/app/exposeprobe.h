#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QWindow>

#include <chrono>
#include <cstdio>

namespace natter::bench {

// Prints "<stage> <steady-clock nanoseconds>" on stdout: a mark the driver
// turns into time since it started the process.
inline void markStage(const char *stage)
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    std::printf("%s %lld\n", stage,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
    std::fflush(stdout);
}

// Watches the whole application for the first window that becomes exposed
// (on screen, or on the offscreen platform: ready to be drawn). At that
// moment it marks the stage "exposed" and ends the event loop.
class ExposeProbe final : public QObject {
public:
    explicit ExposeProbe(QObject *parent = nullptr) : QObject(parent) {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_seen && event->type() == QEvent::Expose) {
            const auto *window = qobject_cast<QWindow *>(watched);
            if (window && window->isExposed()) {
                m_seen = true;
                markStage("exposed");
                QCoreApplication::exit(0);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

} // namespace natter::bench
