#pragma once

// What a socket endpoint's handlers were called with, in order, as text; and
// the two endpoints of the main window with their logs.

#include "net/scktcomp.h"
#include "tests/support/fakeservices.h"

#include <QByteArray>
#include <QStringList>

namespace natter::test {

// Logs every handler call. The host's entries add the connection count the
// handler saw and where its socket sits in the list: " n=2 at=1".
struct EventRecorder {
    QStringList log;
    QByteArray received; // what the read handlers took
    int largestRead = 0;
    bool suppressErrors = false;

    QString seen() const { return log.join(QLatin1Char(',')); }

    void attach(TCustomSocket &endpoint, TServerWinSocket *listening = nullptr)
    {
        const auto note = [this, &endpoint, listening](QString line, TCustomWinSocket *socket) {
            if (line == u"Connect" || line == u"Disconnect")
                line += QStringLiteral(" active=%1").arg(endpoint.Active());
            if (listening)
                line +=
                    QStringLiteral(" n=%1 ").arg(listening->ActiveConnections()) + where(listening, socket);
            log.append(line);
        };
        const auto on = [note](const char *name) -> TSocketNotifyEvent {
            return [note, name](QObject *, TCustomWinSocket *socket) { note(QLatin1String(name), socket); };
        };
        const TSocketErrorEvent onError = [this, note](QObject *, TCustomWinSocket *socket, TErrorEvent e,
                                                       int &code) {
            const QStringList names =
                QStringLiteral("General,Send,Receive,Connect,Disconnect,Accept,Lookup").split(u',');
            note(QStringLiteral("Error ee%1 %2").arg(names[int(e)]).arg(code), socket);
            if (suppressErrors)
                code = 0;
        };
        const TSocketNotifyEvent onRead = [this](QObject *, TCustomWinSocket *socket) {
            const QByteArray chunk = socket->ReceiveText();
            largestRead = std::max(largestRead, int(chunk.size()));
            received += chunk;
        };
        endpoint.OnLookup = on("Lookup");
        endpoint.OnConnecting = on("Connecting");
        endpoint.OnConnect = on("Connect");
        endpoint.OnDisconnect = on("Disconnect");
        endpoint.OnListen = on("Listen");
        endpoint.OnAccept = on("Accept");
        endpoint.OnError = onError;
        if (listening) {
            listening->OnClientConnect = on("ClientConnect");
            listening->OnClientDisconnect = on("ClientDisconnect");
            listening->OnClientRead = onRead;
            listening->OnClientError = onError;
        } else {
            endpoint.OnRead = onRead;
        }
    }

    static QString where(TServerWinSocket *listening, TCustomWinSocket *socket)
    {
        if (socket == listening)
            return QStringLiteral("self");
        for (int i = 0; i < listening->ActiveConnections(); ++i) {
            if (listening->Connections(i) == socket)
                return QStringLiteral("at=%1").arg(i);
        }
        return QStringLiteral("at=-1");
    }
};

// One listening endpoint and one client endpoint, as the main window has,
// each with its log, and the scripted services their reports reach.
struct Endpoints {
    FakeServices fakes;
    TServerSocket server;
    TClientSocket client;
    EventRecorder hostLog;
    EventRecorder joinLog;

    Endpoints()
    {
        hostLog.attach(server, server.Socket());
        joinLog.attach(client);
    }

    // Listens on every local address; the port (any free one for 0).
    quint16 listen(quint16 port = 0)
    {
        server.SetPort(port);
        server.SetActive(true);
        return quint16(server.Socket()->LocalPort());
    }

    void join(const QString &host, quint16 port)
    {
        client.SetHost(host);
        client.SetPort(port);
        client.SetActive(true);
    }
};

} // namespace natter::test
