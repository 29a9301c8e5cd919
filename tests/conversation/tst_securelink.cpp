// The encrypted conversation between two real copies on loopback, and what
// old copies (a raw socket speaking only the plain protocol) and hostile
// joiners get from a copy that can encrypt.
#include "messaging/cipher.h"
#include "messaging/securechannel.h"
#include "tests/support/chatprogram.h"
#include "tests/support/rawsocket.h"

#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace natter;
using test::RawSocket;

namespace {

using Peer = test::ChatProgram;

const QString kEncrypted = QStringLiteral("Encrypted");
const QString kRefused = QStringLiteral("Refused");
const QString kListening = QStringLiteral("Listening . . .");

// A six-digit code that is not `code`.
QString otherCode(const QString &code)
{
    return QStringLiteral("%1").arg((code.toInt() + 1) % 1000000, 6, 10, QLatin1Char('0'));
}

// Hands what arrives on `s`, piece by piece, to `done` until it is satisfied
// or the stream ends.
void readUntil(RawSocket &s, const std::function<bool(const QByteArray &)> &done)
{
    static_cast<void>(QTest::qWaitFor([&] {
        char buf[4096];
        const ssize_t r = ::recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
        return done(QByteArray(buf, qMax(r, ssize_t(0)))) || r == 0;
    }));
}

bool sendAll(RawSocket &s, const QByteArray &bytes)
{
    return ::send(s.fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// A joiner made of a raw socket and a channel: the offer, then the handshake
// with `code`, until the host has confirmed.
bool handshake(RawSocket &s, secure::SecureChannel &channel)
{
    if (!sendAll(s, secure::offerWire()))
        return false;
    secure::SecureChannel::Output out;
    readUntil(s, [&](const QByteArray &piece) {
        out = channel.receive(piece);
        return !out.send.isEmpty() || out.failure != secure::Failure::None;
    });
    if (out.send.isEmpty() || !sendAll(s, out.send))
        return false;
    readUntil(s, [&](const QByteArray &piece) { return channel.receive(piece).established; });
    return channel.isEstablished();
}

} // namespace

class TestSecureLink : public QObject {
    Q_OBJECT

    std::unique_ptr<Peer> m_host, m_joiner;
    std::unique_ptr<test::HeldPort> m_held;
    quint16 m_port = 0;

    void listen()
    {
        m_host->listen(m_port);
        QCOMPARE(m_host->form.status(), kListening);
    }
    void join(const QString &code, quint16 port = 0)
    {
        m_joiner->join(QStringLiteral("127.0.0.1"), port ? port : m_port, code);
    }
    static QString security(Peer &p) { return p.form.SecurityPanel->text(); }
    static int greyLines(Peer &p)
    {
        int n = 0;
        for (const TranscriptLine &l : p.lines())
            n += l.colour == colours::kSystem ? 1 : 0;
        return n;
    }

private Q_SLOTS:
    void init()
    {
        m_host = std::make_unique<Peer>();
        m_joiner = std::make_unique<Peer>();
        m_held = std::make_unique<test::HeldPort>();
        m_port = m_held->port;
    }
    void cleanup()
    {
        m_joiner.reset();
        m_host.reset();
        m_held.reset();
    }

    void twoCopies_data()
    {
        QTest::addColumn<int>("wrongCodes"); // tried before the right one; -1: the joiner has none
        QTest::newRow("right code") << 0;
        QTest::newRow("wrong code") << 1;
        QTest::newRow("three wrong codes change the code") << 3;
        QTest::newRow("no code") << -1;
    }
    void twoCopies()
    {
        QFETCH(int, wrongCodes);
        listen();
        const QString firstCode = m_host->code();
        QCOMPARE(firstCode.size(), 6);
        QCOMPARE(m_host->form.CodePanel->text(), firstCode.left(3) + u' ' + firstCode.mid(3));
        for (int i = 1; i <= wrongCodes; ++i) {
            join(otherCode(m_host->code()));
            const QString attempt =
                QStringLiteral("Someone at 127.0.0.1 tried a wrong code (%1 of 3)").arg(i);
            QTRY_VERIFY(m_host->saw(attempt + (i == 3 ? QStringLiteral(": a new code is shown") : QString()),
                                    colours::kSystem));
            QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Disconnected"));
            QCOMPARE(m_joiner->lastLine(),
                     (TranscriptLine{QStringLiteral("Refused: the code was wrong. Nothing "
                                                    "was sent."),
                                     colours::kSystem}));
            QCOMPARE(security(*m_joiner), kRefused);
        }
        if (wrongCodes < 0) {
            join(QString());
            QTRY_COMPARE(security(*m_joiner), kRefused);
            QCOMPARE(m_joiner->lastLine().text,
                     QStringLiteral("Refused: your partner's window shows a code. Ask "
                                    "your partner for it and connect again."));
            QTRY_COMPARE(m_host->form.status(), kListening);
        }
        QCOMPARE(m_host->code() != firstCode, wrongCodes == 3);
        if (wrongCodes < 0)
            return;

        const QString code = m_host->code();
        m_host->form.ToolButton2->click(); // absent: the notice waits for the handshake, then goes sealed
        join(code);
        QTRY_COMPARE(security(*m_host), kEncrypted);
        QTRY_COMPARE(security(*m_joiner), kEncrypted);
        QTRY_VERIFY(m_joiner->saw(QStringLiteral("Host is away - please wait a moment."), colours::kPeer));
        m_host->form.ToolButton2->click();
        QVERIFY(!m_host->form.CodePanel->isVisibleTo(&m_host->form)); // only while no joiner is connected
        m_host->type(QStringLiteral("caf\u00E9 for two"));
        QTRY_VERIFY(m_joiner->saw(QStringLiteral("ann: caf\u00E9 for two"), colours::kPeer));
        m_joiner->type(QStringLiteral("on my way"));
        QTRY_VERIFY(m_host->saw(QStringLiteral("bob: on my way"), colours::kPeer));
        for (Peer *p : {m_host.get(), m_joiner.get()}) { // the code is never written down
            for (const TranscriptLine &l : p->lines())
                QVERIFY(!l.text.contains(code) && !l.text.contains(code.left(3) + u' ' + code.mid(3)));
        }

        m_joiner->form.Disconnect1Click(); // an orderly end: no line about a missing goodbye
        QTRY_COMPARE(m_host->form.status(), kListening);
        QCOMPARE(m_host->lastLine().text, QStringLiteral("bob: on my way"));
        QCOMPARE(m_host->code().size(), 6);
        QVERIFY(m_host->code() != code); // a code serves one conversation
        QCOMPARE(m_host->fakes.report.shown + m_joiner->fakes.report.shown, QStringList());
    }

    void codePrompt_data()
    {
        QTest::addColumn<QStringList>("answers"); // "CODE" is the host's code as shown; "!" cancels
        QTest::addColumn<QString>("status");
        QTest::newRow("five digits, letters, then the code")
            << QStringList{QStringLiteral("12345"), QStringLiteral("abcdef"), QStringLiteral("CODE")}
            << "Connected to: 127.0.0.1";
        QTest::newRow("cancel stops Connect") << QStringList{QStringLiteral("!")} << "";
    }
    void codePrompt()
    {
        QFETCH(QStringList, answers);
        QFETCH(QString, status);
        listen();
        answers.replaceInStrings(QStringLiteral("CODE"), m_host->form.CodePanel->text());
        m_joiner->answer({QStringLiteral("bob"), QString::number(m_port), QStringLiteral("127.0.0.1")});
        m_joiner->answer(answers);
        m_joiner->form.Connect1Click();
        const QList<test::PromptCall> &calls = m_joiner->fakes.prompt.calls;
        QCOMPARE(calls.size(), 3 + answers.size());
        QCOMPARE(calls.last().prompt,
                 QStringLiteral("Enter the code shown in your partner's window (leave it "
                                "empty if they have none)"));
        QTRY_COMPARE(m_joiner->form.status(), status);
        if (!status.isEmpty())
            QTRY_COMPARE(security(*m_joiner), kEncrypted);
    }

    // An old joiner gets nothing but today's bytes, and only after its first line.
    void oldJoiner_data()
    {
        QTest::addColumn<bool>("onlyEncrypted");
        QTest::addColumn<bool>("tickedLater"); // Only encrypted, once the bar shows
        QTest::newRow("plain once agreed") << false << false;
        QTest::newRow("only encrypted: closed") << true << false;
        QTest::newRow("only encrypted ticked: closed") << false << true;
    }
    void oldJoiner()
    {
        QFETCH(bool, onlyEncrypted);
        QFETCH(bool, tickedLater);
        m_host->form.Onlyencrypted1->setChecked(onlyEncrypted);
        listen();
        RawSocket raw;
        QVERIFY(raw.connectTo("127.0.0.1", m_port));
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        m_host->type(QStringLiteral("hi"));
        QVERIFY(sendAll(raw, cipher::encode("raw: yo")));
        if (tickedLater) {
            QTRY_COMPARE(security(*m_host), QStringLiteral("NOT encrypted"));
            m_host->form.Onlyencrypted1->trigger();
        }

        if (onlyEncrypted || tickedLater) {
            QTRY_COMPARE(security(*m_host), kRefused);
            QCOMPARE(raw.read(1), QByteArray()); // closed, and nothing typed went out
            QCOMPARE(m_host->lastLine(), (TranscriptLine{QStringLiteral("Not sent: hi"), colours::kSystem}));
            QTRY_COMPARE(m_host->form.status(), kListening);
            return;
        }
        QTRY_COMPARE(security(*m_host), QStringLiteral("NOT encrypted"));
        QTRY_COMPARE(m_host->lastLine(), (TranscriptLine{QStringLiteral("raw: yo"), colours::kPeer}));
        QVERIFY(m_host->form.PlainBar->isVisibleTo(&m_host->form));
        QCOMPARE(m_host->form.SecurityPanel->styleSheet(), QStringLiteral("color: #FF0000;"));
        QCoreApplication::processEvents();
        char c = 0;
        QCOMPARE(::recv(raw.fd, &c, 1, MSG_DONTWAIT), ssize_t(-1)); // the line waits for the user
        m_host->form.SendUnencrypted->click();
        QVERIFY(!m_host->form.PlainBar->isVisibleTo(&m_host->form));
        QCOMPARE(raw.read(7), cipher::encode("ann: hi"));
        m_host->type(QStringLiteral("and more"));
        QCOMPARE(raw.read(13), cipher::encode("ann: and more"));
    }

    // A joiner meets a host played by a raw socket: an old one that speaks
    // first in today's bytes, or a new one that starts the handshake. What
    // the user typed meanwhile waits.
    void rawHost_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("onlyEncrypted");
        QTest::addColumn<QString>("line");
        QTest::newRow("old host, no code")
            << "" << false << "NOT encrypted: your partner's copy of Natter Duo cannot encrypt.";
        QTest::newRow("old host, a code: someone may be interfering")
            << "123456" << false
            << "Refused: the host did not start encryption, so someone may be interfering with the "
               "connection. "
               "Nothing was sent.";
        QTest::newRow("new host") << "123456" << true
                                  << "Encrypted: only your partner can read this conversation.";
        QTest::newRow("new host that stops after its hello")
            << "123456" << false << "Connection closed: the conversation was not secured within 10 seconds.";
    }
    void rawHost()
    {
        QFETCH(QString, code);
        QFETCH(bool, onlyEncrypted);
        QFETCH(QString, line);
        RawSocket listener;
        const quint16 port = listener.listen("127.0.0.1");
        m_joiner->form.Onlyencrypted1->setChecked(onlyEncrypted);
        join(code, port);
        RawSocket host = listener.accept();
        QCOMPARE(host.read(80), secure::offerWire());
        QTRY_COMPARE(m_joiner->form.status(), QStringLiteral("Connected to: 127.0.0.1"));
        m_joiner->type(QStringLiteral("hello"));
        const bool isNew = line.startsWith(QLatin1String("Encrypted"));
        const bool stalls = line.endsWith(QLatin1String("10 seconds."));
        secure::SecureChannel channel(secure::Role::Host, code.toLatin1());
        QVERIFY(sendAll(host, isNew || stalls ? channel.start() : cipher::encode("ann: hi bob")));

        if (isNew) {
            secure::SecureChannel::Output out;
            readUntil(host,
                      [&](const QByteArray &got) { return !(out = channel.receive(got)).send.isEmpty(); });
            QVERIFY(out.established);
            QVERIFY(sendAll(host, out.send));
            readUntil(host,
                      [&](const QByteArray &got) { return !(out = channel.receive(got)).lines.isEmpty(); });
            QCOMPARE(out.lines, QList<QByteArray>{"bob: hello"}); // sent once the handshake was done
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_joiner->saw(line, colours::kSystem), 15000);
        if (isNew) {
        } else if (line.startsWith(QLatin1String("NOT"))) {
            QTRY_VERIFY(m_joiner->saw(QStringLiteral("ann: hi bob"), colours::kPeer));
            m_joiner->form.SendUnencrypted->click();
            QCOMPARE(host.read(10), cipher::encode("bob: hello"));
        } else {
            QVERIFY(QTest::qWaitFor([&] { return host.ended(); }));
            QCOMPARE(host.received.size(), stalls ? 3 + 140 : 0); // closed with its reply at most
            QCOMPARE(security(*m_joiner), kRefused);
            QCOMPARE(m_joiner->lastLine(),
                     (TranscriptLine{QStringLiteral("Not sent: hello"), colours::kSystem}));
        }
    }

    void badInputAfterTheOffer_data()
    {
        QTest::addColumn<bool>("secured"); // the handshake is done first
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("line");
        const QString malformed =
            QStringLiteral("Connection closed: the partner sent a malformed handshake.");
        const QString integrity = QStringLiteral("Connection closed: a line failed its integrity check, so "
                                                 "someone may be interfering with the connection.");
        QTest::newRow("plain text") << false << QByteArray("bob: hello") << malformed;
        QTest::newRow("a reply over the limit")
            << false << QByteArray("\x02\xFF\xFF", 3)
            << QStringLiteral("Connection closed: the partner sent a frame over the limit.");
        QTest::newRow("a truncated reply")
            << false
            << QByteArray("\x02\x00\x8C"
                          "0123456789",
                          13)
            << QStringLiteral("Connection closed: the conversation was not secured within 10 seconds.");
        QTest::newRow("a replayed record") << true << QByteArray("replay") << integrity;
    }
    void badInputAfterTheOffer()
    {
        QFETCH(bool, secured);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, line);
        listen();
        RawSocket raw;
        QVERIFY(raw.connectTo("127.0.0.1", m_port));
        secure::SecureChannel channel(secure::Role::Joiner, m_host->code().toLatin1());
        if (secured) {
            QVERIFY(handshake(raw, channel));
            QTRY_COMPARE(security(*m_host), kEncrypted);
            if (bytes == "replay") {
                bytes = channel.seal("bob: once");
                QVERIFY(sendAll(raw, bytes));
                QTRY_VERIFY(m_host->saw(QStringLiteral("bob: once"), colours::kPeer));
            }
        } else {
            bytes.prepend(secure::offerWire());
        }
        QTRY_COMPARE(m_host->form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        const int greyBefore = greyLines(*m_host);
        QVERIFY(sendAll(raw, bytes));

        QTRY_COMPARE_WITH_TIMEOUT(m_host->form.status(), kListening, 15000);
        static_cast<void>(raw.read(1 << 16)); // the hello, if any, then the end
        QVERIFY(raw.ended());
        QCOMPARE(m_host->lastLine(), (TranscriptLine{line, colours::kSystem}));
        QCOMPARE(greyLines(*m_host), greyBefore + 1);
        QCOMPARE(security(*m_host), secured ? QString() : kRefused);

        join(m_host->code()); // the next joiner is greeted
        QTRY_COMPARE(security(*m_joiner), kEncrypted);
        QCOMPARE(m_host->fakes.sound.plays, 2);
        QCOMPARE(m_host->fakes.report.shown, QStringList());
    }
};

QTEST_MAIN(TestSecureLink)
#include "tst_securelink.moc"
