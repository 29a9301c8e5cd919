// Opening a socket object: resolving the host and then connecting (each of
// the host's addresses in turn until one connects) or listening.
#include "net/winsocket.h"

#include "net/linktimeouts.h"

#include <QPointer>

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace natter {

namespace {

bool wouldBlock(int code)
{
    return code == EWOULDBLOCK || code == EAGAIN || code == EINPROGRESS;
}

// The message of a failed platform call, with the code the handler left.
std::function<QString(int)> onApi(const char *api)
{
    return [api](int code) { return windowsSocketError(code, QLatin1String(api)); };
}

} // namespace

void TCustomWinSocket::OpenAndResolve(const QString &host, const QString &address, const QString &service,
                                      int port, int queueSize, bool client)
{
    // An attempt still under way is dropped rather than leaked.
    CloseSilently();
    // IPv6 where the machine has it; a listening socket takes IPv4 peers on
    // it too. A client's socket is made again for each address it tries.
    const int handle = openIpv6OrIpv4Socket(!client);
    if (handle < 0)
        throw ESocketError(QStringLiteral("Can't create new socket"));
    m_handle = handle;
    try {
        QPointer<TCustomWinSocket> self(this);
        Event(this, TSocketEvent::seLookup);
        if (!self || m_handle != handle)
            return;
        if (!client) {
            ResolvePort(service, port);
            DoListen(queueSize);
        } else if (!host.isEmpty()) {
            m_savedService = service;
            m_savedPort = port;
            m_lookup.start(host,
                           [this](int code, const QList<SocketAddress> &found) { Resolved(code, found); });
        } else if (!address.isEmpty()) {
            const std::optional<SocketAddress> numeric = SocketAddress::fromText(address);
            m_addresses = {numeric ? *numeric
                                   : SocketAddress::ipv4(ntohl(::inet_addr(address.toLatin1().constData())))};
            ResolvePort(service, port);
            DoOpen();
        } else {
            FailAndClose(TErrorEvent::eeLookup, EDESTADDRREQ,
                         [](int) { return QStringLiteral("No address specified"); });
        }
    } catch (...) {
        Disconnect(m_handle);
        throw;
    }
}

void TCustomWinSocket::Resolved(int errorCode, const QList<SocketAddress> &addresses)
{
    if (errorCode != 0) {
        FailAndClose(TErrorEvent::eeLookup, errorCode, [errorCode](int) {
            return windowsSocketError(errorCode, QStringLiteral("ASync Lookup"));
        });
        return;
    }
    m_addresses = addresses;
    m_attempt = 0;
    try {
        ResolvePort(m_savedService, m_savedPort);
    } catch (...) {
        Disconnect(m_handle);
        throw;
    }
    StartAttempt();
}

void TCustomWinSocket::StartAttempt()
{
    try {
        DoOpen();
    } catch (...) {
        Disconnect(m_handle);
        throw;
    }
}

void TCustomWinSocket::ResolvePort(const QString &service, int port)
{
    if (service.isEmpty()) {
        // Only the low 16 bits of the port reach the platform.
        m_port = quint16(port);
        return;
    }
    bool numeric = false;
    const int n = service.trimmed().toInt(&numeric);
    if (numeric) {
        m_port = quint16(n);
        return;
    }
    const servent *entry = ::getservbyname(service.toLatin1().constData(), "tcp");
    if (!entry)
        throw ESocketError(windowsSocketError(EAI_SERVICE, QStringLiteral("getservbyname")));
    m_port = ntohs(quint16(entry->s_port));
}

void TCustomWinSocket::DoOpen()
{
    int failure = 0;
    if (!PrepareAttemptSocket(failure)) {
        AttemptFailed(failure, onApi("socket"));
        return;
    }
    const int handle = m_handle;
    applyLinkTimeouts(handle);
    WatchHandle(false);
    QPointer<TCustomWinSocket> self(this);
    Event(this, TSocketEvent::seConnecting);
    if (!self || m_handle != handle || handle == kInvalidSocket)
        return; // a handler abandoned the attempt

    SocketAddress to = m_addresses.at(m_attempt);
    to.setPort(m_port);
    if (::connect(handle, to.data(), to.size()) != 0) {
        const int code = errno;
        if (!wouldBlock(code)) {
            AttemptFailed(code, onApi("connect"));
            return;
        }
    }
    // The outcome arrives as the connect notification.
    m_connectPending = true;
    m_watch.setWrite(true);
    if (m_attempt + 1 < m_addresses.size())
        m_attemptLimit.start();
}

bool TCustomWinSocket::PrepareAttemptSocket(int &code)
{
    const int family = m_addresses.at(m_attempt).family();
    // The socket made on opening serves the first attempt when its family
    // fits; one that has tried to connect cannot try again.
    if (m_attempt == 0 && socketFamily(m_handle) == family)
        return true;
    const int fresh = openStreamSocket(family);
    if (fresh < 0) {
        code = errno;
        return false;
    }
    m_watch.release();
    const bool replaced = ::dup3(fresh, m_handle, O_CLOEXEC) >= 0;
    code = errno;
    ::close(fresh);
    return replaced;
}

void TCustomWinSocket::AttemptFailed(int code, const std::function<QString(int)> &message)
{
    m_attemptLimit.stop();
    if (m_attempt + 1 < m_addresses.size()) {
        ++m_attempt;
        StartAttempt();
        return;
    }
    // The last address failed too: the socket is of no further use.
    CloseSilently();
    Error(this, TErrorEvent::eeConnect, code);
    if (code != 0)
        throw ESocketError(message(code));
}

void TCustomWinSocket::DoListen(int queueSize)
{
    const int handle = m_handle;
    // Lets a host listen again on its port right after a conversation; a
    // port another program listens on still refuses the bind.
    const int one = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    // Every local address: with a dual-stack socket, IPv6 and IPv4 alike.
    SocketAddress any = SocketAddress::anyOf(socketFamily(handle));
    any.setPort(m_port);
    if (::bind(handle, any.data(), any.size()) != 0)
        throw ESocketError(windowsSocketError(errno, QStringLiteral("bind")));
    WatchHandle(true);

    QPointer<TCustomWinSocket> self(this);
    Event(this, TSocketEvent::seListen);
    if (!self || m_handle != handle)
        return;
    if (::listen(handle, std::min(queueSize, 5)) != 0)
        throw ESocketError(windowsSocketError(errno, QStringLiteral("listen")));
    m_connected = true;
}

} // namespace natter
