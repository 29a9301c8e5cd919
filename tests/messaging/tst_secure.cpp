#include "messaging/cipher.h"
#include "messaging/securechannel.h"

#include <QtTest>

#include <functional>

using namespace natter;
using secure::Failure;
using secure::Role;
using secure::SecureChannel;

namespace {

constexpr QByteArrayView kCode = "482917";

// The host and the joiner with `joinerCode`, each message delivered in reads
// of `step` bytes after `alter` has had its way with it (0 the hello, 1 the
// reply, 2 the confirm). `failed` is the output that failed, if one did.
struct Pair {
    SecureChannel host{Role::Host, kCode};
    SecureChannel joiner;
    SecureChannel::Output failed;

    explicit Pair(qsizetype step = 1 << 20, QByteArrayView joinerCode = kCode,
                  const std::function<void(int, QByteArray &)> &alter = {})
        : joiner(Role::Joiner, joinerCode)
    {
        QByteArray message = host.start();
        for (int i = 0; i < 3 && failed.failure == Failure::None; ++i) {
            if (alter)
                alter(i, message);
            QByteArray answer;
            for (qsizetype at = 0; at < message.size() && failed.failure == Failure::None; at += step) {
                const auto out = (i == 1 ? host : joiner).receive(message.mid(at, step));
                answer += out.send;
                if (out.failure != Failure::None)
                    failed = out;
            }
            message = answer;
        }
    }
    bool ok() const
    {
        return failed.failure == Failure::None && host.isEstablished() && joiner.isEstablished();
    }
};

} // namespace

class TestSecure : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void matchOffer_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<secure::OfferMatch>("match");
        const QByteArray offer = secure::offerWire();
        QTest::newRow("start of the offer") << offer.left(79) << secure::OfferMatch::Prefix;
        QTest::newRow("the offer then a frame") << offer + "\x02\x00" << secure::OfferMatch::Offer;
        QTest::newRow("last byte differs") << offer.left(79) + "x" << secure::OfferMatch::NotOffer;
    }
    void matchOffer()
    {
        QFETCH(QByteArray, first);
        QFETCH(secure::OfferMatch, match);
        QCOMPARE(secure::matchOffer(first), match);
    }

    // TCP hands the frames over in any pieces.
    void handshakeInPieces()
    {
        for (const qsizetype step : {1, 7})
            QVERIFY2(Pair(step).ok(), qPrintable(QStringLiteral("%1 bytes a read").arg(step)));
    }

    void linesBothWays_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("frameBytes");
        QTest::addColumn<int>("records");
        QTest::newRow("empty") << QByteArray("") << 3 + 17 << 1;
        QTest::newRow("control and high bytes") << QByteArray("\0\n\r\x80\xE9\xFF", 6) << 3 + 6 + 17 << 1;
        QTest::newRow("longest record") << QByteArray(65518, 'a') << 3 + 65535 << 1;
        QTest::newRow("two records") << QByteArray(65519, 'a') << 3 + 65535 + 3 + 1 + 17 << 2;
    }
    void linesBothWays()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, frameBytes);
        QFETCH(int, records);
        Pair pair;
        QVERIFY(pair.ok());
        for (SecureChannel *from : {&pair.host, &pair.joiner}) {
            SecureChannel &to = from == &pair.host ? pair.joiner : pair.host;
            QByteArray frames = from->seal(line);
            frames += from->seal("second");
            QCOMPARE(frames.size(), frameBytes + 3 + 6 + 17);
            const auto out = to.receive(frames);
            QCOMPARE(out.failure, Failure::None);
            QCOMPARE(out.lines.mid(0, records).join(), line);
            QCOMPARE(out.lines.mid(records), QList<QByteArray>{"second"});
            const auto end = to.receive(from->sealFinal());
            QVERIFY(end.finished);
            QVERIFY(from->seal("late").isEmpty()); // nothing is sealed after the final record
        }
    }

    // A handshake message altered on its way, or a joiner with another code
    // or none: the side that notices fails, and no side is established.
    void refusesHandshake_data()
    {
        QTest::addColumn<QByteArray>("joinerCode");
        QTest::addColumn<int>("message");      // 0 hello, 1 reply, 2 confirm
        QTest::addColumn<int>("at");           // where `bytes` go, in the frame
        QTest::addColumn<QByteArray>("bytes"); // empty: the byte at `at` is flipped
        QTest::addColumn<Failure>("failure");
        const QByteArray code = kCode.toByteArray();
        QTest::newRow("wrong code") << QByteArray("482918") << -1 << 0 << QByteArray() << Failure::WrongCode;
        QTest::newRow("no code") << QByteArray("") << -1 << 0 << QByteArray() << Failure::NeedCode;
        // Invalid encodings from the ristretto255 test vectors (RFC 9496, appendix A).
        QTest::newRow("identity as host share")
            << code << 0 << 3 + 16 + 1 << QByteArray(32, '\0') << Failure::BadHandshake;
        QTest::newRow("negative xy joiner share")
            << code << 1 << 3 + 1
            << QByteArray::fromHex("3eb858e78f5a7254d8c9731174a94f76755fd3941c0ac93735c07ba14579630e")
            << Failure::BadHandshake;
        QTest::newRow("other version")
            << code << 0 << 3 + 16 + 34 + 10 << QByteArray("2") << Failure::BadHandshake;
        QTest::newRow("flipped joiner tag") << code << 1 << 3 + 52 + 5 << QByteArray() << Failure::WrongCode;
        QTest::newRow("flipped host tag") << code << 2 << 3 + 63 << QByteArray() << Failure::BadConfirmation;
        QTest::newRow("hello too long")
            << code << 0 << 0 << QByteArray::fromHex("01ffff") << Failure::TooLong;
    }
    void refusesHandshake()
    {
        QFETCH(QByteArray, joinerCode);
        QFETCH(int, message);
        QFETCH(int, at);
        QFETCH(QByteArray, bytes);
        QFETCH(Failure, failure);
        Pair pair(1 << 20, joinerCode, [&](int i, QByteArray &m) {
            if (i == message && bytes.isEmpty())
                m[at] = static_cast<char>(m[at] ^ 0x01);
            else if (i == message)
                m.replace(at, bytes.size(), bytes);
        });
        QCOMPARE(pair.failed.failure, failure);
        QCOMPARE(pair.failed.send,
                 failure == Failure::WrongCode ? QByteArray::fromHex("050000") : QByteArray());
        QVERIFY(!pair.joiner.isEstablished()); // it never sends a line
    }

    // What arrives after the handshake, built from the host's records "one",
    // "two" and "final", "flipped" (one, altered), "other" (one of another
    // conversation), "short" (shorter than its tag) and "plain" (an old
    // copy's line): the lines opened before the joiner fails.
    void refusesRecords_data()
    {
        QTest::addColumn<QByteArrayList>("stream");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<int>("linesBefore");
        QTest::newRow("flipped record") << QByteArrayList{"flipped", "two"} << Failure::Integrity << 0;
        QTest::newRow("reordered records") << QByteArrayList{"two", "one"} << Failure::Integrity << 0;
        QTest::newRow("replayed record") << QByteArrayList{"one", "one"} << Failure::Integrity << 1;
        QTest::newRow("other conversation's record") << QByteArrayList{"other"} << Failure::Integrity << 0;
        QTest::newRow("record shorter than its tag") << QByteArrayList{"short"} << Failure::Integrity << 0;
        QTest::newRow("record after final")
            << QByteArrayList{"one", "two", "final", "one"} << Failure::AfterFinal << 2;
        QTest::newRow("plain text") << QByteArrayList{"one", "plain"} << Failure::Integrity << 1;
    }
    void refusesRecords()
    {
        QFETCH(QByteArrayList, stream);
        QFETCH(Failure, failure);
        QFETCH(int, linesBefore);
        Pair pair, other;
        QVERIFY(pair.ok() && other.ok());
        QMap<QByteArray, QByteArray> records{{"one", pair.host.seal("alice: one")},
                                             {"two", pair.host.seal("alice: two")},
                                             {"final", pair.host.sealFinal()},
                                             {"other", other.host.seal("alice: one")},
                                             {"short", QByteArray::fromHex("040010") + QByteArray(16, 'x')},
                                             {"plain", cipher::encode("mallory: hi")}};
        records["flipped"] = records["one"];
        records["flipped"].back() ^= 0x10;
        QByteArray bytes;
        for (const QByteArray &name : stream)
            bytes += records[name];
        const auto out = pair.joiner.receive(bytes);
        QCOMPARE(out.failure, failure);
        QCOMPARE(out.lines.size(), linesBefore);
    }
};

QTEST_GUILESS_MAIN(TestSecure)
#include "tst_secure.moc"
