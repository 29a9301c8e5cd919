// The whole program on the offscreen platform: start-up beside a bare Qt window, a transcript grown to
// 100,000 lines, two hidden windows in conversation beside the plain-socket floor. Goals are in the verdicts.
#include "app/application.h"
#include "app/natterform.h"
#include "app/transcriptview.h"
#include "app/wiring.h"
#include "bench/app/exposeprobe.h"
#include "bench/net/loopbackfloor.h"
#include "router/portmapping.h"
#include "tests/support/fakeservices.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTcpServer>
#include <QWindow>

#include <algorithm>
#include <cstdio>

using namespace natter;

namespace {
const auto medianUs = [](std::vector<qint64> ns) {
    std::sort(ns.begin(), ns.end());
    return ns.empty() ? 0 : static_cast<double>(ns[ns.size() / 2]) / 1e3;
};

// One copy of the program with scripted prompts, noting when its transcript last changed.
struct Window {
    test::FakeServices fakes;
    Tnatterform form{fakes.sound};
    std::unique_ptr<WindowSet> subsystems =
        attachSubsystems(form, fakes.services(), std::make_unique<PortMapper>());
    qint64 changedNs = 0;
    QMetaObject::Connection watch =
        QObject::connect(form.Page, &QPlainTextEdit::textChanged, &form, [this] { changedNs = nowNs(); });
};
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc > 1) { // the program's start-up probe
        ExposeProbe probe;
        app.installEventFilter(&probe);
        return NatterApplication().run();
    }
    {
        std::vector<double> ms[2]; // natter, bare; a failed probe gives a negative time
        for (int i = 0; i < 44; ++i) {
            QProcess probe;
            const qint64 start = nowNs();
            // The bare window is a program of its own that links Qt Widgets only.
            const QString dir = QCoreApplication::applicationDirPath();
            probe.start(i % 2 ? dir + QStringLiteral("/bench_bare_window") : app.applicationFilePath(),
                        {QStringLiteral("probe")});
            probe.waitForFinished(30000);
            ms[i % 2].push_back((probe.readAllStandardOutput().toDouble() - start) / 1e6);
        }
        for (auto &v : ms) // the first start of each only warmed the disk cache
            std::sort(v.begin() + 1, v.end());
        const bool ok = ms[0][1] > 0 && ms[1][1] > 0 && ms[0][11] <= 1.3 * ms[1][11];
        std::printf("Start-up, median of 21: Natter Duo %.1f ms, bare Qt window %.1f ms\nVerdict: %s, %.2fx "
                    "(goal: within 1.3x)\n",
                    ms[0][11], ms[1][11], ok ? "PASS" : "FAIL", ms[0][11] / ms[1][11]);
    }
    { // transcript lines appended as received ones are; the append alone and with the events it causes
        TranscriptView view;
        view.show();
        std::vector<qint64> ns[2];
        for (int i = 0; i < 100000; ++i) {
            const QString line = QStringLiteral("bob: line %1, caf\u00E9 at 8, bring \u00A35").arg(i);
            const qint64 t0 = nowNs();
            view.setColour(std::array{colours::kPeer, colours::kOwn, colours::kSystem}[i % 3]);
            view.appendLine(line);
            ns[0].push_back(nowNs() - t0);
            QCoreApplication::processEvents();
            ns[1].push_back(nowNs() - t0);
        }
        QFile status(QStringLiteral("/proc/self/status"));
        const QByteArray s = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
        const double mb = s.mid(s.indexOf("VmRSS:") + 6, 16).trimmed().split(' ').value(0).toDouble() / 1024;
        double us[4]; // near line 1,000 and 100,000: append alone, then with events
        for (int k = 0; k < 4; ++k)
            us[k] = k % 2 ? medianUs({ns[k / 2].end() - 200, ns[k / 2].end()})
                          : medianUs({&ns[k / 2][900], &ns[k / 2][1100]});
        const bool ok =
            us[1] <= 2 * us[0] && us[3] <= 2 * us[2] && mb > 0 && mb < 150 && view.lines().size() == 100000;
        std::printf("Transcript, line 1,000 vs 100,000: append %.2f vs %.2f us, with events %.2f vs %.2f us\n"
                    "Verdict: %s, %.2fx and %.2fx, %.1f MB resident (goal: within 2x, under 150 MB)\n",
                    us[0], us[1], us[2], us[3], ok ? "PASS" : "FAIL", us[1] / us[0], us[3] / us[2], mb);
    }
    Window w[2];      // host, joiner
    QTcpServer spare; // finds a free port
    const QString port = QString::number(spare.listen(QHostAddress::LocalHost) ? spare.serverPort() : 0);
    spare.close();
    for (const QString &a : {QStringLiteral("ann"), port})
        w[0].fakes.prompt.answer(a);
    w[0].form.Listen1Click();
    for (const QString &a :
         {QStringLiteral("bob"), port, QStringLiteral("127.0.0.1"), w[0].form.CodePanel->text().remove(u' ')})
        w[1].fakes.prompt.answer(a);
    w[1].form.Connect1Click();
    for (QDeadlineTimer d(5000);
         w[1].form.SecurityPanel->text() != QStringLiteral("Encrypted") && !d.hasExpired();)
        QCoreApplication::processEvents();
    std::vector<qint64> samples;
    for (int i = 0; i < 10000; ++i) {
        Window &from = w[i & 1], &to = w[~i & 1];
        from.form.Entry->setText(QStringLiteral("line %1: caf\u00E9 at 8, bring \u00A35").arg(i));
        const qint64 t0 = nowNs();
        from.form.EntryKeyDown(Qt::Key_Return);
        for (QDeadlineTimer d(5000); to.changedNs < t0 && !d.hasExpired();)
            QCoreApplication::processEvents();
        if (to.changedNs >= t0)
            samples.push_back(to.changedNs - t0);
        QCoreApplication::processEvents(); // both windows finish with this line
    }
    const double m = medianUs(samples), floor = bench::measurePlainLoopbackFloorMedianUs(10000);
    const bool ok = floor > 0 && m <= 3 * floor && samples.size() == 10000;
    std::printf("Conversation: Enter -> blue line median %.1f us, %zu of 10000 lines; plain sockets %.1f us\n"
                "Verdict: %s, %.2fx (goal: within 3x)\n",
                m, samples.size(), floor, ok ? "PASS" : "FAIL", m / floor);
}
