#pragma once
// The floor for one short line over loopback: median microseconds from the send to the whole receive of a
// 24-byte line over two plain blocking sockets in one thread; 0 if they cannot be set up.
#include <algorithm>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>
namespace natter::bench {
inline double measurePlainLoopbackFloorMedianUs(int lines) noexcept
{
    static const char line[] = "Zq1a!B`x7c%pQ9rT2uVw3yZ:";
    constexpr ssize_t size = sizeof line - 1;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0), out = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{sa_family_t(AF_INET), 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    const bool ready = ::bind(listener, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
                       ::listen(listener, 1) == 0 &&
                       ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
                       ::connect(out, reinterpret_cast<sockaddr *>(&a), len) == 0;
    const int in = ready ? ::accept(listener, nullptr, nullptr) : -1;
    std::vector<double> us;
    char buf[size];
    for (int i = 0; in >= 0 && i < lines; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (::send(out, line, size, MSG_NOSIGNAL) != size || ::recv(in, buf, size, MSG_WAITALL) != size)
            break;
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    ::close(listener), ::close(out), ::close(in);
    std::nth_element(us.begin(), us.begin() + std::ptrdiff_t(us.size() / 2), us.end());
    return us.empty() ? 0 : us[us.size() / 2];
}
} // namespace natter::bench
