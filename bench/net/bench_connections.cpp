// Figures for the connections layer:
//  1. one short line from SendText on one endpoint to the peer's read
//     handler over loopback, median and p99 over 10,000 lines, beside the
//     same line over two plain blocking sockets (the floor);
//  2. a burst of 1,000 connection attempts at a listening endpoint whose
//     handlers close every extra connection: time until all are handled,
//     whether the first conversation still answers, and the descriptors.

#include "bench/net/loopbackfloor.h"
#include "net/scktcomp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace natter;
using Clock = std::chrono::steady_clock;

namespace {

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

// Runs the event loop until `done` holds or `seconds` have passed.
bool runUntil(const std::function<bool()> &done, int seconds = 30)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > seconds * 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

const QByteArray kLine("Zq1a!B`x7c%pQ9rT2uVw3yZ:");

bench::LatencyFigures lineLatency(TCustomWinSocket *from, QByteArray &received, Clock::time_point &arrived,
                                  int lines)
{
    std::vector<double> samples;
    samples.reserve(size_t(lines));
    for (int i = 0; i < lines; ++i) {
        received.clear();
        const auto t0 = Clock::now();
        from->SendText(kLine);
        if (!runUntil([&] { return received.size() >= kLine.size(); }, 5))
            break;
        samples.push_back(std::chrono::duration<double, std::micro>(arrived - t0).count());
    }
    return bench::summarize(samples);
}

int rawConnect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int lines = 10000;

    TServerSocket host;
    TClientSocket joiner;
    QByteArray atHost, atJoiner;
    Clock::time_point hostGot, joinerGot;
    int extrasClosed = 0;
    TServerWinSocket *listening = host.Socket();

    // Admission as a host does it: the first connection stays, every later
    // one is closed at once.
    listening->OnClientConnect = [listening](QObject *, TCustomWinSocket *) {
        for (int i = 1; i < listening->ActiveConnections(); ++i)
            if (listening->Connections(i)->Connected())
                listening->Connections(i)->Close();
    };
    listening->OnClientDisconnect = [&extrasClosed, listening](QObject *, TCustomWinSocket *s) {
        if (listening->ActiveConnections() > 0 && listening->Connections(0) != s)
            ++extrasClosed;
    };
    listening->OnClientRead = [&](QObject *, TCustomWinSocket *s) {
        atHost += s->ReceiveText();
        hostGot = Clock::now();
    };
    joiner.OnRead = [&](QObject *, TCustomWinSocket *s) {
        atJoiner += s->ReceiveText();
        joinerGot = Clock::now();
    };

    host.SetPort(0);
    host.SetActive(true);
    const auto port = quint16(listening->LocalPort());
    joiner.SetHost(QStringLiteral("127.0.0.1"));
    joiner.SetPort(port);
    joiner.SetActive(true);
    if (!runUntil([&] { return joiner.Active() && listening->ActiveConnections() == 1; })) {
        std::printf("could not set up the conversation\n");
        return 1;
    }

    std::printf("One %d-byte line, sender's SendText to the peer's read handler, loopback:\n",
                int(kLine.size()));
    const bench::LatencyFigures floor1 = bench::measurePlainLoopbackFloor(lines, kLine.toStdString());
    const bench::LatencyFigures up = lineLatency(joiner.Socket(), atHost, hostGot, lines);
    const bench::LatencyFigures down = lineLatency(listening->Connections(0), atJoiner, joinerGot, lines);
    const bench::LatencyFigures floor2 = bench::measurePlainLoopbackFloor(lines, kLine.toStdString());
    const bench::LatencyFigures &floor = floor1.medianUs <= floor2.medianUs ? floor1 : floor2;
    bench::printFigures("plain blocking sockets (floor, better run)", floor);
    bench::printFigures("joiner -> host (client endpoint -> OnClientRead)", up);
    bench::printFigures("host -> joiner (connection -> OnRead)", down);
    if (floor.medianUs > 0)
        std::printf("median ratio to the floor: %.2fx and %.2fx (goal: within 1.5x)\n",
                    up.medianUs / floor.medianUs, down.medianUs / floor.medianUs);

    // --- burst of connection attempts ---------------------------------------
    const int attempts = 1000;
    // With at most 5 attempts in flight the listen queue (backlog 5) never
    // overflows. All at once, the kernel drops or cookie-answers what does
    // not fit and the far sides' retransmissions set the pace; there each far
    // side says one byte once it believes it is connected, as a joiner
    // typing would, which is what makes a cookie-answered attempt arrive.
    for (const int window : {5, 50, attempts}) {
        const int baseline = openDescriptors();
        extrasClosed = 0;
        std::vector<int> raw;
        std::vector<bool> said;
        raw.reserve(size_t(attempts));
        QElapsedTimer t;
        t.start();
        bool allHandled = runUntil(
            [&] {
                // Keep at most `window` attempts not yet handled.
                while (int(raw.size()) < attempts && int(raw.size()) - extrasClosed < window)
                    raw.push_back(rawConnect(port));
                for (size_t i = said.size(); i < raw.size(); ++i)
                    said.push_back(false);
                for (size_t i = 0; i < raw.size(); ++i)
                    if (!said[i] && ::send(raw[i], "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
                        said[i] = true;
                return extrasClosed >= attempts;
            },
            window == attempts ? 20 : 60);
        const qint64 ms = t.elapsed();
        // Every attempt ends: each far side sees its connection closed.
        int ended = 0;
        for (const int fd : raw) {
            char c;
            const ssize_t r = ::recv(fd, &c, 1, MSG_DONTWAIT);
            if (r == 0 || (r < 0 && errno == ECONNRESET))
                ++ended;
            ::close(fd);
        }
        atJoiner.clear();
        atHost.clear();
        joiner.Socket()->SendText("still there?");
        const bool answers = runUntil([&] { return atHost == "still there?"; }, 5);
        if (answers)
            listening->Connections(0)->SendText("yes");
        const bool answered = answers && runUntil([&] { return atJoiner == "yes"; }, 5);
        const bool released = runUntil([&] { return listening->ActiveConnections() == 1; }, 5);
        const bool back = runUntil([&] { return openDescriptors() == baseline; }, 5);
        std::printf("burst of %d attempts, at most %d in flight: %s in %lld ms (%.1f us each); %d far sides "
                    "closed; first conversation %s; connections %d; descriptors %s (%d, baseline %d)\n",
                    attempts, window,
                    allHandled ? "all handled"
                               : qPrintable(QStringLiteral("only %1 handled").arg(extrasClosed)),
                    static_cast<long long>(ms), double(ms) * 1000.0 / attempts, ended,
                    answered ? "answers" : "DOES NOT answer", listening->ActiveConnections(),
                    back && released ? "back to baseline" : "NOT back", openDescriptors(), baseline);
    }
    return 0;
}
