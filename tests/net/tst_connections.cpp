// The connections layer through real loopback sockets and a real event loop:
// accept order and counts, the client endpoint's attempt, failures and the
// messages they raise, settings, sending and receiving, and descriptors.

#include "net/scktcomp.h"
#include "tests/net/netsupport.h"
#include "tests/support/fakeservices.h"

#include <QHash>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace natter;
using namespace natter::test;

class TestConnections : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeServices> fakes;
    std::unique_ptr<TServerSocket> server;
    std::unique_ptr<TClientSocket> client;
    EventRecorder hostLog;
    EventRecorder joinLog;
    int baselineDescriptors = 0;
    // The resolver's worker threads keep a descriptor each for a while.
    bool resolverThreadsUsed = false;

    quint16 listen()
    {
        server->SetPort(0);
        server->SetActive(true);
        return quint16(server->Socket()->LocalPort());
    }

    static QStringList hostEvents(const QStringList &log)
    {
        QStringList out;
        for (const QString &line : log)
            if (!line.startsWith(QLatin1String("ClientRead")))
                out.append(line);
        return out;
    }

private Q_SLOTS:
    void init()
    {
        baselineDescriptors = openDescriptors();
        resolverThreadsUsed = false;
        fakes = std::make_unique<FakeServices>();
        server = std::make_unique<TServerSocket>();
        client = std::make_unique<TClientSocket>();
        hostLog = EventRecorder();
        joinLog = EventRecorder();
        hostLog.attach(*server);
        joinLog.attach(*client);
    }

    void cleanup()
    {
        client.reset();
        server.reset();
        fakes.reset();
        // Every socket this case opened is closed again.
        if (!resolverThreadsUsed)
            QTRY_COMPARE(openDescriptors(), baselineDescriptors);
    }

    // --- accepting -------------------------------------------------------

    void oneJoinerIsListedBeforeBothEvents()
    {
        const quint16 port = listen();
        QCOMPARE(hostLog.log,
                 QStringList({QStringLiteral("Lookup n=0 self"), QStringLiteral("Listen n=0 self")}));
        QVERIFY(server->Active());
        hostLog.log.clear();

        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(hostLog.log.size(), 2);
        QCOMPARE(hostLog.log,
                 QStringList({QStringLiteral("ClientConnect n=1 at=0"), QStringLiteral("Accept n=1 at=0")}));
        QCOMPARE(server->Socket()->Connections(0)->RemoteAddress(), QStringLiteral("127.0.0.1"));
        QVERIFY(server->Socket()->Connections(0)->Connected());
    }

    void secondJoinerWhileOneIsHeld()
    {
        const quint16 port = listen();
        hostLog.log.clear();
        RawPeer first, second;
        QVERIFY(first.connectTo(port));
        QTRY_COMPARE(hostLog.log.size(), 2);
        QVERIFY(second.connectTo(port));
        QTRY_COMPARE(hostLog.log.size(), 4);
        QCOMPARE(hostLog.log.mid(2),
                 QStringList({QStringLiteral("ClientConnect n=2 at=1"), QStringLiteral("Accept n=2 at=1")}));
        QVERIFY_THROWS_EXCEPTION(EListError, server->Socket()->Connections(2));
        try {
            server->Socket()->Connections(-1);
            QFAIL("no list error");
        } catch (const EListError &e) {
            QCOMPARE(e.message(), QStringLiteral("List index out of bounds (-1)"));
        }
    }

    void closingTheNewConnectionInsideClientConnect()
    {
        const quint16 port = listen();
        auto record = server->Socket()->OnClientConnect;
        TServerWinSocket *listening = server->Socket();
        listening->OnClientConnect = [&, record](QObject *s, TCustomWinSocket *k) {
            record(s, k);
            if (listening->ActiveConnections() == 2) {
                QCOMPARE(listening->Connections(1)->SendText("busy"), 4);
                listening->Connections(1)->Close();
                hostLog.log.append(QStringLiteral("closed, remote '%1'").arg(k->RemoteAddress()));
            }
        };
        RawPeer first, second;
        QVERIFY(first.connectTo(port));
        QTRY_COMPARE(listening->ActiveConnections(), 1);
        hostLog.log.clear();
        QVERIFY(second.connectTo(port));
        QTRY_COMPARE(hostLog.log.size(), 4);
        QCOMPARE(hostLog.log,
                 QStringList({QStringLiteral("ClientConnect n=2 at=1"),
                              QStringLiteral("ClientDisconnect n=2 at=1"),
                              QStringLiteral("closed, remote ''"), QStringLiteral("Accept n=2 at=1")}));
        // Released once the event loop delivers the deferred release.
        QTRY_COMPARE(listening->ActiveConnections(), 1);
        QTRY_VERIFY(second.pump() && second.ended);
        QCOMPARE(second.received, QByteArray("busy"));
        QVERIFY(!first.pump());
        QVERIFY(!first.ended);
    }

    void peerOfTheOnlyConnectionCloses()
    {
        const quint16 port = listen();
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        hostLog.log.clear();
        joiner.close();
        QTRY_COMPARE(hostLog.log, QStringList({QStringLiteral("ClientDisconnect n=1 at=0")}));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 0);
        QVERIFY(server->Active());
        QVERIFY(fakes->report.shown.isEmpty());
    }

    void joinerArrivingWithNoDescriptorLeftIsTurnedAway()
    {
        const quint16 port = listen();
        hostLog.log.clear();
        // The joiner's socket exists before the process runs out of descriptors.
        const int joiner = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(joiner >= 0);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(openDescriptors() + 32);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        QList<int> filler;
        for (int fd; (fd = ::dup(joiner)) >= 0;)
            filler.append(fd);
        const sockaddr_in a = loopback(port);
        const bool connected = ::connect(joiner, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
        // The host cannot take the connection; it must close it rather than
        // be told about it over and over.
        char byte = 0;
        bool ended = false;
        if (connected)
            QTRY_VERIFY((ended = ::recv(joiner, &byte, 1, MSG_DONTWAIT) == 0));
        for (int fd : filler)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        ::close(joiner);
        QVERIFY(connected);
        QVERIFY(ended);
        QCOMPARE(server->Socket()->ActiveConnections(), 0);
        QVERIFY(hostLog.log.isEmpty());
        // With descriptors free again, the next joiner is accepted as usual.
        RawPeer next;
        QVERIFY(next.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
    }

    void deactivatingWithTwoConnections()
    {
        const quint16 port = listen();
        RawPeer first, second;
        QVERIFY(first.connectTo(port));
        QVERIFY(second.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 2);
        hostLog.log.clear();
        server->SetActive(false);
        QCOMPARE(server->Socket()->ActiveConnections(), 0);
        QCOMPARE(hostLog.log, QStringList({QStringLiteral("Disconnect n=0 self")}));
        QVERIFY(!server->Active());
        QTRY_VERIFY(first.pump() && first.ended);
        QTRY_VERIFY(second.pump() && second.ended);
    }

    void exceptionInClientConnectDropsTheConnection()
    {
        const quint16 port = listen();
        server->Socket()->OnClientConnect = [](QObject *, TCustomWinSocket *) {
            throw ESocketError(QStringLiteral("refused here"));
        };
        hostLog.log.clear();
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(fakes->report.shown, QStringList({QStringLiteral("refused here.")}));
        QCOMPARE(server->Socket()->ActiveConnections(), 0);
        QVERIFY(hostLog.log.isEmpty()); // no accept event for it
        QTRY_VERIFY(joiner.pump() && joiner.ended);
    }

    void portKeepsOnlyItsLowSixteenBits()
    {
        const quint16 port = unusedPort();
        server->SetPort(port + 65536);
        QCOMPARE(server->Port(), port + 65536);
        server->SetActive(true);
        QCOMPARE(server->Socket()->LocalPort(), int(port));
    }

    // --- the client endpoint's attempt -----------------------------------

    void conversationBothWays()
    {
        const quint16 port = listen();
        client->SetHost(QStringLiteral("127.0.0.1"));
        client->SetPort(port);
        client->SetActive(true);
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup")})); // inside the call
        QVERIFY(!client->Active());
        QTRY_VERIFY(client->Active());
        QCOMPARE(joinLog.log.mid(0, 3), QStringList({QStringLiteral("Lookup"), QStringLiteral("Connecting"),
                                                     QStringLiteral("Connect active=1")}));
        QCOMPARE(client->Socket()->RemoteAddress(), QStringLiteral("127.0.0.1"));
        // The write notification comes once after the connect, never again
        // on an idle socket.
        QTRY_COMPARE(joinLog.log.count(QStringLiteral("Write")), 1);

        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        QCOMPARE(client->Socket()->SendText("\x01hello\xff"), 7);
        QTRY_COMPARE(hostLog.received, QByteArray("\x01hello\xff"));
        QCOMPARE(server->Socket()->Connections(0)->SendText("back"), 4);
        QTRY_COMPARE(joinLog.received, QByteArray("back"));
        QCOMPARE(joinLog.log.count(QStringLiteral("Write")), 1);

        // The host ends it: the joiner sees an ordinary disconnect.
        joinLog.log.clear();
        server->SetActive(false);
        QTRY_COMPARE(joinLog.log, QStringList({QStringLiteral("Disconnect active=0")}));
        QVERIFY(!client->Active());
        QVERIFY(fakes->report.shown.isEmpty());
    }

    void refusedConnect_data()
    {
        QTest::addColumn<bool>("suppress");
        QTest::newRow("handler suppresses") << true;
        QTest::newRow("unsuppressed") << false;
    }
    void refusedConnect()
    {
        QFETCH(bool, suppress);
        joinLog.suppressErrors = suppress;
        client->SetHost(QStringLiteral("127.0.0.1"));
        client->SetPort(unusedPort());
        client->SetActive(true);
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup")}));
        QTRY_COMPARE(joinLog.log.size(), 3);
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup"), QStringLiteral("Connecting"),
                                           QStringLiteral("Error eeConnect %1").arg(ECONNREFUSED)}));
        QVERIFY(!client->Active());
        QVERIFY(!client->Socket()->Connected());
        if (suppress)
            QVERIFY(fakes->report.shown.isEmpty());
        else
            QCOMPARE(fakes->report.shown,
                     QStringList({QStringLiteral("Asynchronous socket error %1.").arg(ECONNREFUSED)}));
        // A new attempt can start straight away.
        joinLog.log.clear();
        const quint16 port = listen();
        client->SetPort(port);
        client->SetActive(true);
        QTRY_VERIFY(client->Active());
        QCOMPARE(joinLog.log.first(), QStringLiteral("Lookup"));
    }

    void unresolvableHost_data()
    {
        QTest::addColumn<bool>("suppress");
        QTest::newRow("handler suppresses") << true;
        QTest::newRow("unsuppressed") << false;
    }
    void unresolvableHost()
    {
        QFETCH(bool, suppress);
        joinLog.suppressErrors = suppress;
        client->SetHost(QStringLiteral("nobody.invalid"));
        client->SetPort(6767);
        client->SetActive(true);
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup")}));
        QTRY_COMPARE(joinLog.log.size(), 3);
        QCOMPARE(joinLog.log,
                 QStringList({QStringLiteral("Lookup"), QStringLiteral("Error eeLookup %1").arg(EAI_NONAME),
                              QStringLiteral("Disconnect active=0")}));
        if (suppress)
            QVERIFY(fakes->report.shown.isEmpty());
        else
            QCOMPARE(fakes->report.shown,
                     QStringList({windowsSocketError(EAI_NONAME, QStringLiteral("ASync Lookup"))}));
        QVERIFY(!client->Socket()->Connected());
    }

    void noAddressAtAll()
    {
        client->SetPort(6767);
        try {
            client->SetActive(true);
            QFAIL("no exception");
        } catch (const ESocketError &e) {
            QCOMPARE(e.message(), QStringLiteral("No address specified"));
        }
        QCOMPARE(joinLog.log,
                 QStringList({QStringLiteral("Lookup"), QStringLiteral("Error eeLookup %1").arg(EDESTADDRREQ),
                              QStringLiteral("Disconnect active=0")}));
        // Suppressed: no exception, the same events.
        joinLog.log.clear();
        joinLog.suppressErrors = true;
        client->SetActive(true);
        QCOMPARE(joinLog.log.size(), 3);
    }

    void addressIsUsedWhenHostIsEmpty()
    {
        const quint16 port = listen();
        client->SetAddress(QStringLiteral("127.0.0.1"));
        client->SetPort(port);
        client->SetActive(true);
        // Without a host name there is nothing to look up: the connect starts at once.
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup"), QStringLiteral("Connecting")}));
        QTRY_VERIFY(client->Active());
    }

    // --- failures of the listening endpoint ------------------------------

    void bindOnAPortInUse()
    {
        RawListener other;
        server->SetPort(other.port);
        try {
            server->SetActive(true);
            QFAIL("no exception");
        } catch (const ESocketError &e) {
            QCOMPARE(e.message(), QStringLiteral("Windows socket error: %1 (%2), on API 'bind'")
                                      .arg(QString::fromLocal8Bit(strerror(EADDRINUSE)))
                                      .arg(EADDRINUSE));
        }
        QVERIFY(!server->Active());
        QVERIFY(!server->Socket()->Connected());
        QCOMPARE(hostLog.log,
                 QStringList({QStringLiteral("Lookup n=0 self"), QStringLiteral("Disconnect n=0 self")}));
    }

    void listeningAgainRightAfterAConversation()
    {
        const quint16 port = listen();
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        QCOMPARE(server->Socket()->Connections(0)->SendText("hi"), 2);
        QTRY_COMPARE((joiner.pump(), joiner.received), QByteArray("hi"));
        // The host closes first, so its side of the connection lingers.
        server->SetActive(false);
        QTRY_VERIFY(joiner.pump() && joiner.ended);
        joiner.close();
        server->SetPort(port);
        server->SetActive(true);
        QVERIFY(server->Active());
        QCOMPARE(server->Socket()->LocalPort(), int(port));
        RawPeer next;
        QVERIFY(next.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
    }

    // --- settings --------------------------------------------------------

    void settingsWhileActive_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("stored");
        QTest::newRow("same port") << "Port"
                                   << "" << false << "";
        QTest::newRow("other port") << "Port"
                                    << "1" << true << "";
        QTest::newRow("host, other case") << "Host"
                                          << "LocalHost" << false << "localhost";
        QTest::newRow("other host") << "Host"
                                    << "example.invalid" << true << "localhost";
        QTest::newRow("address, other case") << "Address"
                                             << "ABC" << false << "abc";
        QTest::newRow("other address") << "Address"
                                       << "10.0.0.1" << true << "abc";
        QTest::newRow("service, same") << "Service"
                                       << "" << false << "";
        QTest::newRow("other service") << "Service"
                                       << "echo" << true << "";
    }
    void settingsWhileActive()
    {
        QFETCH(QString, setting);
        QFETCH(QString, value);
        QFETCH(bool, refused);
        QFETCH(QString, stored);
        server->SetHost(QStringLiteral("localhost"));
        server->SetAddress(QStringLiteral("abc"));
        const quint16 port = listen();
        auto apply = [&] {
            if (setting == QLatin1String("Port"))
                server->SetPort(value.isEmpty() ? server->Port() : value.toInt());
            else if (setting == QLatin1String("Host"))
                server->SetHost(value);
            else if (setting == QLatin1String("Address"))
                server->SetAddress(value);
            else
                server->SetService(value);
        };
        if (refused) {
            try {
                apply();
                QFAIL("no exception");
            } catch (const ESocketError &e) {
                QCOMPARE(e.message(), QStringLiteral("Can't change value while socket is active"));
            }
        } else {
            apply();
        }
        QCOMPARE(server->Port(), 0);
        QCOMPARE(server->Socket()->LocalPort(), int(port));
        if (setting == QLatin1String("Host"))
            QCOMPARE(server->Host(), stored);
        if (setting == QLatin1String("Address"))
            QCOMPARE(server->Address(), stored);
        if (setting == QLatin1String("Service"))
            QCOMPARE(server->Service(), stored);
        // Inactive, anything goes.
        server->SetActive(false);
        apply();
        if (setting == QLatin1String("Host"))
            QCOMPARE(server->Host(), refused ? value : stored);
    }

    void settingsWhileTheClientIsStillConnecting()
    {
        client->SetHost(QStringLiteral("127.0.0.1"));
        client->SetPort(unusedPort());
        client->SetActive(true);
        client->SetPort(4);
        client->SetHost(QStringLiteral("elsewhere.invalid"));
        QCOMPARE(client->Port(), 4);
        joinLog.suppressErrors = true;
        QTRY_VERIFY(joinLog.log.join(QLatin1Char(',')).contains(QLatin1String("eeConnect")));
    }

    // --- sending and receiving -------------------------------------------

    void sendingAndReceivingWhileClosed()
    {
        TClientWinSocket *socket = client->Socket();
        QCOMPARE(socket->SendText("text"), 0);
        QCOMPARE(socket->SendText(QByteArray()), 0);
        QCOMPARE(socket->ReceiveText(), QByteArray());
        QCOMPARE(socket->ReceiveBuf(nullptr, -1), 0);
        QCOMPARE(socket->RemoteAddress(), QString());
        socket->Close(); // harmless
        QVERIFY(joinLog.log.isEmpty());
    }

    void emptySendsAndEmptyReceives()
    {
        const quint16 port = listen();
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        TServerClientWinSocket *connection = server->Socket()->Connections(0);
        QCOMPARE(connection->SendText(QByteArray()), 0);
        QCOMPARE(connection->ReceiveText(), QByteArray());
        QCOMPARE(connection->ReceiveBuf(nullptr, -1), 0);
        QVERIFY(joiner.send("abc"));
        QTRY_COMPARE(hostLog.received, QByteArray("abc"));
    }

    void remoteAddressOfAClosedConnection()
    {
        const quint16 port = listen();
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        TServerClientWinSocket *connection = server->Socket()->Connections(0);
        QCOMPARE(connection->RemoteAddress(), QStringLiteral("127.0.0.1"));
        QString inside;
        server->Socket()->OnClientDisconnect = [&inside](QObject *, TCustomWinSocket *k) {
            inside = k->RemoteAddress(); // still open while the handler runs
        };
        connection->Close();
        QCOMPARE(inside, QStringLiteral("127.0.0.1"));
        QCOMPARE(connection->RemoteAddress(), QString());
        QCOMPARE(connection->SendText("late"), 0);
        QCOMPARE(server->Socket()->ActiveConnections(), 1);
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 0);
    }

    // A handler's exception ends at the exception report; the loop and the
    // connection carry on.
    void handlerExceptionsEndAtTheReport()
    {
        const quint16 port = listen();
        int reads = 0;
        server->Socket()->OnClientRead = [&reads](QObject *, TCustomWinSocket *k) {
            ++reads;
            const QByteArray text = k->ReceiveText();
            if (text == "boom")
                throw ESocketError(QStringLiteral("Windows socket error: x (1), on API 'send'"));
            if (text == "quiet")
                throw EAbort();
        };
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        QVERIFY(joiner.send("boom"));
        QTRY_COMPARE(reads, 1);
        QCOMPARE(fakes->report.shown,
                 QStringList({QStringLiteral("Windows socket error: x (1), on API 'send'")}));
        QVERIFY(joiner.send("quiet"));
        QTRY_COMPARE(reads, 2);
        QVERIFY(joiner.send("fine"));
        QTRY_COMPARE(reads, 3);
        QCOMPARE(fakes->report.shown.size(), 1);
        QVERIFY(server->Socket()->Connections(0)->Connected());
    }

    // After a read event the next one waits until the owner has received;
    // a handler that leaves the bytes waiting is not called over and over.
    void readEventWaitsForAReceive()
    {
        const quint16 port = listen();
        TServerWinSocket *listening = server->Socket();
        QHash<TCustomWinSocket *, int> reads;
        listening->OnClientRead = [&reads](QObject *, TCustomWinSocket *k) { ++reads[k]; };
        RawPeer slow, fence;
        QVERIFY(slow.connectTo(port));
        QTRY_COMPARE(listening->ActiveConnections(), 1);
        QVERIFY(fence.connectTo(port));
        QTRY_COMPARE(listening->ActiveConnections(), 2);
        TServerClientWinSocket *first = listening->Connections(0);
        TServerClientWinSocket *second = listening->Connections(1);
        QVERIFY(slow.send("a"));
        QTRY_COMPARE(reads.value(first), 1);
        QVERIFY(slow.send("b"));
        // Several turns of the loop, fenced by the other connection's reads.
        for (int i = 1; i <= 3; ++i) {
            QVERIFY(fence.send("f"));
            QTRY_COMPARE(reads.value(second), i);
            second->ReceiveText();
        }
        QCOMPARE(reads.value(first), 1);
        QCOMPARE(first->ReceiveText(), QByteArray("ab"));
        QVERIFY(slow.send("c"));
        QTRY_COMPARE(reads.value(first), 2);
        QCOMPARE(first->ReceiveText(), QByteArray("c"));
    }

    // A send the platform cannot take at once is kept and delivered whole,
    // in order, to a reader that takes its time.
    void largeSendArrivesWholeThroughASlowReader()
    {
        const quint16 port = listen();
        int writes = 0;
        server->Socket()->OnClientWrite = [&writes](QObject *, TCustomWinSocket *) { ++writes; };
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        TServerClientWinSocket *connection = server->Socket()->Connections(0);
        QTRY_COMPARE(writes, 1); // once for the fresh connection

        QByteArray big(4 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char((i * 7 + i / 4093) & 0xff);
        QCOMPARE(connection->SendText(big), int(big.size()));
        QVERIFY(connection->PendingOutput() > 0);
        QCOMPARE(connection->SendText("tail"), 4);
        const QByteArray expected = big + "tail";
        // 64 KiB per turn of the event loop.
        QTRY_VERIFY_WITH_TIMEOUT((joiner.pump(65536), joiner.received.size() == expected.size()), 60000);
        QVERIFY(joiner.received == expected);
        QTRY_COMPARE(connection->PendingOutput(), 0);
        QTRY_COMPARE(writes, 2); // once more when the queue drained
    }

    void largeSendFromTheClientEndpoint()
    {
        const quint16 port = listen();
        client->SetHost(QStringLiteral("127.0.0.1"));
        client->SetPort(port);
        client->SetActive(true);
        QTRY_VERIFY(client->Active());
        QByteArray big(4 << 20, 'x');
        for (qsizetype i = 0; i < big.size(); i += 1000)
            big[i] = char('a' + (i / 1000) % 26);
        QCOMPARE(client->Socket()->SendText(big), int(big.size()));
        QTRY_VERIFY_WITH_TIMEOUT(hostLog.received.size() >= big.size(), 60000);
        QVERIFY(hostLog.received == big);
    }

    // A reset peer: the error is offered, then the connection closes like any
    // other, and the host takes the next joiner as its first.
    void resetPeerFreesTheHost_data()
    {
        QTest::addColumn<bool>("suppress");
        QTest::newRow("OnClientError suppresses") << true;
        QTest::newRow("no handler") << false;
    }
    void resetPeerFreesTheHost()
    {
        QFETCH(bool, suppress);
        const quint16 port = listen();
        if (suppress) {
            server->Socket()->OnClientError = [this](QObject *, TCustomWinSocket *, TErrorEvent e,
                                                     int &code) {
                hostLog.log.append(QStringLiteral("ClientError %1 %2").arg(errorEventName(e)).arg(code));
                code = 0;
            };
        }
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        hostLog.log.clear();
        joiner.reset();
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 0);
        QStringList expected;
        if (suppress) {
            expected << QStringLiteral("ClientError eeDisconnect %1").arg(ECONNRESET);
            QVERIFY(fakes->report.shown.isEmpty());
        } else {
            QCOMPARE(fakes->report.shown,
                     QStringList({QStringLiteral("Asynchronous socket error %1.").arg(ECONNRESET)}));
        }
        expected << QStringLiteral("ClientDisconnect n=1 at=0");
        QCOMPARE(hostEvents(hostLog.log), expected);

        hostLog.log.clear();
        RawPeer next;
        QVERIFY(next.connectTo(port));
        QTRY_COMPARE(hostLog.log.size(), 2);
        QCOMPARE(hostLog.log,
                 QStringList({QStringLiteral("ClientConnect n=1 at=0"), QStringLiteral("Accept n=1 at=0")}));
    }

    void resetHostEndsTheClientEndpoint()
    {
        RawListener host;
        client->SetHost(QStringLiteral("127.0.0.1"));
        client->SetPort(host.port);
        joinLog.suppressErrors = true;
        client->SetActive(true);
        QTRY_VERIFY(client->Active());
        const int accepted = ::accept(host.fd, nullptr, nullptr);
        QVERIFY(accepted >= 0);
        RawPeer far;
        far.fd = accepted;
        joinLog.log.clear();
        far.reset();
        QTRY_COMPARE(joinLog.log, QStringList({QStringLiteral("Error eeDisconnect %1").arg(ECONNRESET),
                                               QStringLiteral("Disconnect active=0")}));
        QVERIFY(!client->Active());
    }

    // --- abandoning an attempt -------------------------------------------

    void deactivatingWhileResolvingAbandonsTheAttempt()
    {
        const quint16 port = listen();
        client->SetHost(QStringLiteral("127.0.0.1"));
        client->SetPort(port);
        client->SetActive(true);
        QVERIFY(client->Socket()->AttemptPending());
        client->SetActive(false);
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup"), QStringLiteral("Disconnect active=0")}));
        QVERIFY(!client->Socket()->AttemptPending());
        // A second endpoint connects all the way; the first stays silent.
        TClientSocket other;
        other.SetHost(QStringLiteral("127.0.0.1"));
        other.SetPort(port);
        other.SetActive(true);
        QTRY_VERIFY(other.Active());
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        QCOMPARE(joinLog.log.size(), 2);
    }

    void deactivatingWhileConnectingAbandonsTheAttempt()
    {
        // A listener whose queue is full leaves a connect hanging.
        RawListener host(0);
        RawPeer fillers[3];
        for (RawPeer &f : fillers)
            QVERIFY(f.startConnect(host.port));
        client->SetHost(QStringLiteral("127.0.0.1"));
        client->SetPort(host.port);
        client->SetActive(true);
        QTRY_COMPARE(joinLog.log, QStringList({QStringLiteral("Lookup"), QStringLiteral("Connecting")}));
        client->Close();
        QCOMPARE(joinLog.log.last(), QStringLiteral("Disconnect active=0"));
        QVERIFY(!client->Socket()->AttemptPending());
        // Make room on the listener: nothing of the abandoned attempt follows.
        ::fcntl(host.fd, F_SETFL, ::fcntl(host.fd, F_GETFL) | O_NONBLOCK);
        for (int i = 0; i < 3; ++i) {
            const int fd = ::accept4(host.fd, nullptr, nullptr, SOCK_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        }
        client->SetHost(QStringLiteral("127.0.0.1"));
        const quint16 port = listen();
        client->SetPort(port);
        joinLog.log.clear();
        client->SetActive(true);
        QTRY_VERIFY(client->Active());
        QCOMPARE(joinLog.log.mid(0, 3), QStringList({QStringLiteral("Lookup"), QStringLiteral("Connecting"),
                                                     QStringLiteral("Connect active=1")}));
    }

    void activatingAgainAbandonsThePendingAttempt()
    {
        const quint16 port = listen();
        client->SetHost(QStringLiteral("127.0.0.1"));
        client->SetPort(port);
        client->SetActive(true);
        client->SetActive(true);
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup"), QStringLiteral("Disconnect active=0"),
                                           QStringLiteral("Lookup")}));
        QTRY_VERIFY(client->Active());
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        QCOMPARE(joinLog.log.count(QStringLiteral("Connect active=1")), 1);
    }

    // --- handlers that tear things down ----------------------------------

    void deactivatingTheHostInsideAReadHandler()
    {
        const quint16 port = listen();
        server->Socket()->OnClientRead = [this](QObject *, TCustomWinSocket *k) {
            hostLog.received += k->ReceiveText();
            server->SetActive(false); // destroys the connection being served
        };
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        QVERIFY(joiner.send("bye"));
        QTRY_VERIFY(!server->Active());
        QCOMPARE(hostLog.received, QByteArray("bye"));
        QCOMPARE(server->Socket()->ActiveConnections(), 0);
        QTRY_VERIFY(joiner.pump() && joiner.ended);
    }

    void aFailedSendClosesAndRaises()
    {
        const quint16 port = listen();
        RawPeer joiner;
        QVERIFY(joiner.connectTo(port));
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        TServerClientWinSocket *connection = server->Socket()->Connections(0);
        hostLog.log.clear();
        joiner.reset();
        // No turn of the event loop in between: the send meets the reset.
        QString message;
        for (int i = 0; i < 100 && message.isEmpty(); ++i) {
            try {
                connection->SendText("ping");
            } catch (const ESocketError &e) {
                message = e.message();
            }
        }
        QVERIFY2(message.endsWith(QLatin1String("), on API 'send'")), qPrintable(message));
        QVERIFY(!connection->Connected());
        QCOMPARE(hostLog.log, QStringList({QStringLiteral("ClientDisconnect n=1 at=0")}));
        QCOMPARE(server->Socket()->ActiveConnections(), 1);
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 0);
        QVERIFY(server->Active());
    }

    // Last of all, since it leaves resolver threads behind for a while.
    // A name goes to the system resolver ("localhost" is answered from the
    // hosts file); its answer arrives through the event loop.
    void hostNameResolvesThroughTheResolver()
    {
        resolverThreadsUsed = true;
        const quint16 port = listen();
        client->SetHost(QStringLiteral("localhost"));
        client->SetPort(port);
        client->SetActive(true);
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup")}));
        QTRY_VERIFY(client->Active());
        QCOMPARE(client->Socket()->RemoteAddress(), QStringLiteral("127.0.0.1"));
        // Abandoning a lookup in flight: nothing of it follows.
        client->SetActive(false);
        joinLog.log.clear();
        client->SetActive(true);
        client->SetActive(false);
        QCOMPARE(joinLog.log, QStringList({QStringLiteral("Lookup"), QStringLiteral("Disconnect active=0")}));
        TClientSocket other;
        other.SetHost(QStringLiteral("localhost"));
        other.SetPort(port);
        other.SetActive(true);
        QTRY_VERIFY(other.Active());
        QCOMPARE(joinLog.log.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestConnections)
#include "tst_connections.moc"
