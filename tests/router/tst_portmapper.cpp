// The port mapper's own rules, with a router the test scripts in place of
// the one it would look for: when it asks, renews and removes, and what it
// reports. The router protocols themselves meet a real miniupnpd in
// tst_portmapping.
#include "router/portmapping.h"

#include <QSignalSpy>
#include <QTest>

#include <condition_variable>
#include <mutex>

using namespace natter;
using Kind = PortMappingOutcome::Kind;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(natter::PortMappingOutcome)

namespace {

PortMappingOutcome open(quint16 port)
{
    return {Kind::Open, QStringLiteral("203.0.113.5"), port, {}};
}

// The router as the test scripts it: the answers to add() in turn (the port
// asked for, mapped, once they run out), and a note of every call. While
// held, looking for it waits, as for a router slow to answer.
struct Script {
    std::mutex mutex;
    std::condition_variable released;
    QStringList calls;
    QList<PortMappingOutcome> answers;
    bool present = true;
    bool held = false;

    QStringList notes()
    {
        std::lock_guard lock(mutex);
        return calls;
    }
    void release()
    {
        std::lock_guard lock(mutex);
        held = false;
        released.notify_all();
    }
};

class ScriptedRouter final : public RouterClient {
public:
    explicit ScriptedRouter(std::shared_ptr<Script> script) : m_script(std::move(script)) {}
    PortMappingOutcome add(quint16 port, std::chrono::seconds lease) override
    {
        std::lock_guard lock(m_script->mutex);
        m_script->calls << QStringLiteral("add %1 %2").arg(port).arg(lease.count());
        return m_script->answers.isEmpty() ? open(port) : m_script->answers.takeFirst();
    }
    void remove() override
    {
        std::lock_guard lock(m_script->mutex);
        m_script->calls << QStringLiteral("remove");
    }

private:
    std::shared_ptr<Script> m_script;
};

PortMapper::RouterFinder finder(const std::shared_ptr<Script> &script)
{
    return [script](MappingClock::time_point) -> std::unique_ptr<RouterClient> {
        std::unique_lock lock(script->mutex);
        script->calls << QStringLiteral("find");
        script->released.wait(lock, [&] { return !script->held; });
        if (!script->present)
            return nullptr;
        return std::make_unique<ScriptedRouter>(script);
    };
}

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(','));
}

} // namespace

class TestPortMapper : public QObject {
    Q_OBJECT

    std::shared_ptr<Script> m_script;

    std::unique_ptr<PortMapper> mapper(PortMapper::Timing timing = {})
    {
        return std::make_unique<PortMapper>(timing, finder(m_script));
    }

private Q_SLOTS:
    void init() { m_script = std::make_shared<Script>(); }

    void opensThenRemovesTheMapping()
    {
        const auto m = mapper();
        QSignalSpy changes(m.get(), &PortMapper::changed);

        m->open(6767);

        QCOMPARE(m->outcome().kind, Kind::Looking);
        QTRY_COMPARE(m->outcome(), open(6767));
        QCOMPARE(changes.size(), 2);
        QCOMPARE(m_script->notes(), words("find,add 6767 3600"));

        m->close();

        QCOMPARE(m->outcome(), PortMappingOutcome{});
        QTRY_COMPARE(m_script->notes(), words("find,add 6767 3600,remove"));
    }

    void theMappingGoesWithTheMapper()
    {
        auto m = mapper();
        m->open(6767);
        QTRY_COMPARE(m->outcome(), open(6767));

        m.reset();

        QCOMPARE(m_script->notes(), words("find,add 6767 3600,remove"));
    }

    void theLeaseIsRenewedAtHalfItsTime()
    {
        PortMapper::Timing timing;
        timing.lease = 2s;
        const auto m = mapper(timing);
        QSignalSpy changes(m.get(), &PortMapper::changed);
        m->open(6767);

        QTRY_VERIFY_WITH_TIMEOUT(m_script->notes().count(QStringLiteral("add 6767 2")) >= 3, 5000);

        QCOMPARE(changes.size(), 2); // renewals that change nothing are not reported
    }

    void aRouterGoneQuietIsLookedForAgain()
    {
        PortMapper::Timing timing;
        timing.lease = 2s;
        m_script->answers = {open(6767), {Kind::NoRouter, {}, 0, {}}};
        const auto m = mapper(timing);
        m->open(6767);

        QTRY_COMPARE_WITH_TIMEOUT(m_script->notes().mid(0, 5),
                                  words("find,add 6767 2,add 6767 2,find,add 6767 2"), 5000);

        QCOMPARE(m->outcome(), open(6767));
    }

    void failuresAreReported_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<PortMappingOutcome>("answer");
        QTest::addColumn<QString>("calls");
        QTest::newRow("no router") << false << PortMappingOutcome{Kind::NoRouter, {}, 0, {}} << "find";
        QTest::newRow("refused")
            << true << PortMappingOutcome{Kind::Refused, {}, 0, QStringLiteral("Action not authorized")}
            << "find,add 6767 3600";
        QTest::newRow("behind another NAT")
            << true << PortMappingOutcome{Kind::NotPublic, QStringLiteral("100.64.0.9"), 0, {}}
            << "find,add 6767 3600";
    }
    void failuresAreReported()
    {
        QFETCH(bool, present);
        QFETCH(PortMappingOutcome, answer);
        QFETCH(QString, calls);
        m_script->present = present;
        m_script->answers = {answer};
        const auto m = mapper();

        m->open(6767);

        QTRY_COMPARE(m->outcome(), answer);
        QCOMPARE(m_script->notes(), calls.split(QLatin1Char(',')));
    }

    void changesOfMindLeaveOneMapping()
    {
        m_script->held = true;
        const auto m = mapper();
        QSignalSpy changes(m.get(), &PortMapper::changed);

        m->open(6767);
        QTRY_COMPARE(m_script->notes(), words("find")); // while the router is slow to answer
        m->close();
        m->open(7000);
        m_script->release();

        QTRY_COMPARE(m->outcome(), open(7000));
        QTRY_COMPARE(m_script->notes(), words("find,add 6767 3600,remove,find,add 7000 3600"));
        for (const QList<QVariant> &change : changes) // the answer for 6767 came too late to count
            QVERIFY(change.first().value<PortMappingOutcome>() != open(6767));
    }

    void aSilentRouterIsReportedInTimeAndALateAnswerStillCounts()
    {
        m_script->held = true;
        PortMapper::Timing timing;
        timing.answerWithin = 200ms;
        const auto m = mapper(timing);

        m->open(6767);

        QTRY_COMPARE(m->outcome().kind, Kind::NoRouter);
        m_script->release();
        QTRY_COMPARE(m->outcome(), open(6767));
    }

    void texts_data()
    {
        QTest::addColumn<PortMappingOutcome>("outcome");
        QTest::addColumn<QString>("expected");
        QTest::newRow("closed") << PortMappingOutcome{} << QString();
        QTest::newRow("looking") << PortMappingOutcome{Kind::Looking, {}, 0, {}}
                                 << QStringLiteral("Looking for the router . . .");
        QTest::newRow("open") << open(6767) << QStringLiteral("From the Internet: 203.0.113.5 port 6767");
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
    }
    void publicAddresses()
    {
        QFETCH(QString, address);
        QFETCH(bool, reachable);

        QCOMPARE(isPublicAddress(address), reachable);
    }
};

QTEST_GUILESS_MAIN(TestPortMapper)
#include "tst_portmapper.moc"
