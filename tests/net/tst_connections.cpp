// The connections layer through real loopback sockets and a real event loop.
#include "net/scktcomp.h"
#include "tests/support/fakeservices.h"
#include <QDir>
#include <QTest>
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>
using namespace natter;

// A plain socket on 127.0.0.1: the far side of a conversation, or a listener.
struct RawSocket {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QByteArray received;
    ~RawSocket() { ::close(fd); }
    static sockaddr_in at(quint16 p) { return {AF_INET, htons(p), {htonl(INADDR_LOOPBACK)}, {}}; }
    bool connectTo(quint16 p) // completes without an accept; reads do not block afterwards
    {
        const sockaddr_in a = at(p);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
        return ::fcntl(fd, F_SETFL, O_NONBLOCK) == 0 && ok;
    }
    quint16 listen(int backlog)
    {
        sockaddr_in a = at(0);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
        ::listen(fd, backlog);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        return ntohs(a.sin_port);
    }
    bool ended() // takes what is waiting (up to 64 KiB); true at the end of the stream or an error
    {
        char buf[65536];
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        received.append(buf, qMax(r, ssize_t(0)));
        return r == 0 || (r < 0 && errno != EAGAIN);
    }
    void close(bool reset) // a zero linger time turns the close into a reset
    {
        const linger l{reset ? 1 : 0, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(std::exchange(fd, -1));
    }
};
// Logs every handler call; the host's lines add the count it saw and where the socket sits (" n=2 at=1").
struct EventRecorder {
    QStringList log;
    QByteArray received; // what the read handlers took
    bool suppressErrors = false;
    QString seen() const { return log.join(QLatin1Char(',')); }
    void attach(TCustomSocket &endpoint, TServerWinSocket *listening = nullptr)
    {
        const auto note = [this, &endpoint, listening](QString line, TCustomWinSocket *k) {
            if (line == u"Connect" || line == u"Disconnect")
                line += QStringLiteral(" active=%1").arg(endpoint.Active());
            int at = -1;
            for (int i = 0; listening && i < listening->ActiveConnections(); ++i)
                at = listening->Connections(i) == k ? i : at;
            if (listening)
                line += QStringLiteral(" n=%1 ").arg(listening->ActiveConnections()) +
                        (k == listening ? QStringLiteral("self") : QStringLiteral("at=%1").arg(at));
            log.append(line);
        };
        const auto on = [note](const char *name) -> TSocketNotifyEvent {
            return [note, name](QObject *, TCustomWinSocket *k) { note(QLatin1String(name), k); };
        };
        endpoint.OnLookup = on("Lookup");
        endpoint.OnConnecting = on("Connecting");
        endpoint.OnConnect = on("Connect");
        endpoint.OnDisconnect = on("Disconnect");
        endpoint.OnListen = on("Listen");
        endpoint.OnAccept = on("Accept");
        endpoint.OnError = [this, note](QObject *, TCustomWinSocket *k, TErrorEvent e, int &code) {
            const auto names =
                QStringLiteral("General,Send,Receive,Connect,Disconnect,Accept,Lookup").split(u',');
            note(QStringLiteral("Error ee%1 %2").arg(names[int(e)]).arg(code), k);
            code = suppressErrors ? 0 : code;
        };
        (listening ? listening->OnClientRead : endpoint.OnRead) = [this](QObject *, TCustomWinSocket *k) {
            received += k->ReceiveText();
        };
        if (listening) {
            listening->OnClientConnect = on("ClientConnect");
            listening->OnClientDisconnect = on("ClientDisconnect");
        }
    }
};
class TestConnections : public QObject {
    Q_OBJECT
    std::unique_ptr<natter::test::FakeServices> fakes;
    std::unique_ptr<TServerSocket> server;
    std::unique_ptr<TClientSocket> client;
    EventRecorder hostLog, joinLog;
    qsizetype baseline = 0;
    static auto openFds() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size(); }
    static QString asyncError(int code) { return QStringLiteral("Asynchronous socket error %1.").arg(code); }
    quint16 listen(int port = 0)
    {
        server->SetPort(port);
        server->SetActive(true);
        return quint16(server->Socket()->LocalPort());
    }
    void attempt(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
    {
        client->SetHost(host);
        client->SetPort(port);
        client->SetActive(true);
    }
    TServerClientWinSocket *join(RawSocket &peer, quint16 port) // once the host has taken it
    {
        const int before = server->Socket()->ActiveConnections();
        const bool ok = peer.connectTo(port) &&
                        QTest::qWaitFor([&] { return server->Socket()->ActiveConnections() > before; });
        return ok ? server->Socket()->Connections(before) : nullptr;
    }
private Q_SLOTS:
    void init()
    {
        baseline = openFds();
        fakes = std::make_unique<natter::test::FakeServices>();
        server = std::make_unique<TServerSocket>();
        client = std::make_unique<TClientSocket>();
        hostLog = joinLog = EventRecorder();
        hostLog.attach(*server, server->Socket());
        joinLog.attach(*client);
    }
    void cleanup()
    {
        client.reset(), server.reset(), fakes.reset();
        QTRY_COMPARE(openFds(), baseline); // every socket of the case is closed again
    }
    void acceptOrder_data()
    {
        QTest::addColumn<int>("joiners");
        QTest::addColumn<QByteArray>("then");
        QTest::addColumn<QByteArray>("expected"); // the events of the last step
        QTest::addColumn<int>("left");
        const auto row = [](const char *name, int joiners, const char *then, const char *expected, int left) {
            QTest::newRow(name) << joiners << QByteArray(then) << QByteArray(expected) << left;
        };
        row("one joiner", 1, "", "ClientConnect n=1 at=0,Accept n=1 at=0", 1);
        row("second while one is held", 2, "", "ClientConnect n=2 at=1,Accept n=2 at=1", 2);
        row("second closed inside client-connect", 2, "close",
            "ClientConnect n=2 at=1,ClientDisconnect n=2 at=1,closed '' 0,Accept n=2 at=1", 1);
        row("peer of the only one closes", 1, "peer closes", "ClientDisconnect n=1 at=0", 0);
        row("peer of the only one resets", 1, "peer resets", "ClientDisconnect n=1 at=0", 0);
        row("deactivating with two", 2, "deactivate", "Disconnect active=0 n=0 self", 0);
    }
    void acceptOrder()
    {
        QFETCH(int, joiners);
        QFETCH(QByteArray, then);
        QFETCH(QByteArray, expected);
        QFETCH(int, left);
        const quint16 port = listen();
        QCOMPARE(hostLog.seen(), QStringLiteral("Lookup n=0 self,Listen n=0 self"));
        TServerWinSocket *listening = server->Socket();
        bool once = then == "close"; // the second joiner is told "busy" and closed at once
        listening->OnClientConnect = [&, note = listening->OnClientConnect](QObject *s, TCustomWinSocket *k) {
            note(s, k);
            if (listening->ActiveConnections() == 2 && std::exchange(once, false) &&
                k->ReceiveText().isEmpty() && k->SendText("busy") == 4) {
                k->Close();
                hostLog.log.append(
                    QStringLiteral("closed '%1' %2").arg(k->RemoteAddress()).arg(k->SendText("x")));
            }
        };
        RawSocket peers[3];
        for (int i = 0; i < joiners; ++i) {
            hostLog.log.clear();
            QVERIFY(peers[i].connectTo(port));
            QTRY_VERIFY(hostLog.seen().contains(QLatin1String("Accept")));
        }
        if (then.startsWith("peer") || then == "deactivate") {
            hostLog.log.clear();
            then == "deactivate" ? server->SetActive(false) : peers[0].close(then == "peer resets");
        }
        QTRY_COMPARE(hostLog.seen(), QString::fromLatin1(expected));
        QTRY_COMPARE(listening->ActiveConnections(), left); // closed ones leave once the loop gets back
        QVERIFY_THROWS_EXCEPTION(EListError, listening->Connections(left));
        QCOMPARE(fakes->report.shown,
                 then == "peer resets" ? QStringList(asyncError(ECONNRESET)) : QStringList());
        for (int i = 0; i < joiners; ++i) {
            if (then == "deactivate" || (then == "close" && i == 1))
                QTRY_VERIFY(peers[i].ended());
            else if (peers[i].fd >= 0)
                QVERIFY(!peers[i].ended());
        }
        QCOMPARE(peers[joiners - 1].received, QByteArray(then == "close" ? "busy" : ""));
        QCOMPARE(server->Active(), then != "deactivate");
        hostLog.log.clear(); // an open host lists the next joiner after those left
        if (server->Active()) {
            QVERIFY(peers[2].connectTo(port));
            QTRY_COMPARE(
                hostLog.seen(),
                QStringLiteral("ClientConnect n=%1 at=%2,Accept n=%1 at=%2").arg(left + 1).arg(left));
            QCOMPARE(listening->Connections(left)->RemoteAddress(), QStringLiteral("127.0.0.1"));
        }
    }
    void failedAttempt_data() // the handler sees the error; unsuppressed it reaches the report
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("report");
        const QString refused = QStringLiteral("Lookup,Connecting,Error eeConnect %1").arg(ECONNREFUSED);
        const QString local = QStringLiteral("127.0.0.1");
        QTest::newRow("refused, suppressed") << local << refused << QString();
        QTest::newRow("refused") << local << refused << asyncError(ECONNREFUSED);
        QTest::newRow("unresolvable")
            << QStringLiteral("nobody.invalid")
            << QStringLiteral("Lookup,Error eeLookup %1,Disconnect active=0").arg(EAI_NONAME)
            << windowsSocketError(EAI_NONAME, QStringLiteral("ASync Lookup"));
    }
    void failedAttempt()
    {
        QFETCH(QString, host);
        QFETCH(QString, expected);
        QFETCH(QString, report);
        joinLog.suppressErrors = report.isEmpty();
        attempt(RawSocket().listen(1), host);               // a port nothing listens on
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup")); // the rest comes through the event loop
        QTRY_COMPARE(joinLog.seen(), expected);
        QVERIFY(!client->Active());
        QCOMPARE(fakes->report.shown, report.isEmpty() ? QStringList() : QStringList(report));
        joinLog.log.clear(); // a new attempt starts straight away; nothing of the failed one follows
        attempt(listen());
        QTRY_VERIFY(client->Active());
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
    }
    void listeningSettings() // a port in use, then changes while active; failures reach the report
    {
        RawSocket other;
        server->SetPort(other.listen(1));
        guarded([this] { server->SetActive(true); });
        QCOMPARE(fakes->report.shown, QStringList(exceptionReportText(
                                          QStringLiteral("Windows socket error: %1 (%2), on API 'bind'")
                                              .arg(QString::fromLocal8Bit(strerror(EADDRINUSE)))
                                              .arg(EADDRINUSE))));
        QVERIFY(!server->Active());
        QCOMPARE(hostLog.seen(), QStringLiteral("Lookup n=0 self,Disconnect active=0 n=0 self"));
        server->SetHost(QStringLiteral("localhost"));
        const quint16 port = listen();
        fakes->report.shown.clear();
        guarded([this] { server->SetPort(0); }); // equal values, in any case, are accepted
        guarded([this] { server->SetHost(QStringLiteral("LocalHost")); });
        QVERIFY(fakes->report.shown.isEmpty());
        guarded([this] { server->SetPort(1); });
        guarded([this] { server->SetHost(QStringLiteral("example.invalid")); });
        const auto refusal = exceptionReportText(QStringLiteral("Can't change value while socket is active"));
        QCOMPARE(fakes->report.shown, QStringList({refusal, refusal}));
        QCOMPARE(server->Port(), 0);
        QCOMPARE(server->Host(), QStringLiteral("localhost"));
        QCOMPARE(server->Socket()->LocalPort(), int(port));
    }
    void largeSendArrivesWholeThroughASlowReader()
    {
        RawSocket joiner;
        TServerClientWinSocket *connection = join(joiner, listen());
        QVERIFY(connection);
        QByteArray big(4 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char((i * 7 + i / 4093) & 0xff);
        QCOMPARE(connection->SendText(big), int(big.size()));
        QVERIFY(connection->PendingOutput() > 0); // kept, for the platform could not take it at once
        QCOMPARE(connection->SendText("tail"), 4);
        QTRY_VERIFY_WITH_TIMEOUT((joiner.ended(), joiner.received.size() >= big.size() + 4), 60000);
        QVERIFY(joiner.received == big + "tail");
    }
    void deactivatingDuringAPendingConnect()
    {
        RawSocket full, filler; // a listener whose queue is full leaves a connect hanging
        const quint16 fullPort = full.listen(0);
        QVERIFY(filler.connectTo(fullPort));
        attempt(fullPort);
        QTRY_COMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting"));
        client->SetActive(false);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Disconnect active=0"));
        ::fcntl(full.fd, F_SETFL, O_NONBLOCK); // room on the full listener, and a turn of the event loop
        for (int fd; (fd = ::accept(full.fd, nullptr, nullptr)) >= 0;)
            ::close(fd);
        RawSocket other;
        QVERIFY(join(other, listen()));
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Disconnect active=0")); // nothing followed
    }
    void listeningAgainRightAfterAConversation()
    {
        QCOMPARE(client->Socket()->SendText("idle"), 0);
        QCOMPARE(client->Socket()->ReceiveText(), QByteArray());
        const quint16 port = listen();
        attempt(port);
        QTRY_VERIFY(client->Active() && server->Socket()->ActiveConnections() == 1);
        QCOMPARE(client->Socket()->SendText("\x01hello\xff"), 7);
        QTRY_COMPARE(hostLog.received, QByteArray("\x01hello\xff"));
        QCOMPARE(server->Socket()->Connections(0)->SendText("back"), 4);
        QTRY_COMPARE(joinLog.received, QByteArray("back"));
        joinLog.log.clear();
        server->SetActive(false); // the host closes first, so its side lingers
        QTRY_COMPARE(joinLog.seen(), QStringLiteral("Disconnect active=0"));
        QCOMPARE(listen(port), port);
        RawSocket next;
        QVERIFY(join(next, port));
        QVERIFY(fakes->report.shown.isEmpty());
    }
    void joinerArrivingWithNoDescriptorLeftIsTurnedAway()
    {
        const quint16 port = listen();
        hostLog.log.clear();
        RawSocket joiner, next; // their sockets exist before the process runs out of descriptors
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit tight{rlim_t(openFds() + 32), saved.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        QList<int> filler;
        for (int fd; (fd = ::dup(joiner.fd)) >= 0;)
            filler.append(fd);
        // The host cannot take it; it must close it rather than hear of it over and over.
        const bool ended = joiner.connectTo(port) && QTest::qWaitFor([&] { return joiner.ended(); });
        for (int fd : filler)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(ended);
        QVERIFY(hostLog.log.isEmpty()); // never announced
        QVERIFY(join(next, port));      // with descriptors free again, the next joiner is taken as usual
    }
};

QTEST_GUILESS_MAIN(TestConnections)
#include "tst_connections.moc"