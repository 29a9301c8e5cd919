#pragma once

// The two ways of asking a home router to forward a port: UPnP-IGD
// (libminiupnpc) and NAT-PMP (libnatpmp). Blocking calls, each bounded by
// a deadline of our own or by the library's socket timeouts; used only on
// the port mapper's worker thread.

#include "router/mappingoutcome.h"

#include <chrono>
#include <memory>

namespace natter {

using MappingClock = std::chrono::steady_clock;

// A router that answered, and the one mapping made on it.
class RouterClient {
public:
    virtual ~RouterClient() = default;
    // Maps (or renews) the TCP port to this computer for the lease. If the
    // external port is taken, another one is asked for; the outcome names
    // the one granted.
    virtual PortMappingOutcome add(quint16 internalPort, std::chrono::seconds lease) = 0;
    // Removes the mapping made by add(), if any.
    virtual void remove() = 0;
};

// The first router that answers UPnP-IGD, then NAT-PMP, before the
// deadline; empty when none does.
std::unique_ptr<RouterClient> findRouter(MappingClock::time_point deadline);

} // namespace natter
