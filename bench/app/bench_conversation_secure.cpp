// The encrypted conversation beside the plain one: Enter to the partner's line drawn with the transcripts at
// line 1,000 and 100,000, both conversations through the same loopback relay (which, for the plain one, drops
// the joiner's offer, as an old host would never answer it); and the handshake on loopback, from Connect to
// "Encrypted". Goals are in the verdicts.
#include "app/transcriptview.h"
#include "bench/app/exposeprobe.h"
#include "messaging/securechannel.h"
#include "tests/support/chatprogram.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace natter;

namespace {
double medianUs(std::vector<qint64> ns)
{
    std::sort(ns.begin(), ns.end());
    return ns.empty() ? 0 : static_cast<double>(ns[ns.size() / 2]) / 1e3;
}

struct Window : test::ChatProgram {
    qint64 changedNs = 0;
    QMetaObject::Connection watch =
        QObject::connect(form.Page, &QPlainTextEdit::textChanged, &form, [this] { changedNs = nowNs(); });
    QString security() const { return form.SecurityPanel->text(); }
};

template <typename Done> bool spin(Done done, int ms = 10000)
{
    for (QDeadlineTimer d(ms); !done() && !d.hasExpired();)
        QCoreApplication::processEvents();
    return done();
}

// One connection passed through in both directions; `strip` bytes of the joiner's first are dropped.
struct Relay {
    QTcpServer server;
    std::unique_ptr<QTcpSocket> in, out;
    qsizetype strip = 0;

    quint16 start(quint16 to)
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, to] {
            in.reset(server.nextPendingConnection());
            in->setParent(nullptr);
            out = std::make_unique<QTcpSocket>();
            out->connectToHost(QHostAddress::LocalHost, to);
            out->waitForConnected(5000);
            for (QTcpSocket *s : {in.get(), out.get()})
                s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(in.get(), &QTcpSocket::readyRead, in.get(), [this] {
                QByteArray b = in->readAll();
                const qsizetype drop = std::min(strip, b.size());
                strip -= drop;
                out->write(b.mid(drop));
            });
            QObject::connect(out.get(), &QTcpSocket::readyRead, out.get(),
                             [this] { in->write(out->readAll()); });
        });
        return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
    }
};

QString freePort()
{
    QTcpServer spare;
    return QString::number(spare.listen(QHostAddress::LocalHost) ? spare.serverPort() : 0);
}

void fill(Window &w, int lines)
{
    for (qsizetype i = w.form.transcript().lines().size(); i < lines; ++i) {
        w.form.transcript().appendLine(QStringLiteral("filler line %1, caf\u00E9 at 8").arg(i));
        if (i % 1000 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
}

// Median Enter -> partner's line drawn, alternating directions.
double roundTrips(Window (&w)[2], int count)
{
    std::vector<qint64> samples;
    for (int i = 0; i < count; ++i) {
        Window &from = w[i & 1], &to = w[~i & 1];
        from.form.Entry->setText(QStringLiteral("line %1: caf\u00E9 at 8, bring \u00A35").arg(i));
        const qint64 t0 = nowNs();
        from.form.EntryKeyDown(Qt::Key_Return);
        if (!spin([&] { return to.changedNs >= t0; }, 5000))
            return -1; // the line was lost: no figure
        samples.push_back(to.changedNs - t0);
        QCoreApplication::processEvents();
    }
    return medianUs(samples);
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    double us[2][2] = {}; // plain, encrypted; at line 1,000, 100,000
    for (int encrypted = 0; encrypted < 2; ++encrypted) {
        Window w[2]; // host, joiner
        const QString port = freePort();
        w[0].fakes.prompt.answer(QStringLiteral("ann"));
        w[0].fakes.prompt.answer(port);
        w[0].form.Listen1Click();
        Relay relay;
        relay.strip = encrypted ? 0 : secure::offerWire().size();
        const quint16 through = relay.start(port.toUShort());
        for (const QString &a : {QStringLiteral("bob"), QString::number(through), QStringLiteral("127.0.0.1"),
                                 encrypted ? w[0].form.CodePanel->text() : QString()})
            w[1].fakes.prompt.answer(a);
        w[1].form.Connect1Click();
        const QString state = encrypted ? QStringLiteral("Encrypted") : QStringLiteral("NOT encrypted");
        if (!spin([&] { return w[0].security() == state && w[1].security() == state; })) {
            std::printf("Conversation (%s) did not start\n", qPrintable(state));
            return 1;
        }
        for (Window &x : w)
            x.form.SendUnencrypted->click(); // a plain conversation once agreed; nothing for an encrypted one
        for (int at = 0; at < 2; ++at) {
            for (Window &x : w)
                fill(x, at ? 100000 : 1000);
            us[encrypted][at] = roundTrips(w, 1000);
        }
    }
    const bool rtOk = us[0][0] > 0 && us[1][0] > 0 && us[1][1] > 0 && us[1][0] <= 1.5 * us[0][0] &&
                      us[1][1] <= 1.5 * us[0][1] && us[1][0] < 1000 && us[1][1] < 1000;
    std::printf("Enter -> partner's line drawn, median of 1000, through one relay:\n"
                "  line 1,000: plain %.1f us, encrypted %.1f us (%.2fx)\n"
                "  line 100,000: plain %.1f us, encrypted %.1f us (%.2fx)\n"
                "Verdict: %s (goal: encrypted within 1.5x plain and under 1 ms)\n",
                us[0][0], us[1][0], us[1][0] / us[0][0], us[0][1], us[1][1], us[1][1] / us[0][1],
                rtOk ? "PASS" : "FAIL");

    Window w[2];
    const QString port = freePort();
    w[0].fakes.prompt.answer(QStringLiteral("ann"));
    w[0].fakes.prompt.answer(port);
    w[0].form.Listen1Click();
    std::vector<qint64> handshakes;
    for (int i = 0; i < 200; ++i) {
        for (const QString &a :
             {QStringLiteral("bob"), port, QStringLiteral("127.0.0.1"), w[0].form.CodePanel->text()})
            w[1].fakes.prompt.answer(a);
        const qint64 t0 = nowNs();
        w[1].form.Connect1Click();
        if (!spin([&] { return w[1].security() == QStringLiteral("Encrypted"); }))
            break;
        handshakes.push_back(nowNs() - t0);
        w[1].form.Disconnect1Click();
        spin([&] { return w[0].form.status() == QStringLiteral("Listening . . ."); });
        w[1].form.transcript().clear();
        w[0].form.transcript().clear();
    }
    std::sort(handshakes.begin(), handshakes.end());
    const double med = medianUs(handshakes) / 1e3;
    const double p99 = handshakes.empty() ? 0 : handshakes[handshakes.size() * 99 / 100] / 1e6;
    const bool hsOk = handshakes.size() == 200 && med < 20;
    std::printf("Handshake on loopback, Connect -> \"Encrypted\", %zu of 200: median %.2f ms, p99 %.2f ms\n"
                "Verdict: %s (goal: under 20 ms)\n",
                handshakes.size(), med, p99, hsOk ? "PASS" : "FAIL");
    return 0;
}
