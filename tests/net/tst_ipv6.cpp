// IPv6 in the connections layer, through real sockets and a real event loop:
// on ::1 here, and with host names inside a network namespace the test makes
// (the test program runs itself again inside it), and on a machine without
// IPv6 (the test program runs itself again with IPv6 sockets refused).
#include "net/scktcomp.h"
#include "net/socketaddress.h"
#include "tests/support/fakeservices.h"
#include "tests/support/netns.h"
#include "tests/support/rawsocket.h"
#include "tests/support/socketlog.h"

#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace natter;
using test::loopbackIpv6Works;
using test::RawSocket;

namespace {

const char *const kInNamespace = "--in-namespace";
const char *const kWithoutIpv6 = "--without-ipv6";

// The names the namespace's hosts file gives. Its loopback interface also
// has 2001:db8::7 and 192.0.2.7.
const char *const kHostsFile = "::1 twofamilies.test\n"
                               "127.0.0.1 twofamilies.test\n"
                               "2001:db8::dead unroutable.test\n"
                               "127.0.0.1 unroutable.test\n"
                               "2001:db8::dead unreachable.test\n"
                               "2001:db8::beef unreachable.test\n";

// One client endpoint and one listening endpoint, as the main window has.
struct Endpoints {
    test::FakeServices fakes;
    TServerSocket server;
    TClientSocket client;
    test::EventRecorder log; // the joiner's
    Endpoints()
    {
        log.attach(client);
        log.suppressErrors = true; // as the main window does
    }
    QString hostSaw(int i) { return server.Socket()->Connections(i)->RemoteAddress(); }
    quint16 listen()
    {
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

// A mode of this test program that cannot be set up where it runs.
constexpr int kCannotRun = 77;

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '));
}

// Runs this test program again, after `launcher`, in the mode `mode`.
int runAgain(const QStringList &launcher, const char *mode, QString &output)
{
    QByteArray printed;
    const int result =
        test::runCommand(launcher + QStringList{QCoreApplication::applicationFilePath(), QLatin1String(mode)},
                         &printed, {}, 120000);
    output = QString::fromLocal8Bit(printed);
    return result;
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

} // namespace

// ---------------------------------------------------------------------------
// On this machine's loopback

class TestIpv6 : public QObject {
    Q_OBJECT
    std::unique_ptr<Endpoints> e;

private Q_SLOTS:
    void init() { e = std::make_unique<Endpoints>(); }
    void cleanup() { e.reset(); }

    void addressTexts_data()
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
        row("::1", "::1");
        row("fe80::1%1", "fe80::1%lo");
        row("fe80::1%no-such-interface", "");
        row("[192.0.2.7]", "");
        row("example.org", "");
    }
    void addressTexts()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        const std::optional<SocketAddress> address = SocketAddress::fromText(typed);
        QCOMPARE(address ? address->text() : QString(), shown);
    }

    void connectingOrder_data()
    {
        QTest::addColumn<QString>("resolved");
        QTest::addColumn<QString>("tried");
        QTest::newRow("IPv6 first") << "192.0.2.1 2001:db8::1"
                                    << "2001:db8::1 192.0.2.1";
        QTest::newRow("alternately, each family in order")
            << "192.0.2.1 192.0.2.2 2001:db8::1 2001:db8::2 2001:db8::3"
            << "2001:db8::1 192.0.2.1 2001:db8::2 192.0.2.2 2001:db8::3";
        QTest::newRow("repeats dropped") << "192.0.2.1 192.0.2.1 ::1 ::1"
                                         << "::1 192.0.2.1";
        QTest::newRow("at most ten") << "192.0.2.1 192.0.2.2 192.0.2.3 192.0.2.4 192.0.2.5 192.0.2.6 "
                                        "192.0.2.7 192.0.2.8 192.0.2.9 192.0.2.10 192.0.2.11"
                                     << "192.0.2.1 192.0.2.2 192.0.2.3 192.0.2.4 192.0.2.5 192.0.2.6 "
                                        "192.0.2.7 192.0.2.8 192.0.2.9 192.0.2.10";
    }
    void connectingOrder()
    {
        QFETCH(QString, resolved);
        QFETCH(QString, tried);
        QList<SocketAddress> addresses;
        for (const QString &text : resolved.split(QLatin1Char(' ')))
            addresses.append(*SocketAddress::fromText(text));
        QStringList order;
        for (const SocketAddress &a : natter::connectingOrder(addresses))
            order.append(a.text());
        QCOMPARE(order.join(QLatin1Char(' ')), tried);
    }

    void namesInANetworkNamespace()
    {
        if (!loopbackIpv6Works())
            QSKIP("this machine has no IPv6 loopback address");
        test::NamespaceRig rig(QStringLiteral("natter-ipv6"));
        const QString names = QStringLiteral("names");
        if (!rig.unavailable().isEmpty() || !rig.add(names) || !rig.hostsFile(names, kHostsFile) ||
            !rig.ip(names, QStringLiteral("addr add 2001:db8::7/128 dev lo nodad")) ||
            !rig.ip(names, QStringLiteral("addr add 192.0.2.7/32 dev lo")))
            QSKIP("cannot make a network namespace here (it takes root and 'ip netns')");
        QString output;
        const int result = runAgain(words("ip netns exec") << rig.name(names), kInNamespace, output);
        QVERIFY2(result == 0, qPrintable(output));
    }

    void aMachineWithoutIpv6()
    {
        QString output;
        const int result = runAgain({}, kWithoutIpv6, output);
        if (result == kCannotRun)
            QSKIP("cannot refuse IPv6 sockets to a process here (seccomp filters)");
        QVERIFY2(result == 0, qPrintable(output));
    }
};

// ---------------------------------------------------------------------------
// Inside the namespace: names from its hosts file

class TestNamesInNamespace : public QObject {
    Q_OBJECT
    std::unique_ptr<Endpoints> e;

private Q_SLOTS:
    void init() { e = std::make_unique<Endpoints>(); }
    void cleanup() { e.reset(); }

    void aDeadFirstAddressGivesWayToALiveOne_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("onIpv6"); // what waits at ::1 on the port
        QTest::newRow("unroutable") << "unroutable.test"
                                    << "";
        QTest::newRow("refused") << "twofamilies.test"
                                 << "";
        QTest::newRow("silent") << "twofamilies.test"
                                << "a full queue";
    }
    void aDeadFirstAddressGivesWayToALiveOne()
    {
        QFETCH(QString, name);
        QFETCH(QString, onIpv6);
        RawSocket live, silent, filler;
        const quint16 port = live.listen("127.0.0.1", 0, 1);
        if (!onIpv6.isEmpty()) { // a listener whose queue is full leaves a connect hanging
            QCOMPARE(silent.listen("::1", port, 0), port);
            QVERIFY(filler.connectTo("::1", port));
        }
        e->join(name, port);
        QTRY_COMPARE_WITH_TIMEOUT(e->log.seen(),
                                  QStringLiteral("Lookup,Connecting,Connecting,Connect active=1"),
                                  kAttemptLimitMs + 5000);
        QCOMPARE(e->client.Socket()->RemoteAddress(), QStringLiteral("127.0.0.1"));
        QVERIFY(e->fakes.report.shown.isEmpty());
    }

    void whenNoAddressAnswersTheErrorComesOnce()
    {
        e->join(QStringLiteral("unreachable.test"), 6767);
        QTRY_COMPARE(e->log.seen(),
                     QStringLiteral("Lookup,Connecting,Connecting,Error eeConnect %1").arg(ENETUNREACH));
        QVERIFY(!e->client.Active());
        QVERIFY(!e->client.Socket()->AttemptPending());
    }
};

// ---------------------------------------------------------------------------
// Where IPv6 sockets cannot be made

class TestWithoutIpv6 : public QObject {
    Q_OBJECT
    std::unique_ptr<Endpoints> e;

private Q_SLOTS:
    void init() { e = std::make_unique<Endpoints>(); }
    void cleanup() { e.reset(); }

    void theHostListensOnIpv4Alone()
    {
        const quint16 port = e->listen();
        QVERIFY(e->server.Active());
        QCOMPARE(socketFamily(e->server.Socket()->SocketHandle()), AF_INET);
        e->join(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE(e->log.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
        QTRY_COMPARE(e->server.Socket()->ActiveConnections(), 1);
        QCOMPARE(e->hostSaw(0), QStringLiteral("127.0.0.1"));
    }

    void anIpv6AddressFailsLikeAnyUnreachableHost()
    {
        e->join(QStringLiteral("::1"), e->listen());
        QTRY_COMPARE(e->log.seen(), QStringLiteral("Lookup,Error eeConnect %1").arg(EAFNOSUPPORT));
        QVERIFY(!e->client.Active());
        QVERIFY(e->fakes.report.shown.isEmpty());
    }
};

int main(int argc, char **argv)
{
    const bool inNamespace = argc > 1 && std::strcmp(argv[1], kInNamespace) == 0;
    const bool withoutIpv6 = argc > 1 && std::strcmp(argv[1], kWithoutIpv6) == 0;
    if (withoutIpv6 && !refuseIpv6Sockets())
        return kCannotRun;
    QCoreApplication app(argc, argv);
    char *only[] = {argv[0], nullptr};
    if (inNamespace) {
        TestNamesInNamespace t;
        return QTest::qExec(&t, 1, only);
    }
    if (withoutIpv6) {
        TestWithoutIpv6 t;
        return QTest::qExec(&t, 1, only);
    }
    TestIpv6 t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_ipv6.moc"
