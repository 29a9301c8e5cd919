// The port mapper's own rules, with a router the test scripts in place of
// the one it would look for: when it asks, renews and removes, what it
// reports, and the My IP window's option that drives it. The router
// protocols themselves meet a real miniupnpd in tst_portmapping.
#include "router/portmapping.h"
#include "router/routerportoption.h"

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

QStringList words(const QString &text)
{
    return text.split(QLatin1Char(','), Qt::SkipEmptyParts);
}

// The router as the test scripts it: the answers to add() in turn (the port
// asked for, mapped, once they run out), and a note of every call. While
// held, looking for it waits, as for a router slow to answer.
struct Script {
    std::mutex mutex;
    std::condition_variable released;
    QStringList calls;
    QList<PortMappingOutcome> answers;
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

} // namespace

class TestPortMapper : public QObject {
    Q_OBJECT

    std::shared_ptr<Script> m_script;

    std::unique_ptr<PortMapper> mapper(PortMapper::Timing timing = {})
    {
        return std::make_unique<PortMapper>(
            timing, [script = m_script](MappingClock::time_point) -> std::unique_ptr<RouterClient> {
                std::unique_lock lock(script->mutex);
                script->calls << QStringLiteral("find");
                script->released.wait(lock, [&] { return !script->held; });
                return std::make_unique<ScriptedRouter>(script);
            });
    }

private Q_SLOTS:
    void init() { m_script = std::make_shared<Script>(); }

    // The listening port is mapped while the option is ticked, and removed
    // when it is unticked, when the host stops listening and when the
    // program ends; nothing is sent to the router otherwise.
    void theOptionMapsWhileTickedAndListening_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QString>("status");
        const QString mapped = QStringLiteral("From the Internet: 203.0.113.5 port 6767");
        QTest::newRow("listening, not ticked") << "listen"
                                               << ""
                                               << "";
        QTest::newRow("ticked, not listening") << "tick"
                                               << ""
                                               << "";
        QTest::newRow("ticked, then listening") << "tick,listen"
                                                << "find,add 6767 3600" << mapped;
        QTest::newRow("listening, then ticked") << "listen,tick"
                                                << "find,add 6767 3600" << mapped;
        QTest::newRow("unticked") << "listen,tick,untick"
                                  << "find,add 6767 3600,remove"
                                  << "";
        QTest::newRow("stops listening") << "tick,listen,stop"
                                         << "find,add 6767 3600,remove"
                                         << "";
        QTest::newRow("program ends") << "tick,listen,end"
                                      << "find,add 6767 3600,remove"
                                      << "";
    }
    void theOptionMapsWhileTickedAndListening()
    {
        QFETCH(QString, steps);
        QFETCH(QString, calls);
        QFETCH(QString, status);
        auto option = std::make_unique<RouterPortOption>(mapper());

        for (const QString &step : words(steps)) {
            if (step == u"end")
                option.reset();
            else if (step.endsWith(u"tick"))
                option->setChecked(step == u"tick");
            else
                option->setListeningPort(step == u"listen" ? 6767 : 0);
            QTRY_VERIFY(!option || option->status() != QStringLiteral("Looking for the router . . ."));
        }

        QTRY_COMPARE(m_script->notes(), words(calls));
        QCOMPARE(option ? option->status() : QString(), status);
    }

    // Half-way through its lease the mapping is renewed; a router gone
    // quiet is looked for again, as after a restart. Renewals that change
    // nothing are not reported.
    void theLeaseIsRenewed_data()
    {
        QTest::addColumn<QList<PortMappingOutcome>>("answers");
        QTest::addColumn<QString>("calls");
        QTest::newRow("router answers")
            << QList<PortMappingOutcome>{} << "find,add 6767 2,add 6767 2,add 6767 2";
        QTest::newRow("router gone quiet")
            << QList<PortMappingOutcome>{open(6767), {Kind::NoRouter, {}, 0, {}}}
            << "find,add 6767 2,add 6767 2,find,add 6767 2";
    }
    void theLeaseIsRenewed()
    {
        QFETCH(QList<PortMappingOutcome>, answers);
        QFETCH(QString, calls);
        m_script->answers = answers;
        const auto m = mapper({2s});
        QSignalSpy changes(m.get(), &PortMapper::changed);

        m->open(6767);

        QTRY_COMPARE_WITH_TIMEOUT(m_script->notes().mid(0, words(calls).size()), words(calls), 5000);
        QCOMPARE(m->outcome(), open(6767));
        QCOMPARE(changes.size(), 2);
    }

    // A router slow to answer: the user is told in time that none did,
    // and changes his mind meanwhile. The late answer for 6767 is never
    // shown, the one for 7000 is, and only that mapping is left.
    void aLateAnswerCountsForTheLatestRequestOnly()
    {
        m_script->held = true;
        const auto m = mapper({3600s, 200ms});
        QSignalSpy changes(m.get(), &PortMapper::changed);

        m->open(6767);
        QTRY_COMPARE(m_script->notes(), words(QStringLiteral("find")));
        QTRY_COMPARE(m->outcome().kind, Kind::NoRouter);
        m->close();
        m->open(7000);
        m_script->release();

        QTRY_COMPARE(m->outcome(), open(7000));
        QTRY_COMPARE(m_script->notes(),
                     words(QStringLiteral("find,add 6767 3600,remove,find,add 7000 3600")));
        for (const QList<QVariant> &change : changes)
            QVERIFY(change.first().value<PortMappingOutcome>() != open(6767));
    }

    // Private ranges and the shared range of carrier-grade NAT, at their
    // edges, are not reachable from the Internet.
    void publicAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("reachable");
        QTest::newRow("10/8") << QStringLiteral("10.1.2.3") << false;
        QTest::newRow("172.16/12 high end") << QStringLiteral("172.31.255.254") << false;
        QTest::newRow("just above 172.16/12") << QStringLiteral("172.32.0.1") << true;
        QTest::newRow("192.168/16") << QStringLiteral("192.168.1.1") << false;
        QTest::newRow("100.64/10 high end") << QStringLiteral("100.127.255.254") << false;
        QTest::newRow("just above 100.64/10") << QStringLiteral("100.128.0.1") << true;
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
