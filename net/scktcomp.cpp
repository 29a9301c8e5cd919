#include "net/scktcomp.h"

namespace natter {

namespace {

const char *const kActiveChange = "Can't change value while socket is active";

} // namespace

// ---------------------------------------------------------------------------
// TAbstractSocket

TAbstractSocket::TAbstractSocket(QObject *parent) : QObject(parent) {}

void TAbstractSocket::SetActive(bool value)
{
    if (value == m_active)
        return;
    // Active itself changes only when the socket object reports back.
    DoActivate(value);
}

void TAbstractSocket::SetPort(int value)
{
    if (value == m_port)
        return;
    if (m_active)
        throw ESocketError(QString::fromLatin1(kActiveChange));
    m_port = value;
}

void TAbstractSocket::SetText(QString &field, const QString &value)
{
    if (field.compare(value, Qt::CaseInsensitive) == 0)
        return;
    if (m_active)
        throw ESocketError(QString::fromLatin1(kActiveChange));
    field = value;
}

void TAbstractSocket::SetHost(const QString &value)
{
    SetText(m_host, value);
}

void TAbstractSocket::SetAddress(const QString &value)
{
    SetText(m_address, value);
}

void TAbstractSocket::SetService(const QString &value)
{
    SetText(m_service, value);
}

// ---------------------------------------------------------------------------
// TCustomSocket

TCustomSocket::TCustomSocket(QObject *parent) : TAbstractSocket(parent) {}

void TCustomSocket::Bind(TCustomWinSocket *socket)
{
    socket->SetOnSocketEvent([this](TCustomWinSocket *s, TSocketEvent e) { Event(s, e); });
    socket->SetOnErrorEvent([this](TCustomWinSocket *s, TErrorEvent e, int &code) { Error(s, e, code); });
}

void TCustomSocket::Event(TCustomWinSocket *socket, TSocketEvent socketEvent)
{
    switch (socketEvent) {
    case TSocketEvent::seLookup:
        callHandler(OnLookup, this, socket);
        break;
    case TSocketEvent::seConnecting:
        callHandler(OnConnecting, this, socket);
        break;
    case TSocketEvent::seConnect:
        m_active = true;
        callHandler(OnConnect, this, socket);
        break;
    case TSocketEvent::seDisconnect:
        m_active = false;
        callHandler(OnDisconnect, this, socket);
        break;
    case TSocketEvent::seListen:
        m_active = true;
        callHandler(OnListen, this, socket);
        break;
    case TSocketEvent::seAccept:
        callHandler(OnAccept, this, socket);
        break;
    case TSocketEvent::seWrite:
        callHandler(OnWrite, this, socket);
        break;
    case TSocketEvent::seRead:
        callHandler(OnRead, this, socket);
        break;
    }
}

void TCustomSocket::Error(TCustomWinSocket *socket, TErrorEvent errorEvent, int &errorCode)
{
    if (OnError) {
        const TSocketErrorEvent h = OnError;
        h(this, socket, errorEvent, errorCode);
    }
}

// ---------------------------------------------------------------------------
// TClientSocket

TClientSocket::TClientSocket(QObject *parent) : TCustomSocket(parent), m_clientSocket(new TClientWinSocket())
{
    Bind(m_clientSocket);
}

TClientSocket::~TClientSocket()
{
    delete m_clientSocket;
}

void TClientSocket::SetActive(bool value)
{
    if (m_clientSocket->AttemptPending()) {
        // The host is still being resolved or connected: abandon that
        // attempt (OnDisconnect fires, nothing of it follows later).
        m_clientSocket->Close();
        if (!value)
            return;
    }
    TCustomSocket::SetActive(value);
}

void TClientSocket::DoActivate(bool value)
{
    if (value == m_clientSocket->Connected())
        return;
    if (m_clientSocket->Connected())
        m_clientSocket->Disconnect(m_clientSocket->SocketHandle());
    else
        m_clientSocket->Open(m_host, m_address, m_service, m_port);
}

// ---------------------------------------------------------------------------
// TCustomServerSocket, TServerSocket

TCustomServerSocket::TCustomServerSocket(QObject *parent)
    : TCustomSocket(parent), m_serverSocket(new TServerWinSocket())
{
    Bind(m_serverSocket);
}

TCustomServerSocket::~TCustomServerSocket()
{
    delete m_serverSocket;
}

void TCustomServerSocket::DoActivate(bool value)
{
    if (value == m_serverSocket->Connected())
        return;
    if (m_serverSocket->Connected())
        m_serverSocket->Disconnect(m_serverSocket->SocketHandle());
    else
        m_serverSocket->Listen(m_host, m_address, m_service, m_port, 5);
}

TServerSocket::TServerSocket(QObject *parent) : TCustomServerSocket(parent) {}

} // namespace natter
