// test group: system
// Port mapping against a real miniupnpd (routerrig.h): the host at home,
// a joiner on the Internet side, one case per protocol. The mapper's own
// rules (renewal, removal, the option) are in tst_portmapper.
#include "router/portmapping.h"
#include "tests/router/routerrig.h"
#include "tests/support/rawsocket.h"

#include <QTest>

using namespace natter;
using namespace natter::test;
using Kind = PortMappingOutcome::Kind;

class TestPortMapping : public QObject {
    Q_OBJECT

    RouterRig m_rig;
    QString m_unavailable;

    // Whether a joiner on the Internet side reaches the host's listener
    // through the router's external port.
    bool reaches(RawSocket &host, quint16 external)
    {
        RawSocket joiner;
        bool connected = false;
        m_rig.inside(u"net"_s, [&] { connected = joiner.connectTo(kRouterWan, external); });
        return connected && host.accept().fd >= 0;
    }

private Q_SLOTS:
    void initTestCase() { m_unavailable = m_rig.up(); }

    // Another mapping holds external port 6767 already: over UPnP for the
    // computer next door, over NAT-PMP for another service on this one.
    void aJoinerReachesTheHostOnlyWhileMapped_data()
    {
        QTest::addColumn<bool>("upnp");
        QTest::addColumn<QString>("squatter");
        QTest::addColumn<QString>("squatterRule");
        QTest::newRow("UPnP-IGD") << true << u"upnpc -i -a 192.168.77.3 7000 6767 TCP 600"_s
                                  << u"6767 -> 192.168.77.3:7000"_s;
        QTest::newRow("NAT-PMP") << false << u"natpmpc -a 6767 7000 tcp 600"_s
                                 << u"6767 -> 192.168.77.2:7000"_s;
    }

    void aJoinerReachesTheHostOnlyWhileMapped()
    {
        QFETCH(bool, upnp);
        QFETCH(QString, squatter);
        QFETCH(QString, squatterRule);
        if (!m_unavailable.isEmpty())
            QSKIP(qPrintable(m_unavailable));
        QVERIFY(m_rig.startRouter(upnp, !upnp));
        QCOMPARE(m_rig.exec(u"home"_s, squatter.split(u' ')), 0);
        RawSocket host;
        QCOMPARE(host.listen("0.0.0.0", 6767), 6767);
        PortMapper mapper;

        mapper.open(6767);

        QTRY_VERIFY_WITH_TIMEOUT(mapper.outcome().kind != Kind::Looking, 15000);
        const PortMappingOutcome outcome = mapper.outcome();
        QCOMPARE(outcome.kind, Kind::Open);
        QCOMPARE(outcome.address, u"203.0.113.1"_s);
        QVERIFY(outcome.port != 6767);
        QCOMPARE(m_rig.mappings(),
                 QStringList({squatterRule, u"%1 -> 192.168.77.2:6767"_s.arg(outcome.port)}));
        QVERIFY(reaches(host, outcome.port));

        mapper.close();

        QTRY_COMPARE_WITH_TIMEOUT(m_rig.mappings(), QStringList{squatterRule}, 5000);
        QVERIFY(!reaches(host, outcome.port));
    }

    void aRouterBehindAnotherNatIsToldApart()
    {
        if (!m_unavailable.isEmpty())
            QSKIP(qPrintable(m_unavailable));
        QVERIFY(m_rig.startRouter(true, false, u"100.64.0.9"_s));
        PortMapper mapper;

        mapper.open(6767);

        QTRY_VERIFY_WITH_TIMEOUT(mapper.outcome().kind != Kind::Looking, 15000);
        QCOMPARE(mapper.outcome(), (PortMappingOutcome{Kind::NotPublic, u"100.64.0.9"_s, 0, {}}));
        QCOMPARE(m_rig.mappings(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestPortMapping)
#include "tst_portmapping.moc"
