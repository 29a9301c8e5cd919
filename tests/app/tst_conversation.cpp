// Two copies of the program, or one and a plain socket peer standing for an
// older copy, holding conversations over real sockets on loopback: what each
// window shows, what travels byte for byte, the host's admission of a single
// peer, and the limits that keep a flood or a full window bounded.
#include "conversation/notices.h"
#include "messaging/cipher.h"
#include "net/socketerrors.h"
#include "tests/support/chatprogram.h"
#include "tests/support/rawsocket.h"

#include <QLineEdit>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace natter;
using test::RawSocket;

namespace {

using Peer = test::ChatProgram;

// Chat lines in wire form, as copies of this program have always sent them.
const QByteArray kAnnHi("\x39\x79\x7A\xE5\x26\x72\x54", 7);                 // "ann: hi"
const QByteArray kBobHello("\x4E\x6D\x4E\xE5\x26\x72\x6C\x35\x40\x6D", 10); // "bob: hello"
const QByteArray kRawYo("\xD6\x33\xC4\xE5\x26\x67\x37", 7);                 // "raw: yo"
// "(This copy of Natter Duo can encrypt this conversation; update yours to use it.)"
const QByteArray kOffer("\x7C\xD6\xF9\x27\xE0\xE9\x27\x6D\x80\x67\x26\x6D\x58\xE9\x57\x33\x77\x54\x6C\x2C"
                        "\x26\x74\x4B\x6D\x26\x5C\x39\x79\x26\x6B\x7A\x5C\xD6\x67\x80\x54\x26\x54\xF9\x27"
                        "\xE0\xE9\x27\x6D\x7A\x37\x6C\x2C\xE0\x33\x77\x27\x37\x79\x66\xE9\x4B\x64\x71\x33"
                        "\x77\x6B\x26\x67\x37\x36\xD6\x80\x26\x54\x37\xE9\x4B\x80\x6C\xE9\x54\x54\x28\x6C",
                        80);

TranscriptLine line(const QString &text, QRgb colour = colours::kSystem)
{
    return {text, colour};
}

TranscriptLine line(const char *text, QRgb colour = colours::kSystem)
{
    return {QString::fromUtf8(text), colour};
}

qsizetype countLines(const QList<TranscriptLine> &lines, const QString &start, QRgb colour)
{
    return std::count_if(lines.cbegin(), lines.cend(), [&](const TranscriptLine &l) {
        return l.colour == colour && l.text.startsWith(start);
    });
}

} // namespace

class TestConversation : public QObject {
    Q_OBJECT

    std::unique_ptr<Peer> m_host, m_joiner;
    test::RecordingExceptionReport m_report;
    std::unique_ptr<test::HeldPort> m_held;
    quint16 m_port = 0;

    void listen(Peer &p) { p.listen(m_port); }

    void join(Peer &p, const QString &host = QStringLiteral("127.0.0.1"))
    {
        p.join(host, m_port, m_host->code());
    }

    void startConversation()
    {
        listen(*m_host);
        join(*m_joiner);
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: 127.0.0.1"));
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        QTRY_COMPARE(m_host->form.SecurityPanel->text(), QStringLiteral("Encrypted"));
        QTRY_COMPARE(m_joiner->form.SecurityPanel->text(), QStringLiteral("Encrypted"));
        m_host->form.transcript().clear();
        m_joiner->form.transcript().clear();
    }

    // A plain socket peer on the host, as an old copy that has sent a line.
    void oldCopyJoins(RawSocket &raw, const char *ip = "127.0.0.1")
    {
        QVERIFY(raw.connectTo(ip, m_port));
        QCOMPARE(::send(raw.fd, kRawYo.constData(), size_t(kRawYo.size()), 0), ssize_t(7));
        QTRY_COMPARE(m_host->form.SecurityPanel->text(), QStringLiteral("NOT encrypted"));
    }

private Q_SLOTS:
    void init()
    {
        m_host = std::make_unique<Peer>();
        m_joiner = std::make_unique<Peer>();
        setApplicationExceptionReport(&m_report);
        m_report.shown.clear();
        m_held = std::make_unique<test::HeldPort>();
        m_port = m_held->port;
    }

    void cleanup()
    {
        m_joiner.reset();
        m_host.reset();
        m_held.reset();
        setApplicationExceptionReport(nullptr);
    }

    void twoWindowsHoldAConversation()
    {
        startConversation();
        QCOMPARE(m_host->fakes.sound.plays, 1);
        QVERIFY(m_host->lines().isEmpty()); // the greeting is status and chime only

        m_host->type(QStringLiteral("hi"));
        QCOMPARE(m_host->lines(), QList<TranscriptLine>{line("hi", colours::kOwn)});
        QTRY_COMPARE(m_joiner->lines(), QList<TranscriptLine>{line("ann: hi", colours::kPeer)});

        // A sealed line carries every character of the code page; Enter on an
        // empty box sends nothing.
        m_joiner->type(QStringLiteral("gr\u00FC\u00DFe \u20AC5"));
        m_joiner->type(QString());
        QCOMPARE(m_joiner->lines().last(), line("gr\u00FC\u00DFe \u20AC5", colours::kOwn));
        QTRY_COMPARE(m_host->lines().size(), 2);
        QCOMPARE(m_host->lines().last(), line("bob: gr\u00FC\u00DFe \u20AC5", colours::kPeer));

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

    void anOldCopyJoinsTheHost_data()
    {
        QTest::addColumn<QByteArray>("ip");
        QTest::newRow("IPv4") << QByteArray("127.0.0.1");
        QTest::newRow("IPv6") << QByteArray("::1");
    }

    // The absent notice and the busy notice, and the lines between an old
    // copy and this one, byte for byte.
    void anOldCopyJoinsTheHost()
    {
        QFETCH(QByteArray, ip);
        if (ip.contains(':') && !test::loopbackIpv6Works())
            QSKIP("this machine has no ::1");
        const QString connected = QStringLiteral("Connected from: ") + QLatin1String(ip);
        m_host->form.ToolButton2->click(); // offline: pops straight back up
        QVERIFY(!m_host->form.absentDown());
        listen(*m_host);
        m_host->form.ToolButton2->click();
        QCOMPARE(m_host->lines(), QList<TranscriptLine>{line("User marked absent")});

        RawSocket old; // its first line decides, and then the notice comes
        oldCopyJoins(old, ip.constData());
        QCOMPARE(cipher::decode(old.read(36)), QByteArray("Host is away - please wait a moment."));
        QCOMPARE(m_host->lastLine(), line("raw: yo", colours::kPeer));
        QCOMPARE(m_host->form.status(), connected);
        m_host->form.ToolButton2->click(); // released
        QCOMPARE(m_host->lastLine(), line("User returned"));
        const qsizetype shown = m_host->lines().size();
        m_host->form.ToolButton2->click(); // pressed during a conversation: no effect
        QVERIFY(!m_host->form.absentDown());
        QCOMPARE(m_host->lines().size(), shown);
        m_host->type(QStringLiteral("hi"));
        m_host->form.SendUnencrypted->click();
        QCOMPARE(old.read(7), kAnnHi);

        for (int n = 1; n <= 2; ++n) {
            RawSocket extra;
            QVERIFY(extra.connectTo(ip.constData(), m_port));
            QTRY_VERIFY(extra.ended());
            QCOMPARE(cipher::decode(extra.received), QByteArray("Sorry, host is busy in another chat"));
            QCOMPARE(m_host->lastLine().text,
                     QStringLiteral("Discarded connection attempt from") + QLatin1String(ip));
            QCOMPARE(m_host->form.status(), connected);
        }

        // The old copy leaves; the next joiner is greeted like the first.
        old.close();
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        QTRY_COMPARE(m_host->connections(), 0);
        join(*m_joiner);
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        QCOMPARE(m_host->fakes.sound.plays, 2);
        QCOMPARE(m_report.shown, QStringList());
    }

    void anOldCopyHostsTheJoiner_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6") << QStringLiteral("::1");
        QTest::newRow("IPv6 in brackets") << QStringLiteral("[::1]");
    }

    void anOldCopyHostsTheJoiner()
    {
        QFETCH(QString, typed);
        const QString ip = QString(typed).remove(u'[').remove(u']');
        if (ip.contains(u':') && !test::loopbackIpv6Works())
            QSKIP("this machine has no ::1");
        RawSocket listener;
        const quint16 port = listener.listen(qPrintable(ip));
        QVERIFY(port != 0);
        m_joiner->join(typed, port); // no code: the host is an old copy
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: ") + ip);
        RawSocket old = listener.accept();
        QCOMPARE(old.read(80), kOffer); // one offer line, then today's bytes
        QCOMPARE(::send(old.fd, kRawYo.constData(), size_t(kRawYo.size()), 0), ssize_t(7));
        QTRY_COMPARE(m_joiner->lastLine(), line("raw: yo", colours::kPeer));

        m_joiner->type(QStringLiteral("hello"));
        m_joiner->form.SendUnencrypted->click();
        QCOMPARE(old.read(10), kBobHello);
        const QByteArray busy = notices::kBusy.toByteArray();
        QCOMPARE(::send(old.fd, busy.constData(), size_t(busy.size()), 0), ssize_t(35));
        QTRY_COMPARE(m_joiner->lastLine().text, QStringLiteral("Sorry, host is busy in another chat"));
        QCOMPARE(m_report.shown, QStringList());
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
        QTRY_COMPARE(m_joiner->lines(),
                     QList<TranscriptLine>{line(QStringLiteral("Error connecting to:") + host)});
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Disconnected"));
        QCOMPARE(m_report.shown, QStringList());
        listen(*m_host); // Connect can simply be pressed again
        join(*m_joiner);
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: 127.0.0.1"));
    }

    void settingsAreRefusedWhileActive()
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
        QTest::addColumn<QString>("answers"); // separated by '|'; "!" cancels
        QTest::addColumn<int>("port");
        QTest::newRow("cancel keeps 6767") << "!" << 6767;
        QTest::newRow("dollar hex") << "$1A2B" << 6699;
        QTest::newRow("0x hex, blanks, sign") << "  +0x1a2b" << 6699;
        QTest::newRow("abc, empty, trailing blank") << "abc||80 |81" << 81;
        QTest::newRow("out of range") << "70000|0|-5|99999999999999999999|9" << 9;
        QTest::newRow("the highest port") << "65536|65535" << 65535;
        QTest::newRow("hex digits a to f") << "xfade" << 64222;
    }

    void portPrompt()
    {
        QFETCH(QString, answers);
        QFETCH(int, port);
        const QStringList each = answers.split(QLatin1Char('|'));
        m_host->answer(each);
        m_host->form.Port1Click();
        QCOMPARE(m_host->fakes.prompt.calls.size(), each.size());
        QCOMPARE(m_host->fakes.prompt.calls.last().initial, QStringLiteral("6767"));
        QCOMPARE(m_host->form.ServerSocket->Port(), port);
        QCOMPARE(m_host->form.ClientSocket->Port(), port);
    }

    // A peer that sends more than 4 MB in one conversation is cut like an
    // ordinary close, after what it sent first is shown, 64 KiB at a time;
    // the host listens on.
    void aFloodPastTheCapIsCut()
    {
        listen(*m_host);
        RawSocket flooder;
        QVERIFY(flooder.connectTo(m_port));
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        const QByteArray wire =
            cipher::encode(QByteArray(1 << 20, 'z')); // an even length: each copy starts afresh
        qint64 sent = 0;

        QVERIFY(QTest::qWaitFor([&] { return !flooder.offer(wire, sent); }, 120000));

        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        const QList<TranscriptLine> lines = m_host->lines();
        QCOMPARE(lines.last(), line("Connection closed: the peer sent more than 4 MB."));
        QCOMPARE(countLines(lines, QStringLiteral("Connection closed"), colours::kSystem), 1);
        qsizetype shown = 0;
        for (const TranscriptLine &l : lines)
            shown += l.colour == colours::kPeer ? l.text.size() : 0;
        QVERIFY(shown > 4 * 1024 * 1024);
        QVERIFY(shown <= 4 * 1024 * 1024 + 65536);
        QVERIFY(sent >= shown);
        QCOMPARE(m_report.shown, QStringList());
        join(*m_joiner);
        QTRY_COMPARE(m_joiner->form.SecurityPanel->text(), QStringLiteral("Encrypted"));
    }

    // A chat window that holds 2,000 characters, each line counted with its
    // line break: a grey warning once at 90 %; every line the joiner saw
    // leave is shown, the one that fills the window too, and then the joiner
    // is refused until the chat is cleared.
    void aFullChatWindowShowsEveryLineSentAndThenRefusesThePeer()
    {
        m_host = std::make_unique<Peer>(2000);
        startConversation();
        QList<TranscriptLine> sent;
        for (int i = 0; i < 200 && m_joiner->form.ClientSocket->Active(); ++i) {
            m_joiner->type(QStringLiteral("line %1").arg(i, 3, 10, QLatin1Char('0')));
            sent.append(line(QStringLiteral("bob: line %1").arg(i, 3, 10, QLatin1Char('0')), colours::kPeer));
            QTRY_VERIFY(m_host->saw(sent.last().text, colours::kPeer) ||
                        !m_joiner->form.ClientSocket->Active());
        }

        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Disconnected"));
        QList<TranscriptLine> lines = m_host->lines();
        QCOMPARE(lines.takeLast(),
                 line("Connection closed: the chat window is full. Save the chat and clear it to go on."));
        QCOMPARE(
            lines.removeAll(line("The chat window is nearly full: save the chat and clear it to go on.")), 1);
        QCOMPARE(lines, sent);
        QCOMPARE(sent.size(), 138);

        // Old copies that come back while it is full: what the first sends
        // is shown, and past an eighth more nothing is read at all.
        const QString zs(400, u'z');
        for (int time = 1; time <= 2; ++time) {
            RawSocket old;
            qint64 offered = 0;
            QVERIFY(old.connectTo(m_port) && old.offer(cipher::encode(zs.toLatin1()), offered));
            QTRY_VERIFY(old.ended());
            QCOMPARE(m_host->count(zs), 1);
        }

        m_host->form.Cleartext1Click();
        join(*m_joiner);
        QTRY_COMPARE(m_joiner->form.SecurityPanel->text(), QStringLiteral("Encrypted"));
        m_joiner->type(QStringLiteral("hello again"));
        QTRY_COMPARE(m_host->lastLine(), line("bob: hello again", colours::kPeer));
    }

    void aPeerThatResetsIsToldInOneGreyLine_data()
    {
        QTest::addColumn<bool>("talkFirst");
        QTest::newRow("joiner resets at once") << false;
        QTest::newRow("peer resets mid-conversation") << true;
    }

    void aPeerThatResetsIsToldInOneGreyLine()
    {
        QFETCH(bool, talkFirst);
        listen(*m_host);
        RawSocket peer;
        if (talkFirst)
            oldCopyJoins(peer);
        else
            QVERIFY(peer.connectTo(m_port));

        peer.reset();

        const TranscriptLine closed{QStringLiteral("Connection closed: %1.").arg(socketErrorText(ECONNRESET)),
                                    colours::kSystem};
        QTRY_COMPARE(m_host->lastLine(), closed);
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        QCOMPARE(countLines(m_host->lines(), QStringLiteral("Connection closed"), colours::kSystem), 1);
        QCOMPARE(m_host->connections(), 0);
        QCOMPARE(m_report.shown, QStringList());

        join(*m_joiner);
        QTRY_COMPARE(m_joiner->form.SecurityPanel->text(),
                     QStringLiteral("Encrypted")); // greeted, not told "busy"
    }

    // Joiners that reset at once, many of them dropped by the full queue:
    // one grey line at most, the host settles listening, and a storm while
    // a conversation is held leaves the conversation whole.
    void aStormOfResettingJoinersIsShrugged()
    {
        const auto storm = [this] {
            for (int batch = 0; batch < 10; ++batch) {
                for (int i = 0; i < 5; ++i) {
                    RawSocket peer;
                    peer.startConnect(m_port); // not waiting for the connect
                    peer.reset();
                }
                QCoreApplication::processEvents();
            }
        };
        listen(*m_host);
        storm();
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        QTRY_COMPARE(m_host->connections(), 0);
        QVERIFY(countLines(m_host->lines(), QStringLiteral("Connection closed"), colours::kSystem) <= 1);
        QCOMPARE(m_host->lines().size(), countLines(m_host->lines(), QString(), colours::kSystem));

        m_host->form.transcript().clear();
        join(*m_joiner);
        QTRY_COMPARE(m_joiner->form.SecurityPanel->text(), QStringLiteral("Encrypted"));
        const int plays = m_host->fakes.sound.plays;
        storm();
        m_host->type(QStringLiteral("still here"));
        QTRY_COMPARE(m_joiner->lastLine(), line("ann: still here", colours::kPeer));
        QCOMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        QTRY_COMPARE(m_host->connections(), 1);
        QCOMPARE(m_host->fakes.sound.plays, plays);
        QCOMPARE(m_report.shown, QStringList());
    }

    void aLineForAPeerThatDoesNotReadIsRefused()
    {
        listen(*m_host);
        RawSocket sleeper;
        oldCopyJoins(sleeper);
        m_host->form.SendUnencrypted->click();
        const QString long_(30000, QLatin1Char('x'));

        int taken = 0;
        for (; taken < 1000 && m_host->form.entryText().isEmpty(); ++taken)
            m_host->type(long_);

        QCOMPARE(m_host->form.entryText(), long_); // the refused line waits in the entry box
        QCOMPARE(m_host->lastLine(), line("The peer is not reading: line not sent."));
        const qsizetype echoed = countLines(m_host->lines(), long_, colours::kOwn);
        QCOMPARE(echoed, taken - 1);
        QVERIFY(echoed * 30000 >= 4 * 1024 * 1024); // no earlier than the limit

        m_host->answer({QStringLiteral("carol")}); // a notice the peer would never get
        m_host->form.Name1Click();
        QCOMPARE(m_host->form.userName(), QStringLiteral("ann"));
        QCOMPARE(m_host->lastLine(), line("The user name stays ann: the peer could not be told."));
        QCOMPARE(m_report.shown, QStringList());
    }
};

QTEST_MAIN(TestConversation)
#include "tst_conversation.moc"
