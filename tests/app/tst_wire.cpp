// What travels on a conversation, byte for byte, as a plain socket peer
// receives it: the wire form of chat lines and the host's two notices are
// the same over IPv6 as over IPv4, so every older copy converses with this
// one. Addresses appear as users know them.
#include "tests/support/chatprogram.h"
#include "tests/support/rawsocket.h"

#include <QLineEdit>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace natter;
using test::loopbackIpv6Works;
using test::RawSocket;

namespace {

// The host's notices and three chat lines in wire form, as copies of this
// program have always sent them.
const QByteArray kAbsentNotice("\x38\x6D\xE0\x54\x26\x27\xE0\xE9\x39\x44\x39\x67\x26\x55\x26\x64\x40\x6B"
                               "\x39\x80\x6C\xE9\xC4\x33\x54\x54\x26\x33\x26\xE4\x37\xE4\x6C\x79\x77\x4B",
                               36);
const QByteArray kBusyNotice("\x51\x6D\xD6\x2C\xA3\x2D\x26\x72\x37\x80\x77\xE9\x54\x80\x26\x75\x4B\x80"
                             "\xA3\xE9\x54\x79\x26\x33\x7A\x6D\x77\x72\x6C\x2C\x26\x5C\xF9\x33\x77",
                             35);
const QByteArray kAnnHi("\x39\x79\x7A\xE5\x26\x72\x54", 7);                 // "ann: hi"
const QByteArray kBobHello("\x4E\x6D\x4E\xE5\x26\x72\x6C\x35\x40\x6D", 10); // "bob: hello"
const QByteArray kBobRenamed("\x4E\x6D\x4E\xE5\x26\x3B\xF9\x33\x7A\x29\x6C\x21\x26\x79"
                             "\x39\xE4\x6C\xE9\x77\x6D\x26\x2C\x37\x75\x6C\x2C\x77",
                             27);                           // "bob: Changed name to robert"
const QByteArray kRawYo("\xD6\x33\xC4\xE5\x26\x67\x37", 7); // "raw: yo"
// "(This copy of Natter Duo can encrypt this conversation; update yours to use it.)"
const QByteArray kOffer("\x7C\xD6\xF9\x27\xE0\xE9\x27\x6D\x80\x67\x26\x6D\x58\xE9\x57\x33\x77\x54\x6C\x2C"
                        "\x26\x74\x4B\x6D\x26\x5C\x39\x79\x26\x6B\x7A\x5C\xD6\x67\x80\x54\x26\x54\xF9\x27"
                        "\xE0\xE9\x27\x6D\x7A\x37\x6C\x2C\xE0\x33\x77\x27\x37\x79\x66\xE9\x4B\x64\x71\x33"
                        "\x77\x6B\x26\x67\x37\x36\xD6\x80\x26\x54\x37\xE9\x4B\x80\x6C\xE9\x54\x54\x28\x6C",
                        80);

using Peer = test::ChatProgram;

// Skips a row of the other family where this machine has no ::1.
#define SKIP_WITHOUT(address)                                                                                \
    if (QByteArray(address).contains(':') && !loopbackIpv6Works())                                           \
    QSKIP("this machine has no IPv6 loopback address")

} // namespace

class TestWire : public QObject {
    Q_OBJECT
    std::unique_ptr<Peer> m_peer;

private Q_SLOTS:
    void init() { m_peer = std::make_unique<Peer>(); }
    void cleanup() { m_peer.reset(); }

    void theHostSendsTodaysBytes_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::newRow("IPv4") << QByteArray("127.0.0.1");
        QTest::newRow("IPv6") << QByteArray("::1");
    }
    void theHostSendsTodaysBytes()
    {
        QFETCH(QByteArray, from);
        SKIP_WITHOUT(from);
        Peer &host = *m_peer;
        const test::HeldPort port;
        host.listen(port.port);
        host.form.ToolButton2->click(); // absent

        RawSocket joiner; // an old copy: the host holds its bytes until the joiner's first line
        QVERIFY(joiner.connectTo(from.constData(), port.port));
        QCOMPARE(::send(joiner.fd, kRawYo.constData(), size_t(kRawYo.size()), 0), ssize_t(7));
        QCOMPARE(joiner.read(36), kAbsentNotice);
        QTRY_COMPARE(host.lastLine().text, QStringLiteral("raw: yo"));
        QCOMPARE(host.lastLine().colour, colours::kPeer);
        const QString connected = QStringLiteral("Connected from: ") + QLatin1String(from);
        QCOMPARE(host.form.status(), connected);
        host.form.ToolButton2->click(); // back
        host.type(QStringLiteral("hi"));
        host.form.SendUnencrypted->click();
        QCOMPARE(joiner.read(7), kAnnHi);

        RawSocket extra;
        QVERIFY(extra.connectTo(from.constData(), port.port));
        QCOMPARE(extra.read(35), kBusyNotice);
        QCOMPARE(host.lastLine().text,
                 QStringLiteral("Discarded connection attempt from") + QLatin1String(from));
        QCOMPARE(host.form.status(), connected);
        QCOMPARE(host.fakes.report.shown, QStringList());
    }

    void theJoinerSendsTodaysBytes_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("listenOn");
        QTest::addColumn<QString>("shown");
        QTest::newRow("IPv4") << "127.0.0.1"
                              << "127.0.0.1"
                              << "127.0.0.1";
        QTest::newRow("IPv6") << "::1"
                              << "::1"
                              << "::1";
    }
    void theJoinerSendsTodaysBytes()
    {
        QFETCH(QString, typed);
        QFETCH(QString, listenOn);
        QFETCH(QString, shown);
        SKIP_WITHOUT(qPrintable(listenOn));
        Peer &joiner = *m_peer;
        RawSocket host;
        const quint16 port = host.listen(qPrintable(listenOn));
        QVERIFY(port != 0);
        joiner.join(typed, port); // no code: the host is an old copy
        QTRY_COMPARE(joiner.form.status(), QStringLiteral("Connected to: ") + shown);
        RawSocket conversation = host.accept();
        QVERIFY(conversation.fd >= 0);
        QCOMPARE(conversation.read(80), kOffer); // one offer line, then today's bytes
        QCOMPARE(::send(conversation.fd, kRawYo.constData(), size_t(kRawYo.size()), 0), ssize_t(7));
        QTRY_COMPARE(joiner.lastLine().text, QStringLiteral("raw: yo"));

        joiner.type(QStringLiteral("hello"));
        joiner.form.SendUnencrypted->click();
        QCOMPARE(conversation.read(10), kBobHello);
        joiner.fakes.prompt.answer(QStringLiteral("robert"));
        joiner.form.Name1Click();
        QCOMPARE(conversation.read(27), kBobRenamed);
        QCOMPARE(::send(conversation.fd, kBusyNotice.constData(), size_t(kBusyNotice.size()), 0),
                 ssize_t(35));
        QTRY_COMPARE(joiner.lastLine().text, QStringLiteral("Sorry, host is busy in another chat"));
        QCOMPARE(joiner.fakes.report.shown, QStringList());
    }
};

QTEST_MAIN(TestWire)
#include "tst_wire.moc"
