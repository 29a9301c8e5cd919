// The secure channel's cost: a whole handshake (both sides) in memory and
// over loopback TCP from the connect on, and sealing then opening a 30-byte
// and a 64 KiB line, beside a memcpy of the same bytes in the same run.
// Goal: the handshake on loopback under 20 ms.
#include "messaging/securechannel.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

using natter::secure::Role;
using natter::secure::SecureChannel;

namespace {

double g_handshakeNs = 0, g_loopbackNs = 0;
double g_lineNs[2][2]; // [30 B, 64 KiB][memcpy, seal and open]

template <typename Body> double timed(benchmark::State &state, Body body)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state)
        body();
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - t0;
    return spent.count() / static_cast<double>(state.iterations());
}

void Handshake(benchmark::State &state)
{
    g_handshakeNs = timed(state, [] {
        SecureChannel host(Role::Host, "482917"), joiner(Role::Joiner, "482917");
        const QByteArray reply = joiner.receive(host.start()).send;
        const auto done = joiner.receive(host.receive(reply).send);
        if (!done.established)
            std::abort();
    });
}

// Reads `socket` until `channel` has something to answer (or is done), and
// sends that back.
SecureChannel::Output answer(QTcpSocket &socket, SecureChannel &channel)
{
    for (;;) {
        if (!socket.waitForReadyRead(2000))
            std::abort();
        SecureChannel::Output out = channel.receive(socket.readAll());
        if (out.failure != natter::secure::Failure::None)
            std::abort();
        if (!out.send.isEmpty() || out.established) {
            socket.write(out.send);
            socket.flush();
            return out;
        }
    }
}

void HandshakeLoopback(benchmark::State &state)
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost))
        std::abort();
    g_loopbackNs = timed(state, [&] {
        QTcpSocket joinerSocket;
        joinerSocket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!joinerSocket.waitForConnected(2000) || !server.waitForNewConnection(2000))
            std::abort();
        std::unique_ptr<QTcpSocket> hostSocket(server.nextPendingConnection());
        SecureChannel host(Role::Host, "482917"), joiner(Role::Joiner, "482917");
        joinerSocket.write(natter::secure::offerWire());
        joinerSocket.flush();
        QByteArray first;
        while (natter::secure::matchOffer(first) == natter::secure::OfferMatch::Prefix) {
            if (!hostSocket->waitForReadyRead(2000))
                std::abort();
            first += hostSocket->readAll();
        }
        hostSocket->write(host.start());
        hostSocket->flush();
        answer(joinerSocket, joiner); // the reply
        answer(*hostSocket, host);    // the confirmation
        if (!answer(joinerSocket, joiner).established)
            std::abort();
    });
}

int sizeIndex(benchmark::State &state)
{
    return state.range(0) == 30 ? 0 : 1;
}

void Memcpy(benchmark::State &state)
{
    const QByteArray line(state.range(0), 'a');
    QByteArray out(line.size(), '\0');
    g_lineNs[sizeIndex(state)][0] = timed(state, [&] {
        std::memcpy(out.data(), line.constData(), static_cast<std::size_t>(line.size()));
        benchmark::DoNotOptimize(out.data());
    });
    state.SetBytesProcessed(state.iterations() * line.size());
}

void SealOpen(benchmark::State &state)
{
    SecureChannel host(Role::Host, "482917"), joiner(Role::Joiner, "482917");
    const QByteArray reply = joiner.receive(host.start()).send;
    joiner.receive(host.receive(reply).send);
    const QByteArray line(state.range(0), 'a');
    g_lineNs[sizeIndex(state)][1] = timed(state, [&] {
        const auto out = joiner.receive(host.seal(line));
        benchmark::DoNotOptimize(out.lines.constData());
    });
    state.SetBytesProcessed(state.iterations() * line.size());
}

} // namespace

BENCHMARK(Handshake)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(HandshakeLoopback)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(Memcpy)->Arg(30)->Arg(64 << 10)->UseRealTime();
BENCHMARK(SealOpen)->Arg(30)->Arg(64 << 10)->UseRealTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf(
        "Handshake in memory: %.0f us; on loopback from the connect on: %.0f us (goal: under 20 ms)\n",
        g_handshakeNs / 1000, g_loopbackNs / 1000);
    const char *names[] = {"30-byte", "64 KiB"};
    for (int i = 0; i < 2; ++i)
        std::printf("%s line sealed and opened: %.2f us, memcpy of it %.3f us (%.0fx)\n", names[i],
                    g_lineNs[i][1] / 1000, g_lineNs[i][0] / 1000, g_lineNs[i][1] / g_lineNs[i][0]);
    std::printf("Verdict: %s\n", g_loopbackNs < 20e6 ? "PASS" : "FAIL");
}
