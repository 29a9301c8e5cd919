#include "app/conversationcontrol.h"
#include "app/natterform.h"
#include "app/transcriptview.h"
#include "app/wiring.h"
#include "messaging/cipher.h"
#include "net/notices.h"
#include "net/scktcomp.h"
#include "tests/support/fakeservices.h"

#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolButton>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace natter;

namespace {

// One copy of the program: a chat window with its subsystems, driven through
// its real handlers, with scripted prompts and message boxes.
struct Peer {
    test::FakeServices fakes;
    std::unique_ptr<Tnatterform> form;
    std::unique_ptr<WindowSet> subsystems;

    Peer()
    {
        form = std::make_unique<Tnatterform>(fakes.services());
        subsystems = attachSubsystems(*form, fakes.services());
    }
    ~Peer()
    {
        subsystems.reset();
        form.reset();
    }

    QList<TranscriptLine> lines() const { return form->transcript().lines(); }
    void type(const QString &text)
    {
        form->Entry->setText(text);
        QTest::keyClick(form->Entry, Qt::Key_Return);
    }
    int connections() const { return form->ServerSocket->Socket()->ActiveConnections(); }
};

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class TestConversation : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Peer> m_host;
    std::unique_ptr<Peer> m_joiner;
    test::RecordingExceptionReport m_report;
    quint16 m_port = 0;

    void listen(Peer &peer, const QString &name, quint16 port)
    {
        peer.fakes.prompt.answer(name);
        peer.fakes.prompt.answer(QString::number(port));
        peer.form->Listen1Click();
    }

    void join(Peer &peer, const QString &name, quint16 port,
              const QString &host = QStringLiteral("127.0.0.1"))
    {
        peer.fakes.prompt.answer(name);
        peer.fakes.prompt.answer(QString::number(port));
        peer.fakes.prompt.answer(host);
        peer.form->Connect1Click();
    }

    void startConversation()
    {
        listen(*m_host, QStringLiteral("ann"), m_port);
        QCOMPARE(m_host->form->status(), QStringLiteral("Listening . . ."));
        QVERIFY(m_host->form->listenChecked());
        join(*m_joiner, QStringLiteral("bob"), m_port);
        QTRY_COMPARE(m_joiner->form->status(), QStringLiteral("Connected to: 127.0.0.1"));
        QTRY_COMPARE(m_host->form->status(), QStringLiteral("Connected from: 127.0.0.1"));
    }

private Q_SLOTS:
    void init()
    {
        m_host = std::make_unique<Peer>();
        m_joiner = std::make_unique<Peer>();
        setApplicationExceptionReport(&m_report);
        m_report.shown.clear();
        m_port = freePort();
    }
    void cleanup()
    {
        m_joiner.reset();
        m_host.reset();
        setApplicationExceptionReport(nullptr);
    }

    void twoWindowsHoldAConversation()
    {
        startConversation();
        QCOMPARE(m_host->fakes.sound.plays, 1);
        QCOMPARE(m_joiner->fakes.sound.plays, 0);
        QVERIFY(m_host->lines().isEmpty()); // greeting is status and chime only

        m_host->type(QStringLiteral("hi"));
        QCOMPARE(m_host->form->entryText(), QString());
        QCOMPARE(m_host->lines(), (QList<TranscriptLine>{{QStringLiteral("hi"), colours::kOwn}}));
        QTRY_COMPARE(m_joiner->lines().size(), 1);
        QCOMPARE(m_joiner->lines().constFirst(), (TranscriptLine{QStringLiteral("ann: hi"), colours::kPeer}));

        // Characters outside the set are dropped on the wire but echoed as typed.
        m_joiner->type(QStringLiteral("gr\u00FC\u00DFe \u20AC5"));
        QCOMPARE(m_joiner->lines().last(),
                 (TranscriptLine{QStringLiteral("gr\u00FC\u00DFe \u20AC5"), colours::kOwn}));
        QTRY_COMPARE(m_host->lines().size(), 2);
        QCOMPARE(m_host->lines().last(),
                 (TranscriptLine{QStringLiteral("bob: gre \u20AC5"), colours::kPeer}));

        // Enter on an empty box sends and writes nothing.
        m_joiner->type(QString());
        m_joiner->type(QStringLiteral("last"));
        QTRY_COMPARE(m_host->lines().size(), 3);
        QCOMPARE(m_host->lines().last().text, QStringLiteral("bob: last"));
        QCOMPARE(m_report.shown, QStringList());
    }

    void nameChangeIsAnnouncedAndTheDraftKept()
    {
        startConversation();
        m_joiner->form->Entry->setText(QStringLiteral("half-typed"));
        m_joiner->fakes.prompt.calls.clear();
        m_joiner->fakes.prompt.cancel();          // Cancel asks again
        m_joiner->fakes.prompt.answer(QString()); // so does an empty name
        m_joiner->fakes.prompt.answer(QStringLiteral("robert"));
        m_joiner->form->Name1Click();
        QCOMPARE(m_joiner->fakes.prompt.calls.size(), 3);
        QCOMPARE(m_joiner->fakes.prompt.calls.at(2).initial, QStringLiteral("bob"));
        QCOMPARE(m_joiner->form->userName(), QStringLiteral("robert"));
        QCOMPARE(m_joiner->form->entryText(), QStringLiteral("half-typed"));
        QCOMPARE(m_joiner->lines().last(),
                 (TranscriptLine{QStringLiteral("Changed name to robert"), colours::kOwn}));
        QTRY_COMPARE(m_host->lines().size(), 1);
        QCOMPARE(m_host->lines().constFirst().text, QStringLiteral("bob: Changed name to robert"));
        m_joiner->type(QStringLiteral("now"));
        QTRY_COMPARE(m_host->lines().size(), 2);
        QCOMPARE(m_host->lines().last().text, QStringLiteral("robert: now"));
    }

    void typingWithoutAConversationIsDiscarded()
    {
        m_host->type(QStringLiteral("nobody hears"));
        QCOMPARE(m_host->form->entryText(), QString());
        QVERIFY(m_host->lines().isEmpty());
        listen(*m_host, QStringLiteral("ann"), m_port);
        m_host->type(QStringLiteral("still nobody"));
        QVERIFY(m_host->lines().isEmpty());
        // A name change with nobody to tell changes only the name.
        m_host->fakes.prompt.answer(QStringLiteral("anna"));
        m_host->form->Name1Click();
        QCOMPARE(m_host->form->userName(), QStringLiteral("anna"));
        QVERIFY(m_host->lines().isEmpty());
    }

    void extraJoinersAreTurnedAwayWhileTheConversationGoesOn()
    {
        startConversation();
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(second.waitForConnected(5000));
        QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
        QByteArray busy = second.readAll();
        QCOMPARE(busy, notices::kBusy.toByteArray());
        QCOMPARE(busy.size(), 35);
        QCOMPARE(cipher::decode(busy), QByteArray("Sorry, host is busy in another chat"));
        QCOMPARE(m_host->lines(),
                 (QList<TranscriptLine>{
                     {QStringLiteral("Discarded connection attempt from127.0.0.1"), colours::kSystem}}));
        QCOMPARE(m_host->form->status(), QStringLiteral("Connected from: 127.0.0.1"));
        QTRY_COMPARE(m_host->connections(), 1);

        QTcpSocket third;
        third.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(third.waitForConnected(5000));
        QTRY_COMPARE(third.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(third.readAll(), notices::kBusy.toByteArray());
        QTRY_COMPARE(m_host->lines().size(), 2);

        m_host->type(QStringLiteral("still here"));
        QTRY_COMPARE(m_joiner->lines().size(), 1);
        QCOMPARE(m_joiner->lines().constFirst().text, QStringLiteral("ann: still here"));
        QCOMPARE(m_host->fakes.sound.plays, 1);
        QCOMPARE(m_report.shown, QStringList());
    }

    void rawPeerSeesTheWireForm()
    {
        listen(*m_host, QStringLiteral("ann"), m_port);
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(raw.waitForConnected(5000));
        QTRY_COMPARE(m_host->form->status(), QStringLiteral("Connected from: 127.0.0.1"));
        m_host->type(QStringLiteral("hi"));
        QByteArray got;
        QTRY_VERIFY((got += raw.readAll()).size() >= 7);
        QCOMPARE(got, cipher::encode("ann: hi"));
        QCOMPARE(got.at(0), static_cast<char>(cipher::oddEntry(cipher::entryOf('a'))));
        // What the raw peer sends arrives deciphered and blue.
        raw.write(cipher::encode("raw: yo"));
        QTRY_COMPARE(m_host->lines().size(), 2);
        QCOMPARE(m_host->lines().last(), (TranscriptLine{QStringLiteral("raw: yo"), colours::kPeer}));
    }

    void absentHostSendsTheNoticeToTheJoiner()
    {
        listen(*m_host, QStringLiteral("ann"), m_port);
        m_host->form->ToolButton2->click();
        QVERIFY(m_host->form->absentDown());
        QCOMPARE(m_host->lines(),
                 (QList<TranscriptLine>{{QStringLiteral("User marked absent"), colours::kSystem}}));

        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(raw.waitForConnected(5000));
        QByteArray got;
        QTRY_COMPARE((got += raw.readAll()).size(), 36);
        QCOMPARE(got, notices::kAbsent.toByteArray());
        QCOMPARE(cipher::decode(got), QByteArray("Host is away - please wait a moment."));
        QCOMPARE(m_host->lines().size(), 1); // only status and chime on the host
        QCOMPARE(m_host->fakes.sound.plays, 1);

        // Pressed again during the conversation, Absent stays up and writes nothing.
        m_host->form->ToolButton2->click(); // release: "User returned"
        QVERIFY(!m_host->form->absentDown());
        QCOMPARE(m_host->lines().last().text, QStringLiteral("User returned"));
        m_host->form->ToolButton2->click();
        QVERIFY(!m_host->form->absentDown());
        QCOMPARE(m_host->lines().size(), 2);
    }

    void absentWhileOfflinePopsBackUp()
    {
        m_host->form->ToolButton2->click();
        QVERIFY(!m_host->form->absentDown());
        QVERIFY(m_host->lines().isEmpty());
    }

    void joinerSeesTheAbsentNoticeInBlue()
    {
        listen(*m_host, QStringLiteral("ann"), m_port);
        m_host->form->ToolButton2->click();
        join(*m_joiner, QStringLiteral("bob"), m_port);
        QTRY_COMPARE(m_joiner->lines().size(), 1);
        QCOMPARE(m_joiner->lines().constFirst(),
                 (TranscriptLine{QStringLiteral("Host is away - please wait a moment."), colours::kPeer}));
    }

    void peerLeavesAndTheNextJoinerIsGreetedLikeTheFirst()
    {
        startConversation();
        m_joiner->form->Disconnect1Click();
        QCOMPARE(m_joiner->form->status(), QStringLiteral("Disconnected"));
        QTRY_COMPARE(m_host->form->status(), QStringLiteral("Listening . . ."));
        QTRY_COMPARE(m_host->connections(), 0);

        join(*m_joiner, QStringLiteral("bob"), m_port);
        QTRY_COMPARE(m_host->form->status(), QStringLiteral("Connected from: 127.0.0.1"));
        QTRY_COMPARE(m_joiner->form->status(), QStringLiteral("Connected to: 127.0.0.1"));
        QCOMPARE(m_host->fakes.sound.plays, 2); // once per conversation
        QVERIFY(m_host->lines().isEmpty());
        m_joiner->type(QStringLiteral("back"));
        QTRY_COMPARE(m_host->lines().size(), 1);
    }

    void hostStopsListeningAndListensAgainOnTheSamePort()
    {
        startConversation();
        m_host->form->Listen1Click(); // Listen again stops hosting
        QCOMPARE(m_host->form->status(), QStringLiteral("Offline"));
        QVERIFY(!m_host->form->listenChecked());
        QTRY_COMPARE(m_joiner->form->status(), QStringLiteral("Disconnected"));
        listen(*m_host, QStringLiteral("ann"), m_port);
        QCOMPARE(m_report.shown, QStringList());
        QCOMPARE(m_host->form->status(), QStringLiteral("Listening . . ."));
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
        join(*m_joiner, QStringLiteral("bob"), m_port, host); // nobody listens there
        QTRY_COMPARE(m_joiner->lines().size(), 1);
        QCOMPARE(m_joiner->lines().constFirst(),
                 (TranscriptLine{QStringLiteral("Error connecting to:") + host, colours::kSystem}));
        QTRY_COMPARE(m_joiner->form->status(), QStringLiteral("Disconnected"));
        QVERIFY(!m_joiner->form->ClientSocket->Active());
        QCOMPARE(m_report.shown, QStringList());
        // Connect can simply be pressed again.
        listen(*m_host, QStringLiteral("ann"), m_port);
        join(*m_joiner, QStringLiteral("bob"), m_port);
        QTRY_COMPARE(m_joiner->form->status(), QStringLiteral("Connected to: 127.0.0.1"));
    }

    void listenOnAPortInUseShowsTheBindError()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, m_port));
        listen(*m_host, QStringLiteral("ann"), m_port);
        QCOMPARE(m_report.shown.size(), 1);
        QVERIFY2(m_report.shown.constFirst().startsWith(QStringLiteral("Windows socket error: ")),
                 qPrintable(m_report.shown.constFirst()));
        QVERIFY(m_report.shown.constFirst().endsWith(QStringLiteral("on API 'bind'")));
        QVERIFY(!m_host->form->listenChecked());
        QVERIFY(!m_host->form->ServerSocket->Active());
        QCOMPARE(m_host->form->status(), QString());
    }

    void disconnectAbandonsAPendingAttempt()
    {
        listen(*m_host, QStringLiteral("ann"), m_port);
        join(*m_joiner, QStringLiteral("bob"), m_port);
        m_joiner->form->Disconnect1Click(); // before the lookup has even finished
        QCOMPARE(m_joiner->form->status(), QStringLiteral("Disconnected"));
        // A second joiner gets through; had the first attempt gone on, it
        // would have been accepted before it.
        Peer other;
        setApplicationExceptionReport(&m_report);
        join(other, QStringLiteral("cy"), m_port);
        QTRY_COMPARE(other.form->status(), QStringLiteral("Connected to: 127.0.0.1"));
        QCOMPARE(m_joiner->form->status(), QStringLiteral("Disconnected"));
        QVERIFY(!m_joiner->form->ClientSocket->Active());
        QCOMPARE(m_host->connections(), 1);
        QVERIFY(m_host->lines().isEmpty()); // nobody was turned away
    }

    void connectWhilePendingReplacesTheAttempt()
    {
        listen(*m_host, QStringLiteral("ann"), m_port);
        join(*m_joiner, QStringLiteral("bob"), m_port, QStringLiteral("no-such-host.invalid"));
        join(*m_joiner, QStringLiteral("bob"), m_port);
        QTRY_COMPARE(m_joiner->form->status(), QStringLiteral("Connected to: 127.0.0.1"));
        QTRY_COMPARE(m_host->connections(), 1);
        QVERIFY(m_joiner->lines().isEmpty()); // the abandoned lookup reports nothing
    }

    void refusalsWhileActive()
    {
        startConversation();
        m_host->form->Port1Click();
        QCOMPARE(m_host->fakes.messages.shown,
                 QStringList{QStringLiteral("Please disconnect before changing ports.")});
        QCOMPARE(m_host->form->ServerSocket->Port(), m_port);
        m_joiner->form->Connect1Click();
        QCOMPARE(m_joiner->fakes.messages.shown,
                 QStringList{QStringLiteral("Please disconnect before changing address.")});
        QVERIFY(m_joiner->fakes.prompt.answers.isEmpty());
    }

    void listenWhileJoinedEndsTheJoin()
    {
        startConversation();
        m_joiner->fakes.prompt.answer(QStringLiteral("bob"));
        m_joiner->form->Listen1Click(); // the port stays: the client is still active
        QCOMPARE(m_joiner->fakes.messages.shown,
                 QStringList{QStringLiteral("Please disconnect before changing ports.")});
        // Both copies now want the same port on this machine; the joiner's bind fails.
        QCOMPARE(m_report.shown.size(), 1);
        QVERIFY(m_report.shown.constFirst().endsWith(QStringLiteral("on API 'bind'")));
        QCOMPARE(m_joiner->form->status(), QStringLiteral("Disconnected"));
        QTRY_COMPARE(m_host->form->status(), QStringLiteral("Listening . . ."));
    }

    void portPrompt_data()
    {
        QTest::addColumn<QStringList>("answers"); // "!" cancels
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("prompts");
        QTest::newRow("cancel keeps 6767") << QStringList{QStringLiteral("!")} << 6767 << 1;
        QTest::newRow("decimal") << QStringList{QStringLiteral("7000")} << 7000 << 1;
        QTest::newRow("dollar hex") << QStringList{QStringLiteral("$1A2B")} << 6699 << 1;
        QTest::newRow("0x hex") << QStringList{QStringLiteral("0x1a2b")} << 6699 << 1;
        QTest::newRow("x hex and blanks") << QStringList{QStringLiteral("  X1A2B")} << 6699 << 1;
        QTest::newRow("plus sign") << QStringList{QStringLiteral("+80")} << 80 << 1;
        QTest::newRow("abc asks again")
            << QStringList{QStringLiteral("abc"), QStringLiteral("6800")} << 6800 << 2;
        QTest::newRow("empty asks again") << QStringList{QString(), QStringLiteral("6800")} << 6800 << 2;
        QTest::newRow("trailing blank asks again")
            << QStringList{QStringLiteral("80 "), QStringLiteral("81")} << 81 << 2;
        QTest::newRow("70000 asks again")
            << QStringList{QStringLiteral("70000"), QStringLiteral("6767")} << 6767 << 2;
        QTest::newRow("0 asks again")
            << QStringList{QStringLiteral("0"), QStringLiteral("-5"), QStringLiteral("9")} << 9 << 3;
        QTest::newRow("huge asks again")
            << QStringList{QStringLiteral("99999999999999999999"), QStringLiteral("1")} << 1 << 2;
    }
    void portPrompt()
    {
        QFETCH(QStringList, answers);
        QFETCH(int, port);
        QFETCH(int, prompts);
        for (const QString &a : answers) {
            if (a == QStringLiteral("!"))
                m_host->fakes.prompt.cancel();
            else
                m_host->fakes.prompt.answer(a);
        }
        m_host->form->Port1Click();
        QCOMPARE(m_host->fakes.prompt.calls.size(), prompts);
        for (const test::PromptCall &call : m_host->fakes.prompt.calls) {
            QCOMPARE(call.title, QStringLiteral("Natter Settings"));
            QCOMPARE(call.prompt, QStringLiteral("Enter the port number for this session"));
            QCOMPARE(call.initial, QStringLiteral("6767"));
        }
        QCOMPARE(m_host->form->ServerSocket->Port(), port);
        QCOMPARE(m_host->form->ClientSocket->Port(), port);
    }

    void oneCharacterAddressIsIgnored()
    {
        join(*m_joiner, QStringLiteral("bob"), m_port, QStringLiteral("x"));
        QCOMPARE(m_joiner->form->userName(), QStringLiteral("bob"));
        QCOMPARE(m_joiner->form->status(), QString());
        QVERIFY(m_joiner->lines().isEmpty());
        QCOMPARE(m_joiner->fakes.prompt.calls.last().prompt,
                 QStringLiteral("Enter the IP address to connect to"));
        QCOMPARE(m_joiner->fakes.prompt.calls.last().initial, QString());
    }

    void hostSendFailureShowsTheErrorAndKeepsTheEntry()
    {
        listen(*m_host, QStringLiteral("ann"), m_port);
        // A raw peer that joins and then vanishes with a reset.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        QTRY_COMPARE(m_host->form->status(), QStringLiteral("Connected from: 127.0.0.1"));
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(fd);
        // Before the host has heard of the reset, the user sends a line.
        m_host->form->Entry->setText(QStringLiteral("are you there?"));
        m_host->form->PanelClick();
        if (m_report.shown.isEmpty())
            QSKIP("the platform took the send before noticing the reset");
        QCOMPARE(m_report.shown.size(), 1);
        QVERIFY2(m_report.shown.constFirst().startsWith(QStringLiteral("Windows socket error: ")),
                 qPrintable(m_report.shown.constFirst()));
        QVERIFY(m_report.shown.constFirst().endsWith(QStringLiteral("on API 'send'")));
        QCOMPARE(m_host->form->entryText(), QStringLiteral("are you there?"));
        QVERIFY(m_host->lines().isEmpty()); // no echo for a line that did not go
        // The dead connection is gone and the host listens on.
        QTRY_COMPARE(m_host->connections(), 0);
        QCOMPARE(m_host->form->status(), QStringLiteral("Listening . . ."));
    }

    void closingTheWindowEndsTheConversation()
    {
        startConversation();
        m_joiner->form->close();
        QTRY_COMPARE(m_host->form->status(), QStringLiteral("Listening . . ."));
        m_host->form->close();
        QVERIFY(!m_host->form->ServerSocket->Active());
    }
};

QTEST_MAIN(TestConversation)
#include "tst_conversation.moc"
