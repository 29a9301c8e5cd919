#pragma once

// A plain socket on a numeric IPv4 or IPv6 address: the far side of a
// conversation as any other copy of the program (or a hostile one) would be,
// or a listener. Connected sockets are non-blocking; reads wait with the
// event loop running.

#include <QByteArray>
#include <QTest>

#include <cerrno>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace natter::test {

struct RawSocket {
    int fd = -1;
    QByteArray received; // what ended() has taken

    RawSocket() = default;
    explicit RawSocket(int handle) : fd(handle) {}
    RawSocket(RawSocket &&other) noexcept
        : fd(std::exchange(other.fd, -1)), received(std::move(other.received))
    {
    }
    ~RawSocket() { close(); }

    // A new socket bound to `ip` and `port` with SO_REUSEADDR, which may take
    // a held port; an IPv6 one takes that family alone unless `dualStack`.
    bool bind(const char *ip, quint16 port, bool dualStack = false)
    {
        socklen_t size = 0;
        const sockaddr_storage a = at(ip, port, size);
        close();
        fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        const int v6only = dualStack ? 0 : 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (a.ss_family == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        return ::bind(fd, reinterpret_cast<const sockaddr *>(&a), size) == 0;
    }

    // Listens on `ip` (only on that family); the port, 0 on failure.
    quint16 listen(const char *ip = "127.0.0.1", quint16 port = 0, int backlog = 1)
    {
        return bind(ip, port) && ::listen(fd, backlog) == 0 ? localPort() : 0;
    }

    // Connected once this returns (unless `wait` is false); on the socket
    // already made, if any.
    bool connectTo(const char *ip, quint16 port, bool wait = true)
    {
        socklen_t size = 0;
        const sockaddr_storage a = at(ip, port, size);
        if (fd < 0)
            fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), size) == 0;
        return ::fcntl(fd, F_SETFL, O_NONBLOCK) == 0 && connected;
    }
    bool connectTo(quint16 port) { return connectTo("127.0.0.1", port); }
    // Starts a connection to 127.0.0.1 without waiting for it.
    void startConnect(quint16 port) { connectTo("127.0.0.1", port, false); }

    // The next connection on this listener, waited for; invalid if none came.
    RawSocket accept()
    {
        int taken = -1;
        static_cast<void>(QTest::qWaitFor([&] {
            taken = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            return taken >= 0;
        }));
        return RawSocket(taken);
    }

    // Waits until `size` bytes have come, or the stream has ended; all that came.
    QByteArray read(qsizetype size)
    {
        static_cast<void>(QTest::qWaitFor([&] { return ended() || received.size() >= size; }));
        return std::exchange(received, QByteArray());
    }

    // Takes what is waiting; true at the end of the stream or on an error.
    bool ended()
    {
        char buf[65536];
        const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0)
            received.append(buf, r);
        return r == 0 || (r < 0 && errno != EAGAIN);
    }

    // Sends what the platform takes now of `data`; false once the other side
    // has closed the connection.
    bool offer(const QByteArray &data, qint64 &sent)
    {
        const ssize_t r = ::send(fd, data.constData(), size_t(data.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0)
            sent += r;
        return r >= 0 || errno == EAGAIN;
    }

    // Closes with a reset instead of an orderly end.
    void reset()
    {
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        close();
    }

    void close()
    {
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
    }

    quint16 localPort() const { return portOf(fd, ::getsockname); }
    // The far port of a connection `handle` (any socket of this process).
    static quint16 peerPort(int handle) { return portOf(handle, ::getpeername); }

    // Both families keep the port at the same place.
    static quint16 portOf(int handle, int (*name)(int, sockaddr *, socklen_t *))
    {
        sockaddr_in6 a{};
        socklen_t size = sizeof a;
        return name(handle, reinterpret_cast<sockaddr *>(&a), &size) == 0 ? ntohs(a.sin6_port) : 0;
    }

    static sockaddr_storage at(const char *ip, quint16 port, socklen_t &size)
    {
        sockaddr_storage s{};
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&s);
        const bool v4 = ::inet_pton(AF_INET, ip, &reinterpret_cast<sockaddr_in *>(&s)->sin_addr) == 1;
        if (!v4)
            ::inet_pton(AF_INET6, ip, &in6->sin6_addr);
        s.ss_family = v4 ? AF_INET : AF_INET6;
        in6->sin6_port = htons(port); // where sin_port is too
        size = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        return s;
    }
};

// A port nothing else is handed while this lives: bound on every address
// (not listening, so connections to it are refused) with SO_REUSEADDR, which
// the program's listening socket sets too, so the program can still listen
// on it. No close-and-reuse race with other tests running at the same time.
struct HeldPort : RawSocket {
    HeldPort()
    {
        if (!bind("::", 0, true)) // no IPv6 here
            bind("0.0.0.0", 0);
        port = localPort();
    }

    quint16 port = 0;
    QString text() const { return QString::number(port); }
};

// Whether this machine has ::1 to test on.
inline bool loopbackIpv6Works()
{
    RawSocket probe;
    return probe.listen("::1") != 0;
}

} // namespace natter::test
