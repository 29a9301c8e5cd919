// The connections layer through real loopback sockets and a real event loop:
// accept order and counts, the client endpoint's attempt, failures and their
// messages, settings, sending and receiving, and descriptors.

#include "net/scktcomp.h"
#include "tests/support/fakeservices.h"

#include <QDir>
#include <QTest>

#include <cerrno>
#include <functional>
#include <memory>
#include <type_traits>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace natter;
using natter::test::FakeServices;

namespace {

int openDescriptors()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

bool connectFd(int fd, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 || errno == EINPROGRESS;
}

// A plain socket on 127.0.0.1 playing the far side.
struct RawPeer {
    int fd = -1;
    QByteArray received;
    bool ended = false;

    RawPeer() = default;
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;
    ~RawPeer() { close(); }

    // A blocking connect completes in the kernel without an accept; a pending one is left in flight.
    bool connectTo(quint16 port, bool pending = false)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (pending ? SOCK_NONBLOCK : 0), 0);
        const bool ok = connectFd(fd, port);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        return ok;
    }
    // Takes up to `limit` waiting bytes; true once something arrived or the stream ended.
    bool pump(qsizetype limit = 1 << 30)
    {
        char buf[65536];
        bool progress = false;
        while (fd >= 0 && limit > 0) {
            const ssize_t r = ::recv(fd, buf, size_t(qMin(limit, qsizetype(sizeof buf))), 0);
            if (r <= 0) {
                ended = ended || r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                return progress || ended;
            }
            received.append(buf, r);
            limit -= r;
            progress = true;
        }
        return progress;
    }
    // A zero linger time turns the close into a reset.
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

// A plain listening socket on an ephemeral port (no address reuse).
struct RawListener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 port = 0;
    explicit RawListener(int backlog = 5)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
        ::listen(fd, backlog);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    RawListener(const RawListener &) = delete;
    RawListener &operator=(const RawListener &) = delete;
    ~RawListener() { ::close(fd); }
};

quint16 unusedPort()
{
    return RawListener().port;
}

// The message of the ESocketError `f` raises, empty if none.
QString failure(const std::function<void()> &f)
{
    try {
        f();
    } catch (const ESocketError &e) {
        return e.message();
    }
    return QString();
}

// Logs every handler call of an endpoint. The listening side adds the
// connection count it saw and where the socket argument sits in the list
// (" n=2 at=1"); wrong sender or socket arguments are logged as such.
struct EventRecorder {
    QStringList log;
    QByteArray received; // what the read handlers took
    bool suppressErrors = false;

    QString seen() const { return log.join(QLatin1Char(',')); }

    template <class Endpoint> void attach(Endpoint &endpoint)
    {
        TServerWinSocket *listening = nullptr;
        if constexpr (std::is_same_v<Endpoint, TServerSocket>)
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
            } else if (k != endpoint.Socket()) {
                line += QStringLiteral(" WRONG-SOCKET");
            }
            log.append(sender == expected ? line : line + QStringLiteral(" WRONG-SENDER"));
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
        if constexpr (std::is_same_v<Endpoint, TServerSocket>) {
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

    std::unique_ptr<FakeServices> fakes;
    std::unique_ptr<TServerSocket> server;
    std::unique_ptr<TClientSocket> client;
    EventRecorder hostLog, joinLog;
    int baseline = 0;

    quint16 listen(int port = 0)
    {
        server->SetPort(port);
        server->SetActive(true);
        return quint16(server->Socket()->LocalPort());
    }
    void aim(quint16 port, const char *host = "127.0.0.1")
    {
        client->SetHost(QLatin1String(host));
        client->SetPort(port);
    }
    // Connects a plain peer and waits until the host has taken it.
    TServerClientWinSocket *join(RawPeer &peer, quint16 port)
    {
        TServerWinSocket *listening = server->Socket();
        const int before = listening->ActiveConnections();
        if (!peer.connectTo(port) ||
            !QTest::qWaitFor([&] { return listening->ActiveConnections() > before; }))
            return nullptr;
        return listening->Connections(before);
    }
    static QString asyncError(int code) { return QStringLiteral("Asynchronous socket error %1.").arg(code); }

private Q_SLOTS:
    void init()
    {
        baseline = openDescriptors();
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
        QTRY_COMPARE(openDescriptors(), baseline); // every socket of the case is closed again
    }

    void acceptOrder_data()
    {
        QTest::addColumn<int>("joiners");
        QTest::addColumn<QString>("then");
        QTest::addColumn<QString>("expected"); // the events of the last step
        QTest::addColumn<int>("remaining");
        QTest::addColumn<QString>("peersSee"); // per joiner: 'E' the end of the stream
        QTest::newRow("one joiner") << 1 << ""
                                    << "ClientConnect n=1 at=0,Accept n=1 at=0" << 1 << "-";
        QTest::newRow("second while one is held") << 2 << ""
                                                  << "ClientConnect n=2 at=1,Accept n=2 at=1" << 2 << "--";
        QTest::newRow("second closed inside client-connect")
            << 2 << "close"
            << "ClientConnect n=2 at=1,ClientDisconnect n=2 at=1,Accept n=2 at=1" << 1 << "-E";
        QTest::newRow("peer of the only one closes") << 1 << "peer closes"
                                                     << "ClientDisconnect n=1 at=0" << 0 << "-";
        QTest::newRow("deactivating with two") << 2 << "deactivate"
                                               << "Disconnect active=0 n=0 self" << 0 << "EE";
    }
    void acceptOrder()
    {
        QFETCH(int, joiners);
        QFETCH(QString, then);
        QFETCH(QString, expected);
        QFETCH(int, remaining);
        QFETCH(QString, peersSee);
        const quint16 port = listen();
        QCOMPARE(hostLog.seen(), QStringLiteral("Lookup n=0 self,Listen n=0 self"));
        TServerWinSocket *listening = server->Socket();
        if (then == u"close") {
            listening->OnClientConnect = [listening, note = listening->OnClientConnect](QObject *s,
                                                                                        TCustomWinSocket *k) {
                note(s, k);
                if (listening->ActiveConnections() == 2 && k->SendText("busy") == 4)
                    k->Close();
            };
        }
        RawPeer peers[2];
        for (int i = 0; i < joiners; ++i) {
            hostLog.log.clear();
            QVERIFY(peers[i].connectTo(port));
            QTRY_VERIFY(hostLog.seen().contains(QLatin1String("Accept")));
        }
        if (then == u"peer closes" || then == u"deactivate") {
            hostLog.log.clear();
            then == u"deactivate" ? server->SetActive(false) : peers[0].close();
        }
        QTRY_COMPARE(hostLog.seen(), expected);
        QTRY_COMPARE(listening->ActiveConnections(), remaining);
        QVERIFY_THROWS_EXCEPTION(EListError, listening->Connections(remaining));
        QCOMPARE(server->Active(), then != u"deactivate");
        for (int i = 0; i < joiners; ++i) {
            if (peersSee[i] == u'E')
                QTRY_VERIFY(peers[i].pump() && peers[i].ended);
            else
                QVERIFY(!peers[i].pump() && !peers[i].ended);
        }
        QCOMPARE(peers[joiners - 1].received, QByteArray(then == u"close" ? "busy" : ""));
        QVERIFY(fakes->report.shown.isEmpty());
    }
    void refusedConnect_data()
    {
        QTest::addColumn<bool>("suppress");
        QTest::newRow("handler suppresses") << true;
        QTest::newRow("unsuppressed, reaches the report") << false;
    }
    void refusedConnect()
    {
        QFETCH(bool, suppress);
        joinLog.suppressErrors = suppress;
        aim(unusedPort());
        client->SetActive(true);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup"));
        QTRY_COMPARE(joinLog.log.size(), 3);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Error eeConnect %1").arg(ECONNREFUSED));
        QVERIFY(!client->Active());
        QCOMPARE(fakes->report.shown, suppress ? QStringList() : QStringList(asyncError(ECONNREFUSED)));
        // A new attempt starts straight away, and nothing of the refused one follows.
        joinLog.log.clear();
        aim(listen());
        client->SetActive(true);
        QTRY_VERIFY(client->Active());
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
    }

    void unresolvableHost()
    {
        aim(6767, "nobody.invalid");
        client->SetActive(true);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup"));
        QTRY_COMPARE(joinLog.seen(),
                     QStringLiteral("Lookup,Error eeLookup %1,Disconnect active=0").arg(EAI_NONAME));
        QCOMPARE(fakes->report.shown,
                 QStringList(windowsSocketError(EAI_NONAME, QStringLiteral("ASync Lookup"))));
        QVERIFY(!client->Socket()->Connected());
    }

    void bindOnAPortInUse()
    {
        RawListener other;
        server->SetPort(other.port);
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
        QTest::newRow("same port") << "Port"
                                   << "0" << false;
        QTest::newRow("other port") << "Port"
                                    << "1" << true;
        QTest::newRow("host, other case") << "Host"
                                          << "LocalHost" << false;
        QTest::newRow("other host") << "Host"
                                    << "example.invalid" << true;
        QTest::newRow("address, other case") << "Address"
                                             << "ABC" << false;
        QTest::newRow("other address") << "Address"
                                       << "10.0.0.1" << true;
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

    void idleAndClosedSockets()
    {
        TClientWinSocket *idle = client->Socket();
        QCOMPARE(idle->SendText("text"), 0);
        QCOMPARE(idle->ReceiveText(), QByteArray());
        QCOMPARE(idle->RemoteAddress(), QString());
        RawPeer joiner;
        TServerClientWinSocket *connection = join(joiner, listen());
        QVERIFY(connection);
        QCOMPARE(connection->ReceiveText(), QByteArray()); // nothing waiting
        QCOMPARE(connection->RemoteAddress(), QStringLiteral("127.0.0.1"));
        QString inside;
        server->Socket()->OnClientDisconnect = [&inside](QObject *, TCustomWinSocket *k) {
            inside = k->RemoteAddress();
        };
        connection->Close();
        QCOMPARE(inside, QStringLiteral("127.0.0.1")); // still open while the handler runs
        QCOMPARE(connection->RemoteAddress(), QString());
        QCOMPARE(connection->SendText("late"), 0);
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 0);
        QVERIFY(joinLog.log.isEmpty());
    }

    // A send the platform cannot take at once is kept and delivered whole, in order.
    void largeSendArrivesWholeThroughASlowReader()
    {
        int writes = 0;
        server->Socket()->OnClientWrite = [&writes](QObject *, TCustomWinSocket *) { ++writes; };
        RawPeer joiner;
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
        QTRY_VERIFY_WITH_TIMEOUT((joiner.pump(65536), joiner.received.size() >= big.size() + 4), 60000);
        QVERIFY(joiner.received == big + "tail");
        QTRY_COMPARE(connection->PendingOutput(), 0);
        QTRY_COMPARE(writes, 2); // once more when the queue drained
    }

    // The error reaches the report, the connection closes like any other and
    // the next joiner is the host's first again.
    void resetPeerFreesTheHost()
    {
        const quint16 port = listen();
        RawPeer joiner, next;
        QVERIFY(join(joiner, port));
        hostLog.log.clear();
        joiner.reset();
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 0);
        QCOMPARE(hostLog.seen(), QStringLiteral("ClientDisconnect n=1 at=0"));
        QCOMPARE(fakes->report.shown, QStringList(asyncError(ECONNRESET)));
        hostLog.log.clear();
        QVERIFY(join(next, port));
        QCOMPARE(hostLog.seen(), QStringLiteral("ClientConnect n=1 at=0,Accept n=1 at=0"));
    }

    void deactivatingDuringAPendingAttempt_data()
    {
        QTest::addColumn<bool>("connecting");
        QTest::addColumn<QString>("expected");
        QTest::newRow("resolving") << false << "Lookup,Disconnect active=0";
        QTest::newRow("connecting") << true << "Lookup,Connecting,Disconnect active=0";
    }
    void deactivatingDuringAPendingAttempt()
    {
        QFETCH(bool, connecting);
        QFETCH(QString, expected);
        const quint16 port = listen();
        RawListener full(0); // a listener whose queue is full leaves a connect hanging
        RawPeer fillers[3];
        for (RawPeer &f : fillers)
            QVERIFY(f.connectTo(full.port, true));
        aim(connecting ? full.port : port);
        client->SetActive(true);
        if (connecting)
            QTRY_COMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting"));
        QVERIFY(client->Socket()->AttemptPending());
        client->SetActive(false);
        QCOMPARE(joinLog.seen(), expected);
        QVERIFY(!client->Socket()->AttemptPending());
        // Room on the full listener and a second endpoint connecting all the way:
        // nothing of the abandoned attempt follows.
        ::fcntl(full.fd, F_SETFL, O_NONBLOCK);
        for (int fd; (fd = ::accept(full.fd, nullptr, nullptr)) >= 0;)
            ::close(fd);
        TClientSocket other;
        other.SetHost(QStringLiteral("127.0.0.1"));
        other.SetPort(port);
        other.SetActive(true);
        QTRY_VERIFY(other.Active());
        QTRY_COMPARE(server->Socket()->ActiveConnections(), 1);
        QCOMPARE(joinLog.seen(), expected);
    }

    void listeningAgainRightAfterAConversation()
    {
        const quint16 port = listen();
        aim(port);
        client->SetActive(true);
        QTRY_VERIFY(client->Active() && server->Socket()->ActiveConnections() == 1);
        QCOMPARE(joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
        QCOMPARE(client->Socket()->RemoteAddress(), QStringLiteral("127.0.0.1"));
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
        RawPeer next;
        QVERIFY(join(next, port));
    }

    void joinerArrivingWithNoDescriptorLeftIsTurnedAway()
    {
        const quint16 port = listen();
        hostLog.log.clear();
        // The joiner's socket exists before the process runs out of descriptors.
        RawPeer joiner;
        joiner.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(openDescriptors() + 32);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        QList<int> filler;
        for (int fd; (fd = ::dup(joiner.fd)) >= 0;)
            filler.append(fd);
        const bool connected = connectFd(joiner.fd, port);
        // The host cannot take it; it must close it rather than hear of it over and over.
        char byte = 0;
        const bool ended =
            connected && QTest::qWaitFor([&] { return ::recv(joiner.fd, &byte, 1, MSG_DONTWAIT) == 0; });
        for (int fd : filler)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(connected && ended);
        QCOMPARE(server->Socket()->ActiveConnections(), 0);
        QVERIFY(hostLog.log.isEmpty());
        RawPeer next; // with descriptors free again, the next joiner is taken as usual
        QVERIFY(join(next, port));
    }
};

QTEST_GUILESS_MAIN(TestConnections)
#include "tst_connections.moc"
