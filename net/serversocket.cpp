#include "net/serversocket.h"

#include "net/linktimeouts.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

#include <cerrno>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace natter {

namespace {

// The deferred release of an accepted connection.
const QEvent::Type kReleaseEvent = QEvent::Type(QEvent::User + 2);

} // namespace

// ---------------------------------------------------------------------------
// TServerWinSocket

TServerWinSocket::TServerWinSocket(int handle, QObject *parent) : TCustomWinSocket(handle, parent)
{
    if (handle != kInvalidSocket)
        WatchHandle(true);
}

TServerWinSocket::~TServerWinSocket()
{
    Unhook();
    ReleaseConnections();
    CloseSpare();
}

void TServerWinSocket::ReleaseConnections()
{
    // Newest first, each silently: no client-disconnect event for any.
    while (!m_connections.isEmpty())
        delete m_connections.last();
    while (!m_departing.isEmpty())
        delete m_departing.last();
}

void TServerWinSocket::ForgetClosed()
{
    for (qsizetype i = 0; i < m_connections.size();) {
        TServerClientWinSocket *client = m_connections.at(i);
        if (client->Connected()) {
            ++i;
            continue;
        }
        m_connections.removeAt(i);
        m_departing.append(client);
    }
}

void TServerWinSocket::CloseSpare()
{
    if (m_spare != kInvalidSocket)
        ::close(m_spare);
    m_spare = kInvalidSocket;
}

void TServerWinSocket::TurnAwayWithoutDescriptors()
{
    if (m_spare == kInvalidSocket)
        return;
    ::close(m_spare);
    const int fd = ::accept4(SocketHandle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    m_spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TServerClientWinSocket *TServerWinSocket::Connections(int index) const
{
    if (index < 0 || index >= m_connections.size())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return m_connections.at(index);
}

void TServerWinSocket::AddClient(TServerClientWinSocket *client)
{
    if (!m_connections.contains(client))
        m_connections.append(client);
}

void TServerWinSocket::RemoveClient(TServerClientWinSocket *client)
{
    m_connections.removeOne(client);
    m_departing.removeOne(client);
}

void TServerWinSocket::Listen(const QString &host, const QString &address, const QString &service, int port,
                              int queueSize)
{
    if (Connected())
        throw ESocketError(QStringLiteral("Can't listen on an open socket"));
    OpenAndResolve(host, address, service, port, queueSize, false);
    if (Connected() && m_spare == kInvalidSocket)
        m_spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void TServerWinSocket::Disconnect(int handle)
{
    ReleaseConnections();
    TCustomWinSocket::Disconnect(handle);
    if (SocketHandle() == kInvalidSocket)
        CloseSpare();
}

void TServerWinSocket::Accept(int handle)
{
    if (SocketHandle() == kInvalidSocket || handle != SocketHandle())
        return;
    // A conversation that has already ended is over before the next joiner
    // is counted, however the event loop orders their notifications.
    QPointer<TServerWinSocket> self(this);
    const QList<QPointer<TServerClientWinSocket>> held(m_connections.cbegin(), m_connections.cend());
    for (const QPointer<TServerClientWinSocket> &connection : held)
        if (connection && self)
            connection->NoticeEnd();
    if (!self || SocketHandle() != handle)
        return;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(handle, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE)
            TurnAwayWithoutDescriptors();
        return; // nothing to take, or it could not be taken
    }

    applyLinkTimeouts(fd);
    auto *created = new TServerClientWinSocket(fd, this);
    created->SetRemoteAddress(SocketAddress::fromStorage(peer, len).text());
    QPointer<TServerClientWinSocket> client(created);
    try {
        created->Event(created, TSocketEvent::seConnect);
    } catch (...) {
        // The new connection could not be set up: drop it at once, silently.
        delete client.data();
        throw;
    }
    if (!self || !client)
        return;
    Event(client, TSocketEvent::seAccept);
    // A joiner that reset or left before it was taken is gone at once.
    if (self && client)
        client->NoticeEnd();
}

void TServerWinSocket::ClientEvent(TCustomWinSocket *socket, TSocketEvent socketEvent)
{
    switch (socketEvent) {
    case TSocketEvent::seConnect:
        callHandler(OnClientConnect, this, socket);
        break;
    case TSocketEvent::seDisconnect: {
        QPointer<TCustomWinSocket> alive(socket);
        callHandler(OnClientDisconnect, this, socket);
        if (!alive)
            break;
        // A connection the peer ended leaves the list at once: nothing else
        // of its notification is left to run, and the next joiner must not
        // find it still counted. One closed from here stays listed for the
        // handlers that go on using the list, until the next notification.
        if (socket->ClosedByPeer()) {
            auto *client = static_cast<TServerClientWinSocket *>(socket);
            m_connections.removeOne(client);
            m_departing.append(client);
        }
        QCoreApplication::postEvent(socket, new QEvent(kReleaseEvent));
        break;
    }
    case TSocketEvent::seRead:
        callHandler(OnClientRead, this, socket);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// TServerClientWinSocket

TServerClientWinSocket::TServerClientWinSocket(int handle, TServerWinSocket *serverWinSocket)
    : TCustomWinSocket(handle, nullptr), m_serverWinSocket(serverWinSocket)
{
    if (m_serverWinSocket) {
        m_serverWinSocket->AddClient(this);
        TServerWinSocket *server = m_serverWinSocket;
        SetOnSocketEvent([server](TCustomWinSocket *s, TSocketEvent e) { server->ClientEvent(s, e); });
        SetOnErrorEvent([server](TCustomWinSocket *s, TErrorEvent e, int &code) {
            if (server->OnClientError) {
                const TSocketErrorEvent handler = server->OnClientError;
                handler(server, s, e, code);
            }
        });
    }
    WatchHandle(false);
    // The platform reports a fresh connection writable once.
    ExpectWriteNotice();
}

TServerClientWinSocket::~TServerClientWinSocket()
{
    Unhook();
    if (m_serverWinSocket)
        m_serverWinSocket->RemoveClient(this);
}

void TServerClientWinSocket::NotificationArrived()
{
    if (m_serverWinSocket)
        m_serverWinSocket->ForgetClosed();
}

bool TServerClientWinSocket::event(QEvent *e)
{
    if (e->type() == kReleaseEvent) {
        delete this;
        return true;
    }
    return TCustomWinSocket::event(e);
}

} // namespace natter
