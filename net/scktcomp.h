#pragma once

// Endpoint components: the client endpoint and the listening endpoint the
// main window owns. Each owns one socket object, keeps its own Active flag
// (changed only by the connect, listen and disconnect events), stores the
// settings for the next activation and routes the socket object's events
// and errors to the handlers the chat logic assigns.

#include "net/serversocket.h"

#include <QObject>
#include <QString>

namespace natter {

class TAbstractSocket : public QObject {
    Q_OBJECT
public:
    explicit TAbstractSocket(QObject *parent = nullptr);

    bool Active() const { return m_active; }
    virtual void SetActive(bool value);
    // Active := false.
    void Close() { SetActive(false); }

    // Settings for the next activation; refused while Active with
    // "Can't change value while socket is active". Texts compare without
    // regard to letter case; an equal value changes nothing.
    int Port() const { return m_port; }
    void SetPort(int value);
    QString Host() const { return m_host; }
    void SetHost(const QString &value);
    QString Address() const { return m_address; }
    void SetAddress(const QString &value);
    QString Service() const { return m_service; }
    void SetService(const QString &value);

protected:
    virtual void DoActivate(bool value) = 0;
    void SetText(QString &field, const QString &value);

    bool m_active = false;
    int m_port = 0;
    QString m_host;
    QString m_address;
    QString m_service;
};

class TCustomSocket : public TAbstractSocket {
    Q_OBJECT
public:
    explicit TCustomSocket(QObject *parent = nullptr);

    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnConnecting;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnListen;
    TSocketNotifyEvent OnAccept;
    TSocketNotifyEvent OnRead;
    TSocketNotifyEvent OnWrite;
    TSocketErrorEvent OnError;

protected:
    // Event dispatch: flips Active on connect/listen/disconnect, then calls
    // the handler if one is assigned.
    virtual void Event(TCustomWinSocket *socket, TSocketEvent socketEvent);
    // Error dispatch: offers the error code to OnError.
    virtual void Error(TCustomWinSocket *socket, TErrorEvent errorEvent, int &errorCode);
    void Bind(TCustomWinSocket *socket);
};

class TClientSocket : public TCustomSocket {
    Q_OBJECT
public:
    explicit TClientSocket(QObject *parent = nullptr);
    ~TClientSocket() override;

    TClientWinSocket *Socket() const { return m_clientSocket; }

    // Deactivating while the host is still being resolved or connected
    // abandons that attempt; activating abandons a pending one first.
    void SetActive(bool value) override;

protected:
    void DoActivate(bool value) override;

private:
    TClientWinSocket *m_clientSocket;
};

class TCustomServerSocket : public TCustomSocket {
    Q_OBJECT
public:
    explicit TCustomServerSocket(QObject *parent = nullptr);
    ~TCustomServerSocket() override;

    TServerWinSocket *Socket() const { return m_serverSocket; }

protected:
    void DoActivate(bool value) override;

    TServerWinSocket *m_serverSocket;
};

class TServerSocket : public TCustomServerSocket {
    Q_OBJECT
public:
    explicit TServerSocket(QObject *parent = nullptr);
};

} // namespace natter
