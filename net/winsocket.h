#pragma once

// Socket objects: the event-driven, non-blocking IPv4 TCP layer under the two
// endpoint components. Every operation returns at once; outcomes arrive later
// as notifications delivered by the UI thread's event loop, which each socket
// object turns into an event kind (routed by its owner to a handler) or an
// error (offered to the error handler, then raised as ESocketError).

#include "platform/exceptions.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QSocketNotifier;

namespace natter {

class TCustomWinSocket;
class TServerWinSocket;
class TServerClientWinSocket;

// The kind of operation that failed.
enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

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

// The network layer's exception: one message text.
class ESocketError : public Exception {
public:
    using Exception::Exception;
};

// Raised by an out-of-range index into a list ("List index out of bounds (%d)").
class EListError : public Exception {
public:
    using Exception::Exception;
};

// The marker for "no platform socket".
inline constexpr int kInvalidSocket = -1;

// Message texts of this layer.
QString socketErrorText(int code);                        // the platform's description of a code
QString windowsSocketError(int code, const QString &api); // "Windows socket error: %s (%d), on API '%s'"

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

    // Every byte waiting at the moment of the call (possibly none).
    QByteArray ReceiveText();
    // Bytes received; with count -1 the number of bytes waiting.
    int ReceiveBuf(char *buffer, int count);

    // The peer's IPv4 address in dotted form; empty when not connected.
    QString RemoteAddress();

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

    void SetOnSocketEvent(TSocketEventProc proc) { m_onSocketEvent = std::move(proc); }
    void SetOnErrorEvent(TSocketErrorProc proc) { m_onErrorEvent = std::move(proc); }

protected:
    enum class LookupState { Idle, AddressLookup, ServiceLookup };

    // Raise an event kind / offer an error to the owner.
    virtual void Event(TCustomWinSocket *socket, TSocketEvent socketEvent);
    virtual void Error(TCustomWinSocket *socket, TErrorEvent errorEvent, int &errorCode);

    // Notification handlers.
    virtual void Connect(int handle);
    virtual void Read(int handle);
    virtual void Write(int handle);
    virtual void Accept(int handle);

    // Opening: resolution, connect step, listen step.
    // Creates the socket, raises the lookup event and starts resolving; on a
    // failure the socket is closed again and the exception goes on.
    void OpenAndResolve(const QString &host, const QString &address, const QString &service, int port,
                        int queueSize, bool client);
    void DoLookup(const QString &host, const QString &address, const QString &service, int port,
                  int queueSize, bool client);
    void DoOpen();
    void DoListen(int queueSize);
    void LookupComplete(int requestId, int errorCode, quint32 address);

    // Watches the handle for readiness (read/accept and, while wanted, write).
    void RegisterInterest(bool acceptOnly);
    void ReleaseNotifiers();
    void SetWriteWatch(bool on);
    void SetReadWatch(bool on);

    // Closes the handle without any event (a failed attempt, destruction).
    void CloseSilently();
    // Keeps what the platform did not take, to be sent once writable.
    void QueueOutgoing(const char *buffer, qsizetype count);
    // A send or receive failed: offers the error, closes, and raises unless
    // the handler cleared the code.
    int TransferFailed(TErrorEvent errorEvent, int code, const char *api);
    void ResetAddress();
    void CancelLookup();

    bool m_connected = false;
    int m_handle = kInvalidSocket;
    quint32 m_address = 0; // host byte order
    quint16 m_port = 0;    // host byte order

    LookupState m_lookupState = LookupState::Idle;
    int m_lookupId = 0;
    bool m_lookupPending = false;
    QString m_savedService;
    int m_savedPort = 0;
    int m_savedQueueSize = 0;
    bool m_savedClient = false;

    TSocketEventProc m_onSocketEvent;
    TSocketErrorProc m_onErrorEvent;

    friend class TServerWinSocket;

    void OnReadReady();
    void OnWriteReady();
    void Notify(int kind, int errorCode);
    bool FlushOutgoing(int &errorCode);

    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    bool m_acceptOnly = false;
    bool m_connectPending = false;
    bool m_writeNoticeDue = false;
    bool m_closing = false;
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
    bool AttemptPending() const { return m_handle != kInvalidSocket && !m_connected; }
};

class TServerWinSocket : public TCustomWinSocket {
    Q_OBJECT
public:
    explicit TServerWinSocket(int handle = kInvalidSocket, QObject *parent = nullptr);
    ~TServerWinSocket() override;

    // Creates the socket and listens on all local addresses at `port` with a
    // backlog of min(queueSize, 5).
    void Listen(const QString &host, const QString &address, const QString &service, int port, int queueSize);

    // Releases every connection silently (newest first), then closes the
    // listening socket (OnDisconnect of the endpoint).
    void Disconnect(int handle) override;

    int ActiveConnections() const { return int(m_connections.size()); }
    TServerClientWinSocket *Connections(int index) const;

    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketNotifyEvent OnClientRead;
    TSocketNotifyEvent OnClientWrite;
    TSocketErrorEvent OnClientError;

protected:
    void Accept(int handle) override;

private:
    friend class TServerClientWinSocket;

    void AddClient(TServerClientWinSocket *client);
    void RemoveClient(TServerClientWinSocket *client);
    void ClientEvent(TCustomWinSocket *socket, TSocketEvent socketEvent);
    void ClientError(TCustomWinSocket *socket, TErrorEvent errorEvent, int &errorCode);
    void CloseSpare();
    void TurnAwayWithoutDescriptors();

    QList<TServerClientWinSocket *> m_connections;
    // A descriptor held in reserve while listening: when the process has no
    // descriptor left, it is given up for a moment to take the waiting
    // connection off the queue and close it, instead of being told about
    // the same connection again and again.
    int m_spare = kInvalidSocket;
};

class TServerClientWinSocket : public TCustomWinSocket {
    Q_OBJECT
public:
    TServerClientWinSocket(int handle, TServerWinSocket *serverWinSocket);
    ~TServerClientWinSocket() override;

    TServerWinSocket *ServerWinSocket() const { return m_serverWinSocket; }

    void Disconnect(int handle) override;

protected:
    bool event(QEvent *e) override;

private:
    TServerWinSocket *m_serverWinSocket;
};

} // namespace natter
