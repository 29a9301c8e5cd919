// test group: system
// Port mapping on the home router, against a real miniupnpd in network
// namespaces (tests/router): the host in "home", the router between a
// private LAN and a documentation-range WAN, a joiner on the Internet side.
#include "net/scktcomp.h"
#include "router/portmapping.h"
#include "tests/router/routerrig.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

using namespace natter;
using namespace natter::testing;
using Kind = PortMappingOutcome::Kind;

Q_DECLARE_METATYPE(natter::PortMappingOutcome)

namespace {

constexpr quint16 kPort = 6767;
constexpr int kAnswerMs = 15000;

QString forwarded(quint16 external)
{
    return QStringLiteral("%1 -> %2:%3").arg(external).arg(QLatin1String(kHomeAddress)).arg(kPort);
}

} // namespace

// Skips where the namespaces cannot be made; starts miniupnpd with these
// options on the router.
#define START_ROUTER(...)                                                                                    \
    do {                                                                                                     \
        if (!m_unavailable.isEmpty())                                                                        \
            QSKIP(qPrintable(m_unavailable));                                                                \
        QVERIFY2(m_rig->startRouter(__VA_ARGS__), "miniupnpd did not start in the router namespace");        \
    } while (false)

class TestPortMapping : public QObject {
    Q_OBJECT

    std::unique_ptr<RouterRig> m_rig;
    QString m_unavailable;
    std::unique_ptr<TServerSocket> m_host;
    QByteArray m_hostReceived;

    // The host listening on kPort in "home", echoing what arrives with
    // "host: " in front.
    void listen()
    {
        m_host = std::make_unique<TServerSocket>();
        m_hostReceived.clear();
        m_host->Socket()->OnClientRead = [this](QObject *, TCustomWinSocket *socket) {
            const QByteArray text = socket->ReceiveText();
            m_hostReceived += text;
            socket->SendText("host: " + text);
        };
        m_host->SetPort(kPort);
        m_host->SetActive(true);
    }

    // A joiner on the Internet side says hello through the router's
    // external port and hears the host answer.
    bool converses(quint16 external)
    {
        const int fd = m_rig->connectFromInternet(external);
        if (fd < 0)
            return false;
        QTcpSocket joiner;
        joiner.setSocketDescriptor(fd);
        joiner.write("hello");
        QByteArray heard;
        const bool answered = QTest::qWaitFor(
            [&] {
                heard += joiner.readAll();
                return heard == "host: hello";
            },
            5000);
        return answered && m_hostReceived == "hello";
    }

    static PortMappingOutcome awaitAnswer(PortMapper &mapper)
    {
        (void)QTest::qWaitFor([&] { return mapper.outcome().kind != Kind::Looking; }, kAnswerMs);
        return mapper.outcome();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_rig = std::make_unique<RouterRig>();
        m_unavailable = m_rig->up();
        if (m_unavailable.isEmpty() && !m_rig->enterHome())
            m_unavailable = QStringLiteral("cannot enter the home namespace");
        if (!m_unavailable.isEmpty())
            qWarning("router tests skip: %s", qPrintable(m_unavailable));
    }

    void cleanupTestCase() { m_rig.reset(); }

    void cleanup()
    {
        m_host.reset();
        if (m_rig)
            m_rig->stopRouter();
    }

    // Another mapping holds external port 6767 already: over UPnP for the
    // computer next door, over NAT-PMP for another service on this one.
    void aJoinerReachesTheHostOnlyWhileMapped_data()
    {
        QTest::addColumn<bool>("upnp");
        QTest::addColumn<QString>("squatter");
        QTest::addColumn<QString>("squatterRule");
        QTest::newRow("UPnP-IGD") << true << QStringLiteral("upnpc -i -a 192.168.77.3 7000 6767 TCP 600")
                                  << QStringLiteral("6767 -> 192.168.77.3:7000");
        QTest::newRow("NAT-PMP") << false << QStringLiteral("natpmpc -a 6767 7000 tcp 600")
                                 << QStringLiteral("6767 -> 192.168.77.2:7000");
    }

    void aJoinerReachesTheHostOnlyWhileMapped()
    {
        QFETCH(bool, upnp);
        QFETCH(QString, squatter);
        QFETCH(QString, squatterRule);
        START_ROUTER({upnp, !upnp, false, {}});
        QCOMPARE(m_rig->runAtHome(squatter.split(u' ')), 0);
        listen();
        PortMapper mapper;
        QElapsedTimer clock;
        clock.start();

        mapper.open(kPort);

        const PortMappingOutcome outcome = awaitAnswer(mapper);
        qInfo("the router answered after %lld ms", static_cast<long long>(clock.elapsed()));
        QCOMPARE(outcome.kind, Kind::Open);
        QCOMPARE(outcome.address, QString::fromLatin1(kRouterWan));
        QVERIFY(outcome.port != kPort);
        QCOMPARE(m_rig->mappings(), QStringList({squatterRule, forwarded(outcome.port)}));
        QVERIFY(converses(outcome.port));

        mapper.close();

        QTRY_COMPARE_WITH_TIMEOUT(m_rig->mappings(), QStringList{squatterRule}, 5000);
        QVERIFY(!converses(outcome.port));
    }

    void aRouterBehindAnotherNatIsToldApart()
    {
        START_ROUTER({true, false, false, QStringLiteral("100.64.0.9")});
        PortMapper mapper;

        mapper.open(kPort);

        QCOMPARE(awaitAnswer(mapper),
                 (PortMappingOutcome{Kind::NotPublic, QStringLiteral("100.64.0.9"), 0, {}}));
        QCOMPARE(m_rig->mappings(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestPortMapping)
#include "tst_portmapping.moc"
