#include "messaging/cipher.h"
#include "messaging/cpace.h"
#include "messaging/securechannel.h"

#include <QtTest>

using namespace natter;
using secure::Failure;
using secure::Role;
using secure::SecureChannel;

namespace {

constexpr QByteArrayView kCode = "482917";

cpace::Point point(const char *hex)
{
    const QByteArray b = QByteArray::fromHex(hex);
    cpace::Point p{};
    std::copy(b.begin(), b.end(), p.begin());
    return p;
}

QByteArray hexOf(const cpace::Point &p)
{
    return QByteArray(reinterpret_cast<const char *>(p.data()), static_cast<qsizetype>(p.size())).toHex();
}

// Everything `channel` gives for `bytes`, fed in two reads split at `at`.
SecureChannel::Output feedSplit(SecureChannel &channel, QByteArrayView bytes, qsizetype at)
{
    SecureChannel::Output first = channel.receive(bytes.first(at));
    const SecureChannel::Output second = channel.receive(bytes.sliced(at));
    first.send += second.send;
    first.lines += second.lines;
    first.established = first.established || second.established;
    first.finished = first.finished || second.finished;
    if (first.failure == Failure::None)
        first.failure = second.failure;
    return first;
}

// The host and the joiner after the handshake, message `split` (0 hello,
// 1 reply, 2 confirm) delivered in two reads split at `at`.
struct Pair {
    SecureChannel host{Role::Host, kCode};
    SecureChannel joiner{Role::Joiner, kCode};
    bool ok = false;

    Pair(int split = -1, qsizetype at = 0)
    {
        const QByteArray hello = host.start();
        const auto j = feedSplit(joiner, hello, split == 0 ? at : 0);
        const auto h = feedSplit(host, j.send, split == 1 ? at : 0);
        const auto c = feedSplit(joiner, h.send, split == 2 ? at : 0);
        ok = j.failure == Failure::None && h.established && !j.established && c.established &&
             c.failure == Failure::None && c.send.isEmpty() && host.isEstablished() && joiner.isEstablished();
    }
};

enum class Attack {
    NoCode,
    HostShare,   // the hello's share replaced by `share`
    JoinerShare, // the reply's share replaced
    OtherHostRole,
    FlippedJoinerTag,
    FlippedHostTag,
    HelloTooLong,
    RecordBeforeHandshake,
    FlippedRecord,
    ReorderedRecords,
    ReplayedRecord,
    DroppedRecord,
    RecordOfOtherConversation,
    ShortRecord,
    AfterFinal,
    PlainTextAfterHandshake,
};

// What the attacked side gives for the altered bytes.
SecureChannel::Output attack(Attack a, QByteArrayView share)
{
    SecureChannel host(Role::Host, kCode);
    SecureChannel joiner(Role::Joiner, a == Attack::NoCode ? "" : kCode);
    QByteArray hello = host.start();
    if (a == Attack::HostShare)
        hello.replace(3 + 16 + 1, 32, share.toByteArray());
    if (a == Attack::OtherHostRole)
        hello[3 + 16 + 34 + 10] = '2'; // "NatterDuo/2 host"
    if (a == Attack::HelloTooLong)
        hello = QByteArray::fromHex("01ffff"); // the header alone decides
    if (a == Attack::RecordBeforeHandshake)
        hello = QByteArray::fromHex("040011") + QByteArray(17, 'x');
    const auto j = joiner.receive(hello);
    if (j.failure != Failure::None)
        return j;
    QByteArray reply = j.send;
    if (a == Attack::JoinerShare)
        reply.replace(3 + 1, 32, share.toByteArray());
    if (a == Attack::FlippedJoinerTag)
        reply[3 + 52 + 5] ^= 0x01;
    const auto h = host.receive(reply);
    if (h.failure != Failure::None)
        return h;
    QByteArray confirm = h.send;
    if (a == Attack::FlippedHostTag)
        confirm[3 + 63] ^= 0x80;
    const auto c = joiner.receive(confirm);
    if (c.failure != Failure::None)
        return c;
    const QByteArray one = host.seal("alice: one"), two = host.seal("alice: two"), final = host.sealFinal();
    switch (a) {
    case Attack::FlippedRecord: {
        QByteArray flipped = one;
        flipped[flipped.size() - 1] ^= 0x10;
        return joiner.receive(flipped + two);
    }
    case Attack::ReorderedRecords:
        return joiner.receive(two + one);
    case Attack::ReplayedRecord:
        return joiner.receive(one + one);
    case Attack::DroppedRecord:
        return joiner.receive(two + final);
    case Attack::RecordOfOtherConversation: {
        Pair other;
        return joiner.receive(other.host.seal("alice: one"));
    }
    case Attack::ShortRecord:
        return joiner.receive(QByteArray::fromHex("040010") + QByteArray(16, 'x'));
    case Attack::AfterFinal:
        return joiner.receive(one + two + final + one);
    case Attack::PlainTextAfterHandshake:
        return joiner.receive(one + cipher::encode("mallory: hi"));
    default:
        return joiner.receive(one + two + final);
    }
}

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
        QTest::newRow("the offer") << offer << secure::OfferMatch::Offer;
        QTest::newRow("the offer then a frame") << offer + "\x02\x00" << secure::OfferMatch::Offer;
        QTest::newRow("last byte differs") << offer.left(79) + "x" << secure::OfferMatch::NotOffer;
        QTest::newRow("an old joiner's line") << cipher::encode("bob: hi") << secure::OfferMatch::NotOffer;
        QTest::newRow("the offer in clear")
            << secure::offerText().toByteArray() << secure::OfferMatch::NotOffer;
    }
    void matchOffer()
    {
        QFETCH(QByteArray, first);
        QFETCH(secure::OfferMatch, match);
        QCOMPARE(secure::matchOffer(first), match);
    }

    // The bytes docs/protocol.md gives, which other implementations send:
    // 80 of them, an even length, every character in the set.
    void offerIsOneEvenLineOfWireText()
    {
        QCOMPARE(secure::offerWire().toHex(),
                 "7cd6f927e0e9276d8067266d58e9573377546c2c26744b6d265c3979266b7a5cd6678054"
                 "2654f927e0e9276d7a376c2ce0337727377966e94b647133776b26673736d680265437e9"
                 "4b806ce95454286c");
        QCOMPARE(cipher::decode(secure::offerWire()), secure::offerText());
    }

    void parseCode_data()
    {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<bool>("refused");
        QTest::newRow("as shown") << QByteArray(" 482 917 ") << QByteArray("482917") << false;
        QTest::newRow("leading zeros") << QByteArray("000 001") << QByteArray("000001") << false;
        QTest::newRow("empty") << QByteArray("") << QByteArray("") << false;
        QTest::newRow("spaces only") << QByteArray("   ") << QByteArray("") << false;
        QTest::newRow("five digits") << QByteArray("48291") << QByteArray() << true;
        QTest::newRow("seven digits") << QByteArray("4829170") << QByteArray() << true;
        QTest::newRow("a letter") << QByteArray("48291O") << QByteArray() << true;
    }
    void parseCode()
    {
        QFETCH(QByteArray, typed);
        QFETCH(QByteArray, code);
        QFETCH(bool, refused);
        const QByteArray parsed = secure::parseCode(typed);
        QCOMPARE(parsed, code);
        QCOMPARE(parsed.isNull(), refused);
    }

    void codesAreSixFreshDigits()
    {
        QSet<QByteArray> seen;
        for (int i = 0; i < 50; ++i) {
            const QByteArray code = secure::drawCode();
            QCOMPARE(secure::parseCode(code), code);
            seen.insert(code);
        }
        QVERIFY(seen.size() > 45);
        QCOMPARE(secure::showCode("482917"), QStringLiteral("482 917"));
    }

    // Ristretto255 test vectors, from the Debian package
    // golang-github-bwesterb-go-ristretto-dev 1.2.2-2, ristretto_test.go
    // (TestRistretto255TestVectors; the same values as RFC 9496, appendix A).
    void ristrettoVectors()
    {
        const cpace::Point base = point("e2f2ae0a6abc4e71a884a961c500515f58e30b6aa582dd8db6a65945e08d2d76");
        cpace::Scalar fifteen{};
        fifteen[0] = 15;
        cpace::Point product{};
        QVERIFY(cpace::scalarMult(fifteen, base, product));
        QCOMPARE(hexOf(product), "e0c418f7c8d9c4cdd7395b93ea124f3ad99021bb681dfc3302a9d99a2e53e64e");
        cpace::Point element{};
        QVERIFY(cpace::hashToGroup("Ristretto is traditionally a short shot of espresso coffee", element));
        QCOMPARE(hexOf(element), "3066f82a1a747d45120d1740f14358531a8f04bbffe6a819f86dfe50f44a0a46");
    }

    // The whole CPace computation for fixed scalars (32 bytes of 0x01 and of
    // 0x02), against the values the independent peer gives with @noble/curves
    // 1.9.7 and @noble/hashes 1.8.0: `node tests/peer/peer.js --role vector`.
    void cpaceAgreesWithIndependentPeer()
    {
        const QByteArray sid = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
        cpace::Scalar ya{}, yb{};
        ya.fill(0x01);
        yb.fill(0x02);
        cpace::Point g{}, shareA{}, shareB{}, kA{}, kB{};
        QVERIFY(cpace::calculateGenerator("482917", "NatterDuo/1", sid, g));
        QCOMPARE(hexOf(g), "9ed2e6f42f9cef8bf6b1dc04870ec145d8b0af9220275e0f53658c62fcb6595b");
        QVERIFY(cpace::scalarMult(ya, g, shareA) && cpace::scalarMult(yb, g, shareB));
        QCOMPARE(hexOf(shareA), "0251ea86ee526b7d5afc6844ab03a53f03c9b5b2c5d6716479ad1a3a8ca83766");
        QCOMPARE(hexOf(shareB), "62ba30e7b1d8281ecf561cdd738b764ccaeaba36ceb19f4b3675f2cadde9787b");
        QVERIFY(cpace::scalarMult(ya, shareB, kA) && cpace::scalarMult(yb, shareA, kB));
        QCOMPARE(hexOf(kA), "bc141632a4e1974b095cd7ce9c2fa8c9ec25613bfa9d3c56d99b1dff60355c11");
        QCOMPARE(kB, kA);
        cpace::Isk isk{};
        QVERIFY(cpace::intermediateKey(sid, kA, cpace::message(shareA, "NatterDuo/1 host"),
                                       cpace::message(shareB, "NatterDuo/1 joiner"), isk));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(isk.data()), 64).toHex(),
                 "e258c00abfe810b0d0d06f58a4684be09af27b58356cf22fe60d3e46ccce6eeb"
                 "6eaf7edc61c3c9a21ce909171c5c2ed3752c78746d749ed10806d2ba22bd59b3");
    }

    void handshakeSplitAtEveryByte()
    {
        const qsizetype sizes[] = {3 + 66, 3 + 140, 3 + 88};
        for (int message = 0; message < 3; ++message) {
            for (qsizetype at = 1; at < sizes[message]; ++at) {
                Pair pair(message, at);
                QVERIFY2(pair.ok, qPrintable(QStringLiteral("message %1 split at %2").arg(message).arg(at)));
            }
        }
        SecureChannel host(Role::Host, kCode), joiner(Role::Joiner, kCode);
        QByteArray toJoiner = host.start(), toHost;
        for (int round = 0; round < 2; ++round) { // hello and confirm, one byte a read
            for (const char byte : std::exchange(toJoiner, {}))
                toHost += joiner.receive(QByteArrayView(&byte, 1)).send;
            for (const char byte : std::exchange(toHost, {}))
                toJoiner += host.receive(QByteArrayView(&byte, 1)).send;
        }
        QVERIFY(host.isEstablished());
        QVERIFY(joiner.isEstablished());
    }

    void linesBothWays_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("frameBytes");
        QTest::addColumn<int>("records");
        QByteArray every;
        for (int c = 0; c < 256; ++c)
            every.append(static_cast<char>(c));
        QTest::newRow("short") << QByteArray("alice: caf\xE9 \x80") << 3 + 13 + 17 << 1;
        QTest::newRow("empty") << QByteArray("") << 3 + 17 << 1;
        QTest::newRow("every byte") << every << 3 + 256 + 17 << 1;
        QTest::newRow("longest record") << QByteArray(65518, 'a') << 3 + 65535 << 1;
        QTest::newRow("two records") << QByteArray(65519, 'a') << 3 + 65535 + 3 + 1 + 17 << 2;
    }
    void linesBothWays()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, frameBytes);
        QFETCH(int, records);
        Pair pair;
        QVERIFY(pair.ok);
        for (SecureChannel *from : {&pair.host, &pair.joiner}) {
            SecureChannel &to = from == &pair.host ? pair.joiner : pair.host;
            QByteArray frames = from->seal(line);
            frames += from->seal("second");
            QCOMPARE(frames.size(), frameBytes + 3 + 6 + 17);
            const auto out = to.receive(frames);
            QCOMPARE(out.failure, Failure::None);
            QCOMPARE(out.lines.size(), records + 1);
            QCOMPARE(out.lines.mid(0, records).join(), line);
            QCOMPARE(out.lines.last(), QByteArray("second"));
            const auto end = to.receive(from->sealFinal());
            QVERIFY(end.finished);
            QVERIFY(end.lines.isEmpty());
            QVERIFY(from->seal("late").isEmpty()); // nothing is sealed after the final record
        }
    }

    void wrongCodeIsRefused()
    {
        SecureChannel host(Role::Host, kCode), joiner(Role::Joiner, "482918");
        const auto reply = joiner.receive(host.start());
        QCOMPARE(reply.failure, Failure::None);
        const auto refusal = host.receive(reply.send);
        QCOMPARE(refusal.failure, Failure::WrongCode);
        QCOMPARE(refusal.send, QByteArray::fromHex("050000"));
        QVERIFY(!refusal.established);
        const auto told = joiner.receive(refusal.send);
        QCOMPARE(told.failure, Failure::WrongCode);
        QVERIFY(told.send.isEmpty());
        QVERIFY(host.seal("alice: secret").isEmpty());
        QVERIFY(joiner.seal("bob: secret").isEmpty());
    }

    void refusesAttack_data()
    {
        QTest::addColumn<Attack>("attack");
        QTest::addColumn<QByteArray>("share");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<int>("linesBefore");
        const QByteArray none;
        // Invalid encodings from the ristretto255 vectors cited above.
        QTest::newRow("no code") << Attack::NoCode << none << Failure::NeedCode << 0;
        QTest::newRow("identity as host share")
            << Attack::HostShare << QByteArray(32, '\0') << Failure::BadHandshake << 0;
        QTest::newRow("identity as joiner share")
            << Attack::JoinerShare << QByteArray(32, '\0') << Failure::BadHandshake << 0;
        QTest::newRow("non-canonical host share")
            << Attack::HostShare
            << QByteArray::fromHex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")
            << Failure::BadHandshake << 0;
        QTest::newRow("negative xy joiner share")
            << Attack::JoinerShare
            << QByteArray::fromHex("3eb858e78f5a7254d8c9731174a94f76755fd3941c0ac93735c07ba14579630e")
            << Failure::BadHandshake << 0;
        QTest::newRow("other version") << Attack::OtherHostRole << none << Failure::BadHandshake << 0;
        QTest::newRow("flipped joiner tag") << Attack::FlippedJoinerTag << none << Failure::WrongCode << 0;
        QTest::newRow("flipped host tag") << Attack::FlippedHostTag << none << Failure::BadConfirmation << 0;
        QTest::newRow("hello too long") << Attack::HelloTooLong << none << Failure::TooLong << 0;
        QTest::newRow("record before hello")
            << Attack::RecordBeforeHandshake << none << Failure::BadHandshake << 0;
        QTest::newRow("flipped record") << Attack::FlippedRecord << none << Failure::Integrity << 0;
        QTest::newRow("reordered records") << Attack::ReorderedRecords << none << Failure::Integrity << 0;
        QTest::newRow("replayed record") << Attack::ReplayedRecord << none << Failure::Integrity << 1;
        QTest::newRow("dropped record") << Attack::DroppedRecord << none << Failure::Integrity << 0;
        QTest::newRow("other conversation's record")
            << Attack::RecordOfOtherConversation << none << Failure::Integrity << 0;
        QTest::newRow("record shorter than its tag")
            << Attack::ShortRecord << none << Failure::Integrity << 0;
        QTest::newRow("record after final") << Attack::AfterFinal << none << Failure::AfterFinal << 2;
        QTest::newRow("plain text after handshake")
            << Attack::PlainTextAfterHandshake << none << Failure::Integrity << 1;
    }
    void refusesAttack()
    {
        QFETCH(Attack, attack);
        QFETCH(QByteArray, share);
        QFETCH(Failure, failure);
        QFETCH(int, linesBefore);
        const auto out = ::attack(attack, share);
        QCOMPARE(out.failure, failure);
        QCOMPARE(out.lines.size(), linesBefore);
        QCOMPARE(out.send, failure == Failure::WrongCode ? QByteArray::fromHex("050000") : QByteArray());
        QVERIFY(!out.established);
    }
};

QTEST_GUILESS_MAIN(TestSecure)
#include "tst_secure.moc"
