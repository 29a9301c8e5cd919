#pragma once

// The listening socket object and the connections it accepts. The listening
// socket owns its connections: it lists each one as it is accepted, routes
// their events and errors to its own handlers, and frees each through a
// release posted to the event loop after it closes.

#include "net/winsocket.h"

#include <QList>

namespace natter {

class TServerClientWinSocket;

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
    // A failure on one connection; setting the code to 0 suppresses the
    // exception. A failure the peer caused closes that connection either way.
    TSocketErrorEvent OnClientError;

protected:
    void Accept(int handle) override;
    void NotificationArrived() override { ForgetClosed(); }

private:
    friend class TServerClientWinSocket;

    void AddClient(TServerClientWinSocket *client);
    void RemoveClient(TServerClientWinSocket *client);
    void ClientEvent(TCustomWinSocket *socket, TSocketEvent socketEvent);
    void ReleaseConnections();
    // Connections closed from here stay listed while the handlers that closed
    // them run; once control has been back in the event loop they are only
    // waiting for their release, and no later event counts them.
    void ForgetClosed();
    void CloseSpare();
    void TurnAwayWithoutDescriptors();

    QList<TServerClientWinSocket *> m_connections;
    // Closed by their peers, off the list, waiting for their release.
    QList<TServerClientWinSocket *> m_departing;
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

protected:
    bool event(QEvent *e) override;
    void NotificationArrived() override;

private:
    TServerWinSocket *m_serverWinSocket;
};

} // namespace natter
