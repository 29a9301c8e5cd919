// test group: system
#pragma once

// A home network behind a real miniupnpd, in network namespaces of the
// test's own:
//
//   home 192.168.77.2 -lan0-lan1- 192.168.77.1 rt 203.0.113.1 -wan0-wan1- 203.0.113.100 net
//
// The router forwards between its LAN and its WAN; nothing from the WAN
// side reaches the LAN unless a mapping on the router lets it through
// (router.nft). The WAN lies in a documentation range, which miniupnpd does
// not take for a public address, so a small STUN responder on the Internet
// side tells the router the address it is seen from, or the one a test
// chooses. Needs root, ip, nft and miniupnpd; up() says why when it cannot.

#include "tests/support/netns.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

namespace natter::test {

using namespace Qt::StringLiterals;

inline constexpr const char *kRouterWan = "203.0.113.1";

class RouterRig : public NamespaceRig {
public:
    RouterRig() : NamespaceRig(u"natter-rt"_s) { m_router.setProcessChannelMode(QProcess::MergedChannels); }
    ~RouterRig()
    {
        stopRouter();
        m_stunStop = true;
        if (m_stun.joinable())
            m_stun.join();
        if (m_away >= 0) {
            ::setns(m_away, CLONE_NEWNET);
            ::close(m_away);
        }
    }

    // Makes the network and moves the calling thread (with the threads it
    // starts from then on) into "home". Empty on success, else why not.
    QString up()
    {
        if (const QString why = unavailable({u"nft"_s, u"miniupnpd"_s, u"upnpc"_s, u"natpmpc"_s});
            !why.isEmpty())
            return why;
        int stun = -1;
        const bool made =
            add(u"home"_s) && add(u"rt"_s) && add(u"net"_s) &&
            link(u"home"_s, u"192.168.77.2/24"_s, u"rt"_s, u"192.168.77.1/24"_s, u"lan0"_s, u"lan1"_s) &&
            link(u"rt"_s, u"203.0.113.1/24"_s, u"net"_s, u"203.0.113.100/24"_s, u"wan0"_s, u"wan1"_s) &&
            ip(u"home"_s, u"route add default via 192.168.77.1"_s) &&
            ip(u"home"_s, u"route add 239.0.0.0/8 dev lan0"_s) && // multicast discovery
            exec(u"rt"_s, {u"sysctl"_s, u"-q"_s, u"-w"_s, u"net.ipv4.ip_forward=1"_s}) == 0 &&
            exec(u"rt"_s, {u"nft"_s, u"-f"_s, QStringLiteral(NATTER_ROUTER_RIG_DIR "/router.nft")}) == 0 &&
            inside(u"net"_s, [&stun] {
                stun = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                const sockaddr_in any{AF_INET, htons(3478), {htonl(INADDR_ANY)}, {}};
                if (::bind(stun, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0)
                    ::close(std::exchange(stun, -1));
            });
        if (!made || stun < 0)
            return u"the namespaces cannot be made here"_s;
        m_stun = std::thread([this, stun] { answerStun(stun); });
        m_away = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        return enterNamespace(name(u"home"_s)) ? QString() : u"cannot enter the home namespace"_s;
    }

    // Starts miniupnpd on the router and waits until it serves; the STUN
    // responder reports publicAddress, when given, as the router's.
    bool startRouter(bool upnp = true, bool natpmp = true, const QString &publicAddress = {})
    {
        stopRouter();
        QFile in(QStringLiteral(NATTER_ROUTER_RIG_DIR "/miniupnpd.conf.in"));
        QFile out(m_dir.filePath(u"miniupnpd.conf"_s));
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
            return false;
        out.write(in.readAll()
                      .replace("@UPNP@", upnp ? "yes" : "no")
                      .replace("@NATPMP@", natpmp ? "yes" : "no")
                      .replace("@IGDV1@", "no"));
        out.close();
        m_stunAnswer = QHostAddress(publicAddress).toIPv4Address();
        m_router.start(u"ip"_s, {u"netns"_s, u"exec"_s, name(u"rt"_s), u"miniupnpd"_s, u"-d"_s, u"-f"_s,
                                 out.fileName(), u"-P"_s, m_dir.filePath(u"pid"_s)});
        // Serving once the last of its services says it listens.
        const QByteArray ready = natpmp ? "Listening for NAT-PMP" : "HTTP listening on port";
        QByteArray log;
        const QDeadlineTimer deadline(20000);
        while (!log.contains(ready) && m_router.state() != QProcess::NotRunning && !deadline.hasExpired()) {
            m_router.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            log += m_router.readAll();
        }
        return log.contains(ready);
    }

    void stopRouter()
    {
        m_router.kill();
        m_router.waitForFinished(5000);
        // Its rules stay behind: the next router starts clean.
        exec(u"rt"_s, {u"nft"_s, u"flush chain inet nat prerouting_miniupnpd; flush chain inet nat "
                                 u"postrouting_miniupnpd; flush chain inet filter miniupnpd"_s});
    }

    // The router's forwardings, as "external port -> address:port".
    QStringList mappings() const
    {
        QByteArray listing;
        exec(u"rt"_s, {u"nft"_s, u"list chain inet nat prerouting_miniupnpd"_s}, &listing);
        static const QRegularExpression rule(u"dport (\\d+) dnat ip to ([\\d.]+:\\d+)"_s);
        QStringList found;
        for (const QRegularExpressionMatch &m : rule.globalMatch(QString::fromLatin1(listing)))
            found << m.captured(1) + u" -> "_s + m.captured(2);
        return found;
    }

private:
    // Answers each STUN binding request with the cookie and transaction it
    // came with, and a MAPPED-ADDRESS: where it came from, or the address
    // the test chose.
    void answerStun(int fd)
    {
        char buffer[1500];
        while (!m_stunStop) {
            pollfd p{fd, POLLIN, 0};
            sockaddr_in from{};
            socklen_t length = sizeof from;
            if (::poll(&p, 1, 100) <= 0 ||
                ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length) < 20)
                continue;
            const quint32 address = m_stunAnswer != 0 ? htonl(m_stunAnswer) : from.sin_addr.s_addr;
            QByteArray answer("\x01\x01\x00\x0c", 4);
            answer.append(buffer + 4, 16).append("\x00\x01\x00\x08\x00\x01", 6);
            answer.append(reinterpret_cast<const char *>(&from.sin_port), 2);
            answer.append(reinterpret_cast<const char *>(&address), 4);
            ::sendto(fd, answer.constData(), size_t(answer.size()), 0,
                     reinterpret_cast<const sockaddr *>(&from), length);
        }
        ::close(fd);
    }

    QTemporaryDir m_dir;
    QProcess m_router;
    int m_away = -1; // where the thread came from
    std::thread m_stun;
    std::atomic<bool> m_stunStop{false};
    std::atomic<quint32> m_stunAnswer{0};
};

} // namespace natter::test
