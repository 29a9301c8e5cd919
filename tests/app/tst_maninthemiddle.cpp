// test group: system
// A man in the middle: the joiner and the host in network namespaces of
// their own, joined through a third one that redirects the joiner's TCP to
// a relay, which connects on to the host, records every byte and can strip
// the offer or alter a record. The joiner types the host's real address.
// Needs root, ip and nft; skipped otherwise.

#include "messaging/cipher.h"
#include "tests/support/chatprogram.h"
#include "tests/support/netns.h"
#include "tests/support/rawsocket.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace natter;
using namespace Qt::StringLiterals;

namespace {

const QString kJoiner = u"joiner"_s, kMiddle = u"middle"_s, kHost = u"host"_s;
const QString kHostAddress = u"10.214.2.2"_s;
constexpr quint16 kRelayPort = 6868;

// Relays the joiner's connection to the host, recording both directions;
// of the joiner's bytes it drops the first `strip` and flips a bit of the
// one at `flipAt`.
struct Relay {
    explicit Relay(qsizetype dropped = 0, qsizetype flipped = -1) : strip(dropped), flipAt(flipped) {}

    const qsizetype strip, flipAt;
    QByteArray fromJoiner, fromHost; // every byte each side sent, as sent
    QTcpServer server;

    // Listens for the joiner in the namespace `middle` and connects on to
    // the host from there.
    bool listen(const QString &middle, quint16 hostPort)
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, middle, hostPort] {
            QTcpSocket *joiner = server.nextPendingConnection();
            QTcpSocket *host = new QTcpSocket(joiner);
            test::inNamespace(middle, [&] { host->connectToHost(kHostAddress, hostPort); });
            QObject::connect(joiner, &QTcpSocket::readyRead, joiner, [this, joiner, host] {
                QByteArray bytes = joiner->readAll();
                const qsizetype at = fromJoiner.size();
                fromJoiner += bytes;
                if (flipAt >= at && flipAt < fromJoiner.size())
                    bytes[flipAt - at] = char(bytes[flipAt - at] ^ 0x20);
                host->write(bytes.sliced(std::clamp<qsizetype>(strip - at, 0, bytes.size())));
            });
            QObject::connect(host, &QTcpSocket::readyRead, host, [this, joiner, host] {
                const QByteArray bytes = host->readAll();
                fromHost += bytes;
                joiner->write(bytes);
            });
            QObject::connect(joiner, &QTcpSocket::disconnected, host, &QTcpSocket::disconnectFromHost);
            QObject::connect(host, &QTcpSocket::disconnected, joiner, &QTcpSocket::disconnectFromHost);
        });
        bool listening = false;
        return test::inNamespace(middle,
                                 [&] { listening = server.listen(QHostAddress::AnyIPv4, kRelayPort); }) &&
               listening;
    }
};

} // namespace

class TestManInTheMiddle : public QObject {
    Q_OBJECT

    std::unique_ptr<test::NamespaceRig> m_rig;
    quint16 m_port = 7000; // a port for each case: nothing is left waiting on the last one

    // The relay listening in the middle, the host in its namespace, and the
    // joiner's connection through the relay.
    bool converse(Relay &relay, test::ChatProgram &host, test::ChatProgram &joiner, bool withCode)
    {
        const bool started = relay.listen(m_rig->name(kMiddle), m_port) &&
                             m_rig->inside(kHost, [&] { host.listen(m_port); }) &&
                             host.form.status() == u"Listening . . ."_s;
        return started && m_rig->inside(kJoiner, [&] {
            joiner.join(kHostAddress, m_port, withCode ? host.code() : QString());
            static_cast<void>(QTest::qWaitFor(
                [&] { return joiner.form.status() == u"Connected to: "_s + kHostAddress; }, 5000));
        });
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (const QString why = test::NamespaceRig::unavailable({u"nft"_s}); !why.isEmpty())
            QSKIP(qPrintable(why));
        m_rig = std::make_unique<test::NamespaceRig>(u"natter-mitm"_s);
        const bool made = m_rig->add(kJoiner) && m_rig->add(kMiddle) && m_rig->add(kHost) &&
                          m_rig->link(kJoiner, u"10.214.1.2/24"_s, kMiddle, u"10.214.1.1/24"_s) &&
                          m_rig->link(kMiddle, u"10.214.2.1/24"_s, kHost, kHostAddress + u"/24"_s) &&
                          m_rig->ip(kJoiner, u"route add default via 10.214.1.1"_s) &&
                          m_rig->exec(kMiddle, {u"nft"_s, u"-f"_s, u"-"_s}, nullptr,
                                      "table ip mitm {\n"
                                      "  chain pre { type nat hook prerouting priority -100;\n"
                                      "    ip saddr 10.214.1.2 tcp dport 7000-7999 redirect to :6868; }\n"
                                      "}\n") == 0;
        if (!made)
            QSKIP("cannot build the three namespaces and the redirect");
    }
    void cleanupTestCase() { m_rig.reset(); }
    void init() { ++m_port; }

    // Without the offer the host hears an old joiner and the joiner an old
    // host: both go plain after waiting for the other, and a joiner that has
    // the code refuses. A record altered on its way closes the conversation
    // with the integrity line.
    void attack_data()
    {
        QTest::addColumn<int>("strip");  // of the joiner's first bytes
        QTest::addColumn<int>("flipAt"); // -1: none
        QTest::addColumn<bool>("withCode");
        QTest::addColumn<QString>("hostLine"); // empty: the host may not get to say anything
        QTest::addColumn<QString>("joinerLine");
        const QString plain = u"NOT encrypted: your partner's copy of Natter Duo cannot encrypt."_s;
        QTest::newRow("offer stripped") << 80 << -1 << false << plain << plain;
        QTest::newRow("offer stripped, the joiner has the code")
            << 80 << -1 << true << QString()
            << u"Refused: the host did not start encryption, so someone may be interfering with the "
               u"connection. Nothing was sent."_s;
        QTest::newRow("record altered") // the offer, the reply, then into the first record
            << 0 << 80 + 143 + 8 << true
            << u"Connection closed: a line failed its integrity check, so someone may be interfering with "
               u"the connection."_s
            << u"The connection ended without the partner's goodbye: the last lines may be missing."_s;
    }
    void attack()
    {
        QFETCH(int, strip);
        QFETCH(int, flipAt);
        QFETCH(bool, withCode);
        QFETCH(QString, hostLine);
        QFETCH(QString, joinerLine);
        test::ChatProgram host, joiner;
        Relay relay(strip, flipAt);
        QVERIFY(converse(relay, host, joiner, withCode));
        if (flipAt >= 0) {
            QTRY_COMPARE(joiner.form.SecurityPanel->text(), u"Encrypted"_s);
            joiner.type(u"first"_s);
        }
        if (!hostLine.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(host.saw(hostLine, colours::kSystem), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(joiner.saw(joinerLine, colours::kSystem), 10000);
        QCOMPARE(host.count(u"bob: first"_s), 0);
    }

    // A relay that records both directions sees neither sentence, in clear
    // or in the wire form; the joiner's offer and reply replayed to the host
    // later fail its check of the joiner's tag, as a wrong code.
    void recordedThenReplayed()
    {
        test::ChatProgram host, joiner;
        Relay relay;
        QVERIFY(converse(relay, host, joiner, true));
        QTRY_COMPARE(joiner.form.SecurityPanel->text(), u"Encrypted"_s);
        joiner.type(u"meet me at the old mill"_s);
        QTRY_VERIFY(host.saw(u"bob: meet me at the old mill"_s, colours::kPeer));
        host.type(u"see you there"_s);
        QTRY_VERIFY(joiner.saw(u"ann: see you there"_s, colours::kPeer));
        for (const QByteArray &recorded : {relay.fromJoiner, relay.fromHost}) {
            for (const QByteArray &wire : {recorded, cipher::decode(recorded)})
                QVERIFY(!wire.contains("old mill") && !wire.contains("see you"));
        }
        joiner.form.Disconnect1Click();
        QTRY_COMPARE(host.form.status(), u"Listening . . ."_s);

        const QByteArray offerAndReply = relay.fromJoiner.left(80 + 3 + 140);
        test::RawSocket replay;
        QVERIFY(m_rig->inside(kMiddle, [&] { QVERIFY(replay.connectTo("10.214.2.2", m_port)); }));
        QCOMPARE(::send(replay.fd, offerAndReply.constData(), 80, 0), ssize_t(80));
        QCOMPARE(replay.read(3 + 66).left(1), QByteArray("\x01")); // a fresh hello
        QCOMPARE(::send(replay.fd, offerAndReply.constData() + 80, 143, 0), ssize_t(143));
        QCOMPARE(replay.read(3), QByteArray::fromHex("050000")); // refused
        QTRY_VERIFY(host.saw(u"Someone at 10.214.2.1 tried a wrong code (1 of 3)"_s, colours::kSystem));
    }
};

QTEST_MAIN(TestManInTheMiddle)
#include "tst_maninthemiddle.moc"
