#pragma once

// Resolution of the host a client connects to. Every answer, even for a
// numeric address, arrives later through the event loop, as the resolver's
// would.

#include "net/socketaddress.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

namespace natter {

class HostLookup {
public:
    // At most this many addresses of one name are kept for connecting.
    static constexpr int kMaxAddresses = 10;

    // `errorCode` is 0 or a resolver code (EAI_*); on success `addresses`
    // holds at least one address (port 0), in the order to try them.
    using Done = std::function<void(int errorCode, const QList<SocketAddress> &addresses)>;

    explicit HostLookup(QObject *context) : m_context(context) {}
    ~HostLookup() { cancel(); }

    HostLookup(const HostLookup &) = delete;
    HostLookup &operator=(const HostLookup &) = delete;

    // Starts resolving `host`: a numeric IPv4 or IPv6 address (brackets
    // allowed) stands for itself, a name is resolved to all its addresses.
    // Abandons any lookup under way. `done` is called once, unless the
    // lookup is cancelled first.
    void start(const QString &host, Done done);
    void cancel();
    bool pending() const { return m_pending; }

private:
    void finish(int id, int errorCode, const QList<SocketAddress> &addresses);

    QObject *m_context;
    int m_id = 0;
    bool m_pending = false;
    Done m_done;
};

// The order in which to try a name's addresses: IPv6 and IPv4 alternately,
// IPv6 first, each family in the resolver's order; repeats dropped; at most
// HostLookup::kMaxAddresses.
QList<SocketAddress> connectingOrder(const QList<SocketAddress> &addresses);

} // namespace natter
