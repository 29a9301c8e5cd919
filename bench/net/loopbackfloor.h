#pragma once

// The floor for one short line over loopback: two plain blocking sockets in
// one thread, a send on one and a receive on the other, timed per line. Any
// event-driven path can be printed beside it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace natter::bench {

struct LatencyFigures {
    double medianUs = 0;
    double p99Us = 0;
    int lines = 0;
};

// Median and 99th percentile of samples in microseconds (sorts them).
inline LatencyFigures summarize(std::vector<double> &samplesUs)
{
    LatencyFigures f;
    f.lines = int(samplesUs.size());
    if (samplesUs.empty())
        return f;
    std::sort(samplesUs.begin(), samplesUs.end());
    f.medianUs = samplesUs[samplesUs.size() / 2];
    f.p99Us = samplesUs[std::min(samplesUs.size() - 1, samplesUs.size() * 99 / 100)];
    return f;
}

inline void printFigures(const char *label, const LatencyFigures &f)
{
    std::printf("%-44s median %8.2f us   p99 %8.2f us   (%d lines)\n", label, f.medianUs, f.p99Us, f.lines);
}

// Sends `lines` copies of `line` from one plain blocking loopback socket to
// another and times each from before the send until the receive has it all.
// Returns zeros if the sockets cannot be set up.
inline LatencyFigures measurePlainLoopbackFloor(int lines = 10000,
                                                std::string_view line = "Zq1a!B`x7c%pQ9rT2uVw3yZ:") noexcept
{
    using Clock = std::chrono::steady_clock;
    LatencyFigures none;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return none;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int out = -1, in = -1;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(listener, 1) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
        out = ::socket(AF_INET, SOCK_STREAM, 0);
        if (out >= 0 && ::connect(out, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            in = ::accept(listener, nullptr, nullptr);
    }
    ::close(listener);
    std::vector<double> samples;
    if (in >= 0) {
        samples.reserve(size_t(lines));
        std::vector<char> buf(line.size());
        for (int i = 0; i < lines; ++i) {
            const auto t0 = Clock::now();
            if (::send(out, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
                break;
            size_t got = 0;
            while (got < line.size()) {
                const ssize_t r = ::recv(in, buf.data() + got, line.size() - got, 0);
                if (r <= 0)
                    break;
                got += size_t(r);
            }
            if (got < line.size())
                break;
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    }
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ::close(out);
    return summarize(samples);
}

} // namespace natter::bench
