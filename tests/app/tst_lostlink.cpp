// test group: system
// A peer that vanishes without closing: two network namespaces joined by a
// veth pair, a host in one and a joiner in the other, each a real chat
// window; then every packet between them is dropped. Needs root and the ip
// and nft tools; skipped otherwise. The link timeouts are made short here;
// the figures a real connection uses are read back in the connections tests.

#include "net/linktimeouts.h"
#include "tests/support/chatprogram.h"
#include "tests/support/netns.h"

#include <QtTest>

#include <memory>

using namespace natter;

class TestLostLink : public QObject {
    Q_OBJECT

    const QString m_hostAddress = QStringLiteral("10.213.0.1");
    const QString m_joinerAddress = QStringLiteral("10.213.0.2");
    std::unique_ptr<test::NamespaceRig> m_rig;

private Q_SLOTS:
    void initTestCase()
    {
        const QString unavailable = test::NamespaceRig::unavailable({QStringLiteral("nft")});
        if (!unavailable.isEmpty())
            QSKIP(qPrintable(unavailable));
        m_rig = std::make_unique<test::NamespaceRig>(QStringLiteral("natter-lost"));
        if (!m_rig->add(QStringLiteral("host")) || !m_rig->add(QStringLiteral("joiner")) ||
            !m_rig->link(QStringLiteral("host"), m_hostAddress + QStringLiteral("/24"),
                         QStringLiteral("joiner"), m_joinerAddress + QStringLiteral("/24")))
            QSKIP("cannot make network namespaces joined by a veth pair");
    }

    void cleanupTestCase() { m_rig.reset(); }

    // Probes after 1 s of quiet, every second; 3 s without an answer ends it.
    void init() { setLinkTimeouts({1, 1, 3, 3000}); }

    // The link comes back for the next case, whether this one passed or not.
    void cleanup()
    {
        setLinkTimeouts(kLinkTimeouts);
        m_rig->exec(QStringLiteral("joiner"), QStringLiteral("nft delete table inet cut").split(u' '));
    }

    // Idle, only the keepalive probes notice; while the host sends, the
    // user timeout on its unanswered line does.
    void aVanishedPeerIsNoticedOnBothSides_data()
    {
        QTest::addColumn<bool>("hostSends");
        QTest::newRow("idle") << false;
        QTest::newRow("while the host sends") << true;
    }

    void aVanishedPeerIsNoticedOnBothSides()
    {
        QFETCH(bool, hostSends);
        test::ChatProgram host;
        test::ChatProgram joiner;
        const quint16 port = 6767; // each namespace has its own ports
        QVERIFY(m_rig->inside(QStringLiteral("host"), [&] { host.listen(port); }));
        // The joiner makes its socket once the address is known, so the whole
        // attempt runs in its namespace.
        const QString connected = QStringLiteral("Connected to: ") + m_hostAddress;
        QVERIFY(m_rig->inside(QStringLiteral("joiner"), [&] {
            joiner.join(m_hostAddress, port, host.code());
            static_cast<void>(QTest::qWaitFor([&] { return joiner.form.status() == connected; }));
        }));
        QCOMPARE(joiner.form.status(), connected);
        QTRY_COMPARE(host.form.status(), QStringLiteral("Connected from: ") + m_joinerAddress);
        QTRY_COMPARE(joiner.form.SecurityPanel->text(), QStringLiteral("Encrypted"));

        // Every packet in and out of the joiner's namespace is dropped.
        QCOMPARE(m_rig->exec(QStringLiteral("joiner"), QStringLiteral("nft -f -").split(u' '), nullptr,
                             "table inet cut {\n"
                             "  chain in { type filter hook input priority 0; policy drop; }\n"
                             "  chain out { type filter hook output priority 0; policy drop; }\n"
                             "}\n"),
                 0);
        if (hostSends)
            host.type(QStringLiteral("are you there?"));

        const TranscriptLine lost{QStringLiteral("Connection lost: the other computer stopped answering."),
                                  colours::kSystem};
        // Both rows failing stay within a minute, so the namespaces are
        // still removed by the program itself.
        QTRY_COMPARE_WITH_TIMEOUT(host.form.status(), QStringLiteral("Listening . . ."), 15000);
        QCOMPARE(host.lastLine(), lost);
        QTRY_COMPARE_WITH_TIMEOUT(joiner.form.status(), QStringLiteral("Disconnected"), 15000);
        QCOMPARE(joiner.lastLine(), lost);
        QCOMPARE(host.fakes.report.shown, QStringList());
        QCOMPARE(joiner.fakes.report.shown, QStringList());
    }
};

QTEST_MAIN(TestLostLink)
#include "tst_lostlink.moc"
