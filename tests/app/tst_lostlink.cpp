// A peer that vanishes without closing: two network namespaces joined by a
// veth pair, a host in one and a joiner in the other, each a real chat
// window; then every packet between them is dropped. Needs root and the ip
// and nft tools; skipped otherwise. The link timeouts are made short here;
// the figures a real connection uses are read back in the connections tests.

#include "net/linktimeouts.h"
#include "net/scktcomp.h"
#include "tests/support/chatprogram.h"

#include <QLineEdit>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

using namespace natter;

namespace {

using Peer = test::ChatProgram;

bool run(const QString &program, const QStringList &arguments, const QByteArray &input = QByteArray())
{
    QProcess p;
    p.start(program, arguments);
    if (!input.isEmpty()) {
        p.write(input);
        p.closeWriteChannel();
    }
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Runs `action` with new sockets made in the namespace `name`.
template <typename Action> bool inNamespace(const QString &name, Action action)
{
    const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int there = ::open(qPrintable(QStringLiteral("/var/run/netns/") + name), O_RDONLY | O_CLOEXEC);
    const bool entered = home >= 0 && there >= 0 && ::setns(there, CLONE_NEWNET) == 0;
    if (entered)
        action();
    const bool back = home >= 0 && ::setns(home, CLONE_NEWNET) == 0;
    for (const int fd : {home, there}) {
        if (fd >= 0)
            ::close(fd);
    }
    return entered && back;
}

const QString kHostAddress = QStringLiteral("10.213.0.1");
const QString kJoinerAddress = QStringLiteral("10.213.0.2");

} // namespace

class TestLostLink : public QObject {
    Q_OBJECT

    QString m_hostNs;
    QString m_joinerNs;
    bool m_ready = false;

    bool ip(const QStringList &arguments) { return run(QStringLiteral("ip"), arguments); }

    // Drops every packet in and out of the joiner's namespace.
    bool dropTheLink()
    {
        const QByteArray rules = "table inet cut {\n"
                                 "  chain in { type filter hook input priority 0; policy drop; }\n"
                                 "  chain out { type filter hook output priority 0; policy drop; }\n"
                                 "}\n";
        return run(QStringLiteral("ip"),
                   {QStringLiteral("netns"), QStringLiteral("exec"), m_joinerNs, QStringLiteral("nft"),
                    QStringLiteral("-f"), QStringLiteral("-")},
                   rules);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("a dropped link needs network namespaces, which need root");
        const QString tag = QString::number(::getpid());
        m_hostNs = QStringLiteral("natter-host-") + tag;
        m_joinerNs = QStringLiteral("natter-join-") + tag;
        const QString hostEnd = QStringLiteral("nh") + tag;
        const QString joinerEnd = QStringLiteral("nj") + tag;
        m_ready = ip({QStringLiteral("netns"), QStringLiteral("add"), m_hostNs}) &&
                  ip({QStringLiteral("netns"), QStringLiteral("add"), m_joinerNs}) &&
                  ip({QStringLiteral("link"), QStringLiteral("add"), hostEnd, QStringLiteral("netns"),
                      m_hostNs, QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"),
                      QStringLiteral("name"), joinerEnd, QStringLiteral("netns"), m_joinerNs}) &&
                  ip({QStringLiteral("-n"), m_hostNs, QStringLiteral("addr"), QStringLiteral("add"),
                      kHostAddress + QStringLiteral("/24"), QStringLiteral("dev"), hostEnd}) &&
                  ip({QStringLiteral("-n"), m_joinerNs, QStringLiteral("addr"), QStringLiteral("add"),
                      kJoinerAddress + QStringLiteral("/24"), QStringLiteral("dev"), joinerEnd}) &&
                  ip({QStringLiteral("-n"), m_hostNs, QStringLiteral("link"), QStringLiteral("set"), hostEnd,
                      QStringLiteral("up")}) &&
                  ip({QStringLiteral("-n"), m_joinerNs, QStringLiteral("link"), QStringLiteral("set"),
                      joinerEnd, QStringLiteral("up")}) &&
                  run(QStringLiteral("nft"), {QStringLiteral("--version")});
        if (!m_ready)
            QSKIP("cannot make network namespaces joined by a veth pair, or nft is missing");
    }

    void cleanupTestCase()
    {
        for (const QString &ns : {m_hostNs, m_joinerNs}) {
            if (!ns.isEmpty())
                ip({QStringLiteral("netns"), QStringLiteral("del"), ns});
        }
    }

    void init()
    {
        // Probes after 1 s of quiet, every second; 3 s without an answer ends it.
        setLinkTimeouts({1, 1, 3, 3000});
    }

    // The link comes back for the next case, whether this one passed or not.
    void cleanup()
    {
        setLinkTimeouts(kLinkTimeouts);
        run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), m_joinerNs,
                                   QStringLiteral("nft"), QStringLiteral("delete"), QStringLiteral("table"),
                                   QStringLiteral("inet"), QStringLiteral("cut")});
    }

    void aVanishedPeerIsNoticedOnBothSides_data()
    {
        QTest::addColumn<bool>("hostSends");
        QTest::newRow("idle") << false;
        QTest::newRow("while the host sends") << true;
    }

    void aVanishedPeerIsNoticedOnBothSides()
    {
        QFETCH(bool, hostSends);
        Peer host;
        Peer joiner;
        const QString port = QStringLiteral("6767"); // each namespace has its own ports
        host.fakes.prompt.answer(QStringLiteral("ann"));
        host.fakes.prompt.answer(port);
        QVERIFY(inNamespace(m_hostNs, [&] { host.form.Listen1Click(); }));
        QCOMPARE(host.form.status(), QStringLiteral("Listening . . ."));
        joiner.fakes.prompt.answer(QStringLiteral("bob"));
        joiner.fakes.prompt.answer(port);
        joiner.fakes.prompt.answer(kHostAddress);
        joiner.fakes.prompt.answer(host.code());
        // The joiner makes its socket once the address is known, so the whole
        // attempt runs in its namespace.
        QVERIFY(inNamespace(m_joinerNs, [&] {
            joiner.form.Connect1Click();
            static_cast<void>(QTest::qWaitFor(
                [&] { return joiner.form.status() == QStringLiteral("Connected to: ") + kHostAddress; }));
        }));
        QCOMPARE(joiner.form.status(), QStringLiteral("Connected to: ") + kHostAddress);
        QTRY_COMPARE(host.form.status(), QStringLiteral("Connected from: ") + kJoinerAddress);
        QTRY_COMPARE(joiner.form.SecurityPanel->text(), QStringLiteral("Encrypted"));

        QVERIFY(dropTheLink());
        if (hostSends) {
            host.form.Entry->setText(QStringLiteral("are you there?"));
            host.form.PanelClick();
        }

        const TranscriptLine lost{QStringLiteral("Connection lost: the other computer stopped answering."),
                                  colours::kSystem};
        QTRY_COMPARE_WITH_TIMEOUT(host.form.status(), QStringLiteral("Listening . . ."), 30000);
        QCOMPARE(host.lastLine(), lost);
        QTRY_COMPARE_WITH_TIMEOUT(joiner.form.status(), QStringLiteral("Disconnected"), 30000);
        QCOMPARE(joiner.lastLine(), lost);
        QCOMPARE(host.fakes.report.shown, QStringList());
        QCOMPARE(joiner.fakes.report.shown, QStringList());
    }
};

QTEST_MAIN(TestLostLink)
#include "tst_lostlink.moc"
