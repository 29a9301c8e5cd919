// A real natter host (the window shown, everything behind it, on the offscreen platform) flooded for a fixed
// time by a joiner that can encrypt: it types the host's code, finishes the handshake and sends sealed
// records of 60,000 bytes as fast as loopback takes them, and connects again, with the code shown next,
// whenever the host cuts it at 4 MB of text. A second raw peer connects every 100 ms and times the busy
// notice (or the absent notice, when it finds the host free). Goals as for the plain flood: probe p99 under
// 50 ms over at least 100 probes, peak RSS under 300 MB. Usage: bench_flood_secure [seconds, default 30]
#include "messaging/securechannel.h"
#include "tests/support/chatprogram.h"

#include <QApplication>
#include <QFile>
#include <QTcpServer>
#include <QToolButton>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace natter;
using Clock = std::chrono::steady_clock;

namespace {

int connectTo(quint16 port)
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
    const timeval limit{0, 200 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

bool sendAll(int fd, const QByteArray &bytes, Clock::time_point deadline)
{
    for (qsizetype at = 0; at < bytes.size() && Clock::now() < deadline;) {
        const ssize_t r = ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (r > 0)
            at += r;
        else if (r == 0 || errno != EAGAIN)
            return false;
        if (at == bytes.size())
            return true;
    }
    return false;
}

// The offer, then the handshake with `code`; true once the host has confirmed.
bool handshake(int fd, secure::SecureChannel &channel, Clock::time_point deadline)
{
    if (!sendAll(fd, secure::offerWire(), deadline))
        return false;
    char buf[4096];
    while (!channel.isEstablished() && Clock::now() < deadline) {
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno != EAGAIN))
            return false;
        const secure::SecureChannel::Output out = channel.receive(QByteArrayView(buf, qMax(r, ssize_t(0))));
        if (out.failure != secure::Failure::None || (!out.send.isEmpty() && !sendAll(fd, out.send, deadline)))
            return false;
    }
    return channel.isEstablished();
}

// Connects, says something, then waits (at most 5 s) for a 35-byte notice. Milliseconds, or -1.
double probeOnce(quint16 port)
{
    const int fd = connectTo(port);
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

long peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    const QByteArray s = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    return s.mid(s.indexOf("VmHWM:") + 6, 16).trimmed().split(' ').value(0).toLong();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 30;

    test::ChatProgram host;
    host.form.show();
    QTcpServer spare; // finds a free port
    const quint16 port = spare.listen(QHostAddress::LocalHost) ? spare.serverPort() : 0;
    spare.close();
    host.answer({QStringLiteral("host"), QString::number(port)});
    host.form.Listen1Click();
    host.form.ToolButton2->click(); // absent: a probe that finds the host free is told so

    std::mutex codeLock; // the code the window shows, for the flooder's thread
    QByteArray code = host.code().toLatin1();
    std::atomic<bool> done = false;
    std::atomic<qint64> offered = 0;
    std::atomic<int> conversations = 0;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    std::thread flooder([&] {
        const QByteArray line = "bob: " + QByteArray(59995, 'x');
        QByteArray used;
        while (Clock::now() < deadline) {
            QByteArray next;
            for (auto wait = Clock::now() + std::chrono::seconds(1); Clock::now() < wait;) {
                {
                    const std::lock_guard<std::mutex> hold(codeLock);
                    next = code;
                }
                if (next != used)
                    break; // a code serves one conversation: wait for the next one shown
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const int fd = connectTo(port);
            if (fd < 0)
                continue;
            secure::SecureChannel channel(secure::Role::Joiner, next);
            if (handshake(fd, channel, deadline)) {
                used = next;
                ++conversations;
                while (sendAll(fd, channel.seal(line), deadline))
                    offered += line.size();
            }
            ::close(fd);
        }
        done = true;
    });
    std::vector<double> probes;
    int failed = 0;
    std::thread prober([&] {
        while (!done) {
            const auto next = Clock::now() + std::chrono::milliseconds(100);
            const double ms = probeOnce(port);
            ms < 0 ? ++failed : (probes.push_back(ms), 0);
            std::this_thread::sleep_until(next);
        }
    });
    int clears = 0;
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const QByteArray shown = host.code().toLatin1();
        if (!shown.isEmpty()) {
            const std::lock_guard<std::mutex> hold(codeLock);
            code = shown;
        }
        if (host.form.transcript().nearlyFull()) { // the user saves and clears, as the grey line asks
            host.form.Cleartext1Click();
            ++clears;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    prober.join();
    flooder.join();

    std::sort(probes.begin(), probes.end());
    const double p99 = probes.empty() ? 0 : probes[std::min(probes.size() - 1, probes.size() * 99 / 100)];
    const long rssMb = peakRssKb() / 1024;
    const bool ok = probes.size() >= 100 && p99 < 50 && rssMb < 300 && failed == 0 && conversations > 0;
    std::printf(
        "Encrypted flood for %.1f s (window shown): %.0f MB of text sealed and sent over %d encrypted "
        "conversations, %d clears\n"
        "Probe: %zu answered, %d failed, p99 %.1f ms; peak RSS %ld MB\n"
        "Verdict: %s (goal: p99 under 50 ms over at least 100 probes, RSS under 300 MB)\n",
        elapsed, double(offered) / 1e6, int(conversations), clears, probes.size(), failed, p99, rssMb,
        ok ? "PASS" : "FAIL");
    return 0;
}
