#include "net/winsocket.h"

#include <QPointer>

#include <cerrno>

#include <netinet/in.h>
#include <poll.h>
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

bool wouldBlock(int code)
{
    return code == EWOULDBLOCK || code == EAGAIN || code == EINPROGRESS;
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

// The message of a failed platform call, with the code the handler left.
std::function<QString(int)> onApi(const char *api)
{
    return [api](int code) { return windowsSocketError(code, QLatin1String(api)); };
}

} // namespace

TCustomWinSocket::TCustomWinSocket(int handle, QObject *parent)
    : QObject(parent), m_connected(handle != kInvalidSocket), m_handle(handle)
{
    m_attemptLimit.setSingleShot(true);
    m_attemptLimit.setInterval(kAttemptLimitMs);
    connect(&m_attemptLimit, &QTimer::timeout, this, [this] {
        guarded([this] {
            if (!m_connectPending || m_handle == kInvalidSocket)
                return;
            m_connectPending = false;
            m_watch.setWrite(false);
            AttemptFailed(ETIMEDOUT, asynchronousError);
        });
    });
}

TCustomWinSocket::~TCustomWinSocket()
{
    Unhook();
    CloseSilently();
}

void TCustomWinSocket::Unhook()
{
    m_onSocketEvent = nullptr;
    m_onErrorEvent = nullptr;
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

int TCustomWinSocket::FailAndClose(TErrorEvent errorEvent, int code,
                                   const std::function<QString(int)> &message)
{
    QPointer<TCustomWinSocket> self(this);
    Error(this, errorEvent, code);
    if (self)
        Disconnect(m_handle);
    if (code != 0)
        throw ESocketError(message(code));
    return -1;
}

// ---------------------------------------------------------------------------
// Closing

void TCustomWinSocket::ResetState()
{
    m_handle = kInvalidSocket;
    m_addresses.clear();
    m_attempt = 0;
    m_attemptLimit.stop();
    m_port = 0;
    m_remoteAddress.clear();
    m_bytesReceived = 0;
    m_connected = false;
    m_connectPending = false;
    m_writeNoticeDue = false;
    m_outgoing.clear();
    m_outgoingSent = 0;
}

void TCustomWinSocket::CloseSilently()
{
    m_lookup.cancel();
    m_watch.release();
    if (m_handle != kInvalidSocket)
        ::close(m_handle);
    ResetState();
}

void TCustomWinSocket::Close()
{
    Disconnect(m_handle);
}

void TCustomWinSocket::Disconnect(int handle)
{
    m_lookup.cancel();
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

    m_watch.release();
    // A last try at what is still queued for sending; whatever the platform
    // cannot take now goes with the connection.
    if (PendingOutput() > 0) {
        int ignored = 0;
        FlushOutgoing(ignored);
    }
    const int result = ::close(handle);
    const int code = errno;
    ResetState();
    if (result != 0 && code != EINTR)
        throw ESocketError(windowsSocketError(code, QStringLiteral("closesocket")));
}

// ---------------------------------------------------------------------------
// Readiness

void TCustomWinSocket::WatchHandle(bool acceptOnly)
{
    m_watch.release();
    m_acceptOnly = acceptOnly;
    if (m_handle == kInvalidSocket)
        return;
    m_watch.watch(
        m_handle, acceptOnly || m_connected, acceptOnly, [this] { OnReadReady(); },
        [this] { OnWriteReady(); });
}

void TCustomWinSocket::ExpectWriteNotice()
{
    m_writeNoticeDue = true;
    m_watch.setWrite(true);
}

void TCustomWinSocket::OnReadReady()
{
    guarded([this] {
        if (m_handle == kInvalidSocket)
            return;
        NotificationArrived();
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
                m_watch.setRead(false);
                return;
            }
            m_readArmed = false;
            Notify(kNotifyRead, 0);
            return;
        }
        if (r == 0) {
            m_watch.setRead(false); // end of stream: it would stay readable
            Notify(kNotifyClose, 0);
        } else {
            const int code = errno;
            if (wouldBlock(code) || code == EINTR)
                return;
            m_watch.setRead(false);
            Notify(kNotifyClose, code);
        }
    });
}

void TCustomWinSocket::NoticeEnd()
{
    if (m_handle == kInvalidSocket || m_acceptOnly || m_closing)
        return;
    pollfd state{m_handle, POLLRDHUP, 0};
    if (::poll(&state, 1, 0) != 1 || (state.revents & (POLLERR | POLLHUP | POLLRDHUP)) == 0)
        return;
    int waiting = 0;
    if (::ioctl(m_handle, FIONREAD, &waiting) == 0 && waiting > 0)
        return;
    OnReadReady();
}

void TCustomWinSocket::OnWriteReady()
{
    guarded([this] {
        if (m_handle == kInvalidSocket)
            return;
        NotificationArrived();
        if (m_connectPending) {
            m_connectPending = false;
            m_watch.setWrite(false);
            int code = 0;
            socklen_t len = sizeof code;
            if (::getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &code, &len) != 0)
                code = errno;
            Notify(kNotifyConnect, code);
            return;
        }
        int code = 0;
        if (!FlushOutgoing(code)) {
            m_watch.setWrite(false);
            FailAndClose(TErrorEvent::eeSend, code, onApi("send"));
            return;
        }
        if (PendingOutput() > 0)
            return; // still blocked; keep watching
        m_watch.setWrite(false);
        if (m_writeNoticeDue) {
            m_writeNoticeDue = false;
            Notify(kNotifyWrite, 0);
        }
    });
}

void TCustomWinSocket::Notify(int kind, int errorCode)
{
    const int handle = m_handle;
    if (errorCode != 0) {
        int code = errorCode;
        if (kind == kNotifyConnect) {
            AttemptFailed(code, asynchronousError);
            return;
        }
        QPointer<TCustomWinSocket> self(this);
        Error(this, errorEventFor(kind), code);
        if (kind == kNotifyClose) {
            // The peer is gone (a reset, a link that stopped answering):
            // once the error has been seen, the connection closes like after
            // an ordinary end of stream, before anything else is reported.
            if (self)
                ClosedFromPeer(handle);
            if (code != 0)
                reportSocketError(asynchronousError(code));
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
        ClosedFromPeer(handle);
        break;
    case kNotifyRead:
        if (m_handle != kInvalidSocket)
            Event(this, TSocketEvent::seRead);
        break;
    case kNotifyWrite:
        if (m_handle != kInvalidSocket)
            Event(this, TSocketEvent::seWrite);
        break;
    case kNotifyAccept:
        Accept(handle);
        break;
    default:
        break;
    }
}

void TCustomWinSocket::ClosedFromPeer(int handle)
{
    QPointer<TCustomWinSocket> self(this);
    m_closedByPeer = true;
    Disconnect(handle);
    if (self)
        m_closedByPeer = false;
}

void TCustomWinSocket::Connect(int handle)
{
    if (handle == kInvalidSocket || handle != m_handle)
        return;
    m_attemptLimit.stop();
    const std::optional<SocketAddress> peer = SocketAddress::peerOf(handle);
    // Reset already: the address it was made to.
    m_remoteAddress = peer ? peer->text() : m_addresses.value(m_attempt).text();
    m_connected = true;
    m_readArmed = true;
    m_watch.setRead(true);
    // The platform reports the socket writable once after the connect.
    ExpectWriteNotice();
    Event(this, TSocketEvent::seConnect);
}

void TCustomWinSocket::Accept(int /*handle*/) {}

// ---------------------------------------------------------------------------
// Sending and receiving

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
    return FailAndClose(TErrorEvent::eeSend, errno, onApi("send"));
}

void TCustomWinSocket::QueueOutgoing(const char *buffer, qsizetype count)
{
    m_outgoing.append(buffer, count);
    ExpectWriteNotice();
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

QByteArray TCustomWinSocket::ReceiveText()
{
    const int n = std::min(ReceiveBuf(nullptr, -1), kMaxReadChunk);
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
    if (!m_connected || m_handle == kInvalidSocket)
        return 0;
    if (count == -1) {
        int waiting = 0;
        if (::ioctl(m_handle, FIONREAD, &waiting) != 0)
            return 0;
        return waiting;
    }
    if (count < 0 || (!buffer && count > 0))
        return 0;
    const ssize_t r = ::recv(m_handle, buffer, size_t(count), 0);
    if (r >= 0 || wouldBlock(errno) || errno == EINTR) {
        m_readArmed = true;
        m_watch.setRead(true);
        if (r >= 0) {
            m_bytesReceived += r;
            return int(r);
        }
        return -1;
    }
    return FailAndClose(TErrorEvent::eeReceive, errno, onApi("recv"));
}

// ---------------------------------------------------------------------------
// Addresses

QString TCustomWinSocket::RemoteAddress() const
{
    return m_connected ? m_remoteAddress : QString();
}

int TCustomWinSocket::LocalPort() const
{
    if (m_handle == kInvalidSocket)
        return 0;
    const std::optional<SocketAddress> local = SocketAddress::localOf(m_handle);
    return local ? local->port() : 0;
}

// ---------------------------------------------------------------------------
// TClientWinSocket

TClientWinSocket::TClientWinSocket(int handle, QObject *parent) : TCustomWinSocket(handle, parent)
{
    if (handle != kInvalidSocket)
        WatchHandle(false);
}

void TClientWinSocket::Open(const QString &host, const QString &address, const QString &service, int port)
{
    if (Connected())
        throw ESocketError(QStringLiteral("Socket already open"));
    OpenAndResolve(host, address, service, port, 0, true);
}

} // namespace natter
