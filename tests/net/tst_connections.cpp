// The connections layer through real loopback sockets and a real event loop.

#include "tests/support/rawsocket.h"
#include "tests/support/socketlog.h"

#include <QDir>
#include <QTest>
#include <QTimer>

#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace natter;
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

qsizetype openFds()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size();
}

} // namespace

class TestConnections : public QObject {
    Q_OBJECT

    std::unique_ptr<test::Endpoints> e;
    qsizetype baseline = 0;

    // Connects `peer` and waits until the host has listed it.
    TServerClientWinSocket *join(RawSocket &peer, quint16 port)
    {
        TServerWinSocket *listening = e->server.Socket();
        const int before = listening->ActiveConnections();
        if (!peer.connectTo(port) ||
            !QTest::qWaitFor([&] { return listening->ActiveConnections() > before; }))
            return nullptr;
        return listening->Connections(before);
    }

private Q_SLOTS:
    void init()
    {
        baseline = openFds();
        e = std::make_unique<test::Endpoints>();
    }

    void cleanup()
    {
        e.reset();
        QTRY_COMPARE(openFds(), baseline); // every socket of the case is closed again
    }

    void aConversation_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown"); // by either side, as the other's address
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6") << QStringLiteral("[::1]") << QStringLiteral("::1");
    }

    // Both ends watch the link for a peer that vanishes, bytes go both ways
    // unchanged, and the host that ends it can listen on its port again.
    void aConversation()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        if (shown == u"::1" && !test::loopbackIpv6Works())
            QSKIP("this machine has no IPv6 loopback address");
        const test::HeldPort port;
        QCOMPARE(e->listen(port.port), port.port);
        e->join(typed, port.port);
        QCOMPARE(e->joinLog.seen(), QStringLiteral("Lookup")); // the rest comes through the event loop
        QTRY_VERIFY(e->client.Active() && e->server.Socket()->ActiveConnections() == 1);
        QCOMPARE(e->joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
        TCustomWinSocket *joiner = e->client.Socket();
        TCustomWinSocket *host = e->server.Socket()->Connections(0);
        QCOMPARE(joiner->RemoteAddress(), shown);
        QCOMPARE(host->RemoteAddress(), shown);
        for (const int fd : {joiner->SocketHandle(), host->SocketHandle()}) {
            QCOMPARE(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
            QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 20);
            QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
            QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 6);
            QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 60000);
        }

        QCOMPARE(joiner->SendText("\x01hello\xff"), 7);
        QTRY_COMPARE(e->hostLog.received, QByteArray("\x01hello\xff"));
        QCOMPARE(host->SendText("back"), 4);
        QTRY_COMPARE(e->joinLog.received, QByteArray("back"));

        e->hostLog.log.clear();
        e->joinLog.log.clear();
        e->server.SetActive(false); // the host closes first, so its side lingers
        QCOMPARE(e->hostLog.seen(),
                 QStringLiteral("Disconnect active=0 n=0 self")); // its connection silently
        QTRY_COMPARE(e->joinLog.seen(), QStringLiteral("Disconnect active=0"));
        QCOMPARE(joiner->RemoteAddress(), QString());
        QCOMPARE(e->listen(port.port), port.port);
        RawSocket next;
        QVERIFY(join(next, port.port));
        QCOMPARE(e->fakes.report.shown, QStringList());
    }

    // The host closes a second joiner inside its ClientConnect handler: the
    // handlers still see it listed, and it goes once the loop has run.
    void closingTheSecondInsideClientConnect()
    {
        const quint16 port = e->listen();
        TServerWinSocket *listening = e->server.Socket();
        listening->OnClientConnect = [&, note = listening->OnClientConnect](QObject *s, TCustomWinSocket *k) {
            note(s, k);
            if (listening->ActiveConnections() != 2)
                return;
            QCOMPARE(k->SendText("busy"), 4);
            k->Close();
            e->hostLog.log.append(
                QStringLiteral("closed '%1' sends %2").arg(k->RemoteAddress()).arg(k->SendText("x")));
        };
        RawSocket first;
        RawSocket second;
        QVERIFY(join(first, port));
        e->hostLog.log.clear();

        QVERIFY(second.connectTo(port));

        QTRY_COMPARE(e->hostLog.seen(), QStringLiteral("ClientConnect n=2 at=1,ClientDisconnect n=2 at=1,"
                                                       "closed '' sends 0,Accept n=2 at=1"));
        QTRY_COMPARE(listening->ActiveConnections(), 1);
        QTRY_VERIFY(second.ended());
        QCOMPARE(second.received, QByteArray("busy"));
        QVERIFY(!first.ended()); // the conversation is untouched
    }

    void thePeerLeaving_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<bool>("suppress");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("report");

        const QString resetEvents =
            QStringLiteral("Error eeDisconnect %1 n=1 at=0,ClientDisconnect n=1 at=0").arg(ECONNRESET);
        QTest::newRow("closes") << false << false << QStringLiteral("ClientDisconnect n=1 at=0")
                                << QStringList();
        QTest::newRow("resets, the error handler suppresses") << true << true << resetEvents << QStringList();
        QTest::newRow("resets, nobody suppresses: reported after the close")
            << true << false << resetEvents << QStringList(asyncError(ECONNRESET));
    }

    // The connection leaves the list before anything else runs, so the next
    // joiner is the first again.
    void thePeerLeaving()
    {
        QFETCH(bool, reset);
        QFETCH(bool, suppress);
        QFETCH(QString, events);
        QFETCH(QStringList, report);
        e->hostLog.suppressErrors = suppress;
        const quint16 port = e->listen();
        RawSocket peer;
        QVERIFY(join(peer, port));
        TServerWinSocket *listening = e->server.Socket();
        int countAfterTheEvent = -1;
        listening->OnClientDisconnect = [&, note = listening->OnClientDisconnect](QObject *s,
                                                                                  TCustomWinSocket *k) {
            note(s, k);
            QTimer::singleShot(0, [&] { countAfterTheEvent = listening->ActiveConnections(); });
        };
        e->hostLog.log.clear();

        reset ? peer.reset() : peer.close();

        QTRY_COMPARE(e->hostLog.seen(), events);
        QCOMPARE(e->fakes.report.shown, report);
        QTRY_COMPARE(countAfterTheEvent, 0);
        e->hostLog.log.clear();
        RawSocket next;
        QVERIFY(join(next, port));
        QTRY_COMPARE(e->hostLog.seen(), QStringLiteral("ClientConnect n=1 at=0,Accept n=1 at=0"));
    }

    void failedAttempt_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("suppress");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("report");

        QTest::newRow("refused") << QStringLiteral("127.0.0.1") << false
                                 << QStringLiteral("Lookup,Connecting,Error eeConnect %1").arg(ECONNREFUSED)
                                 << QStringList(asyncError(ECONNREFUSED));
        // A multicast address fails at once, without a packet sent.
        QTest::newRow("unreachable at once, suppressed")
            << QStringLiteral("224.0.0.1") << true
            << QStringLiteral("Lookup,Connecting,Error eeConnect %1").arg(ENETUNREACH) << QStringList();
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
        e->joinLog.suppressErrors = suppress;
        const test::HeldPort unused; // a port nothing listens on

        e->join(host, unused.port);

        QCOMPARE(e->joinLog.seen(), QStringLiteral("Lookup")); // the rest comes through the event loop
        QTRY_COMPARE(e->joinLog.seen(), events);
        QVERIFY(!e->client.Active());
        QCOMPARE(e->fakes.report.shown, report);
    }

    // What the platform cannot take at once waits and goes out whole; what
    // arrives is taken in reads of at most 64 KiB and counted.
    void aLargeTransferEachWay()
    {
        RawSocket joiner;
        TServerClientWinSocket *connection = join(joiner, e->listen());
        QVERIFY(connection);
        QByteArray big(16 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char((i * 7 + i / 4093) & 0xff);

        QCOMPARE(connection->SendText(big), int(big.size()));
        QVERIFY(connection->OutgoingFull());
        QCOMPARE(connection->SendText("tail"), 4);
        QTRY_VERIFY_WITH_TIMEOUT((joiner.ended(), joiner.received.size() >= big.size() + 4), 60000);
        QVERIFY(joiner.received == big + "tail");
        QVERIFY(!connection->OutgoingFull());

        qint64 sent = 0;
        const auto rest = [&] { return QByteArray::fromRawData(big.constData() + sent, big.size() - sent); };
        QVERIFY(QTest::qWaitFor([&] { return joiner.offer(rest(), sent) && sent == big.size(); }, 60000));
        QTRY_COMPARE(e->hostLog.received.size(), big.size());
        QVERIFY(e->hostLog.received == big);
        QCOMPARE(connection->BytesReceived(), big.size());
        QCOMPARE(e->hostLog.largestRead, 65536);
    }

    void aJoinerArrivingWithNoDescriptorLeftIsTurnedAway()
    {
        const quint16 port = e->listen();
        e->hostLog.log.clear();
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
        QCOMPARE(e->hostLog.seen(), QString()); // never announced
        QVERIFY(join(next, port)); // with descriptors free again, the next joiner is taken as usual
    }
};

QTEST_GUILESS_MAIN(TestConnections)
#include "tst_connections.moc"
