// Start-up time: from starting the process to its first window being exposed,
// on Qt's offscreen platform, for the real program and for a bare Qt window
// program built the same way (and, for reference, a plain Qt window that
// shows some text, which pays for the fonts as the program does). Each is
// started in turn, a number of times (default 20, or the first argument); the
// medians are compared (goal: the program within 1.3x of the bare window).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <optional>
#include <vector>

namespace {

// The stages each start-up program marks, in order: entering main(), the
// QApplication made, the windows built, the first window exposed.
constexpr const char *kStages[] = {"main", "application", "windows", "exposed"};
constexpr std::size_t kStageCount = std::size(kStages);

struct Sample {
    double stageMs[kStageCount] = {}; // process start to each stage
    double exitMs = 0;                // process start to process ended
};

long long steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<Sample> runOnce(const QString &program)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.qpa.*=false"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::SeparateChannels);

    QElapsedTimer wall;
    const long long startNs = steadyNowNs();
    wall.start();
    process.start(program, {});
    if (!process.waitForStarted(10000) || !process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        std::fprintf(stderr, "%s: did not start or did not end\n", qPrintable(program));
        return std::nullopt;
    }
    const double exitMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s: ended with code %d\n%s", qPrintable(program), process.exitCode(),
                     process.readAllStandardError().constData());
        return std::nullopt;
    }
    Sample sample;
    sample.exitMs = exitMs;
    const QByteArray out = process.readAllStandardOutput();
    for (std::size_t i = 0; i < kStageCount; ++i) {
        const QByteArray tag = QByteArray(kStages[i]) + ' ';
        qsizetype at = out.startsWith(tag) ? 0 : out.indexOf('\n' + tag);
        if (at < 0) {
            std::fprintf(stderr, "%s: never marked the stage \"%s\"\n", qPrintable(program), kStages[i]);
            return std::nullopt;
        }
        at = out.indexOf(' ', at + 1) + 1;
        const qsizetype end = out.indexOf('\n', at);
        bool ok = false;
        const long long ns = out.mid(at, end < 0 ? -1 : end - at).trimmed().toLongLong(&ok);
        if (!ok)
            return std::nullopt;
        sample.stageMs[i] = static_cast<double>(ns - startNs) / 1e6;
    }
    return sample;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Series {
    const char *name;
    QString program;
    std::vector<double> stages[kStageCount], exited;

    const std::vector<double> &shown() const { return stages[kStageCount - 1]; }

    void print() const
    {
        const auto [lo, hi] = std::minmax_element(shown().begin(), shown().end());
        std::printf(
            "  %-26s %7.1f ms to window exposed (min %.1f, max %.1f; %zu runs), %.1f ms to process end\n",
            name, median(shown()), shown().empty() ? 0.0 : *lo, shown().empty() ? 0.0 : *hi, shown().size(),
            median(exited));
        std::printf("  %-26s   medians since process start:", "");
        for (std::size_t i = 0; i < kStageCount; ++i)
            std::printf(" %s %.1f ms%s", kStages[i], median(stages[i]), i + 1 < kStageCount ? "," : "\n");
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 20;

    Series natter{"Natter Duo (real program)", QStringLiteral(NATTER_STARTUP_PROGRAM), {}, {}};
    Series bare{"bare Qt window", QStringLiteral(NATTER_STARTUP_BARE), {}, {}};
    Series text{"Qt window with text", QStringLiteral(NATTER_STARTUP_TEXT), {}, {}};

    // One unmeasured start of each first, so neither pays for a cold disk cache.
    for (Series *s : {&natter, &bare, &text})
        if (!runOnce(s->program))
            return 1;
    // Alternate the two so that background load hits both alike.
    for (int i = 0; i < runs; ++i) {
        for (Series *s : {&natter, &bare, &text}) {
            const std::optional<Sample> sample = runOnce(s->program);
            if (!sample)
                return 1;
            for (std::size_t k = 0; k < kStageCount; ++k)
                s->stages[k].push_back(sample->stageMs[k]);
            s->exited.push_back(sample->exitMs);
        }
    }

    std::printf("Start-up on the offscreen platform, median of %d runs each, process start to first window "
                "exposed:\n",
                runs);
    natter.print();
    bare.print();
    text.print();
    const double ratio = median(natter.shown()) / median(bare.shown());
    std::printf("  ratio %.2fx the bare window, %.2fx the window with text\n", ratio,
                median(natter.shown()) / median(text.shown()));
    std::printf("Verdict: %s (goal: within 1.3x of the bare window)\n", ratio <= 1.3 ? "PASS" : "FAIL");
    return 0;
}
