// A transcript grown to 100,000 coloured lines: what appending one line costs
// early on (around line 1,000) and late (around line 100,000), and the
// process's resident memory at the end. Appending must stay O(1): goal within
// 2x; memory goal under 150 MB.
//
// Each line is appended as the program appends a received line, in its own
// turn of the event loop on a shown window; the append itself and the event
// processing after it (layout, repaint) are timed apart.
#include "app/transcriptview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

using namespace natter;

namespace {

// Resident set size of this process in MB, from /proc/self/status.
double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:")) {
            const QByteArray kb = line.mid(6).trimmed().split(' ').value(0);
            return kb.toDouble() / 1024.0;
        }
    }
    return 0;
}

struct Window {
    int first; // 1-based line numbers [first, last]
    int last;
};

double mean(const std::vector<double> &v, Window w)
{
    const auto b = v.begin() + (w.first - 1), e = v.begin() + w.last;
    return std::accumulate(b, e, 0.0) / static_cast<double>(e - b);
}

double median(const std::vector<double> &v, Window w)
{
    std::vector<double> part(v.begin() + (w.first - 1), v.begin() + w.last);
    std::nth_element(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(part.size() / 2), part.end());
    return part[part.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int total = argc > 1 ? std::max(2000, QByteArray(argv[1]).toInt()) : 100000;
    constexpr int kHalfWindow = 100;
    const Window early{1000 - kHalfWindow + 1, 1000 + kHalfWindow};
    const Window late{total - 2 * kHalfWindow + 1, total};

    TranscriptView view;
    view.resize(292, 329);
    view.show();
    QCoreApplication::processEvents();
    const double startMb = residentMb();

    static const QRgb kColours[] = {colours::kPeer, colours::kOwn, colours::kSystem};
    std::vector<double> appendUs(static_cast<std::size_t>(total)), eventsUs(static_cast<std::size_t>(total));
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= total; ++i) {
        const QString line = QStringLiteral("bob: line %1, see you at the caf\u00E9 at 8, bring \u00A35 (%2)")
                                 .arg(i)
                                 .arg(i % 97);
        const qint64 t0 = clock.nsecsElapsed();
        view.setColour(kColours[i % 3]);
        view.appendLine(line);
        const qint64 t1 = clock.nsecsElapsed();
        QCoreApplication::processEvents();
        const qint64 t2 = clock.nsecsElapsed();
        appendUs[static_cast<std::size_t>(i - 1)] = static_cast<double>(t1 - t0) / 1e3;
        eventsUs[static_cast<std::size_t>(i - 1)] = static_cast<double>(t2 - t1) / 1e3;
    }
    const double grownSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double endMb = residentMb();
    const int blocks = view.document()->blockCount();

    std::printf("Transcript grown to %d coloured lines on a shown window (%.1f s in all)\n", blocks,
                grownSeconds);
    std::printf("  %-34s %12s %12s %14s %12s\n", "", "append mean", "append med.", "+events mean",
                "+events med.");
    for (const auto &[name, w] : {std::pair{"lines 901-1,100", early}, std::pair{"last 200 lines", late}}) {
        std::printf("  %-34s %9.2f us %9.2f us %11.2f us %9.2f us\n", name, mean(appendUs, w),
                    median(appendUs, w), mean(appendUs, w) + mean(eventsUs, w),
                    median(appendUs, w) + median(eventsUs, w));
    }
    const double appendRatio = mean(appendUs, late) / mean(appendUs, early);
    const double withEventsRatio =
        (mean(appendUs, late) + mean(eventsUs, late)) / (mean(appendUs, early) + mean(eventsUs, early));
    std::printf("  late/early: append %.2fx, append with its event processing %.2fx\n", appendRatio,
                withEventsRatio);
    std::printf("  resident memory: %.1f MB with the empty window, %.1f MB at %d lines\n", startMb, endMb,
                blocks);
    const bool linesOk = blocks == total;
    const bool timeOk = appendRatio <= 2.0 && withEventsRatio <= 2.0;
    const bool memoryOk = endMb > 0 && endMb < 150.0;
    std::printf("Verdict: %s (goals: appending line %d within 2x of line 1,000: %s; under 150 MB: %s%s)\n",
                linesOk && timeOk && memoryOk ? "PASS" : "FAIL", total, timeOk ? "yes" : "no",
                memoryOk ? "yes" : "no", linesOk ? "" : "; line count WRONG");
    return 0;
}
