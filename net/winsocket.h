#pragma once

// Socket objects: the event-driven, non-blocking TCP layer (IPv4 and IPv6)
// under the two endpoint components. Every operation returns at once;
// outcomes arrive later as notifications delivered by the UI thread's event
// loop, which each socket object turns into an event kind (routed by its
// owner to a handler) or an error (offered to the error handler, then raised
// as ESocketError).

#include "net/hostlookup.h"
#include "net/socketaddress.h"
#include "net/socketerrors.h"
#include "net/socketwatch.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace natter {

class TCustomWinSocket;

// The event kinds a socket object raises towards its owner.
enum class TSocketEvent {
    seLookup,
    seConnecting,
    seConnect,
    seDisconnect,
    seListen,
    seAccept,
    seWrite,
    seRead
};

// Handler signatures seen by the chat logic.
using TSocketNotifyEvent = std::function<void(QObject *Sender, TCustomWinSocket *Socket)>;
using TSocketErrorEvent =
    std::function<void(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode)>;

// The two callbacks through which a socket object reaches its owner.
using TSocketEventProc = std::function<void(TCustomWinSocket *Socket, TSocketEvent SocketEvent)>;
using TSocketErrorProc =
    std::function<void(TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode)>;

// Calls `handler` when one is assigned, through a copy: the handler may
// reassign itself while it runs.
inline void callHandler(const TSocketNotifyEvent &handler, QObject *sender, TCustomWinSocket *socket)
{
    if (handler) {
        const TSocketNotifyEvent h = handler;
        h(sender, socket);
    }
}

// The marker for "no platform socket".
inline constexpr int kInvalidSocket = -1;

// How long one connection attempt may take while other addresses of the
// host are still to be tried.
inline constexpr int kAttemptLimitMs = 3000;

// The most one receive takes; what else waits comes with the next read
// event. A typed line is far shorter (the entry box holds 32,767
// characters), and a bounded piece keeps every read event short.
inline constexpr int kMaxReadChunk = 64 * 1024;

// Bytes waiting for a peer that does not read, beyond which the chat logic
// takes no new line (OutgoingFull): over a hundred of the longest lines.
inline constexpr qsizetype kOutgoingLimit = 4 * 1024 * 1024;

class TCustomWinSocket : public QObject {
    Q_OBJECT
public:
    // An object built around a valid handle starts connected; with
    // kInvalidSocket it starts closed.
    explicit TCustomWinSocket(int handle, QObject *parent = nullptr);
    ~TCustomWinSocket() override;

    TCustomWinSocket(const TCustomWinSocket &) = delete;
    TCustomWinSocket &operator=(const TCustomWinSocket &) = delete;

    // Sends the bytes. Returns the length accepted (what the platform could
    // not take at once is kept and sent, in order, when the socket becomes
    // writable), 0 when not connected, -1 on failure (after the error handler
    // suppressed it; otherwise ESocketError "... on API 'send'").
    int SendText(const QByteArray &text);
    int SendBuf(const char *buffer, int count);

    // The bytes waiting at the moment of the call, at most kMaxReadChunk
    // (possibly none); the rest raises the next read event.
    QByteArray ReceiveText();
    // Bytes received; with count -1 the number of bytes waiting.
    int ReceiveBuf(char *buffer, int count);

    // The peer's address as users know it (dotted IPv4, short IPv6), as
    // recorded when the connection was accepted or made; empty when not
    // connected. Never raises, also after the peer has reset the connection.
    QString RemoteAddress() const;

    // Closes the socket: the disconnect event fires while it is still open.
    void Close();
    virtual void Disconnect(int handle);

    bool Connected() const { return m_connected; }
    // The local port the socket is bound to (useful after listening on port
    // 0); 0 when there is no socket.
    int LocalPort() const;
    int SocketHandle() const { return m_handle; }
    // Bytes accepted by SendBuf and not yet taken by the platform.
    qsizetype PendingOutput() const { return m_outgoing.size() - m_outgoingSent; }
    // What waits for the peer has reached kOutgoingLimit.
    bool OutgoingFull() const { return PendingOutput() >= kOutgoingLimit; }
    // Bytes received since the connection was made or accepted.
    qint64 BytesReceived() const { return m_bytesReceived; }

    void SetOnSocketEvent(TSocketEventProc proc) { m_onSocketEvent = std::move(proc); }
    void SetOnErrorEvent(TSocketErrorProc proc) { m_onErrorEvent = std::move(proc); }

protected:
    // Raise an event kind / offer an error to the owner.
    virtual void Event(TCustomWinSocket *socket, TSocketEvent socketEvent);
    virtual void Error(TCustomWinSocket *socket, TErrorEvent errorEvent, int &errorCode);
    // A connection is waiting on a listening socket.
    virtual void Accept(int handle);
    // A notification from the platform is about to be handled: control has
    // come back from the event loop since the last one.
    virtual void NotificationArrived() {}

    // Creates the socket, raises the lookup event, resolves the host (a
    // client) and then connects or listens; on a failure the socket is
    // closed again and the exception goes on.
    void OpenAndResolve(const QString &host, const QString &address, const QString &service, int port,
                        int queueSize, bool client);
    // Watches the handle: for connections waiting to be accepted only, or
    // for data and room to send.
    void WatchHandle(bool acceptOnly);
    // The platform reports a fresh connection writable once.
    void ExpectWriteNotice();
    // From here on no event or error reaches the owner.
    void Unhook();
    void SetRemoteAddress(const QString &address) { m_remoteAddress = address; }
    // The connection is closing because the peer ended it or failed.
    bool ClosedByPeer() const { return m_closedByPeer; }

private:
    friend class TServerWinSocket;

    void Resolved(int errorCode, const QList<SocketAddress> &addresses);
    void ResolvePort(const QString &service, int port);
    // Connects to the current address: each address of the host in turn
    // until one connects.
    void StartAttempt();
    void DoOpen();
    // A socket of the current address's family for this attempt, under the
    // same handle; false with `code` when none can be made.
    bool PrepareAttemptSocket(int &code);
    // The current attempt failed: on to the next address, or, after the
    // last, the connect error (raised as `message(code)` unless suppressed).
    void AttemptFailed(int code, const std::function<QString(int)> &message);
    void DoListen(int queueSize);

    void OnReadReady();
    void OnWriteReady();
    // Handles an end (close or reset) the peer has already sent, now and not
    // with the next notification, unless text waits to be read before it.
    void NoticeEnd();
    void Notify(int kind, int errorCode);
    void Connect(int handle);
    // The peer ended the connection or failed: close it.
    void ClosedFromPeer(int handle);

    // Closes the handle without any event (a failed attempt, destruction).
    void CloseSilently();
    void ResetState();
    // Keeps what the platform did not take, to be sent once writable.
    void QueueOutgoing(const char *buffer, qsizetype count);
    bool FlushOutgoing(int &errorCode);
    // Offers the error to the owner, closes the socket and raises
    // `message(code)` unless the handler cleared the code. Returns -1.
    int FailAndClose(TErrorEvent errorEvent, int code, const std::function<QString(int)> &message);

    bool m_connected = false;
    int m_handle = kInvalidSocket;
    QList<SocketAddress> m_addresses; // to connect to, in turn
    qsizetype m_attempt = 0;          // the current one
    quint16 m_port = 0;               // host byte order
    // An attempt with further addresses behind it is cut off after this
    // long, so that a silent address does not hold up a live one.
    QTimer m_attemptLimit;
    QString m_remoteAddress;
    qint64 m_bytesReceived = 0;

    HostLookup m_lookup{this};
    QString m_savedService;
    int m_savedPort = 0;

    TSocketEventProc m_onSocketEvent;
    TSocketErrorProc m_onErrorEvent;

    SocketWatch m_watch{this};
    bool m_acceptOnly = false;
    bool m_connectPending = false;
    bool m_writeNoticeDue = false;
    bool m_closing = false;
    bool m_closedByPeer = false;
    bool m_readArmed = true; // a read notification may be raised
    QByteArray m_outgoing;
    qsizetype m_outgoingSent = 0;
};

class TClientWinSocket : public TCustomWinSocket {
    Q_OBJECT
public:
    explicit TClientWinSocket(int handle = kInvalidSocket, QObject *parent = nullptr);

    // Client open: create the socket, raise lookup, resolve (host names
    // asynchronously) and connect without blocking.
    void Open(const QString &host, const QString &address, const QString &service, int port);

    // True while resolving or connecting (a socket exists, not yet connected).
    bool AttemptPending() const { return SocketHandle() != kInvalidSocket && !Connected(); }
};

} // namespace natter
