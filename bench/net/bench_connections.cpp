// A line's way from SendText to the peer's read handler beside the plain-socket floor; and 1,000
// connection attempts, at most 5 in flight, at a host that keeps only the first connection.
#include "bench/net/loopbackfloor.h"
#include "net/scktcomp.h"
#include <QCoreApplication>
#include <QDir>
#include <cstdio>
using namespace natter;
using Clock = std::chrono::steady_clock;
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QDir fds(QStringLiteral("/proc/self/fd"), {}, QDir::NoSort, QDir::AllEntries | QDir::System);
    const auto runUntil = [](auto done) { // gives up after 10 s
        for (const auto start = Clock::now(); !done() && Clock::now() - start < std::chrono::seconds(10);)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        return done();
    };
    TServerSocket host;
    TClientSocket joiner;
    TServerWinSocket *listening = host.Socket();
    QByteArray atHost, atJoiner;
    Clock::time_point arrived;
    int extrasClosed = 0;
    listening->OnClientConnect = [listening](QObject *, TCustomWinSocket *k) {
        if (listening->Connections(0) != k)
            k->Close();
    };
    listening->OnClientDisconnect = [&extrasClosed, listening](QObject *, TCustomWinSocket *k) {
        extrasClosed += listening->ActiveConnections() > 1 && listening->Connections(0) != k;
    };
    listening->OnClientRead = [&](QObject *, TCustomWinSocket *k) {
        atHost += k->ReceiveText();
        arrived = Clock::now();
    };
    joiner.OnRead = [&atJoiner](QObject *, TCustomWinSocket *k) { atJoiner += k->ReceiveText(); };
    host.SetActive(true);
    const auto port = quint16(listening->LocalPort());
    joiner.SetHost(QStringLiteral("127.0.0.1"));
    joiner.SetPort(port);
    joiner.SetActive(true);
    runUntil([&] { return joiner.Active() && listening->ActiveConnections() == 1; });
    const QByteArray line("Zq1a!B`x7c%pQ9rT2uVw3yZ:");
    std::vector<double> us;
    for (int i = 0; i < 10000; ++i) {
        atHost.clear();
        const auto t0 = Clock::now();
        joiner.Socket()->SendText(line);
        if (!runUntil([&] { return atHost.size() >= line.size(); }))
            break;
        us.push_back(std::chrono::duration<double, std::micro>(arrived - t0).count());
    }
    std::sort(us.begin(), us.end());
    const double floor = bench::measurePlainLoopbackFloorMedianUs(10000);
    const double median = us.empty() ? 0 : us[us.size() / 2], p99 = us.empty() ? 0 : us[us.size() * 99 / 100];
    std::printf("line to read handler: median %.2f us, p99 %.2f us (%zu lines); plain sockets %.2f us\n",
                median, p99, us.size(), floor);
    const auto baseline = (fds.refresh(), fds.count());
    const sockaddr_in a{sa_family_t(AF_INET), htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    std::vector<int> raw;
    const auto start = Clock::now();
    const bool handled = runUntil([&] {
        while (raw.size() < 1000 && int(raw.size()) - extrasClosed < 5)
            ::connect(raw.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)),
                      reinterpret_cast<const sockaddr *>(&a), sizeof a);
        return extrasClosed >= 1000;
    });
    const auto ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    for (const int fd : raw)
        ::close(fd);
    joiner.Socket()->SendText("still there?");
    const bool answers = runUntil([&] { return atHost.endsWith("still there?"); }) &&
                         listening->Connections(0)->SendText("yes") == 3 &&
                         runUntil([&] { return atJoiner == "yes"; });
    const bool back = runUntil(
        [&] { return listening->ActiveConnections() == 1 && (fds.refresh(), fds.count()) == baseline; });
    std::printf("burst of 1000 (5 in flight): %d handled in %.0f ms, first conversation %s, descriptors %s\n",
                extrasClosed, ms, answers ? "answers" : "FAILS", back ? "back to baseline" : "NOT back");
    return handled && answers && back ? 0 : 1;
}
