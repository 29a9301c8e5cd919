// Wire cipher throughput: encoding a chat line and deciphering received
// bytes, on one 64-byte line and on 1 MiB, beside a plain memcpy of the same
// size. Figures are bytes/s; the verdict at the end compares the 1 MiB runs
// with the copy (goal: encode and decode within 3x of memcpy).
#include "messaging/cipher.h"

#include <QByteArray>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// Typical chat text: letters, digits, punctuation, a few accented letters
// and the odd character outside the set (u diaeresis, tab), which the cipher
// drops.
QByteArray chatText(qsizetype size)
{
    static const char kSample[] = "bob: See you at 8 tomorrow? caf\xE9 \xE0 la gare, \x80"
                                  "5 each \xFC\t(ok!) ";
    QByteArray text;
    text.reserve(size);
    while (text.size() < size)
        text.append(kSample, qMin<qsizetype>(sizeof kSample - 1, size - text.size()));
    return text;
}

void BM_Memcpy(benchmark::State &state)
{
    const QByteArray in = chatText(state.range(0));
    std::vector<char> out(static_cast<std::size_t>(in.size()));
    for (auto _ : state) {
        std::memcpy(out.data(), in.constData(), out.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Encode(benchmark::State &state)
{
    const QByteArray in = chatText(state.range(0));
    for (auto _ : state) {
        QByteArray wire = natter::cipher::encode(in);
        benchmark::DoNotOptimize(wire.constData());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Decode(benchmark::State &state)
{
    // Deciphering what a peer would really send: the wire form of the text.
    const QByteArray in = natter::cipher::encode(chatText(state.range(0) * 2)).left(state.range(0));
    if (in.size() != state.range(0)) {
        state.SkipWithError("wire form shorter than asked for");
        return;
    }
    for (auto _ : state) {
        QByteArray text = natter::cipher::decode(in);
        benchmark::DoNotOptimize(text.constData());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

constexpr int kLine = 64;
constexpr int kMiB = 1 << 20;

// Prints the usual console table and keeps each run's bytes/s for the verdict.
class VerdictReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && run.run_type == Run::RT_Iteration)
                m_rates[run.benchmark_name()] = it->second.value;
        }
    }

    void verdict() const
    {
        const double copy = rate("BM_Memcpy/1048576");
        if (copy <= 0)
            return;
        std::printf("\n1 MiB throughput, relative to memcpy (goal: cipher within 3x):\n");
        bool ok = true;
        for (const char *name : {"BM_Encode/1048576", "BM_Decode/1048576"}) {
            const double r = rate(name);
            const double factor = r > 0 ? copy / r : 0;
            ok = ok && r > 0 && factor <= 3.0;
            std::printf("  %-20s %9.1f MB/s, %6.2fx slower than memcpy (%.1f MB/s)\n", name, r / 1e6, factor,
                        copy / 1e6);
        }
        for (const char *name : {"BM_Encode/64", "BM_Decode/64"}) {
            const double r = rate(name);
            std::printf("  %-20s %9.1f MB/s on one %d-byte line (%.0f ns a line)\n", name, r / 1e6, kLine,
                        r > 0 ? kLine / r * 1e9 : 0.0);
        }
        std::printf("Verdict: %s\n", ok ? "PASS, encode and decode within 3x of memcpy on 1 MiB"
                                        : "FAIL, the cipher is more than 3x slower than memcpy on 1 MiB");
    }

private:
    double rate(const std::string &name) const
    {
        const auto it = m_rates.find(name);
        return it == m_rates.end() ? 0.0 : it->second;
    }

    std::map<std::string, double> m_rates;
};

} // namespace

BENCHMARK(BM_Memcpy)->Arg(kLine)->Arg(kMiB);
BENCHMARK(BM_Encode)->Arg(kLine)->Arg(kMiB);
BENCHMARK(BM_Decode)->Arg(kLine)->Arg(kMiB);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    VerdictReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.verdict();
    benchmark::Shutdown();
    return 0;
}
