// test group: system
// A man in the middle: the joiner and the host in network namespaces of
// their own, joined through a third one that redirects the joiner's TCP to
// a relay, which connects on to the host and can strip the offer, record
// every byte, or alter the records. The joiner types the host's real
// address. Needs root, ip and nft; skipped otherwise.

#include "messaging/cipher.h"
#include "messaging/securechannel.h"
#include "tests/support/chatprogram.h"
#include "tests/support/netns.h"
#include "tests/support/rawsocket.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <utility>

using namespace natter;
using namespace Qt::StringLiterals;

namespace {

const QString kJoiner = u"joiner"_s, kMiddle = u"middle"_s, kHost = u"host"_s;
const QString kHostAddress = u"10.214.2.2"_s;
const QString kMiddleAddress = u"10.214.2.1"_s; // where the host sees its joiner
constexpr quint16 kRelayPort = 6868;

enum class Mitm { Relay, StripOffer, FlipRecord };

// Takes the joiner's connections and relays them to the host, passing the
// joiner's bytes unit by unit (the offer, then each frame) through `mode`.
class Relay {
public:
    // `middle`: the namespace the relay's sockets are made in.
    Relay(Mitm mode, quint16 hostPort, QString middle)
        : m_mode(mode), m_hostPort(hostPort), m_middle(std::move(middle))
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
    }
    bool listen()
    {
        bool listening = false;
        return test::inNamespace(m_middle,
                                 [&] { listening = m_server.listen(QHostAddress::AnyIPv4, kRelayPort); }) &&
               listening;
    }

    QByteArray fromJoiner, fromHost; // every byte each side sent, as sent

private:
    void accept()
    {
        m_joiner = m_server.nextPendingConnection();
        m_host = new QTcpSocket(m_joiner);
        test::inNamespace(m_middle, [this] { m_host->connectToHost(kHostAddress, m_hostPort); });
        QObject::connect(m_joiner, &QTcpSocket::readyRead, m_joiner,
                         [this] { towardsHost(m_joiner->readAll()); });
        QObject::connect(m_host, &QTcpSocket::readyRead, m_host, [this] {
            const QByteArray bytes = m_host->readAll();
            fromHost += bytes;
            m_joiner->write(bytes);
        });
        QObject::connect(m_joiner, &QTcpSocket::disconnected, m_host, &QTcpSocket::disconnectFromHost);
        QObject::connect(m_host, &QTcpSocket::disconnected, m_joiner, &QTcpSocket::disconnectFromHost);
    }

    void towardsHost(const QByteArray &bytes)
    {
        fromJoiner += bytes;
        m_pending += bytes;
        const QByteArray offer = secure::offerWire();
        if (!m_offerPassed) {
            if (secure::matchOffer(m_pending) == secure::OfferMatch::Prefix)
                return;
            m_offerPassed = true;
            if (m_pending.startsWith(offer)) {
                m_framed = true;
                if (m_mode != Mitm::StripOffer)
                    m_host->write(offer);
                m_pending.remove(0, offer.size());
            }
        }
        while (m_framed && m_pending.size() >= 3) {
            const qsizetype size = 3 + ((uchar(m_pending[1]) << 8) | uchar(m_pending[2]));
            if (m_pending.size() < size)
                return;
            QByteArray frame = m_pending.left(size);
            m_pending.remove(0, size);
            if (m_mode == Mitm::FlipRecord && frame[0] == '\x04' && ++m_records == 1)
                frame[8] = char(frame[8] ^ 0x20);
            m_host->write(frame);
        }
        if (!m_framed)
            m_host->write(std::exchange(m_pending, {}));
    }

    QTcpServer m_server;
    Mitm m_mode;
    quint16 m_hostPort;
    QString m_middle;
    QTcpSocket *m_joiner = nullptr;
    QTcpSocket *m_host = nullptr;
    QByteArray m_pending;
    bool m_offerPassed = false, m_framed = false;
    int m_records = 0;
};

} // namespace

class TestManInTheMiddle : public QObject {
    Q_OBJECT

    std::unique_ptr<test::NamespaceRig> m_rig;
    quint16 m_port = 7000; // a port for each case: nothing is left waiting on the last one

    // The joiner's connection through the relay; false when it is not made.
    bool join(test::ChatProgram &joiner, const QString &code)
    {
        return m_rig->inside(kJoiner, [&] {
            joiner.join(kHostAddress, m_port, code);
            static_cast<void>(QTest::qWaitFor(
                [&] { return joiner.form.status() == u"Connected to: "_s + kHostAddress; }, 5000));
        });
    }

    static QString security(test::ChatProgram &p) { return p.form.SecurityPanel->text(); }

    // The relay listening in the middle and the host in its namespace.
    bool start(Relay &relay, test::ChatProgram &host)
    {
        return relay.listen() && m_rig->inside(kHost, [&] { host.listen(m_port); }) &&
               host.form.status() == u"Listening . . ."_s;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (const QString why = test::NamespaceRig::unavailable({u"nft"_s}); !why.isEmpty())
            QSKIP(qPrintable(why));
        m_rig = std::make_unique<test::NamespaceRig>(u"natter-mitm"_s);
        const bool made = m_rig->add(kJoiner) && m_rig->add(kMiddle) && m_rig->add(kHost) &&
                          m_rig->link(kJoiner, u"10.214.1.2/24"_s, kMiddle, u"10.214.1.1/24"_s) &&
                          m_rig->link(kMiddle, kMiddleAddress + u"/24"_s, kHost, kHostAddress + u"/24"_s) &&
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
    // host: both go plain after waiting for the other, or refuse with Only
    // encrypted on.
    void strippedOffer_data()
    {
        QTest::addColumn<bool>("onlyEncrypted");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain") << false
                               << u"NOT encrypted: your partner's copy of Natter Duo cannot encrypt."_s;
        QTest::newRow("only encrypted") << true
                                        << u"Refused: your partner's copy of Natter Duo cannot encrypt, and "
                                           u"Only encrypted is on. Nothing was sent."_s;
    }
    void strippedOffer()
    {
        QFETCH(bool, onlyEncrypted);
        QFETCH(QString, line);
        test::ChatProgram host, joiner;
        host.form.Onlyencrypted1->setChecked(onlyEncrypted);
        joiner.form.Onlyencrypted1->setChecked(onlyEncrypted);
        Relay relay(Mitm::StripOffer, m_port, m_rig->name(kMiddle));
        QVERIFY(start(relay, host));
        QVERIFY(join(joiner, QString()));
        QTRY_VERIFY_WITH_TIMEOUT(host.saw(line, colours::kSystem), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(joiner.saw(line, colours::kSystem), 10000);
        QVERIFY(relay.fromJoiner.startsWith(secure::offerWire()));
        QVERIFY(!relay.fromHost.startsWith('\x01')); // the host never said hello
    }

    // A relay that records both directions: the typed sentence never shows,
    // in clear or in the wire form, while an old joiner's shows in the wire
    // form.
    void recordedBytes_data()
    {
        QTest::addColumn<bool>("oldJoiner");
        QTest::newRow("new copies") << false;
        QTest::newRow("old raw joiner") << true;
    }
    void recordedBytes()
    {
        QFETCH(bool, oldJoiner);
        test::ChatProgram host, joiner;
        Relay relay(Mitm::Relay, m_port, m_rig->name(kMiddle));
        QVERIFY(start(relay, host));
        const QByteArray sentence = "bob: meet me at the old mill";
        test::RawSocket raw;
        if (oldJoiner) {
            QVERIFY(m_rig->inside(kJoiner, [&] { QVERIFY(raw.connectTo("10.214.2.2", m_port)); }));
            QTRY_COMPARE(host.form.status(), u"Connected from: "_s + kMiddleAddress);
            QCOMPARE(::send(raw.fd, cipher::encode(sentence).constData(), size_t(sentence.size()), 0),
                     ssize_t(sentence.size()));
        } else {
            QVERIFY(join(joiner, host.code()));
            QTRY_COMPARE(security(joiner), u"Encrypted"_s);
            joiner.type(u"meet me at the old mill"_s);
        }
        QTRY_VERIFY(host.saw(QString::fromLatin1(sentence), colours::kPeer));
        QCOMPARE(cipher::decode(relay.fromJoiner).contains(sentence), oldJoiner);
        QVERIFY(!relay.fromJoiner.contains("old mill"));
        if (!oldJoiner) {
            host.type(u"see you there"_s);
            QTRY_VERIFY(joiner.saw(u"ann: see you there"_s, colours::kPeer));
            QVERIFY(!relay.fromHost.contains("see you") &&
                    !cipher::decode(relay.fromHost).contains("see you"));
        }
    }

    // A record altered on its way closes the conversation with the
    // integrity line; the host listens on.
    void flippedRecord()
    {
        test::ChatProgram host, joiner;
        Relay relay(Mitm::FlipRecord, m_port, m_rig->name(kMiddle));
        QVERIFY(start(relay, host));
        QVERIFY(join(joiner, host.code()));
        QTRY_COMPARE(security(joiner), u"Encrypted"_s);
        joiner.type(u"first"_s);
        QTRY_VERIFY(host.saw(u"Connection closed: a line failed its integrity check, so someone may be "
                             u"interfering with the connection."_s,
                             colours::kSystem));
        QTRY_COMPARE(host.form.status(), u"Listening . . ."_s);
        QCOMPARE(host.count(u"bob: first"_s), 0);
    }

    // The joiner's offer and reply of an earlier conversation, replayed by
    // the man in the middle, fail the host's check of the joiner's tag: a
    // wrong code, and the host refuses.
    void replayedHandshake()
    {
        test::ChatProgram host, joiner;
        Relay relay(Mitm::Relay, m_port, m_rig->name(kMiddle));
        QVERIFY(start(relay, host));
        QVERIFY(join(joiner, host.code()));
        QTRY_COMPARE(security(joiner), u"Encrypted"_s);
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
