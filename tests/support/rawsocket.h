#pragma once

// A plain blocking socket on a numeric IPv4 or IPv6 address: the far side of
// a conversation as any other copy of the program would be, or a listener.

#include <QByteArray>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace natter::test {

struct RawSocket {
    int fd = -1;
    RawSocket() = default;
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;
    ~RawSocket() { ::close(fd); }

    // Listens on `ip` (only on that family); the port, 0 on failure.
    quint16 listen(const char *ip, quint16 port = 0, int backlog = 1)
    {
        socklen_t size = 0;
        sockaddr_storage a = at(ip, port, size);
        fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (a.ss_family == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), size) != 0 || ::listen(fd, backlog) != 0)
            return 0;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
        return ntohs(a.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(a).sin_port
                                            : reinterpret_cast<sockaddr_in6 &>(a).sin6_port);
    }
    bool connectTo(const char *ip, quint16 port)
    {
        socklen_t size = 0;
        const sockaddr_storage a = at(ip, port, size);
        fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return ::connect(fd, reinterpret_cast<const sockaddr *>(&a), size) == 0;
    }
    // Waits until `size` bytes have come, or the stream has ended.
    QByteArray read(qsizetype size)
    {
        QByteArray got;
        char buf[256];
        static_cast<void>(QTest::qWaitFor([&] {
            const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            got.append(buf, qMax(r, ssize_t(0)));
            return got.size() >= size || r == 0;
        }));
        return got;
    }
    bool ended()
    {
        char c = 0;
        return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    }
    // Drains what has come; true once the stream has ended or failed.
    bool gone(QByteArray *received = nullptr)
    {
        char buf[256];
        for (;;) {
            const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0 && received)
                received->append(buf, r);
            if (r <= 0)
                return r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        }
    }
    // Leaves with a reset instead of an orderly end.
    void reset()
    {
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(std::exchange(fd, -1));
    }
    quint16 localPort() const { return portOf(fd, ::getsockname); }
    // The far port of a connection `handle` (any socket of this process).
    static quint16 peerPort(int handle) { return portOf(handle, ::getpeername); }

    static quint16 portOf(int handle, int (*name)(int, sockaddr *, socklen_t *))
    {
        sockaddr_storage a{};
        socklen_t size = sizeof a;
        if (name(handle, reinterpret_cast<sockaddr *>(&a), &size) != 0)
            return 0;
        return ntohs(a.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(a).sin_port
                                            : reinterpret_cast<sockaddr_in6 &>(a).sin6_port);
    }
    static sockaddr_storage at(const char *ip, quint16 port, socklen_t &size)
    {
        sockaddr_storage s{};
        auto *in = reinterpret_cast<sockaddr_in *>(&s);
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&s);
        if (::inet_pton(AF_INET, ip, &in->sin_addr) == 1) {
            in->sin_family = AF_INET;
            in->sin_port = htons(port);
            size = sizeof *in;
        } else {
            ::inet_pton(AF_INET6, ip, &in6->sin6_addr);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port);
            size = sizeof *in6;
        }
        return s;
    }
};

// Whether this machine has ::1 to test on.
inline bool loopbackIpv6Works()
{
    RawSocket probe;
    return probe.listen("::1") != 0;
}

} // namespace natter::test
