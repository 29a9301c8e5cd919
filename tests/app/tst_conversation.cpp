#include "app/natterform.h"
#include "app/wiring.h"
#include "messaging/cipher.h"
#include "conversation/notices.h"
#include "net/scktcomp.h"
#include "tests/support/fakeservices.h"

#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolButton>
#include <QtTest>

#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace natter;

namespace {

// One copy of the program, driven through its real handlers, with scripted
// prompts and message boxes.
struct Peer {
    test::FakeServices fakes;
    Tnatterform form{fakes.sound};
    std::unique_ptr<WindowSet> subsystems = attachSubsystems(form, fakes.services());

    QList<TranscriptLine> lines() { return form.transcript().lines(); }
    void type(const QString &text)
    {
        form.Entry->setText(text);
        QTest::keyClick(form.Entry, Qt::Key_Return);
    }
    int connections() const { return form.ServerSocket->Socket()->ActiveConnections(); }
    void answer(const QStringList &answers)
    {
        for (const QString &a : answers)
            a == QLatin1String("!") ? fakes.prompt.cancel() : fakes.prompt.answer(a);
    }
};

QStringList strings(std::initializer_list<const char *> list)
{
    QStringList out;
    for (const char *s : list)
        out << QString::fromUtf8(s);
    return out;
}

TranscriptLine line(const char *text, QRgb colour)
{
    return {QString::fromUtf8(text), colour};
}

} // namespace

class TestConversation : public QObject {
    Q_OBJECT

    std::unique_ptr<Peer> m_host, m_joiner;
    test::RecordingExceptionReport m_report;
    quint16 m_port = 0;

    void listen(Peer &p)
    {
        p.answer({QStringLiteral("ann"), QString::number(m_port)});
        p.form.Listen1Click();
    }
    void join(Peer &p, const QString &host = QStringLiteral("127.0.0.1"))
    {
        p.answer({QStringLiteral("bob"), QString::number(m_port), host});
        p.form.Connect1Click();
    }
    void startConversation()
    {
        listen(*m_host);
        join(*m_joiner);
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: 127.0.0.1"));
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
    }
    static QByteArray readRaw(QTcpSocket &raw, int size)
    {
        QByteArray got;
        static_cast<void>(
            QTest::qWaitFor([&] { return (got += raw.readAll()).size() >= size; })); // compared by the caller
        return got;
    }

private Q_SLOTS:
    void init()
    {
        m_host = std::make_unique<Peer>();
        m_joiner = std::make_unique<Peer>();
        setApplicationExceptionReport(&m_report);
        m_report.shown.clear();
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        m_port = probe.serverPort();
    }
    void cleanup()
    {
        m_joiner.reset();
        m_host.reset();
        setApplicationExceptionReport(nullptr);
    }

    void twoWindowsHoldAConversation()
    {
        m_host->type(QStringLiteral("nobody hears this")); // no conversation yet: discarded
        QCOMPARE(m_host->form.entryText(), QString());
        startConversation();
        QCOMPARE(m_host->fakes.sound.plays, 1);
        QVERIFY(m_host->lines().isEmpty()); // the greeting is status and chime only

        m_host->type(QStringLiteral("hi"));
        QCOMPARE(m_host->lines(), QList<TranscriptLine>{line("hi", colours::kOwn)});
        QTRY_COMPARE(m_joiner->lines(), QList<TranscriptLine>{line("ann: hi", colours::kPeer)});

        // Characters outside the set are dropped on the wire but echoed as typed;
        // Enter on an empty box sends nothing.
        m_joiner->type(QStringLiteral("gr\u00FC\u00DFe \u20AC5"));
        m_joiner->type(QString());
        QCOMPARE(m_joiner->lines().last(), line("gr\u00FC\u00DFe \u20AC5", colours::kOwn));
        QTRY_COMPARE(m_host->lines().size(), 2);
        QCOMPARE(m_host->lines().last(), line("bob: gre \u20AC5", colours::kPeer));

        // A name change keeps the draft and reaches the peer under the old name.
        m_joiner->form.Entry->setText(QStringLiteral("half-typed"));
        m_joiner->answer({QStringLiteral("!"), QString(), QStringLiteral("robert")});
        m_joiner->form.Name1Click();
        QCOMPARE(m_joiner->form.entryText(), QStringLiteral("half-typed"));
        QTRY_COMPARE(m_host->lines().last().text, QStringLiteral("bob: Changed name to robert"));
        QCOMPARE(m_report.shown, QStringList());

        // Closing the window ends the conversation; the host listens on.
        m_joiner->form.close();
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        QTRY_COMPARE(m_host->connections(), 0);
    }

    void extraJoinersAreTurnedAwayWhileTheConversationGoesOn()
    {
        startConversation();
        for (int n = 1; n <= 2; ++n) {
            QTcpSocket extra;
            extra.connectToHost(QHostAddress::LocalHost, m_port);
            QVERIFY(extra.waitForConnected(5000));
            QTRY_COMPARE(extra.state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(extra.readAll(), notices::kBusy.toByteArray());
            QCOMPARE(m_host->lines().size(), n);
            QCOMPARE(m_host->lines().last(),
                     line("Discarded connection attempt from127.0.0.1", colours::kSystem));
        }
        QCOMPARE(cipher::decode(notices::kBusy), QByteArray("Sorry, host is busy in another chat"));
        QCOMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        m_host->type(QStringLiteral("still here"));
        QTRY_COMPARE(m_joiner->lines().size(), 1);
        QCOMPARE(m_host->fakes.sound.plays, 1);

        // The peer leaves; the next joiner is greeted like the first.
        m_joiner->form.Disconnect1Click();
        QCOMPARE(m_joiner->form.status(), QStringLiteral("Disconnected"));
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        QTRY_COMPARE(m_host->connections(), 0);
        join(*m_joiner);
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        QCOMPARE(m_host->fakes.sound.plays, 2);
    }

    void absentNoticeAndTheWireForm()
    {
        m_host->form.ToolButton2->click(); // offline: pops straight back up
        QVERIFY(!m_host->form.absentDown());
        listen(*m_host);
        m_host->form.ToolButton2->click();
        QCOMPARE(m_host->lines(), QList<TranscriptLine>{line("User marked absent", colours::kSystem)});
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, m_port);
        QCOMPARE(readRaw(raw, 36), notices::kAbsent.toByteArray());
        QCOMPARE(cipher::decode(notices::kAbsent), QByteArray("Host is away - please wait a moment."));
        QCOMPARE(m_host->lines().size(), 1);

        m_host->form.ToolButton2->click(); // released: "User returned"
        QCOMPARE(m_host->lines().last().text, QStringLiteral("User returned"));
        m_host->form.ToolButton2->click(); // pressed during a conversation: no effect
        QVERIFY(!m_host->form.absentDown());
        QCOMPARE(m_host->lines().size(), 2);

        m_host->type(QStringLiteral("hi"));
        QCOMPARE(readRaw(raw, 7), cipher::encode("ann: hi"));
        raw.write(cipher::encode("raw: yo"));
        QTRY_COMPARE(m_host->lines().last(), line("raw: yo", colours::kPeer));
    }

    void failedAttemptsWriteTheErrorLine_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("refused") << QStringLiteral("127.0.0.1");
        QTest::newRow("unresolvable") << QStringLiteral("no-such-host.invalid");
    }
    void failedAttemptsWriteTheErrorLine()
    {
        QFETCH(QString, host);
        join(*m_joiner, host); // nobody listens there
        const QList<TranscriptLine> error{{QStringLiteral("Error connecting to:") + host, colours::kSystem}};
        QTRY_COMPARE(m_joiner->lines(), error);
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Disconnected"));
        QCOMPARE(m_report.shown, QStringList());
        listen(*m_host); // Connect can simply be pressed again
        join(*m_joiner);
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: 127.0.0.1"));
    }

    void pendingAttemptsAreAbandonedOrReplaced()
    {
        listen(*m_host);
        join(*m_joiner);
        m_joiner->form.Disconnect1Click(); // before the lookup has even finished
        join(*m_joiner, QStringLiteral("no-such-host.invalid"));
        join(*m_joiner); // replaces the attempt to the unresolvable name
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: 127.0.0.1"));
        QTRY_COMPARE(m_host->connections(), 1);
        QVERIFY(m_host->lines().isEmpty());   // nobody was turned away
        QVERIFY(m_joiner->lines().isEmpty()); // the abandoned lookup reports nothing
    }

    void listenOnAPortInUseShowsTheBindError()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, m_port));
        listen(*m_host);
        QCOMPARE(m_report.shown.size(), 1);
        QVERIFY(m_report.shown.constFirst().startsWith(QStringLiteral("Windows socket error: ")));
        QVERIFY(m_report.shown.constFirst().endsWith(QStringLiteral("on API 'bind'")));
        QVERIFY(!m_host->form.listenChecked());
        QCOMPARE(m_host->form.status(), QString());
    }

    void refusalsWhileActive()
    {
        startConversation();
        m_host->form.Port1Click();
        QCOMPARE(m_host->fakes.messages.shown,
                 QStringList{QStringLiteral("Please disconnect before changing ports.")});
        QCOMPARE(m_host->form.ServerSocket->Port(), m_port);
        m_joiner->form.Connect1Click();
        QCOMPARE(m_joiner->fakes.messages.shown,
                 QStringList{QStringLiteral("Please disconnect before changing address.")});
    }

    void portPrompt_data()
    {
        QTest::addColumn<QStringList>("answers"); // "!" cancels
        QTest::addColumn<int>("port");
        QTest::newRow("cancel keeps 6767") << QStringList{QStringLiteral("!")} << 6767;
        QTest::newRow("dollar hex") << QStringList{QStringLiteral("$1A2B")} << 6699;
        QTest::newRow("0x hex, blanks, sign") << QStringList{QStringLiteral("  +0x1a2b")} << 6699;
        QTest::newRow("abc, empty, trailing blank") << strings({"abc", "", "80 ", "81"}) << 81;
        QTest::newRow("out of range") << strings({"70000", "0", "-5", "99999999999999999999", "9"}) << 9;
    }
    void portPrompt()
    {
        QFETCH(QStringList, answers);
        QFETCH(int, port);
        m_host->answer(answers);
        m_host->form.Port1Click();
        QCOMPARE(m_host->fakes.prompt.calls.size(), answers.size());
        QCOMPARE(m_host->fakes.prompt.calls.last().initial, QStringLiteral("6767"));
        QCOMPARE(m_host->form.ServerSocket->Port(), port);
        QCOMPARE(m_host->form.ClientSocket->Port(), port);
    }

    void hostSendFailureShowsTheErrorAndKeepsTheEntry()
    {
        listen(*m_host);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        QTRY_COMPARE(m_host->connections(), 1);
        const linger abortive{1, 0}; // the peer vanishes with a reset
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(fd);
        m_host->form.Entry->setText(QStringLiteral("are you there?"));
        m_host->form.PanelClick(); // before the host has heard of the reset
        if (m_report.shown.isEmpty())
            QSKIP("the platform took the send before noticing the reset");
        QVERIFY(m_report.shown.constFirst().endsWith(QStringLiteral("on API 'send'")));
        QCOMPARE(m_host->form.entryText(), QStringLiteral("are you there?"));
        QVERIFY(m_host->lines().isEmpty());
        QTRY_COMPARE(m_host->connections(), 0);
        QCOMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
    }
};

QTEST_MAIN(TestConversation)
#include "tst_conversation.moc"
