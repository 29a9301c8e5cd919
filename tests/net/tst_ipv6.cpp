// IPv6 in the connections layer, through real sockets and a real event loop:
// addresses as users type and read them, with host names inside a network
// namespace the test makes, and on a machine without IPv6 (in both cases the
// test program runs itself again, inside the namespace or with IPv6 sockets
// refused).
#include "net/hostlookup.h"
#include "net/socketaddress.h"
#include "tests/support/netns.h"
#include "tests/support/rawsocket.h"
#include "tests/support/socketlog.h"

#include <QTest>

#include <cerrno>
#include <memory>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

using namespace natter;
using test::RawSocket;

namespace {

const char *const kInNamespace = "--in-namespace";
const char *const kWithoutIpv6 = "--without-ipv6";

// A mode of this test program that cannot be set up where it runs.
constexpr int kCannotRun = 77;

// The names the namespace's hosts file gives. Its loopback interface also
// has 2001:db8::7 and 192.0.2.7.
const char *const kHostsFile = "::1 twofamilies.test\n"
                               "127.0.0.1 twofamilies.test\n"
                               "2001:db8::dead unroutable.test\n"
                               "127.0.0.1 unroutable.test\n"
                               "2001:db8::dead unreachable.test\n"
                               "2001:db8::beef unreachable.test\n";

// Runs this test program again after `launcher` (words), with `mode` in place
// of its name and the test functions `cases` (words too): its exit code.
int runAgain(const QString &launcher, const char *mode, const char *cases, QByteArray &printed)
{
    QStringList command = launcher.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    command << QCoreApplication::applicationFilePath() << QLatin1String(mode)
            << QString::fromLatin1(cases).split(QLatin1Char(' '));
    return test::runCommand(command, &printed, {}, 120000);
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

class TestIpv6 : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
        row("192.0.2.1 192.0.2.2 192.0.2.3 192.0.2.4 192.0.2.5 192.0.2.6 192.0.2.7 192.0.2.8 192.0.2.9 "
            "192.0.2.10 192.0.2.11",
            "192.0.2.1 192.0.2.2 192.0.2.3 192.0.2.4 192.0.2.5 192.0.2.6 192.0.2.7 192.0.2.8 192.0.2.9 "
            "192.0.2.10"); // at most ten
    }

    // What the user typed (addresses a name gave, in that order), as the
    // user reads it, in the order connecting tries them.
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

    void namesInANetworkNamespace()
    {
        if (!test::loopbackIpv6Works())
            QSKIP("this machine has no IPv6 loopback address");
        test::NamespaceRig rig(QStringLiteral("natter-ipv6"));
        const QString names = QStringLiteral("names");
        if (!rig.unavailable().isEmpty() || !rig.add(names) || !rig.hostsFile(names, kHostsFile) ||
            !rig.ip(names, QStringLiteral("addr add 2001:db8::7/128 dev lo nodad")) ||
            !rig.ip(names, QStringLiteral("addr add 192.0.2.7/32 dev lo")))
            QSKIP("cannot make a network namespace here (it takes root and 'ip netns')");
        QByteArray printed;
        const int result =
            runAgain(QStringLiteral("ip netns exec ") + rig.name(names), kInNamespace,
                     "aDeadFirstAddressGivesWayToALiveOne whenNoAddressAnswersTheErrorComesOnce", printed);
        QVERIFY2(result == 0, printed.constData());
    }

    void aMachineWithoutIpv6()
    {
        QByteArray printed;
        const int result = runAgain(
            {}, kWithoutIpv6, "theHostListensOnIpv4Alone anIpv6AddressFailsLikeAnyUnreachableHost", printed);
        if (result == kCannotRun)
            QSKIP("cannot refuse IPv6 sockets to a process here (seccomp filters)");
        QVERIFY2(result == 0, printed.constData());
    }
};

// The cases the ones above run in another process: inside the namespace
// (names from its hosts file), or where IPv6 sockets cannot be made.
class TestElsewhere : public QObject {
    Q_OBJECT
    std::unique_ptr<test::Endpoints> e;

private Q_SLOTS:
    void init()
    {
        e = std::make_unique<test::Endpoints>();
        e->joinLog.suppressErrors = true; // as the main window does
    }

    void cleanup() { e.reset(); }

    void aDeadFirstAddressGivesWayToALiveOne_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("silent"); // a listener with a full queue waits at ::1 on the port
        QTest::newRow("unroutable") << QStringLiteral("unroutable.test") << false;
        QTest::newRow("refused") << QStringLiteral("twofamilies.test") << false;
        QTest::newRow("silent") << QStringLiteral("twofamilies.test") << true;
    }

    void aDeadFirstAddressGivesWayToALiveOne()
    {
        QFETCH(QString, name);
        QFETCH(bool, silent);
        RawSocket live;
        RawSocket full;
        RawSocket filler;
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
        QVERIFY(e->fakes.report.shown.isEmpty());
    }

    void whenNoAddressAnswersTheErrorComesOnce()
    {
        e->join(QStringLiteral("unreachable.test"), 6767);
        QTRY_COMPARE(e->joinLog.seen(),
                     QStringLiteral("Lookup,Connecting,Connecting,Error eeConnect %1").arg(ENETUNREACH));
        QVERIFY(!e->client.Active());
        QVERIFY(!e->client.Socket()->AttemptPending());
    }

    void theHostListensOnIpv4Alone()
    {
        const quint16 port = e->listen();
        QCOMPARE(socketFamily(e->server.Socket()->SocketHandle()), AF_INET);
        e->join(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE(e->joinLog.seen(), QStringLiteral("Lookup,Connecting,Connect active=1"));
        QTRY_COMPARE(e->server.Socket()->ActiveConnections(), 1);
        QCOMPARE(e->server.Socket()->Connections(0)->RemoteAddress(), QStringLiteral("127.0.0.1"));
    }

    void anIpv6AddressFailsLikeAnyUnreachableHost()
    {
        e->join(QStringLiteral("::1"), e->listen());
        QTRY_COMPARE(e->joinLog.seen(), QStringLiteral("Lookup,Error eeConnect %1").arg(EAFNOSUPPORT));
        QVERIFY(!e->client.Active());
        QVERIFY(e->fakes.report.shown.isEmpty());
    }
};

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode == kWithoutIpv6 && !refuseIpv6Sockets())
        return kCannotRun;
    QCoreApplication app(argc, argv);
    if (mode == kInNamespace || mode == kWithoutIpv6) {
        TestElsewhere t;
        return QTest::qExec(&t, argc - 1, argv + 1); // the mode stands as the program's name
    }
    TestIpv6 t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_ipv6.moc"
