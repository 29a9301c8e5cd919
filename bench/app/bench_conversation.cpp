// Lines between two chat windows: two copies of the program's window, each
// with its subsystems, hold a conversation over loopback in one process, and
// 10,000 lines are typed into the entry boxes and sent with the Enter key,
// taking turns. Each line is timed from the Enter key until the blue line is
// appended to the other window's transcript, and the medians are printed
// beside the floor for the same bytes on two plain blocking sockets (goal:
// within 3x of the floor).
#include "app/natterform.h"
#include "app/transcriptview.h"
#include "app/wiring.h"
#include "bench/net/loopbackfloor.h"
#include "messaging/cipher.h"
#include "tests/support/fakeservices.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTcpServer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace natter;
using Clock = std::chrono::steady_clock;

namespace {

// One copy of the program: a shown chat window with its subsystems and
// scripted prompts. Every change to its transcript is counted and stamped.
struct Window {
    test::FakeServices fakes;
    std::unique_ptr<Tnatterform> form;
    std::unique_ptr<WindowSet> subsystems;
    int appended = 0;
    Clock::time_point lastAppend;

    Window()
    {
        form = std::make_unique<Tnatterform>(fakes.services());
        subsystems = attachSubsystems(*form, fakes.services());
        QObject::connect(form->Page, &QPlainTextEdit::textChanged, form.get(), [this] {
            ++appended;
            lastAppend = Clock::now();
        });
        form->show();
    }
    ~Window()
    {
        subsystems.reset();
        form.reset();
    }
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;

    // Types the text and presses Enter, as the user does.
    void type(const QString &text)
    {
        form->Entry->setText(text);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QCoreApplication::sendEvent(form->Entry, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QCoreApplication::sendEvent(form->Entry, &release);
    }
};

// Runs the event loop until `done` holds or `ms` have passed.
template <typename Done> bool spinUntil(Done done, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return true;
}

// Lets both windows finish what the last line left them (repaints, the
// entry box's update), so it is not charged to the next line.
void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

QString lineText(int i)
{
    return QStringLiteral("line %1: see you at the caf\u00E9 at 8, bring \u00A35")
        .arg(i, 5, 10, QLatin1Char('0'));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int lines = argc > 1 ? std::max(2, QByteArray(argv[1]).toInt()) : 10000;
    constexpr int kWarmUp = 200;

    // The exception report and message boxes of both windows must stay silent.
    Window host;
    Window joiner;
    test::RecordingExceptionReport report;
    setApplicationExceptionReport(&report);

    const quint16 port = freePort();
    host.fakes.prompt.answer(QStringLiteral("ann"));
    host.fakes.prompt.answer(QString::number(port));
    host.form->Listen1Click();
    joiner.fakes.prompt.answer(QStringLiteral("bob"));
    joiner.fakes.prompt.answer(QString::number(port));
    joiner.fakes.prompt.answer(QStringLiteral("127.0.0.1"));
    joiner.form->Connect1Click();
    if (!spinUntil([&] {
            return host.form->status() == QStringLiteral("Connected from: 127.0.0.1") &&
                   joiner.form->status() == QStringLiteral("Connected to: 127.0.0.1");
        })) {
        std::fprintf(stderr, "the two windows did not connect (host: \"%s\", joiner: \"%s\")\n",
                     qPrintable(host.form->status()), qPrintable(joiner.form->status()));
        return 1;
    }
    settle();

    std::vector<double> total, hostToJoiner, joinerToHost, sendHandler;
    total.reserve(static_cast<std::size_t>(lines));
    int lost = 0;
    for (int i = -kWarmUp; i < lines; ++i) {
        const bool fromHost = (i % 2 == 0);
        Window &sender = fromHost ? host : joiner;
        Window &receiver = fromHost ? joiner : host;
        const int before = receiver.appended;
        const QString text = lineText(i < 0 ? -i : i);

        const Clock::time_point t0 = Clock::now();
        sender.type(text);
        const Clock::time_point sent = Clock::now();
        if (!spinUntil([&] { return receiver.appended != before; })) {
            ++lost;
            continue;
        }
        const double us = micros(receiver.lastAppend - t0);
        if (i >= 0) {
            total.push_back(us);
            (fromHost ? hostToJoiner : joinerToHost).push_back(us);
            sendHandler.push_back(micros(sent - t0));
        }
        settle();
    }

    // Every line must have arrived whole, in its own read event, and blue.
    const QList<TranscriptLine> got = joiner.form->transcript().lines();
    const int lastFromHost = (lines - 1) % 2 == 0 ? lines - 1 : lines - 2;
    const bool lastOk = !got.isEmpty() && got.size() == kWarmUp + lines &&
                        got.last().colour == colours::kPeer &&
                        got.last().text == QStringLiteral("ann: ") + lineText(lastFromHost);
    const int expectedAppends = kWarmUp + lines; // each window: its own echoes and the peer's lines
    const bool whole = host.appended == expectedAppends && joiner.appended == expectedAppends;

    const QByteArray wire = cipher::encode(QByteArray("ann: ") + lineText(12345).toLatin1());
    const bench::LatencyFigures floor = bench::measurePlainLoopbackFloor(
        lines, std::string_view(wire.constData(), static_cast<std::size_t>(wire.size())));

    std::printf("Conversation: %d lines typed and sent with Enter between two windows over loopback\n",
                lines);
    const bench::LatencyFigures all = bench::summarize(total);
    bench::printFigures("  Enter -> blue line on the other window", all);
    bench::printFigures("    host -> joiner", bench::summarize(hostToJoiner));
    bench::printFigures("    joiner -> host", bench::summarize(joinerToHost));
    bench::printFigures("    of which the Send handler (incl. echo)", bench::summarize(sendHandler));
    bench::printFigures("  plain blocking sockets, same bytes (floor)", floor);
    std::printf(
        "  lines lost %d, transcripts %s, exception reports %lld, message boxes %lld\n", lost,
        lastOk && whole ? "complete (one blue line per line sent)" : "NOT as expected",
        static_cast<long long>(report.shown.size() + host.fakes.report.shown.size() +
                               joiner.fakes.report.shown.size()),
        static_cast<long long>(host.fakes.messages.shown.size() + joiner.fakes.messages.shown.size()));
    const double ratio = floor.medianUs > 0 ? all.medianUs / floor.medianUs : 0;
    std::printf("  ratio %.2fx the floor\n", ratio);
    const bool pass = floor.medianUs > 0 && ratio <= 3.0 && lost == 0 && lastOk && whole;
    std::printf("Verdict: %s (goal: median within 3x of the plain-socket floor, every line delivered)\n",
                pass ? "PASS" : "FAIL");
    setApplicationExceptionReport(nullptr);
    return 0;
}
