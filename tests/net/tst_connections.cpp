// The connections layer through real loopback sockets and a real event loop.
#include "net/scktcomp.h"
#include "tests/support/fakeservices.h"

#include <QDir>
#include <QTest>

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace natter;

namespace {

// A plain socket on 127.0.0.1: the far side of a conversation, or a listener.
struct RawSocket {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 port = 0; // when listening
    QByteArray received;
    bool ended = false; // end of stream (or an error) seen

    RawSocket() = default;
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;
    ~RawSocket() { close(); }
    void close() { ::close(std::exchange(fd, -1)); }
    void nonBlocking() { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }
    static sockaddr_in at(quint16 p)
    {
        return {sa_family_t(AF_INET), htons(p), {htonl(INADDR_LOOPBACK)}, {}};
    }

    // Blocking, the kernel completes it without an accept; else it is left in flight.
    bool connectTo(quint16 p, bool blocking = true)
    {
        if (!blocking)
            nonBlocking();
        const sockaddr_in a = at(p);
        const bool ok =
            ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 || errno == EINPROGRESS;
        nonBlocking();
        return ok;
    }
    quint16 listen(int backlog)
    {
        sockaddr_in a = at(0);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
        ::listen(fd, backlog);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        return port = ntohs(a.sin_port);
    }
    bool pump() // takes up to 64 KiB; true once something arrived or the stream ended
    {
        char buf[65536];
        const ssize_t r = fd < 0 ? 0 : ::recv(fd, buf, sizeof buf, 0);
        if (r > 0)
            received.append(buf, r);
        ended = ended || (fd >= 0 && (r == 0 || (r < 0 && errno != EAGAIN)));
        return r > 0 || ended;
    }
    void reset() // a zero linger time turns the close into a reset
    {
        const linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
};

// Logs every handler call of an endpoint. The listening side adds the
// connection count it saw and where the socket argument sits in the list
// (" n=2 at=1"); a wrong sender or socket argument is logged as such.
struct EventRecorder {
    QStringList log;
    QByteArray received; // what the read handlers took
    bool suppressErrors = false;

    QString seen() const { return log.join(QLatin1Char(',')); }

    template <class Endpoint> void attach(Endpoint &endpoint)
    {
        constexpr bool host = std::is_same_v<Endpoint, TServerSocket>;
        TServerWinSocket *listening = nullptr;
        if constexpr (host)
            listening = endpoint.Socket();
        const auto note = [this, &endpoint, listening](QString line, QObject *sender, QObject *expected,
                                                       TCustomWinSocket *k) {
            if (line == u"Connect" || line == u"Disconnect")
                line += QStringLiteral(" active=%1").arg(endpoint.Active());
            if (listening) {
                int at = -1;
                for (int i = 0; i < listening->ActiveConnections(); ++i)
                    at = listening->Connections(i) == k ? i : at;
                line += QStringLiteral(" n=%1 ").arg(listening->ActiveConnections()) +
                        (k == listening ? QStringLiteral("self") : QStringLiteral("at=%1").arg(at));
            }
            const bool wrong = sender != expected || (!listening && k != endpoint.Socket());
            log.append(wrong ? line + QStringLiteral(" WRONG-ARGUMENTS") : line);
        };
        const auto on = [&](TSocketNotifyEvent &slot, const char *name, QObject *expected) {
            slot = [note, name, expected](QObject *s, TCustomWinSocket *k) {
                note(QLatin1String(name), s, expected, k);
            };
        };
        on(endpoint.OnLookup, "Lookup", &endpoint);
        on(endpoint.OnConnecting, "Connecting", &endpoint);
        on(endpoint.OnConnect, "Connect", &endpoint);
        on(endpoint.OnDisconnect, "Disconnect", &endpoint);
        on(endpoint.OnListen, "Listen", &endpoint);
        on(endpoint.OnAccept, "Accept", &endpoint);
        endpoint.OnError = [this, note, &endpoint](QObject *s, TCustomWinSocket *k, TErrorEvent e,
                                                   int &code) {
            static const char *const names[] = {"eeGeneral",    "eeSend",   "eeReceive", "eeConnect",
                                                "eeDisconnect", "eeAccept", "eeLookup"};
            note(QStringLiteral("Error %1 %2").arg(QLatin1String(names[int(e)])).arg(code), s, &endpoint, k);
            code = suppressErrors ? 0 : code;
        };
        const TSocketNotifyEvent read = [this](QObject *, TCustomWinSocket *k) {
            received += k->ReceiveText();
        };
        if constexpr (host) {
            on(listening->OnClientConnect, "ClientConnect", listening);
            on(listening->OnClientDisconnect, "ClientDisconnect", listening);
            listening->OnClientRead = read;
        } else {
            endpoint.OnRead = read;
        }
    }
};

} // namespace

class TestConnections : public QObject {
    Q_OBJECT

    std::unique_ptr<natter::test::FakeServices> fakes;
    std::unique_ptr<TServerSocket> server;
    std::unique_ptr<TClientSocket> client;
    EventRecorder hostLog, joinLog;
    int baseline = 0;

    static int openDescriptors()
    {
        return int(QDir(QStringLiteral("/proc/self/fd"))
                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
    }
    static QString asyncError(int code) { return QStringLiteral("Asynchronous socket error %1.").arg(code); }
    quint16 listen(int port = 0)
    {
        server->SetPort(port);
        server->SetActive(true);
        return quint16(server->Socket()->LocalPort());
    }
    void aim(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
    {
        client->SetHost(host);
        client->SetPort(port);
    }
    // Connects a plain peer and waits until the host has taken it.
    TServerClientWinSocket *join(RawSocket &peer, quint16 port)
    {
        TServerWinSocket *listening = server->Socket();
        const int before = listening->ActiveConnections();
        if (!peer.connectTo(port) ||
            !QTest::qWaitFor([&] { return listening->ActiveConnections() > before; }))
            return nullptr;
        return listening->Connections(before);
    }
    // The message of the socket error `f` raises, empty if none.
    static QString failure(const std::function<void()> &f)
    {
        try {
            f();
        } catch (const ESocketError &e) {
            return e.message();
        }
        return QString();
    }

private Q_SLOTS:
    void init()
    {
        baseline = openDescriptors();
        fakes = std::make_unique<natter::test::FakeServices>();
        server = std::make_unique<TServerSocket>();
        client = std::make_unique<TClientSocket>();
        hostLog = joinLog = EventRecorder();
        hostLog.attach(*server);
        joinLog.attach(*client);
    }
    void cleanup()
    {
        client.reset();
        server.reset();
        fakes.reset();
        QTRY_COMPARE(openDescriptors(), baseline); // every socket of the case is closed again
    }

    void acceptOrder_data()
    {
        QTest::addColumn<int>("joiners");
        QTest::addColumn<QString>("then");
        QTest::addColumn<QString>("expected"); // the events of the last step
        QTest::addColumn<int>("remaining");
        const auto row = [](const char *name, int joiners, const char *then, const char *expected,
                            int remaining) {
            QTest::newRow(name) << joiners << QString::fromLatin1(then) << QString::fromLatin1(expected)
                                << remaining;
        };
        row("one joiner", 1, "", "ClientConnect n=1 at=0,Accept n=1 at=0", 1);
        row("second while one is held", 2, "", "ClientConnect n=2 at=1,Accept n=2 at=1", 2);
        // Closed connections leave the list once the event loop gets back.
        row("second closed inside client-connect", 2, "close",
            "ClientConnect n=2 at=1,ClientDisconnect n=2 at=1,closed '' 0,Accept n=2 at=1", 1);
        row("peer of the only one closes", 1, "peer closes", "ClientDisconnect n=1 at=0", 0);
        row("peer of the only one resets", 1, "peer resets", "ClientDisconnect n=1 at=0", 0);
        row("deactivating with two", 2, "deactivate", "Disconnect active=0 n=0 self", 0);
    }
    void acceptOrder()
    {
        QFETCH(int, joiners);
        QFETCH(QString, then);
        QFETCH(QString, expected);
        QFETCH(int, remaining);
        const quint16 port = listen();
        QCOMPARE(hostLog.seen(), QStringLiteral("Lookup n=0 self,Listen n=0 self"));
        TServerWinSocket *listening = server->Socket();
        bool once = true;
        if (then == u"close") {
            listening->OnClientConnect = [this, listening, note = listening->OnClientConnect,
                                          &once](QObject *s, TCustomWinSocket *k) {
                note(s, k);
                if (listening->ActiveConnections() == 2 && std::exchange(once, false) &&
                    k->ReceiveText().isEmpty() && k->SendText("busy") == 4) {
                    k->Close();
                    hostLog.log.append(
                        QStringLiteral("closed '%1' %2").arg(k->RemoteAddress()).arg(k->SendText("x")));
                }
            };
        }
        RawSocket peers[3];
        for (int i = 0; i < joiners; ++i) {
            hostLog.log.clear();
            QVERIFY(peers[i].connectTo(port));
            QTRY_VERIFY(hostLog.seen().contains(QLatin1String("Accept")));
        }
        if (then.startsWith(u"peer") || then == u"deactivate") {
            hostLog.log.clear();
            then == u"deactivate"    ? server->SetActive(false)
            : then == u"peer resets" ? peers[0].reset()
                                     : peers[0].close();
        }
        QTRY_COMPARE(hostLog.seen(), expected);
        QTRY_COMPARE(listening->ActiveConnections(), remaining);
        QVERIFY_THROWS_EXCEPTION(EListError, listening->Connections(remaining));
        QCOMPARE(fakes->report.shown,
                 then == u"peer resets" ? QStringList(asyncError(ECONNRESET)) : QStringList());
        for (int i = 0; i < joiners; ++i) {
            if (then == u"deactivate" || (then == u"close" && i == 1))
                QTRY_VERIFY(peers[i].pump() && peers[i].ended);
            else
                QVERIFY(!peers[i].pump() && !peers[i].ended);
        }
        QCOMPARE(peers[joiners - 1].received, QByteArray(then == u"close" ? "busy" : ""));
        // The host stays open for the next joiner, who is listed after those left.
        QCOMPARE(server->Active(), then != u"deactivate");
        hostLog.log.clear();
        if (server->Active()) {
            QVERIFY(peers[2].connectTo(port));
            QTRY_COMPARE(hostLog.seen(), QStringLiteral("ClientConnect n=%1 at=%2,Accept n=%1 at=%2")
                                             .arg(remaining + 1)
                                             .arg(remaining));
            QCOMPARE(listening->Connections(remaining)->RemoteAddress(), QStringLiteral("127.0.0.1"));
        }
    }

    // A failed attempt: the handler sees the error; unsuppressed it reaches the report.
    void failedAttempt_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("suppress");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("report");
        const QString refused = QStringLiteral("Lookup,Connecting,Error eeConnect %1").arg(ECONNREFUSED);
        const QString local = QStringLiteral("127.0.0.1");
        QTest::newRow("refused, suppressed") << local << true << refused << QString();
        QTest::newRow("refused") << local << false << refused << asyncError(ECONNREFUSED);
        QTest::newRow("unresolvable")
            << QStringLiteral("nobody.invalid") << false
            << QStringLiteral("Lookup,Error eeLookup %1,Disconnect active=0").arg(EAI_NONAME)
            << windowsSocketError(EAI_NONAME, QStringLiteral("ASync Lookup"));
    }
    void failedAttempt()
    {
        QFETCH(QString, host);
        QFETCH(bool, suppress);
        QFETCH(QString, expected);
        QFETCH(QString, report);
        joinLog.suppressErrors = suppress;
        aim(RawSocket().listen(1), host); // a port nothing listens on
        client->SetActive(true);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup")); // the rest comes through the event loop
        QTRY_COMPARE(joinLog.seen(), expected);
        QVERIFY(!client->Active());
        QCOMPARE(fakes->report.shown, report.isEmpty() ? QStringList() : QStringList(report));
        // A new attempt starts straight away, and nothing of the failed one follows.
        joinLog.log.clear();
        aim(listen());
        client->SetActive(true);
        QTRY_VERIFY(client->Active());
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
    }

    void bindOnAPortInUse()
    {
        RawSocket other;
        server->SetPort(other.listen(1));
        QCOMPARE(failure([this] { server->SetActive(true); }),
                 QStringLiteral("Windows socket error: %1 (%2), on API 'bind'")
                     .arg(QString::fromLocal8Bit(strerror(EADDRINUSE)))
                     .arg(EADDRINUSE));
        QVERIFY(!server->Active());
        QCOMPARE(hostLog.seen(), QStringLiteral("Lookup n=0 self,Disconnect active=0 n=0 self"));
    }

    void settingsWhileActive_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("refused");
        const auto row = [](const char *name, const char *setting, const char *value, bool refused) {
            QTest::newRow(name) << QString::fromLatin1(setting) << QString::fromLatin1(value) << refused;
        };
        row("same port", "Port", "0", false);
        row("other port", "Port", "1", true);
        row("host, other case", "Host", "LocalHost", false);
        row("other host", "Host", "example.invalid", true);
        row("address, other case", "Address", "ABC", false);
        row("other address", "Address", "10.0.0.1", true);
    }
    void settingsWhileActive()
    {
        QFETCH(QString, setting);
        QFETCH(QString, value);
        QFETCH(bool, refused);
        server->SetHost(QStringLiteral("localhost"));
        server->SetAddress(QStringLiteral("abc"));
        const quint16 port = listen();
        const auto apply = [&] {
            if (setting == u"Port")
                server->SetPort(value.toInt());
            else
                setting == u"Host" ? server->SetHost(value) : server->SetAddress(value);
        };
        const auto current = [&] {
            return setting == u"Port" ? QString::number(server->Port())
                                      : (setting == u"Host" ? server->Host() : server->Address());
        };
        const QString before = current();
        QCOMPARE(failure(apply),
                 refused ? QStringLiteral("Can't change value while socket is active") : QString());
        QCOMPARE(current(), before);
        QVERIFY(server->Active());
        QCOMPARE(server->Socket()->LocalPort(), int(port));
        server->SetActive(false); // inactive, anything goes
        apply();
        QCOMPARE(current(), refused ? value : before);
    }

    // A send the platform cannot take at once is kept and delivered whole, in order.
    void largeSendArrivesWholeThroughASlowReader()
    {
        int writes = 0;
        server->Socket()->OnClientWrite = [&writes](QObject *, TCustomWinSocket *) { ++writes; };
        RawSocket joiner;
        TServerClientWinSocket *connection = join(joiner, listen());
        QVERIFY(connection);
        QTRY_COMPARE(writes, 1); // once for the fresh connection
        QByteArray big(4 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char((i * 7 + i / 4093) & 0xff);
        QCOMPARE(connection->SendText(big), int(big.size()));
        QVERIFY(connection->PendingOutput() > 0);
        QCOMPARE(connection->SendText("tail"), 4);
        // The reader takes 64 KiB per turn of the event loop.
        QTRY_VERIFY_WITH_TIMEOUT((joiner.pump(), joiner.received.size() >= big.size() + 4), 60000);
        QVERIFY(joiner.received == big + "tail");
        QTRY_COMPARE(connection->PendingOutput(), 0);
        QTRY_COMPARE(writes, 2); // once more when the queue drained
    }

    void deactivatingDuringAPendingConnect()
    {
        const quint16 port = listen();
        RawSocket full, fillers[3]; // a listener whose queue is full leaves a connect hanging
        full.listen(0);
        for (RawSocket &f : fillers)
            QVERIFY(f.connectTo(full.port, false));
        aim(full.port);
        client->SetActive(true);
        QTRY_COMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting"));
        QVERIFY(client->Socket()->AttemptPending());
        client->SetActive(false);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Disconnect active=0"));
        QVERIFY(!client->Socket()->AttemptPending());
        // Room on the full listener and a second endpoint connecting all the
        // way: nothing of the abandoned attempt follows.
        full.nonBlocking();
        for (int fd; (fd = ::accept(full.fd, nullptr, nullptr)) >= 0;)
            ::close(fd);
        TClientSocket other;
        other.SetHost(QStringLiteral("127.0.0.1"));
        other.SetPort(port);
        other.SetActive(true);
        QTRY_VERIFY(other.Active() && server->Socket()->ActiveConnections() == 1);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Disconnect active=0"));
    }

    void listeningAgainRightAfterAConversation()
    {
        QCOMPARE(client->Socket()->SendText("idle"), 0);
        QCOMPARE(client->Socket()->ReceiveText(), QByteArray());
        const quint16 port = listen();
        aim(port);
        client->SetActive(true);
        QTRY_VERIFY(client->Active() && server->Socket()->ActiveConnections() == 1);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
        QCOMPARE(client->Socket()->SendText("\x01hello\xff"), 7);
        QTRY_COMPARE(hostLog.received, QByteArray("\x01hello\xff"));
        QCOMPARE(server->Socket()->Connections(0)->SendText("back"), 4);
        QTRY_COMPARE(joinLog.received, QByteArray("back"));
        // The host ends it first, so its side lingers; the joiner sees an ordinary disconnect.
        joinLog.log.clear();
        server->SetActive(false);
        QTRY_COMPARE(joinLog.seen(), QStringLiteral("Disconnect active=0"));
        QVERIFY(fakes->report.shown.isEmpty());
        QCOMPARE(listen(port), port);
        RawSocket next;
        QVERIFY(join(next, port));
    }

    void joinerArrivingWithNoDescriptorLeftIsTurnedAway()
    {
        const quint16 port = listen();
        hostLog.log.clear();
        RawSocket joiner; // its socket exists before the process runs out of descriptors
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(openDescriptors() + 32);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        QList<int> filler;
        for (int fd; (fd = ::dup(joiner.fd)) >= 0;)
            filler.append(fd);
        // The host cannot take it; it must close it rather than hear of it over and over.
        const bool connected = joiner.connectTo(port);
        const bool ended = connected && QTest::qWaitFor([&] { return joiner.pump() && joiner.ended; });
        for (int fd : filler)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(connected && ended);
        QCOMPARE(server->Socket()->ActiveConnections(), 0);
        QVERIFY(hostLog.log.isEmpty());
        RawSocket next; // with descriptors free again, the next joiner is taken as usual
        QVERIFY(join(next, port));
    }
};

QTEST_GUILESS_MAIN(TestConnections)
#include "tst_connections.moc"
