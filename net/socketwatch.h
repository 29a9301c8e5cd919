#pragma once

// Readiness of one platform socket, delivered by the event loop: a read
// watch (data, end of stream, or a connection waiting to be accepted) and,
// for connections, a write watch (connect finished, room to send).

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace natter {

class SocketWatch {
public:
    explicit SocketWatch(QObject *owner) : m_owner(owner) {}
    ~SocketWatch() { release(); }

    SocketWatch(const SocketWatch &) = delete;
    SocketWatch &operator=(const SocketWatch &) = delete;

    // Starts watching `handle`: reading (enabled as `readOn`) and, unless
    // `readOnly`, writing (disabled until asked for). Replaces any earlier
    // watch.
    void watch(int handle, bool readOn, bool readOnly, std::function<void()> onRead,
               std::function<void()> onWrite);
    // Stops watching. Safe from inside a notification of this watch.
    void release();

    void setRead(bool on);
    void setWrite(bool on);

private:
    QObject *m_owner;
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
};

} // namespace natter
