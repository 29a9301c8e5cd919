#include "net/socketaddress.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

namespace natter {

namespace {

const sockaddr_in &asIpv4(const sockaddr_storage &s)
{
    return reinterpret_cast<const sockaddr_in &>(s);
}

const sockaddr_in6 &asIpv6(const sockaddr_storage &s)
{
    return reinterpret_cast<const sockaddr_in6 &>(s);
}

QString ipv4Text(const in_addr &address)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return QString::fromLatin1(text);
}

// Eight groups in lower-case hexadecimal without leading zeros; the longest
// run of two or more zero groups (the first of equal runs) becomes "::".
QString ipv6Text(const in6_addr &address)
{
    quint16 groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = quint16(address.s6_addr[2 * i] << 8 | address.s6_addr[2 * i + 1]);
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        int length = 0;
        while (i + length < 8 && groups[i + length] == 0)
            ++length;
        if (length > bestLength) {
            bestStart = i;
            bestLength = length;
        }
        i += length > 0 ? length : 1;
    }
    QString text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += QLatin1String("::");
            i += bestLength - 1;
            continue;
        }
        if (!text.isEmpty() && !text.endsWith(QLatin1Char(':')))
            text += QLatin1Char(':');
        text += QString::number(groups[i], 16);
    }
    return text;
}

QString zoneText(quint32 scope)
{
    char name[IF_NAMESIZE] = {};
    if (::if_indextoname(scope, name))
        return QString::fromLatin1(name);
    return QString::number(scope);
}

std::optional<quint32> zoneIndex(const QByteArray &zone)
{
    if (zone.isEmpty() || zone.size() >= IF_NAMESIZE)
        return std::nullopt;
    bool numeric = false;
    const uint n = zone.toUInt(&numeric);
    if (numeric)
        return n;
    const unsigned index = ::if_nametoindex(zone.constData());
    if (index == 0)
        return std::nullopt;
    return index;
}

} // namespace

SocketAddress SocketAddress::anyOf(int family)
{
    SocketAddress a;
    if (family == AF_INET6) {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(a.m_storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_any;
        a.m_size = sizeof in6;
    } else {
        a = ipv4(INADDR_ANY);
    }
    return a;
}

SocketAddress SocketAddress::ipv4(quint32 address)
{
    SocketAddress a;
    auto &in = reinterpret_cast<sockaddr_in &>(a.m_storage);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    a.m_size = sizeof in;
    return a;
}

std::optional<SocketAddress> SocketAddress::fromText(const QString &text)
{
    QString t = text.trimmed();
    if (t.size() > 80)
        return std::nullopt;
    const bool bracketed = t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']'));
    if (bracketed)
        t = t.mid(1, t.size() - 2);
    const QByteArray latin = t.toLatin1();
    if (latin.contains('\0') || QString::fromLatin1(latin) != t)
        return std::nullopt;

    SocketAddress a;
    if (!bracketed) {
        auto &in = reinterpret_cast<sockaddr_in &>(a.m_storage);
        if (::inet_pton(AF_INET, latin.constData(), &in.sin_addr) == 1) {
            in.sin_family = AF_INET;
            a.m_size = sizeof in;
            return a;
        }
    }
    const qsizetype percent = latin.indexOf('%');
    const QByteArray numeric = percent < 0 ? latin : latin.left(percent);
    auto &in6 = reinterpret_cast<sockaddr_in6 &>(a.m_storage);
    if (::inet_pton(AF_INET6, numeric.constData(), &in6.sin6_addr) != 1)
        return std::nullopt;
    if (percent >= 0) {
        const std::optional<quint32> zone = zoneIndex(latin.mid(percent + 1));
        if (!zone)
            return std::nullopt;
        in6.sin6_scope_id = *zone;
    }
    in6.sin6_family = AF_INET6;
    a.m_size = sizeof in6;
    return a;
}

std::optional<SocketAddress> SocketAddress::peerOf(int handle)
{
    SocketAddress a;
    a.m_size = sizeof a.m_storage;
    if (::getpeername(handle, reinterpret_cast<sockaddr *>(&a.m_storage), &a.m_size) != 0)
        return std::nullopt;
    return a;
}

SocketAddress SocketAddress::fromStorage(const sockaddr_storage &storage, socklen_t size)
{
    SocketAddress a;
    a.m_storage = storage;
    a.m_size = std::min<socklen_t>(size, sizeof a.m_storage);
    return a;
}

std::optional<SocketAddress> SocketAddress::localOf(int handle)
{
    SocketAddress a;
    a.m_size = sizeof a.m_storage;
    if (::getsockname(handle, reinterpret_cast<sockaddr *>(&a.m_storage), &a.m_size) != 0)
        return std::nullopt;
    return a;
}

quint16 SocketAddress::port() const
{
    switch (family()) {
    case AF_INET:
        return ntohs(asIpv4(m_storage).sin_port);
    case AF_INET6:
        return ntohs(asIpv6(m_storage).sin6_port);
    default:
        return 0;
    }
}

void SocketAddress::setPort(quint16 port)
{
    if (family() == AF_INET)
        reinterpret_cast<sockaddr_in &>(m_storage).sin_port = htons(port);
    else if (family() == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(m_storage).sin6_port = htons(port);
}

QString SocketAddress::text() const
{
    if (family() == AF_INET)
        return ipv4Text(asIpv4(m_storage).sin_addr);
    if (family() != AF_INET6)
        return QString();
    const sockaddr_in6 &in6 = asIpv6(m_storage);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
        in_addr v4{};
        std::memcpy(&v4, in6.sin6_addr.s6_addr + 12, sizeof v4);
        return ipv4Text(v4);
    }
    QString text = ipv6Text(in6.sin6_addr);
    if (in6.sin6_scope_id != 0)
        text += QLatin1Char('%') + zoneText(in6.sin6_scope_id);
    return text;
}

bool SocketAddress::operator==(const SocketAddress &other) const
{
    if (family() != other.family())
        return false;
    if (family() == AF_INET)
        return asIpv4(m_storage).sin_addr.s_addr == asIpv4(other.m_storage).sin_addr.s_addr &&
               port() == other.port();
    if (family() == AF_INET6) {
        const sockaddr_in6 &a = asIpv6(m_storage);
        const sockaddr_in6 &b = asIpv6(other.m_storage);
        return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 &&
               a.sin6_scope_id == b.sin6_scope_id && a.sin6_port == b.sin6_port;
    }
    return true;
}

int openStreamSocket(int family)
{
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int openIpv6OrIpv4Socket(bool dualStack)
{
    const int handle = openStreamSocket(AF_INET6);
    if (handle >= 0) {
        if (!dualStack)
            return handle;
        // Off, whatever the system's default: IPv4 peers arrive on this
        // socket as IPv4-mapped addresses.
        const int off = 0;
        if (::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0)
            return handle;
        ::close(handle);
    } else if (errno != EAFNOSUPPORT && errno != EPROTONOSUPPORT && errno != EINVAL) {
        return -1; // no descriptor left, or the like: IPv4 would fail alike
    }
    return openStreamSocket(AF_INET);
}

int socketFamily(int handle)
{
    int family = AF_UNSPEC;
    socklen_t len = sizeof family;
    if (::getsockopt(handle, SOL_SOCKET, SO_DOMAIN, &family, &len) != 0)
        return AF_UNSPEC;
    return family;
}

} // namespace natter
