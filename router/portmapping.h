#pragma once

// Port mapping on the home router: while the host listens, the router is
// asked (UPnP-IGD or NAT-PMP, whichever answers) to forward the listening
// port from its external address, so that a joiner on the Internet can
// reach the host. The talking to the router happens on a worker thread;
// the mapper reports on the thread that owns it and never makes it wait.

#include "router/mappingoutcome.h"
#include "router/routerclients.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

class QTimer;

namespace natter {

class PortMapper : public QObject {
    Q_OBJECT

public:
    struct Timing {
        // The lease asked for; renewed when half of it has run.
        std::chrono::seconds lease{3600};
        // How long the user waits before being told that no router answered.
        std::chrono::milliseconds answerWithin{12000};
        // How long the destructor waits for the mapping to be removed.
        std::chrono::milliseconds removalWithin{3000};
    };

    // Looks for the router before the deadline; findRouter, unless a test
    // scripts one.
    using RouterFinder = std::function<std::unique_ptr<RouterClient>(MappingClock::time_point deadline)>;

    explicit PortMapper(QObject *parent = nullptr);
    explicit PortMapper(Timing timing, QObject *parent = nullptr);
    PortMapper(Timing timing, RouterFinder finder, QObject *parent = nullptr);
    // Removes the mapping, waiting at most removalWithin; a mapping that
    // could not be removed in that time expires with its lease.
    ~PortMapper() override;

    // Asks for the TCP port to be forwarded to this computer, replacing any
    // earlier mapping. Reports Looking at once, then the router's answer.
    virtual void open(quint16 port);
    // Removes the mapping; reports Closed at once. Harmless when closed.
    virtual void close();

    const PortMappingOutcome &outcome() const { return m_outcome; }

Q_SIGNALS:
    // Each new outcome, once; a renewal that changes nothing is not reported.
    void changed(const natter::PortMappingOutcome &outcome);

protected:
    // Makes the outcome current and reports it if it is new.
    void report(const PortMappingOutcome &outcome);

private:
    struct Shared;
    void post(int verb, quint16 port);
    void take(quint64 generation, const PortMappingOutcome &outcome);
    void answerOverdue();
    void renew();

    Timing m_timing;
    std::shared_ptr<Shared> m_shared;
    std::thread m_worker;
    PortMappingOutcome m_outcome;
    quint64 m_generation = 0;
    quint16 m_port = 0;
    QTimer *m_answerTimer;
    QTimer *m_renewTimer;
};

} // namespace natter
