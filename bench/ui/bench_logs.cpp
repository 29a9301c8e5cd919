// Saving a 100,000-line transcript as a log and loading it with the log
// reader's loader: seconds per run and MB/s of log file.
#include "logreader/logloader.h"
#include "ui/transcriptcommands.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

void run(benchmark::State &state, bool save)
{
    const QRgb colours[] = {natter::colours::kOwn, natter::colours::kPeer, natter::colours::kSystem};
    QList<natter::TranscriptLine> lines;
    for (int i = 0; i < 100000; ++i)
        lines.append(
            {QStringLiteral("User%1: line %2 with {braces}, a \\ and caf\u00E9 \u20AC").arg(i % 2).arg(i),
             colours[i % 3]});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.ntl"));
    natter::TranscriptCommands::writeLog(path, lines);
    for (auto _ : state) {
        if (save)
            natter::TranscriptCommands::writeLog(path, lines);
        else if (natter::logreader::loadLog(path).lines.size() != lines.size())
            state.SkipWithError("log read back with a different line count");
    }
    const double mb = static_cast<double>(QFileInfo(path).size()) / 1e6;
    state.counters["MB"] =
        benchmark::Counter(mb * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK_CAPTURE(run, save, true)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(run, load, false)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_MAIN();
