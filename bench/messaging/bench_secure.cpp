// The secure channel's cost in memory: a whole handshake (both sides), and
// sealing then opening a 30-byte and a 64 KiB line, beside a memcpy of the
// same bytes in the same run. Goal: the handshake well under 20 ms, so the
// loopback handshake stays under it too.
#include "messaging/securechannel.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>

using natter::secure::Role;
using natter::secure::SecureChannel;

namespace {

double g_handshakeNs = 0;
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
BENCHMARK(Memcpy)->Arg(30)->Arg(64 << 10)->UseRealTime();
BENCHMARK(SealOpen)->Arg(30)->Arg(64 << 10)->UseRealTime();

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("Handshake in memory: %.0f us (goal: under 20 ms on loopback)\n", g_handshakeNs / 1000);
    const char *names[] = {"30-byte", "64 KiB"};
    for (int i = 0; i < 2; ++i)
        std::printf("%s line sealed and opened: %.2f us, memcpy of it %.3f us (%.0fx)\n", names[i],
                    g_lineNs[i][1] / 1000, g_lineNs[i][0] / 1000, g_lineNs[i][1] / g_lineNs[i][0]);
    std::printf("Verdict: %s\n", g_handshakeNs < 20e6 ? "PASS" : "FAIL");
}
