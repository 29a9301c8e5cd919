// A peer's line of one 64 KiB word in the chat window: the time from appending it until the window
// has painted it, beside a line of the same length in words of eight letters. Several such lines
// in a row show whether each costs the same.
//
// Run:  cmake --build build --target bench_longline && build/bench/app/bench_longline
// Goal: the word costs no more than 3x the line of words, and under 50 ms each.
#include "app/transcriptview.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace natter;

namespace {

qint64 nowNs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
}

struct PaintSeen final : QObject {
    bool seen = false;
    bool eventFilter(QObject *, QEvent *event) override
    {
        seen = seen || event->type() == QEvent::Paint;
        return false;
    }
};

// Milliseconds from appending `line` until the transcript was painted with it in view.
double appendAndPaint(TranscriptView &view, PaintSeen &paint, const QString &line)
{
    QCoreApplication::processEvents();
    paint.seen = false;
    const qint64 start = nowNs();
    view.appendLine(line);
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
    const QDeadlineTimer limit(60000);
    while (!paint.seen && !limit.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return paint.seen ? static_cast<double>(nowNs() - start) / 1e6 : -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    constexpr qsizetype kLength = 64 * 1024;
    const QString word = QStringLiteral("bob: ") + QString(kLength, QLatin1Char('x'));
    QString words = QStringLiteral("bob:");
    while (words.size() < word.size())
        words += QStringLiteral(" abcdefgh");
    words.truncate(word.size());

    std::vector<double> ms[2]; // the word, the words
    for (int kind = 0; kind < 2; ++kind) {
        TranscriptView view;
        view.resize(560, 400);
        view.show();
        PaintSeen paint;
        view.viewport()->installEventFilter(&paint);
        for (int i = 0; i < 5; ++i)
            ms[kind].push_back(appendAndPaint(view, paint, kind == 0 ? word : words));
        std::printf("%s:", kind == 0 ? "one 64 KiB word " : "64 KiB of words ");
        for (const double t : ms[kind])
            std::printf(" %.1f", t);
        std::printf(" ms\n");
    }
    const double w = median(ms[0]), s = median(ms[1]);
    const bool ok = w > 0 && s > 0 && w <= 3 * s && w < 50;
    std::printf("Verdict: %s, the word %.1f ms, the words %.1f ms, %.2fx (goal: within 3x, under 50 ms)\n",
                ok ? "PASS" : "FAIL", w, s, w / s);
}
