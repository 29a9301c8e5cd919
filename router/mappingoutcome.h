#pragma once

#include <QString>

namespace natter {

// What the router said, or what became of asking it.
struct PortMappingOutcome {
    enum class Kind {
        Closed,    // nothing asked, or the mapping was removed
        Looking,   // asked; no answer yet
        Open,      // forwarded: address and port are what a joiner uses
        NoRouter,  // nothing answered in time
        Refused,   // the router said no: reason is its own words
        NotPublic, // the router's external address is private or shared
    };
    Kind kind = Kind::Closed;
    QString address;  // the router's external address (Open, NotPublic)
    quint16 port = 0; // the external port (Open)
    QString reason;   // Refused

    // The sentence shown to the user; empty for Closed.
    QString text() const;

    friend bool operator==(const PortMappingOutcome &, const PortMappingOutcome &) = default;
};

// Whether an external IPv4 address can be reached from the Internet: every
// address but the private (10/8, 172.16/12, 192.168/16) and shared
// (100.64/10) ranges counts, and so does anything that is not IPv4 text.
bool isPublicAddress(const QString &address);

} // namespace natter
