// The connections layer through real sockets and a real event loop: on this
// machine's loopback, IPv4 and IPv6; on a machine without IPv6 and with host
// names inside a network namespace the test makes (for those rows the test
// program runs itself again, with IPv6 sockets refused or inside the
// namespace); and the addresses as users type and read them.

#include "net/hostlookup.h"
#include "net/scktcomp.h"
#include "tests/support/fakeservices.h"
#include "tests/support/netns.h"
#include "tests/support/rawsocket.h"

#include <QDir>
#include <QTest>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netdb.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

using namespace natter;

namespace {

// Where a copy of this program started again runs its row: "without-ipv6"
// (IPv6 sockets refused) or "in-namespace" (with the host names below).
const char *const kWhere = "NATTER_NET_TEST_WHERE";

// What that copy returns when it cannot refuse IPv6 sockets.
constexpr int kCannotRun = 77;

// The names the namespace's hosts file gives. Its loopback interface also
// has 2001:db8::7 and 192.0.2.7, so the resolver gives both families.
const char *const kHostsFile = "::1 twofamilies.test\n"
                               "127.0.0.1 twofamilies.test\n"
                               "2001:db8::dead unroutable.test\n"
                               "127.0.0.1 unroutable.test\n"
                               "2001:db8::dead unreachable.test\n"
                               "2001:db8::beef unreachable.test\n";

qsizetype openFds()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size();
}

// From here on, this process cannot make IPv6 sockets, as on a machine
// without IPv6: socket(AF_INET6, ...) fails with EAFNOSUPPORT.
bool refuseIpv6Sockets()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof filter / sizeof filter[0], filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program) == 0;
}

// What an endpoint's handlers were called with, in order, as text.
struct EventRecorder {
    QStringList log;
    QByteArray received; // what the read handlers took
    int largestRead = 0;
    bool suppressErrors = false;

    QString seen() const { return log.join(QLatin1Char(',')); }

    void attach(TCustomSocket &endpoint, TServerWinSocket *listening = nullptr)
    {
        const auto note = [this, &endpoint](QString line) {
            if (line == u"Connect" || line == u"Disconnect")
                line += QStringLiteral(" active=%1").arg(endpoint.Active());
            log.append(line);
        };
        const auto on = [note](const char *name) -> TSocketNotifyEvent {
            return [note, name](QObject *, TCustomWinSocket *) { note(QLatin1String(name)); };
        };
        const TSocketErrorEvent onError = [this, note](QObject *, TCustomWinSocket *, TErrorEvent e,
                                                       int &code) {
            const char *const names[] = {"General",    "Send",   "Receive", "Connect",
                                         "Disconnect", "Accept", "Lookup"};
            note(QStringLiteral("Error ee%1 %2").arg(QLatin1String(names[int(e)])).arg(code));
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
};

// One listening endpoint and one client endpoint, as the main window has,
// each with its log, and the scripted services their reports reach.
struct Endpoints {
    test::FakeServices fakes;
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

} // namespace

class TestConnections : public QObject {
    Q_OBJECT

    std::unique_ptr<Endpoints> e;
    qsizetype baseline = 0;

    // Connects `peer` and waits until the host has listed it.
    TServerClientWinSocket *join(test::RawSocket &peer, quint16 port)
    {
        TServerWinSocket *listening = e->server.Socket();
        const int before = listening->ActiveConnections();
        if (!peer.connectTo(port) ||
            !QTest::qWaitFor([&] { return listening->ActiveConnections() > before; }))
            return nullptr;
        return listening->Connections(before);
    }

    // Runs the current row again in a copy of this program `where` it needs.
    void runElsewhere(const QByteArray &where)
    {
        test::NamespaceRig rig(QStringLiteral("natter-net"));
        const QString names = QStringLiteral("names");
        const bool inside = where == "in-namespace";
        if (inside && (!test::loopbackIpv6Works() || !rig.unavailable().isEmpty() || !rig.add(names) ||
                       !rig.hostsFile(names, kHostsFile) ||
                       !rig.ip(names, QStringLiteral("addr add 2001:db8::7/128 dev lo nodad")) ||
                       !rig.ip(names, QStringLiteral("addr add 192.0.2.7/32 dev lo"))))
            QSKIP("cannot make a network namespace with IPv6 here (it takes root and 'ip netns')");
        const QStringList command{QCoreApplication::applicationFilePath(),
                                  QLatin1String(QTest::currentTestFunction()) + u':' +
                                      QLatin1String(QTest::currentDataTag())};
        QByteArray printed;
        qputenv(kWhere, where);
        const int result = inside ? rig.exec(names, command, &printed) : test::runCommand(command, &printed);
        qunsetenv(kWhere);
        if (result == kCannotRun)
            QSKIP("cannot refuse IPv6 sockets to a process here (seccomp filters)");
        QVERIFY2(result == 0, printed.constData());
    }

private Q_SLOTS:
    void init()
    {
        baseline = openFds();
        e = std::make_unique<Endpoints>();
    }

    void cleanup()
    {
        e.reset();
        if (qgetenv(kWhere) != "in-namespace") // where Qt's resolver keeps a thread with a descriptor
            QTRY_COMPARE(openFds(), baseline); // every socket of the case is closed again
    }

    void addressesAsShownInTheOrderTried_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown"); // empty: not a numeric address
        const auto row = [](const char *typed, const char *shown) {
            QTest::newRow(typed) << QString::fromLatin1(typed) << QString::fromLatin1(shown);
        };
        row("192.0.2.7", "192.0.2.7");
        row("::ffff:192.0.2.7", "192.0.2.7"); // an IPv4 peer of a dual-stack socket
        row("2001:DB8:0:0:0:0:0:7", "2001:db8::7");
        row("[2001:db8::7]", "2001:db8::7");
        row("2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1");    // the first of equal runs
        row("2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"); // one zero group stays
        row("::102:304", "::102:304");
        row("fe80::1%1", "fe80::1%lo");
        row("fe80::1%no-such-interface", "");
        row("[192.0.2.7]", "");
        row("example.org", "");
        // IPv6 first, then the families alternately, each in its order
        row("192.0.2.1 192.0.2.2 2001:db8::1 2001:db8::2 2001:db8::3",
            "2001:db8::1 192.0.2.1 2001:db8::2 192.0.2.2 2001:db8::3");
        row("192.0.2.1 192.0.2.1 ::1 ::1", "::1 192.0.2.1"); // repeats dropped
        row("::1 ::2 ::3 ::4 ::5 ::6 ::7 ::8 ::9 ::a ::b",
            "::1 ::2 ::3 ::4 ::5 ::6 ::7 ::8 ::9 ::a"); // ten at most
    }

    // What the user typed (or the addresses a name gave, in that order), as
    // the user reads it, in the order connecting tries it.
    void addressesAsShownInTheOrderTried()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QList<SocketAddress> addresses;
        for (const QString &text : typed.split(QLatin1Char(' '))) {
            if (const std::optional<SocketAddress> address = SocketAddress::fromText(text))
                addresses.append(*address);
        }
        QStringList order;
        for (const SocketAddress &a : connectingOrder(addresses))
            order.append(a.text());
        QCOMPARE(order.join(QLatin1Char(' ')), shown);
    }

    void aConversation_data()
    {
        QTest::addColumn<QByteArray>("where");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown"); // by either side, as the other's address
        QTest::newRow("IPv4") << QByteArray() << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6") << QByteArray() << QStringLiteral("[::1]") << QStringLiteral("::1");
        QTest::newRow("IPv4 where IPv6 sockets cannot be made")
            << QByteArray("without-ipv6") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
    }

    // The host listens on one socket for both families (IPv4 alone where
    // there is no IPv6), bytes go both ways unchanged, and the host that ends
    // the conversation can listen on its port again at once.
    void aConversation()
    {
        QFETCH(QByteArray, where);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        if (where != qgetenv(kWhere))
            return runElsewhere(where);
        if (shown == u"::1" && !test::loopbackIpv6Works())
            QSKIP("this machine has no IPv6 loopback address");
        const test::HeldPort port;
        QCOMPARE(e->listen(port.port), port.port);
        QCOMPARE(socketFamily(e->server.Socket()->SocketHandle()), where.isEmpty() ? AF_INET6 : AF_INET);
        e->join(typed, port.port);
        QTRY_VERIFY(e->client.Active() && e->server.Socket()->ActiveConnections() == 1);
        TCustomWinSocket *joiner = e->client.Socket();
        TCustomWinSocket *host = e->server.Socket()->Connections(0);
        QCOMPARE(joiner->RemoteAddress(), shown);
        QCOMPARE(host->RemoteAddress(), shown);

        QCOMPARE(joiner->SendText("\x01hello\xff"), 7);
        QTRY_COMPARE(e->hostLog.received, QByteArray("\x01hello\xff"));
        QCOMPARE(host->SendText("back"), 4);
        QTRY_COMPARE(e->joinLog.received, QByteArray("back"));

        e->server.SetActive(false); // the host closes first, so its side lingers
        QCOMPARE(e->hostLog.seen(),
                 QStringLiteral("Lookup,ClientConnect,Disconnect active=0")); // its connection silently
        QTRY_COMPARE(e->joinLog.seen(),
                     QStringLiteral("Lookup,Connecting,Connect active=1,Disconnect active=0"));
        QCOMPARE(e->listen(port.port), port.port);
        test::RawSocket next;
        QVERIFY(join(next, port.port));
        QCOMPARE(e->fakes.report.shown, QStringList());
    }

    void failedAttempt_data()
    {
        QTest::addColumn<QByteArray>("where");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("report"); // none: the error handler suppresses it

        QTest::newRow("refused") << QByteArray() << QStringLiteral("127.0.0.1")
                                 << QStringLiteral("Lookup,Connecting,Error eeConnect %1").arg(ECONNREFUSED)
                                 << QStringList(
                                        QStringLiteral("Asynchronous socket error %1.").arg(ECONNREFUSED));
        QTest::newRow("unresolvable")
            << QByteArray() << QStringLiteral("nobody.invalid")
            << QStringLiteral("Lookup,Error eeLookup %1,Disconnect active=0").arg(EAI_NONAME)
            << QStringList(windowsSocketError(EAI_NONAME, QStringLiteral("ASync Lookup")));
        QTest::newRow("IPv6 where IPv6 sockets cannot be made")
            << QByteArray("without-ipv6") << QStringLiteral("::1")
            << QStringLiteral("Lookup,Error eeConnect %1").arg(EAFNOSUPPORT) << QStringList();
        QTest::newRow("a name none of whose addresses answers: the error comes once")
            << QByteArray("in-namespace") << QStringLiteral("unreachable.test")
            << QStringLiteral("Lookup,Connecting,Connecting,Error eeConnect %1").arg(ENETUNREACH)
            << QStringList();
    }

    void failedAttempt()
    {
        QFETCH(QByteArray, where);
        QFETCH(QString, host);
        QFETCH(QString, events);
        QFETCH(QStringList, report);
        if (where != qgetenv(kWhere))
            return runElsewhere(where);
        e->joinLog.suppressErrors = report.isEmpty();
        const test::HeldPort unused; // a port nothing listens on

        e->join(host, unused.port);

        QCOMPARE(e->joinLog.seen(), QStringLiteral("Lookup")); // the rest comes through the event loop
        QTRY_COMPARE(e->joinLog.seen(), events);
        QVERIFY(!e->client.Active());
        QVERIFY(!e->client.Socket()->AttemptPending());
        QCOMPARE(e->fakes.report.shown, report);
    }

    void aNameWithADeadFirstAddress_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("silent"); // a listener with a full queue waits at ::1 on the port
        QTest::newRow("unroutable") << QStringLiteral("unroutable.test") << false;
        QTest::newRow("refused") << QStringLiteral("twofamilies.test") << false;
        QTest::newRow("silent") << QStringLiteral("twofamilies.test") << true;
    }

    // The next of the name's addresses is tried, inside the namespace.
    void aNameWithADeadFirstAddress()
    {
        QFETCH(QString, name);
        QFETCH(bool, silent);
        if (qgetenv(kWhere) != "in-namespace")
            return runElsewhere("in-namespace");
        test::RawSocket live, full, filler;
        const quint16 port = live.listen("127.0.0.1");
        if (silent) { // a listener whose queue is full leaves a connect hanging
            QCOMPARE(full.listen("::1", port, 0), port);
            QVERIFY(filler.connectTo("::1", port));
        }
        e->join(name, port);
        QTRY_COMPARE_WITH_TIMEOUT(e->joinLog.seen(),
                                  QStringLiteral("Lookup,Connecting,Connecting,Connect active=1"),
                                  kAttemptLimitMs + 5000);
        QCOMPARE(e->client.Socket()->RemoteAddress(), QStringLiteral("127.0.0.1"));
    }

    // What the platform cannot take at once waits and goes out whole; what
    // arrives is taken in reads of at most 64 KiB and counted.
    void aLargeTransferEachWay()
    {
        test::RawSocket joiner;
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
        // Their sockets exist before the process runs out of descriptors.
        test::RawSocket joiner(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        test::RawSocket next(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
        QCOMPARE(e->hostLog.seen(), QStringLiteral("Lookup")); // never announced
        QVERIFY(join(next, port)); // with descriptors free again, the next joiner is taken as usual
    }
};

int main(int argc, char **argv)
{
    if (qgetenv(kWhere) == "without-ipv6" && !refuseIpv6Sockets())
        return kCannotRun;
    QCoreApplication app(argc, argv);
    TestConnections t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_connections.moc"
