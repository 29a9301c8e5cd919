#include "net/winsocket.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace natter {

namespace {

// Notification kinds, with the bit values of the readiness masks.
constexpr int kNotifyRead = 1;
constexpr int kNotifyWrite = 2;
constexpr int kNotifyAccept = 8;
constexpr int kNotifyConnect = 16;
constexpr int kNotifyClose = 32;

// The deferred release of an accepted connection.
const QEvent::Type kReleaseEvent = QEvent::Type(QEvent::User + 2);

bool wouldBlock(int code)
{
    return code == EWOULDBLOCK || code == EAGAIN || code == EINPROGRESS;
}

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

void disposeNotifier(QSocketNotifier *&n)
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

void setWatch(QSocketNotifier *n, bool on)
{
    if (n && n->isEnabled() != on)
        n->setEnabled(on);
}

// Hands a message to the application's exception report at once, as if it
// had been raised and left a handler.
void report(const QString &message) noexcept
{
    try {
        throw ESocketError(message);
    } catch (...) {
        handleCurrentException();
    }
}

TErrorEvent errorEventFor(int kind)
{
    switch (kind) {
    case kNotifyConnect:
        return TErrorEvent::eeConnect;
    case kNotifyClose:
        return TErrorEvent::eeDisconnect;
    case kNotifyRead:
        return TErrorEvent::eeReceive;
    case kNotifyWrite:
        return TErrorEvent::eeSend;
    case kNotifyAccept:
        return TErrorEvent::eeAccept;
    default:
        return TErrorEvent::eeGeneral;
    }
}

QString asynchronousError(int code)
{
    return QStringLiteral("Asynchronous socket error %1").arg(code);
}

// Names under the reserved "invalid" domain never resolve; they are answered
// at once without asking any resolver.
bool reservedInvalidName(const QString &host)
{
    QString h = host.trimmed();
    if (h.endsWith(QLatin1Char('.')))
        h.chop(1);
    return h.compare(QLatin1String("invalid"), Qt::CaseInsensitive) == 0 ||
           h.endsWith(QLatin1String(".invalid"), Qt::CaseInsensitive);
}

int g_localLookupId = 0;

} // namespace

QString socketErrorText(int code)
{
    if (code < 0)
        return QString::fromLocal8Bit(gai_strerror(code));
    return QString::fromLocal8Bit(std::strerror(code));
}

QString windowsSocketError(int code, const QString &api)
{
    return QStringLiteral("Windows socket error: %1 (%2), on API '%3'")
        .arg(socketErrorText(code))
        .arg(code)
        .arg(api);
}

// ---------------------------------------------------------------------------
// TCustomWinSocket

TCustomWinSocket::TCustomWinSocket(int handle, QObject *parent)
    : QObject(parent), m_connected(handle != kInvalidSocket), m_handle(handle)
{
}

TCustomWinSocket::~TCustomWinSocket()
{
    // From here on no event fires for this object.
    m_onSocketEvent = nullptr;
    m_onErrorEvent = nullptr;
    CloseSilently();
}

void TCustomWinSocket::Event(TCustomWinSocket *socket, TSocketEvent socketEvent)
{
    if (m_onSocketEvent) {
        const TSocketEventProc proc = m_onSocketEvent;
        proc(socket, socketEvent);
    }
}

void TCustomWinSocket::Error(TCustomWinSocket *socket, TErrorEvent errorEvent, int &errorCode)
{
    if (m_onErrorEvent) {
        const TSocketErrorProc proc = m_onErrorEvent;
        proc(socket, errorEvent, errorCode);
    }
}

void TCustomWinSocket::ResetAddress()
{
    m_address = 0;
    m_port = 0;
}

void TCustomWinSocket::CancelLookup()
{
    if (m_lookupPending && m_lookupId > 0)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupPending = false;
    m_lookupId = 0;
    m_lookupState = LookupState::Idle;
}

void TCustomWinSocket::CloseSilently()
{
    CancelLookup();
    ReleaseNotifiers();
    if (m_handle != kInvalidSocket)
        ::close(m_handle);
    m_handle = kInvalidSocket;
    ResetAddress();
    m_connected = false;
    m_connectPending = false;
    m_writeNoticeDue = false;
    m_outgoing.clear();
    m_outgoingSent = 0;
}

void TCustomWinSocket::Close()
{
    Disconnect(m_handle);
}

void TCustomWinSocket::Disconnect(int handle)
{
    CancelLookup();
    if (handle == kInvalidSocket || handle != m_handle || m_closing)
        return;

    QPointer<TCustomWinSocket> self(this);
    m_closing = true;
    try {
        Event(this, TSocketEvent::seDisconnect);
    } catch (...) {
        if (self) {
            m_closing = false;
            if (m_handle == handle)
                CloseSilently();
        }
        throw;
    }
    if (!self)
        return;
    m_closing = false;
    if (m_handle != handle)
        return; // a handler already closed it

    ReleaseNotifiers();
    // A last try at what is still queued for sending; whatever the platform
    // cannot take now goes with the connection.
    if (PendingOutput() > 0) {
        int ignored = 0;
        FlushOutgoing(ignored);
    }
    const int result = ::close(handle);
    const int code = errno;
    m_handle = kInvalidSocket;
    ResetAddress();
    m_connected = false;
    m_connectPending = false;
    m_writeNoticeDue = false;
    m_outgoing.clear();
    m_outgoingSent = 0;
    if (result != 0 && code != EINTR)
        throw ESocketError(windowsSocketError(code, QStringLiteral("closesocket")));
}

void TCustomWinSocket::ReleaseNotifiers()
{
    disposeNotifier(m_readNotifier);
    disposeNotifier(m_writeNotifier);
}

void TCustomWinSocket::RegisterInterest(bool acceptOnly)
{
    ReleaseNotifiers();
    m_acceptOnly = acceptOnly;
    if (m_handle == kInvalidSocket)
        return;
    m_readNotifier = new QSocketNotifier(qintptr(m_handle), QSocketNotifier::Read, this);
    m_readNotifier->setEnabled(acceptOnly || m_connected);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] { OnReadReady(); });
    if (!acceptOnly) {
        m_writeNotifier = new QSocketNotifier(qintptr(m_handle), QSocketNotifier::Write, this);
        m_writeNotifier->setEnabled(false);
        connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { OnWriteReady(); });
    }
}

void TCustomWinSocket::SetWriteWatch(bool on)
{
    setWatch(m_writeNotifier, on);
}

void TCustomWinSocket::SetReadWatch(bool on)
{
    setWatch(m_readNotifier, on);
}

void TCustomWinSocket::OnReadReady()
{
    const DispatchScope scope(m_readNotifier);
    guarded([this] {
        if (m_handle == kInvalidSocket)
            return;
        if (m_acceptOnly) {
            Notify(kNotifyAccept, 0);
            return;
        }
        // Like the platform we mirror: after a read notification, the next
        // one waits until the owner has received. The watch stays on while
        // the owner keeps up (no toggling on the common path) and goes off
        // only when data sits unread, so an idle reader costs nothing.
        int waiting = 0;
        char probe = 0;
        ssize_t r = 1;
        // A pending error is reported (and cleared) by the first call that
        // meets it, so the probe is made once and its result kept.
        if (::ioctl(m_handle, FIONREAD, &waiting) != 0 || waiting <= 0)
            r = ::recv(m_handle, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r > 0) {
            if (!m_readArmed) {
                SetReadWatch(false);
                return;
            }
            m_readArmed = false;
            Notify(kNotifyRead, 0);
            return;
        }
        if (r == 0) {
            SetReadWatch(false); // end of stream: it would stay readable
            Notify(kNotifyClose, 0);
        } else {
            const int code = errno;
            if (wouldBlock(code) || code == EINTR)
                return;
            SetReadWatch(false);
            Notify(kNotifyClose, code);
        }
    });
}

void TCustomWinSocket::OnWriteReady()
{
    const DispatchScope scope(m_writeNotifier);
    guarded([this] {
        if (m_handle == kInvalidSocket)
            return;
        if (m_connectPending) {
            m_connectPending = false;
            SetWriteWatch(false);
            int code = 0;
            socklen_t len = sizeof code;
            if (::getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &code, &len) != 0)
                code = errno;
            Notify(kNotifyConnect, code);
            return;
        }
        int code = 0;
        if (!FlushOutgoing(code)) {
            SetWriteWatch(false);
            QPointer<TCustomWinSocket> self(this);
            Error(this, TErrorEvent::eeSend, code);
            if (self)
                Disconnect(m_handle);
            if (code != 0)
                throw ESocketError(windowsSocketError(code, QStringLiteral("send")));
            return;
        }
        if (PendingOutput() > 0)
            return; // still blocked; keep watching
        SetWriteWatch(false);
        if (m_writeNoticeDue) {
            m_writeNoticeDue = false;
            Notify(kNotifyWrite, 0);
        }
    });
}

bool TCustomWinSocket::FlushOutgoing(int &errorCode)
{
    while (PendingOutput() > 0) {
        const ssize_t r =
            ::send(m_handle, m_outgoing.constData() + m_outgoingSent, size_t(PendingOutput()), MSG_NOSIGNAL);
        if (r < 0) {
            const int code = errno;
            if (code == EINTR)
                continue;
            if (wouldBlock(code))
                break;
            errorCode = code;
            m_outgoing.clear();
            m_outgoingSent = 0;
            return false;
        }
        m_outgoingSent += r;
    }
    if (PendingOutput() == 0) {
        m_outgoing.clear();
        m_outgoingSent = 0;
    } else if (m_outgoingSent > 65536 && m_outgoingSent > m_outgoing.size() / 2) {
        m_outgoing.remove(0, m_outgoingSent);
        m_outgoingSent = 0;
    }
    return true;
}

void TCustomWinSocket::Notify(int kind, int errorCode)
{
    const int handle = m_handle;
    if (errorCode != 0) {
        int code = errorCode;
        if (kind == kNotifyConnect) {
            // The attempt failed: its socket is of no further use.
            CloseSilently();
            Error(this, TErrorEvent::eeConnect, code);
            if (code != 0)
                throw ESocketError(asynchronousError(code));
            return;
        }
        QPointer<TCustomWinSocket> self(this);
        Error(this, errorEventFor(kind), code);
        if (kind == kNotifyClose) {
            // The peer is gone (a reset): once the error has been seen, the
            // connection closes like after an ordinary end of stream.
            if (code != 0)
                report(asynchronousError(code));
            if (self)
                Disconnect(handle);
            return;
        }
        if (code != 0)
            throw ESocketError(asynchronousError(code));
        return;
    }
    switch (kind) {
    case kNotifyConnect:
        Connect(handle);
        break;
    case kNotifyClose:
        Disconnect(handle);
        break;
    case kNotifyRead:
        Read(handle);
        break;
    case kNotifyWrite:
        Write(handle);
        break;
    case kNotifyAccept:
        Accept(handle);
        break;
    default:
        break;
    }
}

void TCustomWinSocket::Connect(int handle)
{
    if (handle == kInvalidSocket || handle != m_handle)
        return;
    m_connected = true;
    m_readArmed = true;
    SetReadWatch(true);
    // The platform reports the socket writable once after the connect.
    m_writeNoticeDue = true;
    SetWriteWatch(true);
    Event(this, TSocketEvent::seConnect);
}

void TCustomWinSocket::Read(int handle)
{
    if (m_handle != kInvalidSocket && handle == m_handle)
        Event(this, TSocketEvent::seRead);
}

void TCustomWinSocket::Write(int handle)
{
    if (m_handle != kInvalidSocket && handle == m_handle)
        Event(this, TSocketEvent::seWrite);
}

void TCustomWinSocket::Accept(int /*handle*/) {}

void TCustomWinSocket::OpenAndResolve(const QString &host, const QString &address, const QString &service,
                                      int port, int queueSize, bool client)
{
    // An attempt still under way is dropped rather than leaked.
    CloseSilently();
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0)
        throw ESocketError(QStringLiteral("Can't create new socket"));
    m_handle = handle;
    try {
        QPointer<TCustomWinSocket> self(this);
        Event(this, TSocketEvent::seLookup);
        if (!self || m_handle != handle)
            return;
        DoLookup(host, address, service, port, queueSize, client);
    } catch (...) {
        Disconnect(m_handle);
        throw;
    }
}

void TCustomWinSocket::DoLookup(const QString &host, const QString &address, const QString &service, int port,
                                int queueSize, bool client)
{
    try {
        for (;;) {
            switch (m_lookupState) {
            case LookupState::Idle:
                if (!client) {
                    m_lookupState = LookupState::AddressLookup;
                    m_address = INADDR_ANY;
                } else if (!host.isEmpty()) {
                    m_savedService = service;
                    m_savedPort = port;
                    m_savedQueueSize = queueSize;
                    m_savedClient = client;
                    m_lookupState = LookupState::AddressLookup;
                    m_lookupPending = true;
                    in_addr literal{};
                    const bool dotted =
                        ::inet_pton(AF_INET, host.trimmed().toLatin1().constData(), &literal) == 1;
                    if (dotted || reservedInvalidName(host)) {
                        // Answered without a resolver, but still through the
                        // event loop like every lookup.
                        const int id = --g_localLookupId;
                        const int code = dotted ? 0 : EAI_NONAME;
                        const quint32 found = dotted ? ntohl(literal.s_addr) : 0;
                        m_lookupId = id;
                        QMetaObject::invokeMethod(
                            this,
                            [this, id, code, found] {
                                guarded([this, id, code, found] { LookupComplete(id, code, found); });
                            },
                            Qt::QueuedConnection);
                    } else {
                        m_lookupId = QHostInfo::lookupHost(host, this, [this](const QHostInfo &info) {
                            guarded([this, &info] {
                                int code = 0;
                                quint32 found = 0;
                                if (info.error() != QHostInfo::NoError) {
                                    code = info.error() == QHostInfo::HostNotFound ? EAI_NONAME : EAI_FAIL;
                                } else {
                                    const QList<QHostAddress> list = info.addresses();
                                    const auto it =
                                        std::find_if(list.cbegin(), list.cend(), [](const QHostAddress &a) {
                                            return a.protocol() == QAbstractSocket::IPv4Protocol;
                                        });
                                    if (it == list.cend())
                                        code = EAI_NONAME;
                                    else
                                        found = it->toIPv4Address();
                                }
                                LookupComplete(info.lookupId(), code, found);
                            });
                        });
                    }
                    return;
                } else if (!address.isEmpty()) {
                    m_lookupState = LookupState::AddressLookup;
                    m_address = ntohl(::inet_addr(address.toLatin1().constData()));
                } else {
                    int code = EDESTADDRREQ;
                    QPointer<TCustomWinSocket> self(this);
                    Error(this, TErrorEvent::eeLookup, code);
                    if (self)
                        Disconnect(m_handle);
                    if (code != 0)
                        throw ESocketError(QStringLiteral("No address specified"));
                    return;
                }
                break;
            case LookupState::AddressLookup:
                m_lookupState = LookupState::ServiceLookup;
                if (!service.isEmpty()) {
                    bool numeric = false;
                    const int n = service.trimmed().toInt(&numeric);
                    if (numeric) {
                        m_port = quint16(n);
                    } else {
                        const servent *entry = ::getservbyname(service.toLatin1().constData(), "tcp");
                        if (!entry)
                            throw ESocketError(
                                windowsSocketError(EAI_SERVICE, QStringLiteral("getservbyname")));
                        m_port = ntohs(quint16(entry->s_port));
                    }
                } else {
                    // Only the low 16 bits of the port reach the platform.
                    m_port = quint16(port);
                }
                break;
            case LookupState::ServiceLookup:
                m_lookupState = LookupState::Idle;
                if (client)
                    DoOpen();
                else
                    DoListen(queueSize);
                return;
            }
        }
    } catch (...) {
        Disconnect(m_handle);
        throw;
    }
}

void TCustomWinSocket::LookupComplete(int requestId, int errorCode, quint32 address)
{
    if (!m_lookupPending || requestId != m_lookupId)
        return;
    m_lookupPending = false;
    m_lookupId = 0;
    if (errorCode != 0) {
        int code = errorCode;
        QPointer<TCustomWinSocket> self(this);
        Error(this, TErrorEvent::eeLookup, code);
        if (self)
            Disconnect(m_handle);
        if (code != 0)
            throw ESocketError(windowsSocketError(errorCode, QStringLiteral("ASync Lookup")));
        return;
    }
    if (m_lookupState == LookupState::AddressLookup) {
        m_address = address;
        DoLookup(QString(), QString(), m_savedService, m_savedPort, m_savedQueueSize, m_savedClient);
    }
}

void TCustomWinSocket::DoOpen()
{
    const int handle = m_handle;
    RegisterInterest(false);
    QPointer<TCustomWinSocket> self(this);
    Event(this, TSocketEvent::seConnecting);
    if (!self || m_handle != handle || handle == kInvalidSocket)
        return; // a handler abandoned the attempt

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_port);
    addr.sin_addr.s_addr = htonl(m_address);
    if (::connect(handle, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const int code = errno;
        if (!wouldBlock(code))
            throw ESocketError(windowsSocketError(code, QStringLiteral("connect")));
    }
    m_lookupState = LookupState::Idle;
    // The outcome arrives as the connect notification.
    m_connectPending = true;
    SetWriteWatch(true);
}

void TCustomWinSocket::DoListen(int queueSize)
{
    const int handle = m_handle;
    // Lets a host listen again on its port right after a conversation; a
    // port another program listens on still refuses the bind.
    const int one = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_port);
    addr.sin_addr.s_addr = htonl(m_address);
    if (::bind(handle, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
        throw ESocketError(windowsSocketError(errno, QStringLiteral("bind")));
    RegisterInterest(true);

    QPointer<TCustomWinSocket> self(this);
    Event(this, TSocketEvent::seListen);
    if (!self || m_handle != handle)
        return;
    if (::listen(handle, std::min(queueSize, 5)) != 0)
        throw ESocketError(windowsSocketError(errno, QStringLiteral("listen")));
    m_lookupState = LookupState::Idle;
    m_connected = true;
}

int TCustomWinSocket::SendText(const QByteArray &text)
{
    return SendBuf(text.constData(), int(text.size()));
}

int TCustomWinSocket::SendBuf(const char *buffer, int count)
{
    if (!m_connected || m_handle == kInvalidSocket)
        return 0;
    if (count < 0 || (!buffer && count > 0))
        return 0;
    if (PendingOutput() > 0) {
        // Earlier bytes are still queued: these go after them.
        m_outgoing.append(buffer, count);
        return count;
    }
    const ssize_t r = ::send(m_handle, buffer, size_t(count), MSG_NOSIGNAL);
    if (r >= 0) {
        if (r < count)
            QueueOutgoing(buffer + r, count - qsizetype(r));
        return count;
    }
    if (wouldBlock(errno) || errno == EINTR) {
        QueueOutgoing(buffer, count);
        return count;
    }
    return TransferFailed(TErrorEvent::eeSend, errno, "send");
}

void TCustomWinSocket::QueueOutgoing(const char *buffer, qsizetype count)
{
    m_outgoing.append(buffer, count);
    m_writeNoticeDue = true;
    SetWriteWatch(true);
}

int TCustomWinSocket::TransferFailed(TErrorEvent errorEvent, int code, const char *api)
{
    QPointer<TCustomWinSocket> self(this);
    Error(this, errorEvent, code);
    if (self)
        Disconnect(m_handle);
    if (code != 0)
        throw ESocketError(windowsSocketError(code, QLatin1String(api)));
    return -1;
}

QByteArray TCustomWinSocket::ReceiveText()
{
    const int n = ReceiveBuf(nullptr, -1);
    if (n <= 0) {
        // One (empty) receive all the same: it re-arms the read notification.
        char none = 0;
        ReceiveBuf(&none, 0);
        return QByteArray();
    }
    QByteArray text(n, Qt::Uninitialized);
    const int r = ReceiveBuf(text.data(), n);
    text.truncate(std::max(r, 0));
    return text;
}

int TCustomWinSocket::ReceiveBuf(char *buffer, int count)
{
    if (count == -1) {
        if (!m_connected || m_handle == kInvalidSocket)
            return 0;
        int waiting = 0;
        if (::ioctl(m_handle, FIONREAD, &waiting) != 0)
            return 0;
        return waiting;
    }
    if (!m_connected || m_handle == kInvalidSocket)
        return 0;
    if (count < 0 || (!buffer && count > 0))
        return 0;
    const ssize_t r = ::recv(m_handle, buffer, size_t(count), 0);
    if (r >= 0 || wouldBlock(errno) || errno == EINTR) {
        m_readArmed = true;
        SetReadWatch(true);
        if (r >= 0)
            return int(r);
        return -1;
    }
    return TransferFailed(TErrorEvent::eeReceive, errno, "recv");
}

QString TCustomWinSocket::RemoteAddress()
{
    if (!m_connected || m_handle == kInvalidSocket)
        return QString();
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(m_handle, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        const int code = errno;
        if (!wouldBlock(code))
            throw ESocketError(windowsSocketError(code, QStringLiteral("getpeername")));
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

int TCustomWinSocket::LocalPort() const
{
    if (m_handle == kInvalidSocket)
        return 0;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(m_handle, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

// ---------------------------------------------------------------------------
// TClientWinSocket

TClientWinSocket::TClientWinSocket(int handle, QObject *parent) : TCustomWinSocket(handle, parent)
{
    if (m_handle != kInvalidSocket)
        RegisterInterest(false);
}

void TClientWinSocket::Open(const QString &host, const QString &address, const QString &service, int port)
{
    if (m_connected)
        throw ESocketError(QStringLiteral("Socket already open"));
    OpenAndResolve(host, address, service, port, 0, true);
}

// ---------------------------------------------------------------------------
// TServerWinSocket

TServerWinSocket::TServerWinSocket(int handle, QObject *parent) : TCustomWinSocket(handle, parent)
{
    if (m_handle != kInvalidSocket)
        RegisterInterest(true);
}

TServerWinSocket::~TServerWinSocket()
{
    m_onSocketEvent = nullptr;
    m_onErrorEvent = nullptr;
    while (!m_connections.isEmpty())
        delete m_connections.last();
    CloseSpare();
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
    const int fd = ::accept4(m_handle, nullptr, nullptr, SOCK_CLOEXEC);
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
}

void TServerWinSocket::Listen(const QString &host, const QString &address, const QString &service, int port,
                              int queueSize)
{
    if (m_connected)
        throw ESocketError(QStringLiteral("Can't listen on an open socket"));
    OpenAndResolve(host, address, service, port, queueSize, false);
    if (m_connected && m_spare == kInvalidSocket)
        m_spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void TServerWinSocket::Disconnect(int handle)
{
    // Newest first, each silently: no client-disconnect event for any.
    while (!m_connections.isEmpty())
        delete m_connections.last();
    TCustomWinSocket::Disconnect(handle);
    if (m_handle == kInvalidSocket)
        CloseSpare();
}

void TServerWinSocket::Accept(int handle)
{
    if (m_handle == kInvalidSocket || handle != m_handle)
        return;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd =
        ::accept4(m_handle, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE)
            TurnAwayWithoutDescriptors();
        return; // nothing to take, or it could not be taken
    }

    QPointer<TServerWinSocket> self(this);
    auto *created = new TServerClientWinSocket(fd, this);
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
}

void TServerWinSocket::ClientEvent(TCustomWinSocket *socket, TSocketEvent socketEvent)
{
    switch (socketEvent) {
    case TSocketEvent::seConnect:
        if (OnClientConnect) {
            const TSocketNotifyEvent handler = OnClientConnect;
            handler(this, socket);
        }
        break;
    case TSocketEvent::seDisconnect: {
        QPointer<TCustomWinSocket> alive(socket);
        if (OnClientDisconnect) {
            const TSocketNotifyEvent handler = OnClientDisconnect;
            handler(this, socket);
        }
        if (alive)
            QCoreApplication::postEvent(socket, new QEvent(kReleaseEvent));
        break;
    }
    case TSocketEvent::seRead:
        if (OnClientRead) {
            const TSocketNotifyEvent handler = OnClientRead;
            handler(this, socket);
        }
        break;
    case TSocketEvent::seWrite:
        if (OnClientWrite) {
            const TSocketNotifyEvent handler = OnClientWrite;
            handler(this, socket);
        }
        break;
    default:
        break;
    }
}

void TServerWinSocket::ClientError(TCustomWinSocket *socket, TErrorEvent errorEvent, int &errorCode)
{
    if (OnClientError) {
        const TSocketErrorEvent handler = OnClientError;
        handler(this, socket, errorEvent, errorCode);
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
        SetOnErrorEvent(
            [server](TCustomWinSocket *s, TErrorEvent e, int &code) { server->ClientError(s, e, code); });
    }
    RegisterInterest(false);
    // The platform reports a fresh connection writable once.
    m_writeNoticeDue = true;
    SetWriteWatch(true);
}

TServerClientWinSocket::~TServerClientWinSocket()
{
    m_onSocketEvent = nullptr;
    m_onErrorEvent = nullptr;
    if (m_serverWinSocket)
        m_serverWinSocket->RemoveClient(this);
}

void TServerClientWinSocket::Disconnect(int handle)
{
    TCustomWinSocket::Disconnect(handle);
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
