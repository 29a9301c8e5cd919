#pragma once

// What the flood benchmarks share: raw loopback connections, the probe that times the notice a joiner is
// sent while the host is flooded, and the figures they report.

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace natter::bench {

using Clock = std::chrono::steady_clock;

// A blocking connection to the host on 127.0.0.1, or -1. With `timeouts`, a send or receive that blocks
// that long returns, so the caller can look at its deadline.
inline int connectTo(quint16 port, std::chrono::milliseconds timeouts = {})
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    if (timeouts.count() > 0) {
        const timeval limit{time_t(timeouts.count() / 1000), suseconds_t(timeouts.count() % 1000 * 1000)};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    return fd;
}

// Connects, says something, then waits (at most 5 s) for a 35-byte notice. Milliseconds, or -1.
inline double probeOnce(quint16 port)
{
    const int fd = connectTo(port, std::chrono::milliseconds(200));
    if (fd < 0)
        return -1;
    ::send(fd, "\x51\x6D", 2, MSG_NOSIGNAL); // an old copy: a free host decides on it and says it is absent
    const auto start = Clock::now();
    char buf[64];
    ssize_t got = 0;
    while (got < 35 && Clock::now() - start < std::chrono::seconds(5)) {
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno != EAGAIN))
            break;
        got += qMax(r, ssize_t(0));
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ::close(fd);
    return got >= 35 ? ms : -1;
}

// The probe every 100 ms on a thread of its own, until `done`.
class Prober {
public:
    Prober(quint16 port, const std::atomic<bool> &done)
        : m_thread([this, port, &done] {
              while (!done) {
                  const auto next = Clock::now() + std::chrono::milliseconds(100);
                  const double ms = probeOnce(port);
                  ms < 0 ? ++failed : (times.push_back(ms), 0);
                  std::this_thread::sleep_until(next);
              }
          })
    {
    }
    void join() { m_thread.join(); }

    std::vector<double> times;
    int failed = 0;

private:
    std::thread m_thread;
};

inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

inline long peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    const QByteArray s = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    return s.mid(s.indexOf("VmHWM:") + 6, 16).trimmed().split(' ').value(0).toLong();
}

} // namespace natter::bench
