#pragma once

// Helpers for the connection tests: plain loopback sockets playing the far
// side, a descriptor count, and a recorder that logs every handler call of
// the endpoints with the connection count it saw.

#include "net/scktcomp.h"

#include <QDir>
#include <QStringList>

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace natter::test {

inline int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

inline sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A plain socket on 127.0.0.1, the far side of a conversation.
class RawPeer {
public:
    RawPeer() = default;
    ~RawPeer() { close(); }
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    int fd = -1;
    QByteArray received;
    bool ended = false; // end of stream seen
    int error = 0;      // error seen while reading

    // Blocking connect (the kernel completes it without an accept), then
    // non-blocking for reading.
    bool connectTo(quint16 port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(port);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
            return false;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        return true;
    }

    // Non-blocking connect, left pending.
    bool startConnect(quint16 port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_in a = loopback(port);
        return ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 || errno == EINPROGRESS;
    }

    // Takes up to `limit` bytes of what is waiting; true once something new
    // arrived or the stream ended.
    bool pump(qsizetype limit = 1 << 30)
    {
        bool progress = false;
        char buf[65536];
        while (fd >= 0 && limit > 0) {
            const ssize_t r = ::recv(fd, buf, size_t(std::min<qsizetype>(limit, qsizetype(sizeof buf))), 0);
            if (r > 0) {
                received.append(buf, r);
                limit -= r;
                progress = true;
            } else if (r == 0) {
                ended = true;
                return true;
            } else {
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    error = errno;
                    ended = true;
                    return true;
                }
                break;
            }
        }
        return progress;
    }

    bool send(const QByteArray &bytes)
    {
        return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

    // Closing with a zero linger time resets the connection.
    void reset()
    {
        const linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

// A plain listening socket on 127.0.0.1 (no address reuse).
class RawListener {
public:
    int fd = -1;
    quint16 port = 0;

    explicit RawListener(int backlog = 5)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(0);
        ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
        ::listen(fd, backlog);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~RawListener()
    {
        if (fd >= 0)
            ::close(fd);
    }
    RawListener(const RawListener &) = delete;
    RawListener &operator=(const RawListener &) = delete;
};

// A port on which nothing listens (bound, read and released).
inline quint16 unusedPort()
{
    RawListener probe;
    return probe.port;
}

inline QString errorEventName(TErrorEvent e)
{
    switch (e) {
    case TErrorEvent::eeGeneral:
        return QStringLiteral("eeGeneral");
    case TErrorEvent::eeSend:
        return QStringLiteral("eeSend");
    case TErrorEvent::eeReceive:
        return QStringLiteral("eeReceive");
    case TErrorEvent::eeConnect:
        return QStringLiteral("eeConnect");
    case TErrorEvent::eeDisconnect:
        return QStringLiteral("eeDisconnect");
    case TErrorEvent::eeAccept:
        return QStringLiteral("eeAccept");
    case TErrorEvent::eeLookup:
        return QStringLiteral("eeLookup");
    }
    return QString();
}

// Logs every handler call as "<Event>" plus, for the listening endpoint, the
// connection count and the index of the socket argument in the connection
// list (" n=2 at=1"). A wrong sender or socket argument is logged as such.
class EventRecorder {
public:
    QStringList log;
    bool suppressErrors = false;

    void attach(TServerSocket &server)
    {
        TServerWinSocket *listening = server.Socket();
        auto note = [this, listening](const QString &name, QObject *sender, QObject *expectedSender,
                                      TCustomWinSocket *socket) {
            QString line = name + QStringLiteral(" n=%1").arg(listening->ActiveConnections());
            int at = -1;
            for (int i = 0; i < listening->ActiveConnections(); ++i)
                if (listening->Connections(i) == socket)
                    at = i;
            if (socket == listening)
                line += QStringLiteral(" self");
            else
                line += QStringLiteral(" at=%1").arg(at);
            if (sender != expectedSender)
                line += QStringLiteral(" WRONG-SENDER");
            log.append(line);
        };
        TServerSocket *component = &server;
        server.OnLookup = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("Lookup"), s, component, k);
        };
        server.OnListen = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("Listen"), s, component, k);
        };
        server.OnAccept = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("Accept"), s, component, k);
        };
        server.OnDisconnect = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("Disconnect"), s, component, k);
        };
        server.OnError = [=, this](QObject *s, TCustomWinSocket *k, TErrorEvent e, int &code) {
            note(QStringLiteral("Error %1 %2").arg(errorEventName(e)).arg(code), s, component, k);
            if (suppressErrors)
                code = 0;
        };
        listening->OnClientConnect = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("ClientConnect"), s, listening, k);
        };
        listening->OnClientDisconnect = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("ClientDisconnect"), s, listening, k);
        };
        listening->OnClientRead = [=, this](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("ClientRead"), s, listening, k);
            received += k->ReceiveText();
        };
    }

    // Records the client endpoint's events; its read handler collects the text.
    void attach(TClientSocket &client)
    {
        TClientSocket *component = &client;
        auto note = [this, component](const QString &name, QObject *sender, TCustomWinSocket *socket) {
            QString line = name;
            if (sender != component)
                line += QStringLiteral(" WRONG-SENDER");
            if (socket != component->Socket())
                line += QStringLiteral(" WRONG-SOCKET");
            log.append(line);
        };
        client.OnLookup = [=](QObject *s, TCustomWinSocket *k) { note(QStringLiteral("Lookup"), s, k); };
        client.OnConnecting = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("Connecting"), s, k);
        };
        client.OnConnect = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("Connect active=%1").arg(component->Active()), s, k);
        };
        client.OnDisconnect = [=](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("Disconnect active=%1").arg(component->Active()), s, k);
        };
        client.OnWrite = [=](QObject *s, TCustomWinSocket *k) { note(QStringLiteral("Write"), s, k); };
        client.OnRead = [=, this](QObject *s, TCustomWinSocket *k) {
            note(QStringLiteral("Read"), s, k);
            received += k->ReceiveText();
        };
        client.OnError = [=, this](QObject *s, TCustomWinSocket *k, TErrorEvent e, int &code) {
            note(QStringLiteral("Error %1 %2").arg(errorEventName(e)).arg(code), s, k);
            if (suppressErrors)
                code = 0;
        };
    }

    QByteArray received;
};

} // namespace natter::test
