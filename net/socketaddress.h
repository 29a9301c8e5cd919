#pragma once

// One IPv4 or IPv6 socket address (address and port), the way the platform
// takes it, and the way the user reads and types it.

#include <QString>

#include <optional>

#include <sys/socket.h>

namespace natter {

class SocketAddress {
public:
    // No address (family AF_UNSPEC).
    SocketAddress() = default;

    // 0.0.0.0 or ::, the listening socket's "every local address".
    static SocketAddress anyOf(int family);
    // An IPv4 address given in host byte order.
    static SocketAddress ipv4(quint32 address);
    // A numeric address as a user types it: dotted IPv4 ("192.0.2.7") or
    // IPv6, with or without brackets and with an optional zone
    // ("2001:db8::7", "[2001:db8::7]", "fe80::1%eth0"). Never asks a
    // resolver; anything else gives no value.
    static std::optional<SocketAddress> fromText(const QString &text);
    // The peer or the local end of a socket; no value when the platform
    // cannot tell (errno holds why).
    static std::optional<SocketAddress> peerOf(int handle);
    // An address the platform filled in (accept's peer, say).
    static SocketAddress fromStorage(const sockaddr_storage &storage, socklen_t size);
    static std::optional<SocketAddress> localOf(int handle);

    int family() const { return m_storage.ss_family; }
    quint16 port() const;
    void setPort(quint16 port);

    const sockaddr *data() const { return reinterpret_cast<const sockaddr *>(&m_storage); }
    socklen_t size() const { return m_size; }

    // The address as users know it, without the port: dotted form for IPv4,
    // also for an IPv4 peer that reached an IPv6 socket ("192.0.2.7", never
    // "::ffff:192.0.2.7"); the standard short form for IPv6 ("2001:db8::7"),
    // with its zone when it has one ("fe80::1%eth0").
    QString text() const;

    bool operator==(const SocketAddress &other) const;

private:
    sockaddr_storage m_storage{};
    socklen_t m_size = 0;
};

// A new non-blocking TCP socket, IPv6 where the machine has it and IPv4
// otherwise; with `dualStack`, an IPv6 socket also takes IPv4 peers (and is
// given up for an IPv4 one when it cannot). -1 with errno on failure.
int openIpv6OrIpv4Socket(bool dualStack);
// A new non-blocking TCP socket of `family`; -1 with errno on failure.
int openStreamSocket(int family);
// The address family of a socket (AF_INET, AF_INET6); AF_UNSPEC if unknown.
int socketFamily(int handle);

} // namespace natter
