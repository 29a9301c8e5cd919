#include "router/portmapping.h"

#include "router/routerclients.h"

#include <QTimer>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace natter {

namespace {

using namespace std::chrono_literals;

// Discovery over both protocols ends by then; the user's own wait
// (Timing::answerWithin) is the backstop for a router that answers and
// then goes quiet.
constexpr auto kDiscoveryWithin = 6s;

enum Verb { kMap, kRenew, kUnmap };

struct Command {
    int verb = kUnmap;
    quint16 port = 0;
    quint64 generation = 0;
};

} // namespace

// ---------------------------------------------------------------------------
// The worker thread and what it shares with the mapper. The worker may
// outlive the mapper (a router that does not answer the removal), so it
// holds this by shared pointer and reports only while receiver is set.

struct PortMapper::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finishedChanged;
    std::deque<Command> commands;
    PortMapper *receiver = nullptr;
    bool quit = false;
    bool finished = false;
    std::chrono::seconds lease{};
    RouterFinder findRouter;

    void report(quint64 generation, const PortMappingOutcome &outcome)
    {
        std::lock_guard lock(mutex);
        if (receiver == nullptr)
            return;
        PortMapper *target = receiver;
        QMetaObject::invokeMethod(
            target, [target, generation, outcome] { target->take(generation, outcome); },
            Qt::QueuedConnection);
    }

    // Waits for the next thing to do; the latest command wins, since each
    // one replaces what the ones before it asked for. Empty on quit.
    std::optional<Command> next()
    {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return quit || !commands.empty(); });
        if (quit)
            return std::nullopt;
        const Command command = commands.back();
        commands.clear();
        return command;
    }

    // Renews the mapping; a router that has gone quiet is looked for again,
    // since after a restart it may answer somewhere else.
    PortMappingOutcome renew(std::unique_ptr<RouterClient> &router, quint16 port)
    {
        PortMappingOutcome outcome = router->add(port, lease);
        if (outcome.kind != PortMappingOutcome::Kind::NoRouter)
            return outcome;
        if (std::unique_ptr<RouterClient> again = findRouter(MappingClock::now() + kDiscoveryWithin)) {
            router = std::move(again);
            outcome = router->add(port, lease);
        }
        return outcome;
    }

    void run()
    {
        std::unique_ptr<RouterClient> router;
        quint16 port = 0;
        while (const std::optional<Command> command = next()) {
            if (command->verb == kRenew) {
                if (router)
                    report(command->generation, renew(router, port));
                continue;
            }
            if (router)
                router->remove();
            router.reset();
            if (command->verb != kMap)
                continue;
            port = command->port;
            router = findRouter(MappingClock::now() + kDiscoveryWithin);
            if (!router) {
                report(command->generation, {PortMappingOutcome::Kind::NoRouter, {}, 0, {}});
                continue;
            }
            const PortMappingOutcome outcome = router->add(port, lease);
            if (outcome.kind != PortMappingOutcome::Kind::Open)
                router.reset();
            report(command->generation, outcome);
        }
        if (router)
            router->remove();
        std::lock_guard lock(mutex);
        finished = true;
        finishedChanged.notify_all();
    }
};

// ---------------------------------------------------------------------------
// PortMapper

PortMapper::PortMapper(QObject *parent) : PortMapper(Timing{}, parent) {}

PortMapper::PortMapper(Timing timing, QObject *parent) : PortMapper(timing, natter::findRouter, parent) {}

PortMapper::PortMapper(Timing timing, RouterFinder finder, QObject *parent)
    : QObject(parent), m_timing(timing), m_shared(std::make_shared<Shared>()),
      m_answerTimer(new QTimer(this)), m_renewTimer(new QTimer(this))
{
    m_shared->receiver = this;
    m_shared->findRouter = std::move(finder);
    m_shared->lease = std::max(m_timing.lease, std::chrono::seconds(2));
    m_answerTimer->setSingleShot(true);
    m_answerTimer->setInterval(m_timing.answerWithin);
    connect(m_answerTimer, &QTimer::timeout, this, &PortMapper::answerOverdue);
    m_renewTimer->setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(m_shared->lease) / 2);
    connect(m_renewTimer, &QTimer::timeout, this, &PortMapper::renew);
    m_worker = std::thread([shared = m_shared] { shared->run(); });
}

PortMapper::~PortMapper()
{
    bool finished = false;
    {
        std::unique_lock lock(m_shared->mutex);
        m_shared->receiver = nullptr;
        m_shared->quit = true;
        m_shared->wake.notify_all();
        finished = m_shared->finishedChanged.wait_for(lock, m_timing.removalWithin,
                                                      [this] { return m_shared->finished; });
    }
    if (finished)
        m_worker.join();
    else
        m_worker.detach(); // still waiting on the router; it owns what it uses
}

void PortMapper::open(quint16 port)
{
    m_port = port;
    post(kMap, port);
    m_renewTimer->stop();
    m_answerTimer->start();
    report({PortMappingOutcome::Kind::Looking, {}, 0, {}});
}

void PortMapper::close()
{
    if (m_outcome.kind == PortMappingOutcome::Kind::Closed)
        return;
    post(kUnmap, 0);
    m_answerTimer->stop();
    m_renewTimer->stop();
    report({});
}

void PortMapper::post(int verb, quint16 port)
{
    if (verb != kRenew)
        ++m_generation;
    std::lock_guard lock(m_shared->mutex);
    m_shared->commands.push_back({verb, port, m_generation});
    m_shared->wake.notify_all();
}

void PortMapper::take(quint64 generation, const PortMappingOutcome &outcome)
{
    if (generation != m_generation)
        return; // answers a request that has been replaced since
    m_answerTimer->stop();
    // A renewal that fails keeps the timer going: the next one may find the
    // router back (after a restart, say).
    if (outcome.kind == PortMappingOutcome::Kind::Open)
        m_renewTimer->start();
    report(outcome);
}

void PortMapper::report(const PortMappingOutcome &outcome)
{
    if (outcome == m_outcome)
        return;
    m_outcome = outcome;
    Q_EMIT changed(m_outcome);
}

void PortMapper::answerOverdue()
{
    // The worker goes on; a late answer still replaces this one.
    report({PortMappingOutcome::Kind::NoRouter, {}, 0, {}});
}

void PortMapper::renew()
{
    post(kRenew, m_port);
}

} // namespace natter
