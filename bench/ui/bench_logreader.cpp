// The log reader opening and showing two files, beside LibreOffice converting the same files to text in
// the same run: a 100,000-line chat log as the program saves it, and a 5 MB document of mixed runs
// (colours, highlight, bold, italic, underline, Cyrillic and Japanese code-page text, tables). Then
// files of one unbreakable line: a log of one 1 MB word, and 10 MB of "{" as plain text; last, a
// log of one short line, the floor (the window itself). Each file is timed until its first page is
// painted, and until all of it is in the page and laid out (the page does that after the first paint).
//
// Run:  cmake --build build --target bench_logreader && build/bench/ui/bench_logreader
// LibreOffice is needed for the comparison (Debian: apt-get install libreoffice-writer-nogui); without
// it only the reader's figures are shown. Goals: at least 5x faster than LibreOffice on both files,
// the 100,000-line log shown in under 0.3 s, and each long line in under 0.3 s too.
#include "logreader/logloader.h"
#include "logreader/logreaderwindow.h"
#include "richtext/richview.h"
#include "richtext/rtf.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

using namespace natter;

namespace {

qint64 nowNs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
}

// Processor seconds of this process, or of its ended child processes.
double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall-clock and processor seconds; the machine may be shared, so both are told.
struct Timing {
    double wall = -1;
    double cpu = -1;
};

Timing median(std::vector<Timing> timings)
{
    if (timings.empty())
        return {};
    std::sort(timings.begin(), timings.end(),
              [](const Timing &a, const Timing &b) { return a.wall < b.wall; });
    Timing middle = timings[timings.size() / 2];
    std::sort(timings.begin(), timings.end(), [](const Timing &a, const Timing &b) { return a.cpu < b.cpu; });
    middle.cpu = timings[timings.size() / 2].cpu;
    return middle;
}

QByteArray chatLog()
{
    const QRgb colours[] = {natter::colours::kOwn, natter::colours::kPeer, natter::colours::kSystem};
    QList<TranscriptLine> lines;
    for (int i = 0; i < 100000; ++i)
        lines.append(
            {QStringLiteral("User%1: line %2 with {braces}, a \\ and caf\u00E9 \u20AC").arg(i % 2).arg(i),
             colours[i % 3]});
    return rtf::write(lines);
}

// Paragraphs of six to eight runs each, a small table now and then, until 5 MB.
QByteArray mixedDocument()
{
    QByteArray out = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}"
                     "{\\f1\\fswiss\\fcharset204 Arial Cyr;}{\\f2\\fnil\\fcharset128 MS Gothic;}}\r\n"
                     "{\\colortbl;\\red0\\green0\\blue0;\\red192\\green0\\blue0;\\red0\\green112\\blue192;"
                     "\\red255\\green255\\blue0;\\red255\\green255\\blue255;\\red32\\green32\\blue32;}\r\n"
                     "\\viewkind4\\uc1\\pard\\f0\\fs20 ";
    for (int i = 0; out.size() < 5'000'000; ++i) {
        out += "{\\cf2\\b Paragraph " + QByteArray::number(i) + "}: plain words between runs, ";
        out += "{\\highlight4 marked text} and {\\i\\ul italic underlined}, ";
        out += "\\f1 \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2\\f0 , {\\f2 \\'83e\\'83X\\'83g} \\u8364? caf\\'e9, ";
        out += "{\\cf5\\cb6 white on dark} and {\\cf3 blue words to the end}.\\par\r\n";
        if (i % 50 == 49) {
            out += "\\trowd\\cellx2000\\cellx4000\\cellx6000\\pard\\intbl one\\cell {\\b two}\\cell "
                   "{\\cf2 three}\\cell\\row\\pard\r\n";
        }
    }
    out += "}\r\n";
    return out;
}

// Seconds from asking the reader to open `path` until the page has been painted, and until the whole
// log is in the page and laid out (`settled`).
Timing openAndShow(const QString &path, qsizetype &lines, Timing &settled)
{
    struct : IMessageBox {
        void showMessage(const QString &text) override { std::printf("reader says: %s\n", qPrintable(text)); }
    } messages;
    logreader::LogReaderWindow window(messages);
    struct PaintSeen final : QObject {
        bool seen = false;
        bool eventFilter(QObject *, QEvent *event) override
        {
            seen = seen || event->type() == QEvent::Paint;
            return false;
        }
    } paint;
    window.page()->viewport()->installEventFilter(&paint);
    const qint64 start = nowNs();
    const double cpuStart = cpuSeconds();
    if (!window.openFile(path))
        return {};
    window.show();
    const QDeadlineTimer limit(60000);
    // One event at a time: what the page does after its first paint is not counted.
    while (!paint.seen && !limit.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    const Timing timing{static_cast<double>(nowNs() - start) / 1e9, cpuSeconds() - cpuStart};
    window.fillPage();
    window.page()->document()->pageCount(); // lays out all that is not yet
    settled = {static_cast<double>(nowNs() - start) / 1e9, cpuSeconds() - cpuStart};
    lines = window.shownLines().size();
    return paint.seen ? timing : Timing{};
}

// The time LibreOffice takes to convert `path` to text (negative: it failed).
Timing libreOffice(const QString &soffice, const QString &profile, const QString &path, const QString &out)
{
    QProcess process;
    const qint64 start = nowNs();
    const double cpuStart = cpuSeconds(RUSAGE_CHILDREN);
    process.start(soffice,
                  {QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profile).toString(),
                   QStringLiteral("--headless"), QStringLiteral("--convert-to"), QStringLiteral("txt"),
                   QStringLiteral("--outdir"), out, path});
    if (!process.waitForFinished(600000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    const Timing timing{static_cast<double>(nowNs() - start) / 1e9, cpuSeconds(RUSAGE_CHILDREN) - cpuStart};
    const QString text = out + QLatin1Char('/') + QFileInfo(path).completeBaseName() + QStringLiteral(".txt");
    return process.exitCode() == 0 && QFileInfo(text).size() > 0 ? timing : Timing{};
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const struct {
        const char *name;
        QString path;
        QByteArray content;
        bool compared; // with LibreOffice
    } files[] = {
        {"100,000-line log", dir.filePath(QStringLiteral("chatlog.rtf")), chatLog(), true},
        {"5 MB mixed runs", dir.filePath(QStringLiteral("mixed.rtf")), mixedDocument(), true},
        {"1 MB word", dir.filePath(QStringLiteral("word.ntl")),
         rtf::write({{QStringLiteral("bob: ") + QString(1 << 20, QLatin1Char('x')), colours::kPeer}}), false},
        {"10 MB of {", dir.filePath(QStringLiteral("braces.txt")), QByteArray(10 << 20, '{'), false},
        // The floor: the window itself, shown with a log of one line.
        {"one-line log", dir.filePath(QStringLiteral("short.ntl")), rtf::write({{QStringLiteral("hi"), 0}}),
         false}};
    for (const auto &file : files) {
        QFile f(file.path);
        if (!f.open(QIODevice::WriteOnly) || f.write(file.content) != file.content.size())
            return 1;
    }
    const QString soffice = QStandardPaths::findExecutable(QStringLiteral("soffice"));
    const QString profile = dir.filePath(QStringLiteral("profile"));
    const QString out = dir.filePath(QStringLiteral("text"));
    if (!soffice.isEmpty()) { // the first start makes LibreOffice's profile: not counted
        QFile warm(dir.filePath(QStringLiteral("warm.rtf")));
        if (warm.open(QIODevice::WriteOnly) && warm.write("{\\rtf1 warm}") > 0) {
            warm.close();
            libreOffice(soffice, profile, warm.fileName(), out);
        }
    } else {
        std::printf("LibreOffice (soffice) not found: install libreoffice-writer-nogui for the comparison\n");
    }

    bool goals = true;
    for (const auto &file : files) {
        std::vector<Timing> ours, whole;
        qsizetype lines = 0;
        for (int i = 0; i < 7; ++i)
            ours.push_back(openAndShow(file.path, lines, whole.emplace_back()));
        // Where the time goes: reading the file, filling the page's document.
        const double start = cpuSeconds();
        const logreader::LoadedLog log = logreader::loadLog(file.path);
        const double read = cpuSeconds();
        QTextDocument document;
        setDocumentText(document, rtf::Document{log.lines, log.runs, log.rich, {}});
        std::printf("%-17s %5.1f MB %7lld lines: processor time to read %.3f s, to fill the page %.3f s\n",
                    file.name, static_cast<double>(file.content.size()) / 1e6, static_cast<long long>(lines),
                    read - start, cpuSeconds() - read);
        std::vector<Timing> theirs;
        for (int i = 0; !soffice.isEmpty() && file.compared && i < 3; ++i)
            theirs.push_back(libreOffice(soffice, profile, file.path, out));
        const Timing reader = median(ours);
        const Timing office = median(theirs);
        std::printf("  log reader, open and show: %.3f s (processor %.3f s), median of %zu\n", reader.wall,
                    reader.cpu, ours.size());
        std::printf("  log reader, whole log laid out: %.3f s (processor %.3f s)\n", median(whole).wall,
                    median(whole).cpu);
        if (!theirs.empty()) {
            std::printf("  LibreOffice to text:       %.3f s (processor %.3f s), median of %zu\n",
                        office.wall, office.cpu, theirs.size());
            std::printf("  ratio: %.1fx faster (processor %.1fx)\n", office.wall / reader.wall,
                        office.cpu / reader.cpu);
            goals = goals && reader.wall > 0 && office.wall > 0 && office.wall / reader.wall >= 5;
        }
        if (!file.compared || &file == &files[0]) // the chat log, the long lines
            goals = goals && reader.wall > 0 && reader.wall < 0.3;
    }
    std::printf("goals (5x LibreOffice on both, the log and the long lines shown in under 0.3 s): %s\n",
                goals ? "met" : "not met");
    return 0;
}
