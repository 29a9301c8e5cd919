// Lines between two chat windows: two copies of the program's window, each
// with its subsystems, hold a conversation over loopback in one process, and
// 10,000 lines are typed into the entry boxes and sent with the Enter key,
// taking turns. Each line is timed from the Enter key until the blue line is
// appended to the other window's transcript, and the medians are printed
// beside the floor for the same bytes on two plain blocking sockets (goal:
// within 3x of the floor). The conversation is held twice: with both windows
// shown, and with both hidden, which leaves out the repaints.
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
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <sys/socket.h>

using namespace natter;
using Clock = std::chrono::steady_clock;

namespace {

// One copy of the program: a chat window with its subsystems and scripted
// prompts. Every change to its transcript is counted and stamped.
struct Window {
    test::FakeServices fakes;
    std::unique_ptr<Tnatterform> form;
    std::unique_ptr<WindowSet> subsystems;
    int appended = 0;
    Clock::time_point lastAppend;

    explicit Window(bool shown)
    {
        form = std::make_unique<Tnatterform>(fakes.services());
        subsystems = attachSubsystems(*form, fakes.services());
        QObject::connect(form->Page, &QPlainTextEdit::textChanged, form.get(), [this] {
            ++appended;
            lastAppend = Clock::now();
        });
        if (shown)
            form->show();
    }
    ~Window()
    {
        subsystems.reset();
        form.reset();
    }
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;

    // The user's typing, before Send.
    void type(const QString &text) { form->Entry->setText(text); }

    // The Enter key in the entry box: Send.
    void pressEnter()
    {
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

// What one conversation of `lines` lines measured.
struct Conversation {
    std::vector<double> total, hostToJoiner, joinerToHost, sendHandler, delivery;
    int lost = 0;
    bool complete = false;
    qsizetype reports = 0, boxes = 0;
};

// Two windows, shown or not, join up over loopback and take turns sending
// `lines` lines (after a few unmeasured ones).
std::optional<Conversation> converse(int lines, bool shown)
{
    constexpr int kWarmUp = 200;
    Window host(shown);
    Window joiner(shown);
    // The exception report and message boxes of both windows must stay silent.
    test::RecordingExceptionReport report;
    setApplicationExceptionReport(&report);
    const auto restoreReport = qScopeGuard([] { setApplicationExceptionReport(nullptr); });

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
        return std::nullopt;
    }
    settle();

    Conversation c;
    c.total.reserve(static_cast<std::size_t>(lines));
    for (int i = -kWarmUp; i < lines; ++i) {
        const bool fromHost = (i % 2 == 0);
        Window &sender = fromHost ? host : joiner;
        Window &receiver = fromHost ? joiner : host;
        const int before = receiver.appended;
        const QString text = lineText(i < 0 ? -i : i);

        sender.type(text);
        const Clock::time_point t0 = Clock::now();
        sender.pressEnter();
        const Clock::time_point sent = Clock::now();
        if (!spinUntil([&] { return receiver.appended != before; })) {
            ++c.lost;
            continue;
        }
        if (i >= 0) {
            const double us = micros(receiver.lastAppend - t0);
            c.total.push_back(us);
            (fromHost ? c.hostToJoiner : c.joinerToHost).push_back(us);
            c.sendHandler.push_back(micros(sent - t0));
            c.delivery.push_back(micros(receiver.lastAppend - sent));
        }
        settle();
    }

    // Every line must have arrived whole, in a read event of its own, and
    // blue: each window appended exactly its own echoes and the peer's lines,
    // and the joiner's last blue line is the host's last line.
    const QList<TranscriptLine> got = joiner.form->transcript().lines();
    const int lastFromHost = (lines - 1) % 2 == 0 ? lines - 1 : lines - 2;
    const auto lastBlue = std::find_if(got.crbegin(), got.crend(),
                                       [](const TranscriptLine &l) { return l.colour == colours::kPeer; });
    c.complete = got.size() == kWarmUp + lines && host.appended == kWarmUp + lines &&
                 joiner.appended == kWarmUp + lines && lastBlue != got.crend() &&
                 lastBlue->text == QStringLiteral("ann: ") + lineText(lastFromHost);
    c.reports = report.shown.size() + host.fakes.report.shown.size() + joiner.fakes.report.shown.size();
    c.boxes = host.fakes.messages.shown.size() + joiner.fakes.messages.shown.size();
    return c;
}

// The same bytes through Qt's own sockets and event loop, with nothing else
// to do: a plain send on one end, the other end's readyRead in the event loop
// and a readAll. What any event-driven receiver pays at the least.
bench::LatencyFigures eventLoopFloor(int lines, QByteArrayView line)
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return {};
    QTcpSocket out;
    out.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!out.waitForConnected(5000) || !server.waitForNewConnection(5000))
        return {};
    std::unique_ptr<QTcpSocket> in(server.nextPendingConnection());
    qsizetype received = 0;
    Clock::time_point arrived;
    QObject::connect(in.get(), &QTcpSocket::readyRead, in.get(), [&] {
        received += in->readAll().size();
        arrived = Clock::now();
    });
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(lines));
    for (int i = 0; i < lines; ++i) {
        const qsizetype want = received + line.size();
        const Clock::time_point t0 = Clock::now();
        if (::send(static_cast<int>(out.socketDescriptor()), line.data(),
                   static_cast<std::size_t>(line.size()), MSG_NOSIGNAL) != line.size())
            break;
        if (!spinUntil([&] { return received >= want; }))
            break;
        samples.push_back(micros(arrived - t0));
    }
    return bench::summarize(samples);
}

bool report(const char *title, const Conversation &c, const bench::LatencyFigures &floor)
{
    std::printf("%s\n", title);
    std::vector<double> total = c.total;
    const bench::LatencyFigures all = bench::summarize(total);
    bench::printFigures("  Enter -> blue line on the other window", all);
    std::vector<double> part = c.hostToJoiner;
    bench::printFigures("    host -> joiner", bench::summarize(part));
    part = c.joinerToHost;
    bench::printFigures("    joiner -> host", bench::summarize(part));
    part = c.sendHandler;
    bench::printFigures("    of which the Send handler (incl. echo)", bench::summarize(part));
    part = c.delivery;
    bench::printFigures("    and delivery + the read handler", bench::summarize(part));
    std::printf("  lines lost %d, transcripts %s, exception reports %lld, message boxes %lld\n", c.lost,
                c.complete ? "complete (one blue line per line sent)" : "NOT as expected",
                static_cast<long long>(c.reports), static_cast<long long>(c.boxes));
    const double ratio = floor.medianUs > 0 ? all.medianUs / floor.medianUs : 0;
    std::printf("  ratio %.2fx the plain-socket floor\n", ratio);
    return floor.medianUs > 0 && ratio <= 3.0 && c.lost == 0 && c.complete && c.reports == 0 && c.boxes == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Arguments: [lines, default 10000] [shown|hidden, default both]
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int lines = argc > 1 ? std::max(2, QByteArray(argv[1]).toInt()) : 10000;

    // Shown windows are what the user has; hidden ones leave out the repaints,
    // which in one process fall on the same thread as the other window's
    // receiving, but in real use happen on another computer.
    // A second argument "shown" or "hidden" runs only that half.
    const QByteArray only = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    std::optional<Conversation> shown, hidden;
    if (only != "hidden" && !(shown = converse(lines, true)))
        return 1;
    if (only != "shown" && !(hidden = converse(lines, false)))
        return 1;

    const QByteArray wire = cipher::encode(QByteArray("ann: ") + lineText(12345).toLatin1());
    const bench::LatencyFigures floor = bench::measurePlainLoopbackFloor(
        lines, std::string_view(wire.constData(), static_cast<std::size_t>(wire.size())));
    const bench::LatencyFigures qtFloor = eventLoopFloor(lines, wire);

    std::printf("Conversation: %d lines typed and sent with Enter between two windows over loopback, "
                "each line %lld bytes on the wire\n",
                lines, static_cast<long long>(wire.size()));
    bench::printFigures("  plain blocking sockets, same bytes (floor)", floor);
    bench::printFigures("  Qt socket + event loop, same bytes", qtFloor);
    const bool shownOk = shown && report("Two shown windows (repaints included):", *shown, floor);
    const bool hiddenOk =
        hidden && report("Two hidden windows (handlers only, no repaints):", *hidden, floor);
    std::printf("Verdict: %s (goal: median within 3x of the plain-socket floor, every line delivered)%s%s\n",
                shown ? (shownOk ? "PASS" : "FAIL") : "hidden windows only,",
                hidden ? "; hidden windows: " : "", hidden ? (hiddenOk ? "PASS" : "FAIL") : "");
    return 0;
}
