// A real natter host (the window shown, everything behind it, on the offscreen platform) flooded for a fixed
// time by a joiner that can encrypt: it types the host's code, finishes the handshake and sends sealed
// records of 60,000 bytes as fast as loopback takes them, and connects again, with the code shown next,
// whenever the host cuts it at 4 MB of text. A second raw peer connects every 100 ms and times the busy
// notice (or the absent notice, when it finds the host free). Goals as for the plain flood: probe p99 under
// 50 ms over at least 100 probes, peak RSS under 300 MB. Usage: bench_flood_secure [seconds, default 30]
#include "bench/app/floodprobe.h"
#include "messaging/securechannel.h"
#include "tests/support/chatprogram.h"
#include "tests/support/rawsocket.h"

#include <QApplication>
#include <QFile>
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
using namespace natter::bench;

namespace {

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

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 30;

    test::ChatProgram host;
    host.form.show();
    const test::HeldPort held;
    const quint16 port = held.port;
    host.answer({QStringLiteral("host"), held.text()});
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
            const int fd = connectTo(port, std::chrono::milliseconds(200));
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
    Prober prober(port, done);
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

    const std::vector<double> &probes = prober.times;
    const int failed = prober.failed;
    const double p99 = percentile(probes, 0.99);
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
