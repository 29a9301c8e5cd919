// test group: system
// A peer that vanishes without closing: two network namespaces joined by a
// veth pair, a host in one and a joiner in the other, each a real chat
// window; then every packet between them is dropped. Needs root and the ip
// and nft tools; skipped otherwise. The link timeouts are made short here;
// the figures a real connection uses are read back in the connections tests.

#include "net/linktimeouts.h"
#include "net/scktcomp.h"
#include "tests/support/chatprogram.h"
#include "tests/support/netns.h"

#include <QLineEdit>
#include <QtTest>

#include <memory>

using namespace natter;

namespace {

using Peer = test::ChatProgram;

const QString kHost = QStringLiteral("host");
const QString kJoiner = QStringLiteral("joiner");
const QString kHostAddress = QStringLiteral("10.213.0.1");
const QString kJoinerAddress = QStringLiteral("10.213.0.2");

} // namespace

class TestLostLink : public QObject {
    Q_OBJECT

    std::unique_ptr<test::NamespaceRig> m_rig;

    // Drops every packet in and out of the joiner's namespace.
    bool dropTheLink()
    {
        return m_rig->exec(kJoiner, {QStringLiteral("nft"), QStringLiteral("-f"), QStringLiteral("-")},
                           nullptr,
                           "table inet cut {\n"
                           "  chain in { type filter hook input priority 0; policy drop; }\n"
                           "  chain out { type filter hook output priority 0; policy drop; }\n"
                           "}\n") == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString unavailable = test::NamespaceRig::unavailable({QStringLiteral("nft")});
        if (!unavailable.isEmpty())
            QSKIP(qPrintable(unavailable));
        m_rig = std::make_unique<test::NamespaceRig>(QStringLiteral("natter-lost"));
        if (!m_rig->add(kHost) || !m_rig->add(kJoiner) ||
            !m_rig->link(kHost, kHostAddress + QStringLiteral("/24"), kJoiner,
                         kJoinerAddress + QStringLiteral("/24")))
            QSKIP("cannot make network namespaces joined by a veth pair");
    }

    void cleanupTestCase() { m_rig.reset(); }

    void init()
    {
        // Probes after 1 s of quiet, every second; 3 s without an answer ends it.
        setLinkTimeouts({1, 1, 3, 3000});
    }

    // The link comes back for the next case, whether this one passed or not.
    void cleanup()
    {
        setLinkTimeouts(kLinkTimeouts);
        m_rig->exec(kJoiner, {QStringLiteral("nft"), QStringLiteral("delete"), QStringLiteral("table"),
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
        const quint16 port = 6767; // each namespace has its own ports
        QVERIFY(m_rig->inside(kHost, [&] { host.listen(port); }));
        QCOMPARE(host.form.status(), QStringLiteral("Listening . . ."));
        // The joiner makes its socket once the address is known, so the whole
        // attempt runs in its namespace.
        QVERIFY(m_rig->inside(kJoiner, [&] {
            joiner.join(kHostAddress, port, host.code());
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
