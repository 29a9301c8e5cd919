// The connections layer through real loopback sockets and a real event loop.

#include "net/linktimeouts.h"
#include "net/scktcomp.h"
#include "tests/support/fakeservices.h"
#include "tests/support/rawsocket.h"
#include "tests/support/socketlog.h"

#include <QDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace natter;
using test::EventRecorder;
using test::RawSocket;

namespace {

int intOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t len = sizeof value;
    ::getsockopt(fd, level, name, &value, &len);
    return value;
}

QString asyncError(int code)
{
    return QStringLiteral("Asynchronous socket error %1.").arg(code);
}

} // namespace

class TestConnections : public QObject {
    Q_OBJECT

    std::unique_ptr<natter::test::FakeServices> fakes;
    std::unique_ptr<TServerSocket> server;
    std::unique_ptr<TClientSocket> client;
    EventRecorder hostLog;
    EventRecorder joinLog;
    qsizetype baseline = 0;

    static qsizetype openFds()
    {
        return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size();
    }

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

    // Connects `peer` and waits until the host has listed it.
    TServerClientWinSocket *join(RawSocket &peer, quint16 port)
    {
        TServerWinSocket *listening = server->Socket();
        const int before = listening->ActiveConnections();
        if (!peer.connectTo(port))
            return nullptr;
        if (!QTest::qWaitFor([&] { return listening->ActiveConnections() > before; }))
            return nullptr;
        return listening->Connections(before);
    }

    void joinAndWaitForAccept(RawSocket &peer, quint16 port)
    {
        hostLog.log.clear();
        QVERIFY(peer.connectTo(port));
        QTRY_VERIFY(hostLog.seen().contains(QLatin1String("Accept")));
    }

private Q_SLOTS:
    void init()
    {
        baseline = openFds();
        fakes = std::make_unique<natter::test::FakeServices>();
        server = std::make_unique<TServerSocket>();
        client = std::make_unique<TClientSocket>();
        hostLog = EventRecorder();
        joinLog = EventRecorder();
        hostLog.attach(*server, server->Socket());
        joinLog.attach(*client);
    }

    void cleanup()
    {
        client.reset();
        server.reset();
        fakes.reset();
        setLinkTimeouts(kLinkTimeouts);
        QTRY_COMPARE(openFds(), baseline); // every socket of the case is closed again
    }

    void closingTheSecondInsideClientConnectKeepsItListedUntilTheLoopReturns()
    {
        const quint16 port = listen();
        TServerWinSocket *listening = server->Socket();
        listening->OnClientConnect = [&, note = listening->OnClientConnect](QObject *s, TCustomWinSocket *k) {
            note(s, k);
            if (listening->ActiveConnections() != 2)
                return;
            QCOMPARE(k->SendText("busy"), 4);
            k->Close();
            hostLog.log.append(
                QStringLiteral("closed '%1' sends %2").arg(k->RemoteAddress()).arg(k->SendText("x")));
        };
        RawSocket first;
        RawSocket second;
        joinAndWaitForAccept(first, port);
        joinAndWaitForAccept(second, port);

        QCOMPARE(hostLog.seen(), QStringLiteral("ClientConnect n=2 at=1,ClientDisconnect n=2 at=1,"
                                                "closed '' sends 0,Accept n=2 at=1"));
        QTRY_COMPARE(listening->ActiveConnections(), 1);
        QTRY_VERIFY(second.ended());
        QCOMPARE(second.received, QByteArray("busy"));
        QVERIFY(!first.ended()); // the conversation is untouched
    }

    void deactivatingReleasesEveryConnectionSilently()
    {
        const quint16 port = listen();
        RawSocket first;
        RawSocket second;
        joinAndWaitForAccept(first, port);
        joinAndWaitForAccept(second, port);
        hostLog.log.clear();

        server->SetActive(false);

        QCOMPARE(hostLog.seen(), QStringLiteral("Disconnect active=0 n=0 self"));
        QCOMPARE(server->Socket()->ActiveConnections(), 0);
        QTRY_VERIFY(first.ended());
        QTRY_VERIFY(second.ended());
    }

    void theOnlyPeerLeaving_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<bool>("suppress");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("report");

        QTest::newRow("closes") << false << false << QStringLiteral("ClientDisconnect n=1 at=0")
                                << QStringList();
        QTest::newRow("resets, the error handler suppresses")
            << true << true
            << QStringLiteral("Error eeDisconnect %1 n=1 at=0,ClientDisconnect n=1 at=0").arg(ECONNRESET)
            << QStringList();
        QTest::newRow("resets, nobody suppresses: reported after the close")
            << true << false
            << QStringLiteral("Error eeDisconnect %1 n=1 at=0,ClientDisconnect n=1 at=0").arg(ECONNRESET)
            << QStringList(asyncError(ECONNRESET));
    }

    void theOnlyPeerLeaving()
    {
        QFETCH(bool, reset);
        QFETCH(bool, suppress);
        QFETCH(QString, events);
        QFETCH(QStringList, report);
        hostLog.suppressErrors = suppress;
        const quint16 port = listen();
        RawSocket peer;
        joinAndWaitForAccept(peer, port);
        TServerWinSocket *listening = server->Socket();
        int countAfterTheEvent = -1;
        listening->OnClientDisconnect = [&, note = listening->OnClientDisconnect](QObject *s,
                                                                                  TCustomWinSocket *k) {
            note(s, k);
            QTimer::singleShot(0, [&] { countAfterTheEvent = listening->ActiveConnections(); });
        };
        hostLog.log.clear();

        reset ? peer.reset() : peer.close();

        QTRY_COMPARE(hostLog.seen(), events);
        QCOMPARE(fakes->report.shown, report);
        QTRY_COMPARE(countAfterTheEvent, 0); // off the list before anything else runs

        RawSocket next; // the next joiner is the first again
        joinAndWaitForAccept(next, port);
        QCOMPARE(hostLog.seen(), QStringLiteral("ClientConnect n=1 at=0,Accept n=1 at=0"));
        QVERIFY_THROWS_EXCEPTION(EListError, server->Socket()->Connections(1));
    }

    void failedAttempt_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("suppress");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("report");

        const QString refused = QStringLiteral("Lookup,Connecting,Error eeConnect %1").arg(ECONNREFUSED);
        const QString unreachable = QStringLiteral("Lookup,Connecting,Error eeConnect %1").arg(ENETUNREACH);
        QTest::newRow("refused") << QStringLiteral("127.0.0.1") << false << refused
                                 << QStringList(asyncError(ECONNREFUSED));
        // A multicast address fails at once, without a packet sent.
        QTest::newRow("unreachable at once, suppressed")
            << QStringLiteral("224.0.0.1") << true << unreachable << QStringList();
        QTest::newRow("unresolvable")
            << QStringLiteral("nobody.invalid") << false
            << QStringLiteral("Lookup,Error eeLookup %1,Disconnect active=0").arg(EAI_NONAME)
            << QStringList(windowsSocketError(EAI_NONAME, QStringLiteral("ASync Lookup")));
    }

    void failedAttempt()
    {
        QFETCH(QString, host);
        QFETCH(bool, suppress);
        QFETCH(QString, events);
        QFETCH(QStringList, report);
        joinLog.suppressErrors = suppress;
        const test::HeldPort unused; // a port nothing listens on

        attempt(unused.port, host);

        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup")); // the rest comes through the event loop
        QTRY_COMPARE(joinLog.seen(), events);
        QVERIFY(!client->Active());
        QCOMPARE(fakes->report.shown, report);

        joinLog.log.clear(); // a new attempt starts straight away; nothing of the failed one follows
        attempt(listen());
        QTRY_VERIFY(client->Active());
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
    }

    void bindingAPortInUseIsReported()
    {
        RawSocket other;
        server->SetPort(other.listen());

        guarded([this] { server->SetActive(true); });

        const QString bindError = QStringLiteral("Windows socket error: %1 (%2), on API 'bind'")
                                      .arg(QString::fromLocal8Bit(strerror(EADDRINUSE)))
                                      .arg(EADDRINUSE);
        QCOMPARE(fakes->report.shown, QStringList(exceptionReportText(bindError)));
        QVERIFY(!server->Active());
        QCOMPARE(hostLog.seen(), QStringLiteral("Lookup n=0 self,Disconnect active=0 n=0 self"));
    }

    void aLargeSendArrivesWholeThroughASlowReaderAndFillsTheQueue()
    {
        RawSocket joiner;
        TServerClientWinSocket *connection = join(joiner, listen());
        QVERIFY(connection);
        QByteArray big(16 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char((i * 7 + i / 4093) & 0xff);

        QCOMPARE(connection->SendText(big), int(big.size()));
        QVERIFY(connection->OutgoingFull()); // kept, for the platform could not take it at once
        QCOMPARE(connection->SendText("tail"), 4);

        QTRY_VERIFY_WITH_TIMEOUT((joiner.ended(), joiner.received.size() >= big.size() + 4), 60000);
        QVERIFY(joiner.received == big + "tail");
        QVERIFY(!connection->OutgoingFull());
    }

    void aLargeArrivalIsTakenInPiecesOf64KiB()
    {
        RawSocket joiner;
        TServerClientWinSocket *connection = join(joiner, listen());
        QVERIFY(connection);
        const QByteArray big(4 << 20, 'x');
        qsizetype sent = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const ssize_t r = ::send(joiner.fd, big.constData() + sent, size_t(big.size() - sent), 0);
                sent += std::max<ssize_t>(r, 0);
                return sent == big.size();
            },
            60000));

        QTRY_COMPARE(hostLog.received.size(), big.size());
        QCOMPARE(connection->BytesReceived(), big.size());
        QVERIFY(hostLog.chunkSizes.size() >= 64);
        QCOMPARE(*std::max_element(hostLog.chunkSizes.cbegin(), hostLog.chunkSizes.cend()), 65536);
    }

    void everyConnectionWatchesItsLink()
    {
        const quint16 port = listen();
        attempt(port);
        QTRY_VERIFY(client->Active());
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        const int sides[] = {client->Socket()->SocketHandle(),
                             server->Socket()->Connections(0)->SocketHandle()};

        for (const int fd : sides) {
            QCOMPARE(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
            QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 20);
            QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
            QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 6);
            QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 60000);
        }
    }

    void deactivatingDuringAPendingConnectAbandonsIt()
    {
        RawSocket full; // a listener whose queue is full leaves a connect hanging
        RawSocket filler;
        const quint16 fullPort = full.listen("127.0.0.1", 0, 0);
        QVERIFY(filler.connectTo(fullPort));
        attempt(fullPort);
        QTRY_COMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting"));

        client->SetActive(false);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Disconnect active=0"));

        // room on the full listener, and a turn of the event loop
        for (int fd; (fd = ::accept(full.fd, nullptr, nullptr)) >= 0;)
            ::close(fd);
        RawSocket other;
        QVERIFY(join(other, listen()));
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Disconnect active=0")); // nothing followed
    }

    void listeningAgainRightAfterAConversation_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown"); // by either side, as the other's address
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6") << QStringLiteral("[::1]") << QStringLiteral("::1");
    }

    void listeningAgainRightAfterAConversation()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        if (shown == u"::1" && !test::loopbackIpv6Works())
            QSKIP("this machine has no IPv6 loopback address");
        QCOMPARE(client->Socket()->SendText("idle"), 0);
        QCOMPARE(client->Socket()->ReceiveText(), QByteArray());
        const quint16 port = listen();
        attempt(port, typed);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup")); // the rest comes through the event loop
        QTRY_VERIFY(client->Active() && server->Socket()->ActiveConnections() == 1);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
        QCOMPARE(client->Socket()->RemoteAddress(), shown);
        QCOMPARE(server->Socket()->Connections(0)->RemoteAddress(), shown);

        QCOMPARE(client->Socket()->SendText("\x01hello\xff"), 7);
        QTRY_COMPARE(hostLog.received, QByteArray("\x01hello\xff"));
        QCOMPARE(server->Socket()->Connections(0)->SendText("back"), 4);
        QTRY_COMPARE(joinLog.received, QByteArray("back"));

        joinLog.log.clear();
        server->SetActive(false); // the host closes first, so its side lingers
        QTRY_COMPARE(joinLog.seen(), QStringLiteral("Disconnect active=0"));
        QCOMPARE(client->Socket()->RemoteAddress(), QString());
        QCOMPARE(listen(port), port);
        RawSocket next;
        QVERIFY(join(next, port));
        QCOMPARE(fakes->report.shown, QStringList());
    }

    void aJoinerArrivingWithNoDescriptorLeftIsTurnedAway()
    {
        const quint16 port = listen();
        hostLog.log.clear();
        // Their sockets exist before the process runs out of descriptors.
        RawSocket joiner(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        RawSocket next(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        const rlimit tight{rlim_t(openFds() + 32), saved.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        QList<int> filler;
        for (int fd; (fd = ::dup(joiner.fd)) >= 0;)
            filler.append(fd);

        // The host cannot take it; it must close it rather than hear of it over and over.
        const bool ended = joiner.connectTo(port) && QTest::qWaitFor([&] { return joiner.ended(); });

        for (const int fd : filler)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(ended);
        QCOMPARE(hostLog.seen(), QString()); // never announced
        QVERIFY(join(next, port));           // with descriptors free again, the next joiner is taken as usual
    }
};

QTEST_GUILESS_MAIN(TestConnections)
#include "tst_connections.moc"
