// The encrypted conversation between two real copies on loopback, and what
// old copies (a raw socket speaking only the plain protocol) and hostile
// peers get from a copy that can encrypt.
#include "messaging/cipher.h"
#include "messaging/securechannel.h"
#include "tests/support/chatprogram.h"
#include "tests/support/rawsocket.h"

#include <QToolButton>
#include <QtTest>

using namespace natter;
using test::RawSocket;

namespace {

using Peer = test::ChatProgram;

const QString kEncrypted = QStringLiteral("Encrypted");
const QString kRefused = QStringLiteral("Refused");
const QString kListening = QStringLiteral("Listening . . .");

bool sendAll(RawSocket &s, const QByteArray &bytes)
{
    return ::send(s.fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

QString security(Peer &p)
{
    return p.form.SecurityPanel->text();
}

} // namespace

class TestSecureLink : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoCopies_data()
    {
        QTest::addColumn<int>("wrongCodes"); // tried before the right one
        QTest::newRow("right code") << 0;
        QTest::newRow("three wrong codes change the code") << 3;
    }
    void twoCopies()
    {
        QFETCH(int, wrongCodes);
        Peer host, joiner;
        const test::HeldPort held;
        host.listen(held.port);
        const QString firstCode = host.code();
        for (int i = 1; i <= wrongCodes; ++i) {
            const QString wrong =
                host.code() == u"000000" ? QStringLiteral("000001") : QStringLiteral("000000");
            joiner.join(QStringLiteral("127.0.0.1"), held.port, wrong);
            QTRY_VERIFY(host.saw(QStringLiteral("Someone at 127.0.0.1 tried a wrong code (%1 of 3)").arg(i) +
                                     (i == 3 ? QStringLiteral(": a new code is shown") : QString()),
                                 colours::kSystem));
            QTRY_COMPARE(joiner.form.status(), QStringLiteral("Disconnected"));
            QCOMPARE(joiner.lastLine(),
                     (TranscriptLine{QStringLiteral("Refused: the code was wrong. Nothing was sent."),
                                     colours::kSystem}));
        }
        QCOMPARE(host.code() != firstCode, wrongCodes == 3);

        const QString code = host.code();
        host.form.ToolButton2->click(); // absent: the notice waits for the handshake, then goes sealed
        joiner.answer({QStringLiteral("bob"), QString::number(held.port), QStringLiteral("127.0.0.1"),
                       QStringLiteral("12345"), QStringLiteral("abcdef"), host.form.CodePanel->text()});
        joiner.form.Connect1Click(); // the code is asked again until it is six digits
        QTRY_COMPARE(security(host), kEncrypted);
        QTRY_COMPARE(security(joiner), kEncrypted);
        QTRY_VERIFY(joiner.saw(QStringLiteral("Host is away - please wait a moment."), colours::kPeer));
        host.form.ToolButton2->click();
        host.type(QStringLiteral("caf\u00E9 for two"));
        QTRY_VERIFY(joiner.saw(QStringLiteral("ann: caf\u00E9 for two"), colours::kPeer));
        joiner.type(QStringLiteral("on my way"));
        QTRY_VERIFY(host.saw(QStringLiteral("bob: on my way"), colours::kPeer));
        for (Peer *p : {&host, &joiner}) { // the code is never written down
            for (const TranscriptLine &l : p->lines())
                QVERIFY(!l.text.contains(code) && !l.text.contains(code.left(3) + u' ' + code.mid(3)));
        }

        joiner.form.Disconnect1Click(); // an orderly end: no line about a missing goodbye
        QTRY_COMPARE(host.form.status(), kListening);
        QCOMPARE(host.lastLine().text, QStringLiteral("bob: on my way"));
        QVERIFY(host.code() != code); // a code serves one conversation
        QCOMPARE(host.fakes.report.shown + joiner.fakes.report.shown, QStringList());
    }

    // An old joiner gets nothing but today's bytes, and only once the user
    // has agreed.
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
        Peer host;
        const test::HeldPort held;
        host.form.Onlyencrypted1->setChecked(onlyEncrypted);
        host.listen(held.port);
        RawSocket raw;
        QVERIFY(raw.connectTo(held.port));
        QTRY_COMPARE(host.form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        if (onlyEncrypted)
            host.type(QStringLiteral("hi")); // waits for the decision
        QVERIFY(sendAll(raw, cipher::encode("raw: yo")));
        if (!onlyEncrypted) {
            QTRY_COMPARE(host.lastLine(), (TranscriptLine{QStringLiteral("raw: yo"), colours::kPeer}));
            QVERIFY(host.form.PlainBar->isVisibleTo(&host.form));
            host.type(QStringLiteral("hi")); // waits for the user
        }
        if (tickedLater)
            host.form.Onlyencrypted1->trigger();
        if (onlyEncrypted || tickedLater) {
            QTRY_COMPARE(security(host), kRefused);
            QCOMPARE(raw.read(1), QByteArray()); // closed, and nothing typed went out
            QCOMPARE(host.lastLine(), (TranscriptLine{QStringLiteral("Not sent: hi"), colours::kSystem}));
            QTRY_COMPARE(host.form.status(), kListening);
            return;
        }
        QCoreApplication::processEvents();
        char c = 0;
        QCOMPARE(::recv(raw.fd, &c, 1, MSG_DONTWAIT), ssize_t(-1)); // the line waits for the user
        host.form.SendUnencrypted->click();
        QCOMPARE(raw.read(7), cipher::encode("ann: hi"));
        host.type(QStringLiteral("and more"));
        QCOMPARE(raw.read(13), cipher::encode("ann: and more"));
    }

    // A joiner meets a host played by a raw socket: an old one that speaks
    // first in today's bytes, or a new one that starts the handshake. What
    // the user typed meanwhile waits.
    void rawHost_data()
    {
        QTest::addColumn<bool>("newHost");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("line");
        QTest::newRow("old host: someone may be interfering")
            << false << "123456"
            << "Refused: the host did not start encryption, so someone may be interfering with the "
               "connection. "
               "Nothing was sent.";
        QTest::newRow("new host, no code")
            << true << ""
            << "Refused: your partner's window shows a code. Ask your partner for it and connect again.";
        QTest::newRow("new host") << true << "123456"
                                  << "Encrypted: only your partner can read this conversation.";
    }
    void rawHost()
    {
        QFETCH(bool, newHost);
        QFETCH(QString, code);
        QFETCH(QString, line);
        Peer joiner;
        RawSocket listener;
        joiner.join(QStringLiteral("127.0.0.1"), listener.listen("127.0.0.1"), code);
        RawSocket host = listener.accept();
        QCOMPARE(host.read(80), secure::offerWire());
        QTRY_COMPARE(joiner.form.status(), QStringLiteral("Connected to: 127.0.0.1"));
        joiner.type(QStringLiteral("hello"));
        secure::SecureChannel channel(secure::Role::Host, "123456");
        QVERIFY(sendAll(host, newHost ? channel.start() : cipher::encode("ann: hi bob")));
        const bool secured = line.startsWith(QLatin1String("Encrypted"));
        if (secured) {
            const secure::SecureChannel::Output reply = channel.receive(host.read(3 + 140));
            QVERIFY(reply.established);
            QVERIFY(sendAll(host, reply.send));
        }

        QTRY_VERIFY(joiner.saw(line, colours::kSystem));
        if (secured) {
            QCOMPARE(channel.receive(host.read(3 + 10 + 17)).lines,
                     QList<QByteArray>{"bob: hello"}); // sent once the handshake was done
        } else {
            QCOMPARE(host.read(1), QByteArray()); // closed, and nothing typed went out
            QCOMPARE(joiner.lastLine(),
                     (TranscriptLine{QStringLiteral("Not sent: hello"), colours::kSystem}));
        }
    }

    // What a joiner sends after its offer that the host cannot take: one
    // grey line, the connection closed, and the next joiner greeted.
    void badHandshake_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain text") << QByteArray("bob: hello")
                                    << QStringLiteral(
                                           "Connection closed: the partner sent a malformed handshake.");
        QTest::newRow("a reply over the limit")
            << QByteArray("\x02\xFF\xFF", 3)
            << QStringLiteral("Connection closed: the partner sent a frame over the limit.");
        QTest::newRow("a truncated reply")
            << QByteArray("\x02\x00\x8C"
                          "0123456789",
                          13)
            << QStringLiteral("Connection closed: the conversation was not secured within 10 seconds.");
    }
    void badHandshake()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, line);
        Peer host, joiner;
        const test::HeldPort held;
        host.listen(held.port);
        RawSocket raw;
        QVERIFY(raw.connectTo(held.port));
        QTRY_COMPARE(host.form.status(), QStringLiteral("Connected from: 127.0.0.1"));
        QVERIFY(sendAll(raw, secure::offerWire() + bytes));

        QTRY_COMPARE_WITH_TIMEOUT(host.form.status(), kListening, 15000);
        QCOMPARE(raw.read(1 << 16).size(), 3 + 66); // the hello, then the end
        QCOMPARE(host.lastLine(), (TranscriptLine{line, colours::kSystem}));
        QCOMPARE(host.count(line), 1);
        QCOMPARE(security(host), kRefused);
        joiner.join(QStringLiteral("127.0.0.1"), held.port, host.code());
        QTRY_COMPARE(security(joiner), kEncrypted);
        QCOMPARE(host.fakes.report.shown, QStringList());
    }
};

QTEST_MAIN(TestSecureLink)
#include "tst_securelink.moc"
