// Saving a long transcript as a rich-text log, loading it in the log reader,
// and showing it in the reader's window, reported as time per run and
// throughput (MB/s of log file).
#include "logreader/logloader.h"
#include "logreader/logreaderwindow.h"
#include "ui/rtf.h"
#include "ui/transcriptcommands.h"

#include <QApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

class NullMessageBox final : public natter::IMessageBox {
public:
    void showMessage(const QString &) override {}
};

QList<natter::TranscriptLine> longTranscript(int count)
{
    static const QRgb kColours[] = {natter::colours::kOwn, natter::colours::kPeer, natter::colours::kSystem};
    QList<natter::TranscriptLine> lines;
    lines.reserve(count);
    for (int i = 0; i < count; ++i) {
        lines.append({QStringLiteral("User%1: line %2 with {braces}, a \\ backslash and caf\u00E9 \u20AC%3")
                          .arg(i % 2)
                          .arg(i)
                          .arg(i % 97),
                      kColours[i % 3]});
    }
    return lines;
}

void BM_SaveLog(benchmark::State &state)
{
    const auto lines = longTranscript(static_cast<int>(state.range(0)));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.ntl"));
    for (auto _ : state)
        natter::TranscriptCommands::writeLog(path, lines);
    const qint64 bytes = QFileInfo(path).size();
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_LoadLog(benchmark::State &state)
{
    const auto lines = longTranscript(static_cast<int>(state.range(0)));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.ntl"));
    natter::TranscriptCommands::writeLog(path, lines);
    const qint64 bytes = QFileInfo(path).size();
    for (auto _ : state) {
        const natter::logreader::LoadedLog log = natter::logreader::loadLog(path);
        if (log.lines.size() != lines.size())
            state.SkipWithError("log read back with a different line count");
        benchmark::DoNotOptimize(log.lines.constData());
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

// Opening the log in the reader's window: loading plus building the page.
void BM_ShowLog(benchmark::State &state)
{
    const auto lines = longTranscript(static_cast<int>(state.range(0)));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.ntl"));
    natter::TranscriptCommands::writeLog(path, lines);
    const qint64 bytes = QFileInfo(path).size();
    NullMessageBox messages;
    natter::logreader::LogReaderWindow window(messages);
    window.show();
    for (auto _ : state) {
        if (!window.openFile(path))
            state.SkipWithError("log did not open");
        QCoreApplication::processEvents();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

} // namespace

BENCHMARK(BM_SaveLog)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadLog)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShowLog)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
