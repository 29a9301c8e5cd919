#pragma once

// How soon a connection notices a peer that vanished without closing (its
// link dropped, its computer switched off): TCP keepalive probes while the
// connection is idle, and a bound on how long sent bytes may stay
// unacknowledged while the user sends. Neither changes the bytes of the
// conversation. A vanished peer then ends the connection with ETIMEDOUT.

namespace natter {

struct LinkTimeouts {
    int idleSeconds;     // quiet time before the first probe
    int intervalSeconds; // time between probes
    int probes;          // unanswered probes that end the connection
    int userTimeoutMs;   // unacknowledged data (or probes) for this long ends it
};

// Probes from 20 s of quiet, every 10 s; sent data unacknowledged for 60 s
// ends the connection, and so does a silence of 60 s once probing began.
// Either way a vanished peer is noticed within 90 s.
inline constexpr LinkTimeouts kLinkTimeouts{20, 10, 6, 60000};

// The figures applied to new connections; kLinkTimeouts unless a test made
// them shorter.
LinkTimeouts linkTimeouts();
void setLinkTimeouts(const LinkTimeouts &timeouts);

// Applies the figures to a TCP socket; failures are ignored (the connection
// then only lacks the early notice).
void applyLinkTimeouts(int handle);

} // namespace natter
