#include "conversation/notices.h"
#include "messaging/cipher.h"
#include "net/scktcomp.h"
#include "net/socketerrors.h"
#include "tests/support/chatprogram.h"
#include "tests/support/rawsocket.h"

#include <QLineEdit>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QToolButton>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#include <poll.h>

using namespace natter;
using test::RawSocket;

namespace {

using Peer = test::ChatProgram;

TranscriptLine line(const char *text, QRgb colour)
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
        m_host->type(QStringLiteral("nobody hears this")); // no conversation yet: discarded
        QCOMPARE(m_host->form.entryText(), QString());
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

    void extraJoinersAreTurnedAwayWhileTheConversationGoesOn()
    {
        startConversation();
        for (int n = 1; n <= 2; ++n) {
            RawSocket extra;
            QVERIFY(extra.connectTo(m_port));
            QTRY_VERIFY(extra.ended());
            QCOMPARE(extra.received, notices::kBusy.toByteArray());
            QCOMPARE(m_host->lines().size(), n);
            QCOMPARE(m_host->lines().last(),
                     line("Discarded connection attempt from127.0.0.1", colours::kSystem));
        }
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

    void absentNotice()
    {
        m_host->form.ToolButton2->click(); // offline: pops straight back up
        QVERIFY(!m_host->form.absentDown());
        listen(*m_host);
        m_host->form.ToolButton2->click();
        QCOMPARE(m_host->lines(), QList<TranscriptLine>{line("User marked absent", colours::kSystem)});
        RawSocket raw; // an old copy: its first line decides, and then the notice comes
        QVERIFY(raw.connectTo(m_port));
        qint64 sent = 0;
        QVERIFY(raw.offer(cipher::encode("raw: yo"), sent));
        QCOMPARE(raw.read(36), notices::kAbsent.toByteArray());
        QCOMPARE(m_host->lines().last(), line("raw: yo", colours::kPeer));
        m_host->form.transcript().clear();

        m_host->form.ToolButton2->click(); // released: "User returned"
        QCOMPARE(m_host->lines().last().text, QStringLiteral("User returned"));
        m_host->form.ToolButton2->click(); // pressed during a conversation: no effect
        QVERIFY(!m_host->form.absentDown());
        QCOMPARE(m_host->lines().size(), 1);
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
        QCOMPARE(m_host->count(QStringLiteral("Discarded connection attempt from127.0.0.1")), 0);
        QCOMPARE(countLines(m_joiner->lines(), QStringLiteral("Error"), colours::kSystem),
                 0); // the abandoned lookup
    }

    void listenOnAPortInUseLeavesListenUnticked()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, m_port));
        listen(*m_host);
        QCOMPARE(m_report.shown.size(), 1); // the bind error, as the socket layer words it
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

    void hostSendFailureShowsTheErrorAndKeepsTheEntry()
    {
        listen(*m_host);
        RawSocket peer;
        QVERIFY(peer.connectTo(m_port));
        QTRY_COMPARE(m_host->connections(), 1);
        peer.reset(); // the peer vanishes
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

    void aFloodPastTheCapIsCutAndTheHostListensOn()
    {
        listen(*m_host);
        RawSocket flooder;
        QVERIFY(flooder.connectTo(m_port));
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        QByteArray text;
        for (int i = 0; text.size() < (1 << 20); ++i)
            text += "line " + QByteArray::number(i) + ", ";
        text.truncate(1 << 20);
        const QByteArray wire = cipher::encode(text); // an even length: each copy starts afresh
        qint64 sent = 0;

        QVERIFY(QTest::qWaitFor([&] { return !flooder.offer(wire, sent); }, 120000));

        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        const QList<TranscriptLine> lines = m_host->lines();
        QCOMPARE(lines.last(), line("Connection closed: the peer sent more than 4 MB.", colours::kSystem));
        QCOMPARE(countLines(lines, QStringLiteral("Connection closed"), colours::kSystem), 1);
        qsizetype shown = 0;
        for (const TranscriptLine &l : lines)
            shown += l.colour == colours::kPeer ? l.text.size() : 0;
        QVERIFY(shown > 4 * 1024 * 1024);
        QVERIFY(shown <= 4 * 1024 * 1024 + 65536);
        QVERIFY(sent >= shown);
        QVERIFY(QString::fromLatin1(text).startsWith(
            lines.at(2).text)); // the first part is kept, after the state lines
        QCOMPARE(m_report.shown, QStringList());

        join(*m_joiner); // the next joiner is greeted
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: 127.0.0.1"));
        QTRY_COMPARE(m_host->connections(), 1);
        QCOMPARE(m_host->fakes.sound.plays, 2);
    }

    void aFloodPastTheCapCutsTheJoinerToo()
    {
        RawSocket listener; // a hostile host
        QCOMPARE(listener.listen("127.0.0.1", m_port), m_port);
        join(*m_joiner);
        RawSocket flooder = listener.accept();
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: 127.0.0.1"));
        const QByteArray wire = cipher::encode(QByteArray(1 << 20, 'z'));
        qint64 sent = 0;

        QVERIFY(QTest::qWaitFor([&] { return !flooder.offer(wire, sent); }, 120000));

        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Disconnected"));
        QCOMPARE(m_joiner->lastLine(),
                 line("Connection closed: the peer sent more than 4 MB.", colours::kSystem));
        QVERIFY(!m_joiner->form.ClientSocket->Active());
        QCOMPARE(m_report.shown, QStringList());
    }

    // A chat window that holds 2,000 characters: a grey warning once at
    // 90 %; every line the joiner saw leave is shown, the one that fills the
    // window too, and then the joiner is refused until the chat is cleared.
    void aFullChatWindowShowsEveryLineSentAndThenRefusesThePeer()
    {
        m_host = std::make_unique<Peer>(2000);
        startConversation();
        QList<TranscriptLine> sent;
        for (int i = 0; i < 200 && m_joiner->form.ClientSocket->Active(); ++i) {
            m_joiner->type(QStringLiteral("line %1 of a long chat").arg(i));
            sent.append({QStringLiteral("bob: line %1 of a long chat").arg(i), colours::kPeer});
            QTRY_VERIFY(m_host->saw(sent.last().text, colours::kPeer) ||
                        !m_joiner->form.ClientSocket->Active());
        }

        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Disconnected"));
        QList<TranscriptLine> lines = m_host->lines();
        QCOMPARE(lines.takeLast(),
                 line("Connection closed: the chat window is full. Save the chat and clear it to go on.",
                      colours::kSystem));
        const TranscriptLine warning =
            line("The chat window is nearly full: save the chat and clear it to go on.", colours::kSystem);
        QCOMPARE(lines.removeAll(warning), 1);
        QCOMPARE(lines, sent);

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
        QVERIFY(peer.connectTo(m_port));
        if (talkFirst) {
            QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
            qint64 sent = 0;
            QVERIFY(peer.offer(cipher::encode("raw: hello"), sent));
            QTRY_COMPARE(m_host->lines().size(), 1);
        }

        peer.reset();

        const TranscriptLine closed{QStringLiteral("Connection closed: %1.").arg(socketErrorText(ECONNRESET)),
                                    colours::kSystem};
        QTRY_COMPARE(m_host->lastLine(), closed);
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        QCOMPARE(countLines(m_host->lines(), QStringLiteral("Connection closed"), colours::kSystem), 1);
        QCOMPARE(m_host->connections(), 0);
        QCOMPARE(m_report.shown, QStringList());

        join(*m_joiner);
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        QTRY_COMPARE(m_joiner->form.SecurityPanel->text(),
                     QStringLiteral("Encrypted")); // greeted, not told "busy"
    }

    void aStormOfResettingJoinersWritesABoundedFewLines()
    {
        listen(*m_host);
        for (int batch = 0; batch < 10; ++batch) {
            for (int i = 0; i < 5; ++i) {
                // Not waiting for the connect: a full queue drops it, as a storm would.
                RawSocket peer;
                peer.startConnect(m_port);
                peer.reset();
            }
            QCoreApplication::processEvents();
        }

        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Listening . . ."));
        QTRY_COMPARE(m_host->connections(), 0);
        QCOMPARE(m_report.shown, QStringList());
        QVERIFY(countLines(m_host->lines(), QStringLiteral("Connection closed"), colours::kSystem) <= 1);
        QCOMPARE(m_host->lines().size(), countLines(m_host->lines(), QString(), colours::kSystem));

        join(*m_joiner);
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
    }

    void randomJoinersLeaveTheStatusTrue_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6") << QStringLiteral("::1");
    }

    // Raw joiners connect, send, close, reset and half-close in random
    // sequences. After each, the host settles at once: the status names its
    // partner or says it listens, and the next joiner is greeted or turned
    // away by the rules.
    void randomJoinersLeaveTheStatusTrue()
    {
        QFETCH(QString, ip);
        if (ip == QLatin1String("::1") && !test::loopbackIpv6Works())
            QSKIP("this machine has no ::1");
        const QByteArray at = ip.toLatin1();
        listen(*m_host);
        const quint32 seed = qEnvironmentVariableIsSet("NATTER_SEED")
                                 ? quint32(qEnvironmentVariableIntValue("NATTER_SEED"))
                                 : QRandomGenerator::global()->generate();
        qInfo("seed %u (NATTER_SEED=%u repeats it)", seed, seed);
        QRandomGenerator random(seed);
        using Joiner = std::unique_ptr<test::RawSocket>;
        // Connected and not turned away: at most one, the partner.
        const auto partner = [](std::vector<Joiner> &joiners) {
            std::vector<test::RawSocket *> live;
            for (Joiner &j : joiners)
                if (j && !j->ended())
                    live.push_back(j.get());
            return live;
        };
        std::vector<Joiner> leaving; // half-closed: the host ends them
        const auto statusTrue = [&](std::vector<Joiner> &joiners) {
            const std::vector<test::RawSocket *> live = partner(joiners);
            const int n = m_host->connections();
            pollfd waiting{m_host->form.ServerSocket->Socket()->SocketHandle(), POLLIN, 0};
            if (::poll(&waiting, 1, 0) != 0 || !partner(leaving).empty() || live.size() > 1 ||
                n != int(live.size()))
                return false;
            if (n == 0)
                return m_host->form.status() == QLatin1String("Listening . . .");
            const int handle = m_host->form.ServerSocket->Socket()->Connections(0)->SocketHandle();
            return m_host->form.status() == QLatin1String("Connected from: ") + ip &&
                   test::RawSocket::peerPort(handle) == live.front()->localPort();
        };
        for (int sequence = 0; sequence < 40; ++sequence) {
            std::vector<Joiner> joiners(3);
            for (int step = 0; step < 6; ++step) {
                Joiner &j = joiners[random.bounded(3)];
                switch (j ? random.bounded(4) : 4) {
                case 0:
                    ::send(j->fd, "\x55\x53", 2, MSG_NOSIGNAL | MSG_DONTWAIT);
                    break;
                case 1:
                    j.reset();
                    break;
                case 2:
                    j->reset();
                    j.reset();
                    break;
                case 3:
                    ::shutdown(j->fd, SHUT_WR);
                    leaving.push_back(std::move(j));
                    break;
                default:
                    j = std::make_unique<test::RawSocket>();
                    QVERIFY(j->connectTo(at.constData(), m_port));
                }
            }
            QTRY_VERIFY_WITH_TIMEOUT(statusTrue(joiners), 100);

            const bool held = m_host->connections() == 1;
            Joiner &next = joiners.emplace_back(std::make_unique<test::RawSocket>());
            QVERIFY(next->connectTo(at.constData(), m_port));
            if (held)
                QCOMPARE(next->read(35), notices::kBusy.toByteArray());
            QTRY_VERIFY_WITH_TIMEOUT(statusTrue(joiners), 100);
            const std::vector<test::RawSocket *> live = partner(joiners);
            QCOMPARE(live.size(), size_t(1));
            QCOMPARE(live.front() == next.get(), !held);

            for (Joiner &j : joiners)
                if (j)
                    j->reset();
            joiners.clear();
            leaving.clear();
            QTRY_VERIFY_WITH_TIMEOUT(statusTrue(joiners), 100);
        }
        QCOMPARE(m_report.shown, QStringList());
    }

    // A burst of joiners (1,000 attempts, most of them taken by the host,
    // each gone at once, half with a reset) while two copies converse: every
    // line arrives whole and in order both ways, and no joiner of the burst
    // is ever taken as the partner.
    void aBurstOfJoinersLeavesTheConversationWhole()
    {
        startConversation();
        std::atomic<bool> burstOver = false;
        std::jthread burst([&](const std::stop_token &stop) {
            for (int i = 0; i < 1000 && !stop.stop_requested(); ++i) {
                RawSocket joiner;
                joiner.startConnect(m_port);
                pollfd connected{joiner.fd, POLLOUT, 0};
                ::poll(&connected, 1, 20); // one the full queue drops is given up
                if (i % 2 == 0)
                    joiner.reset();
            }
            burstOver = true;
        });
        QList<TranscriptLine> toHost, toJoiner;
        for (int i = 0; i < 2000 && (!burstOver || i < 10); ++i) {
            m_host->type(QStringLiteral("host line %1").arg(i));
            m_joiner->type(QStringLiteral("joiner line %1").arg(i));
            toJoiner.append({QStringLiteral("ann: host line %1").arg(i), colours::kPeer});
            toHost.append({QStringLiteral("bob: joiner line %1").arg(i), colours::kPeer});
            QTRY_COMPARE(m_joiner->lines().size(), 2 * toJoiner.size());
            const auto peerLines = [](Peer &p) {
                QList<TranscriptLine> blue = p.lines();
                blue.removeIf([](const TranscriptLine &l) { return l.colour != colours::kPeer; });
                return blue;
            };
            QTRY_COMPARE(peerLines(*m_host), toHost);
            QCOMPARE(peerLines(*m_joiner), toJoiner);
        }
        burst.join();
        QCOMPARE(m_host->fakes.sound.plays, 1);
        QCOMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        QTRY_COMPARE(m_host->connections(), 1);
        QCOMPARE(m_report.shown, QStringList());
    }

    void aLineForAPeerThatDoesNotReadIsRefused()
    {
        listen(*m_host);
        RawSocket sleeper;
        QVERIFY(sleeper.connectTo(m_port));
        qint64 sent = 0;
        QVERIFY(sleeper.offer(cipher::encode("raw: hi"), sent)); // an old copy, and it says so
        QTRY_COMPARE(m_host->form.SecurityPanel->text(), QStringLiteral("NOT encrypted"));
        m_host->form.SendUnencrypted->click();
        const QString long_(30000, QLatin1Char('x'));

        int taken = 0;
        for (; taken < 1000 && m_host->form.entryText().isEmpty(); ++taken)
            m_host->type(long_);

        QCOMPARE(m_host->form.entryText(), long_); // the refused line waits in the entry box
        QCOMPARE(m_host->lines().last(), line("The peer is not reading: line not sent.", colours::kSystem));
        const qsizetype echoed = countLines(m_host->lines(), long_, colours::kOwn);
        QCOMPARE(echoed, taken - 1);
        QVERIFY(echoed * 30000 >= 4 * 1024 * 1024); // no earlier than the limit
        QCOMPARE(m_host->form.ServerSocket->Socket()->Connections(0)->PendingOutput() > 0, true);

        m_host->answer({QStringLiteral("carol")}); // a notice the peer would never get
        m_host->form.Name1Click();
        QCOMPARE(m_host->form.userName(), QStringLiteral("ann"));
        QCOMPARE(m_host->lastLine(),
                 line("The user name stays ann: the peer could not be told.", colours::kSystem));
        QCOMPARE(m_report.shown, QStringList());
    }
};

QTEST_MAIN(TestConversation)
#include "tst_conversation.moc"
