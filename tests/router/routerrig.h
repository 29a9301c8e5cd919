// test group: system
#pragma once

// A home network behind a real miniupnpd, in network namespaces of the
// test's own (rig.sh): the host side ("home", 192.168.77.2), the router
// (LAN 192.168.77.1, WAN 203.0.113.1) and the Internet side (203.0.113.100)
// with a small STUN responder that tells the router its public address.
// Needs root, ip, nft and miniupnpd; up() says why when it cannot be made.

#include "tests/support/netns.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>

namespace natter::testing {

inline constexpr const char *kRouterWan = "203.0.113.1";
inline constexpr const char *kHomeAddress = "192.168.77.2";

class RouterRig {
public:
    RouterRig();
    ~RouterRig(); // router stopped, namespaces removed, the thread back home

    // Creates the namespaces; empty on success, else why it cannot.
    QString up();
    // Moves the calling thread (and the threads it starts afterwards) into
    // the "home" namespace, or back to where it came from.
    bool enterHome();
    void leaveHome();
    // Runs fn with the calling thread, which is at home, on the Internet
    // side: sockets made there stay there. True when it ran.
    template <typename Fn> bool fromInternet(Fn fn)
    {
        if (!test::enterNamespace(ns("net")))
            return false;
        fn();
        return test::enterNamespace(ns("home"));
    }

    struct RouterOptions {
        bool upnp = true;
        bool natpmp = true;
        bool igdV1 = false; // describe itself as an IGD of version 1
        // What the STUN responder reports as the router's public address;
        // empty: the address the query came from.
        QString publicAddress;
    };
    // Starts miniupnpd on the router and waits until it serves.
    bool startRouter(const RouterOptions &options);
    void stopRouter();

    // The router's forwardings, as "external port -> address:port".
    QStringList mappings() const;
    // What the router has logged since the last call.
    QByteArray routerLog();
    // Runs a command inside the home namespace; its exit code.
    int runAtHome(const QStringList &command) const;
    // A TCP connection from the Internet side to the router's WAN address:
    // the connected descriptor, or -1 (refused, or nothing in 3 s).
    int connectFromInternet(quint16 port) const;

private:
    QString ns(const char *role) const;
    void stunLoop(int fd);

    QString m_tag;
    QString m_rigScript;
    QTemporaryDir m_dir;
    bool m_up = false;
    int m_originalNs = -1;
    QProcess m_router;
    std::thread m_stun;
    std::atomic<bool> m_stunStop{false};
    std::atomic<quint32> m_stunAnswer{0};
};

} // namespace natter::testing
