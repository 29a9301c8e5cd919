#include "net/socketwatch.h"

#include <QList>
#include <QSocketNotifier>

namespace natter {

namespace {

// Notifiers whose activation is being handled right now, innermost last. A
// notifier on this list must not be deleted directly: its own signal
// emission is still on the stack.
thread_local QList<const QSocketNotifier *> t_dispatching;

class DispatchScope {
public:
    explicit DispatchScope(const QSocketNotifier *n) : m_n(n) { t_dispatching.append(n); }
    ~DispatchScope() { t_dispatching.removeOne(m_n); }
    DispatchScope(const DispatchScope &) = delete;
    DispatchScope &operator=(const DispatchScope &) = delete;

private:
    const QSocketNotifier *m_n;
};

void dispose(QSocketNotifier *&n)
{
    if (!n)
        return;
    n->setEnabled(false);
    n->disconnect();
    if (t_dispatching.contains(n)) {
        n->setParent(nullptr);
        n->deleteLater();
    } else {
        delete n;
    }
    n = nullptr;
}

void enable(QSocketNotifier *n, bool on)
{
    if (n && n->isEnabled() != on)
        n->setEnabled(on);
}

QSocketNotifier *notifier(int handle, QSocketNotifier::Type type, QObject *owner, bool on,
                          std::function<void()> handler)
{
    auto *n = new QSocketNotifier(qintptr(handle), type, owner);
    n->setEnabled(on);
    QObject::connect(n, &QSocketNotifier::activated, owner, [n, handler = std::move(handler)] {
        const DispatchScope scope(n);
        handler();
    });
    return n;
}

} // namespace

void SocketWatch::watch(int handle, bool readOn, bool readOnly, std::function<void()> onRead,
                        std::function<void()> onWrite)
{
    release();
    m_read = notifier(handle, QSocketNotifier::Read, m_owner, readOn, std::move(onRead));
    if (!readOnly)
        m_write = notifier(handle, QSocketNotifier::Write, m_owner, false, std::move(onWrite));
}

void SocketWatch::release()
{
    dispose(m_read);
    dispose(m_write);
}

void SocketWatch::setRead(bool on)
{
    enable(m_read, on);
}

void SocketWatch::setWrite(bool on)
{
    enable(m_write, on);
}

} // namespace natter
