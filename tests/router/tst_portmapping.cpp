// Port mapping on the home router, against a real miniupnpd in network
// namespaces (tests/router): the host in "home", the router between a
// private LAN and a documentation-range WAN, a joiner on the Internet side.
#include "net/scktcomp.h"
#include "router/portmapping.h"
#include "tests/router/routerrig.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <unistd.h>

using namespace natter;
using namespace natter::testing;
using Kind = PortMappingOutcome::Kind;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(natter::PortMappingOutcome)

namespace {

constexpr quint16 kPort = 6767;
constexpr int kAnswerMs = 15000;

PortMappingOutcome open(quint16 port)
{
    return {Kind::Open, QString::fromLatin1(kRouterWan), port, {}};
}

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

    static void protocolColumns()
    {
        QTest::addColumn<bool>("upnp");
        QTest::addColumn<bool>("natpmp");
        QTest::addColumn<bool>("igdV1");
        QTest::newRow("UPnP-IGD v2") << true << false << false;
        QTest::newRow("UPnP-IGD v1") << true << false << true;
        QTest::newRow("NAT-PMP") << false << true << false;
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

    void texts_data()
    {
        QTest::addColumn<PortMappingOutcome>("outcome");
        QTest::addColumn<QString>("expected");
        QTest::newRow("closed") << PortMappingOutcome{} << QString();
        QTest::newRow("looking") << PortMappingOutcome{Kind::Looking, {}, 0, {}}
                                 << QStringLiteral("Looking for the router . . .");
        QTest::newRow("open") << PortMappingOutcome{Kind::Open, QStringLiteral("203.0.113.5"), 6767, {}}
                              << QStringLiteral("From the Internet: 203.0.113.5 port 6767");
        QTest::newRow("no router") << PortMappingOutcome{Kind::NoRouter, {}, 0, {}}
                                   << QStringLiteral("No router answered (UPnP or NAT-PMP)");
        QTest::newRow("refused") << PortMappingOutcome{Kind::Refused,
                                                       {},
                                                       0,
                                                       QStringLiteral("Action not authorized")}
                                 << QStringLiteral("The router refused: Action not authorized");
        QTest::newRow("not public")
            << PortMappingOutcome{Kind::NotPublic, QStringLiteral("100.64.0.9"), 0, {}}
            << QStringLiteral("The router's own address is not public (100.64.0.9 is behind another NAT): "
                              "joiners from the Internet cannot reach you; let the other side host");
    }

    void texts()
    {
        QFETCH(PortMappingOutcome, outcome);
        QFETCH(QString, expected);

        QCOMPARE(outcome.text(), expected);
    }

    void publicAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("reachable");
        QTest::newRow("10/8") << QStringLiteral("10.1.2.3") << false;
        QTest::newRow("172.16/12 low end") << QStringLiteral("172.16.0.1") << false;
        QTest::newRow("172.16/12 high end") << QStringLiteral("172.31.255.254") << false;
        QTest::newRow("just above 172.16/12") << QStringLiteral("172.32.0.1") << true;
        QTest::newRow("192.168/16") << QStringLiteral("192.168.1.1") << false;
        QTest::newRow("shared 100.64/10") << QStringLiteral("100.64.0.9") << false;
        QTest::newRow("shared, high end") << QStringLiteral("100.127.255.254") << false;
        QTest::newRow("just above 100.64/10") << QStringLiteral("100.128.0.1") << true;
        QTest::newRow("documentation range") << QStringLiteral("203.0.113.5") << true;
        QTest::newRow("ordinary") << QStringLiteral("198.18.0.1") << true;
    }

    void publicAddresses()
    {
        QFETCH(QString, address);
        QFETCH(bool, reachable);

        QCOMPARE(isPublicAddress(address), reachable);
    }

    void joinerReachesTheHostOnlyWhileMapped_data() { protocolColumns(); }

    void joinerReachesTheHostOnlyWhileMapped()
    {
        QFETCH(bool, upnp);
        QFETCH(bool, natpmp);
        QFETCH(bool, igdV1);
        START_ROUTER({upnp, natpmp, igdV1, {}});
        listen();
        QVERIFY(!converses(kPort));

        PortMapper mapper;
        QSignalSpy changes(&mapper, &PortMapper::changed);
        QElapsedTimer clock;
        clock.start();
        mapper.open(kPort);

        QCOMPARE(awaitAnswer(mapper), open(kPort));
        qInfo("the router answered after %lld ms", static_cast<long long>(clock.elapsed()));
        QCOMPARE(changes.size(), 2);
        QCOMPARE(changes.first().first().value<PortMappingOutcome>().kind, Kind::Looking);
        QCOMPARE(m_rig->mappings(), QStringList{forwarded(kPort)});
        QVERIFY(converses(kPort));

        mapper.close();

        QCOMPARE(mapper.outcome(), PortMappingOutcome{});
        QTRY_COMPARE_WITH_TIMEOUT(m_rig->mappings(), QStringList(), 5000);
        QVERIFY(!converses(kPort));
    }

    void takenExternalPortGivesAnother_data()
    {
        QTest::addColumn<bool>("upnp");
        QTest::addColumn<QString>("squatter");
        QTest::addColumn<QString>("squatterRule");
        // External 6767 is taken: over UPnP for the computer next door, over
        // NAT-PMP for another service on this one.
        QTest::newRow("UPnP-IGD") << true << QStringLiteral("upnpc -i -a 192.168.77.3 7000 6767 TCP 600")
                                  << QStringLiteral("6767 -> 192.168.77.3:7000");
        QTest::newRow("NAT-PMP") << false << QStringLiteral("natpmpc -a 6767 7000 tcp 600")
                                 << QStringLiteral("6767 -> 192.168.77.2:7000");
    }

    void takenExternalPortGivesAnother()
    {
        QFETCH(bool, upnp);
        QFETCH(QString, squatter);
        QFETCH(QString, squatterRule);
        START_ROUTER({upnp, !upnp, false, {}});
        QCOMPARE(m_rig->runAtHome(squatter.split(u' ')), 0);
        QCOMPARE(m_rig->mappings(), QStringList{squatterRule});
        listen();

        PortMapper mapper;
        mapper.open(kPort);
        const PortMappingOutcome outcome = awaitAnswer(mapper);

        QCOMPARE(outcome.kind, Kind::Open);
        QVERIFY(outcome.port != kPort);
        QCOMPARE(m_rig->mappings(), QStringList({squatterRule, forwarded(outcome.port)}));
        QVERIFY(converses(outcome.port));
    }

    void mappingGoesWithTheMapper_data() { protocolColumns(); }

    void mappingGoesWithTheMapper()
    {
        QFETCH(bool, upnp);
        QFETCH(bool, natpmp);
        QFETCH(bool, igdV1);
        START_ROUTER({upnp, natpmp, igdV1, {}});
        auto mapper = std::make_unique<PortMapper>();
        mapper->open(kPort);
        QCOMPARE(awaitAnswer(*mapper), open(kPort));

        mapper.reset();

        QCOMPARE(m_rig->mappings(), QStringList());
    }

    void changesOfMindLeaveOneMapping()
    {
        START_ROUTER({true, false, false, {}});
        PortMapper mapper;

        mapper.open(kPort);
        mapper.close();
        mapper.open(kPort);

        QCOMPARE(awaitAnswer(mapper), open(kPort));
        QCOMPARE(m_rig->mappings(), QStringList{forwarded(kPort)});
    }

    void leaseIsRenewedWhileOpen()
    {
        START_ROUTER({true, false, false, {}});
        // A mapping with the same lease that nobody renews: the router lets
        // it expire.
        QCOMPARE(m_rig->runAtHome({QStringLiteral("upnpc"), QStringLiteral("-i"), QStringLiteral("-a"),
                                   QLatin1String(kHomeAddress), QStringLiteral("7000"),
                                   QStringLiteral("7000"), QStringLiteral("TCP"), QStringLiteral("4")}),
                 0);
        PortMapper::Timing timing;
        timing.lease = 4s;
        PortMapper mapper(timing);
        QSignalSpy changes(&mapper, &PortMapper::changed);
        mapper.open(kPort);
        QCOMPARE(awaitAnswer(mapper), open(kPort));

        QTRY_COMPARE_WITH_TIMEOUT(m_rig->mappings(), QStringList{forwarded(kPort)}, 10000);
        QElapsedTimer twoLeases;
        twoLeases.start();
        QTRY_VERIFY_WITH_TIMEOUT(twoLeases.elapsed() > 8000, 10000);

        QCOMPARE(m_rig->mappings(), QStringList{forwarded(kPort)});
        QCOMPARE(changes.size(), 2); // renewals that change nothing are not reported
    }

    void mappingComesBackAfterARouterRestart()
    {
        START_ROUTER({true, false, false, {}});
        PortMapper::Timing timing;
        timing.lease = 4s;
        PortMapper mapper(timing);
        mapper.open(kPort);
        QCOMPARE(awaitAnswer(mapper), open(kPort));

        m_rig->stopRouter();
        QVERIFY(m_rig->startRouter({true, false, false, {}}));

        QTRY_COMPARE_WITH_TIMEOUT(m_rig->mappings(), QStringList{forwarded(kPort)}, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(mapper.outcome(), open(kPort), 10000);
    }

    void routerBehindAnotherNat()
    {
        START_ROUTER({true, false, false, QStringLiteral("100.64.0.9")});
        PortMapper mapper;

        mapper.open(kPort);

        QCOMPARE(awaitAnswer(mapper),
                 (PortMappingOutcome{Kind::NotPublic, QStringLiteral("100.64.0.9"), 0, {}}));
        QCOMPARE(m_rig->mappings(), QStringList());
    }

    void silentRouterIsReportedWhileTheHostGoesOn()
    {
        if (!m_unavailable.isEmpty())
            QSKIP(qPrintable(m_unavailable));
        QVERIFY(m_rig->silenceRouter());
        listen();
        int accepted = 0;
        m_host->OnAccept = [&accepted](QObject *, TCustomWinSocket *) { ++accepted; };
        PortMapper mapper;
        QElapsedTimer clock;
        clock.start();

        mapper.open(kPort);
        QTcpSocket neighbour;
        neighbour.connectToHost(QStringLiteral("127.0.0.1"), kPort);

        QTRY_COMPARE(accepted, 1);
        QCOMPARE(mapper.outcome().kind, Kind::Looking);
        QCOMPARE(awaitAnswer(mapper).kind, Kind::NoRouter);
        qInfo("no router answered: reported after %lld ms", static_cast<long long>(clock.elapsed()));
    }
};

QTEST_GUILESS_MAIN(TestPortMapping)
#include "tst_portmapping.moc"
