#pragma once

// Resolution of the host a client connects to. Every answer, even for a
// dotted address, arrives later through the event loop, as the resolver's
// would.

#include <QObject>
#include <QString>

#include <functional>

namespace natter {

class HostLookup {
public:
    // `errorCode` is 0 or a resolver code (EAI_*); `address` is in host byte
    // order.
    using Done = std::function<void(int errorCode, quint32 address)>;

    explicit HostLookup(QObject *context) : m_context(context) {}
    ~HostLookup() { cancel(); }

    HostLookup(const HostLookup &) = delete;
    HostLookup &operator=(const HostLookup &) = delete;

    // Starts resolving `host`, abandoning any lookup under way. `done` is
    // called once, unless the lookup is cancelled first.
    void start(const QString &host, Done done);
    void cancel();
    bool pending() const { return m_pending; }

private:
    void finish(int id, int errorCode, quint32 address);

    QObject *m_context;
    int m_id = 0;
    bool m_pending = false;
    Done m_done;
};

} // namespace natter
