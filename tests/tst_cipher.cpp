#include "messaging/cipher.h"
#include "messaging/codec1252.h"

#include <QSet>
#include <QtTest>

using namespace natter;

namespace {

QByteArray allSetCharacters()
{
    QByteArray all;
    for (int j = 1; j <= 110; ++j)
        all.append(static_cast<char>(cipher::setEntry(j)));
    return all;
}

QByteArray bytes(std::initializer_list<unsigned char> list)
{
    QByteArray b;
    for (unsigned char c : list)
        b.append(static_cast<char>(c));
    return b;
}

} // namespace

class TestCipher : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void internalSetIsAsListed()
    {
        QCOMPARE(cipher::setEntry(1), 0x20);
        QCOMPARE(cipher::setEntry(34), 'A');
        QCOMPARE(cipher::setEntry(66), 'a');
        QCOMPARE(cipher::setEntry(95), '~');
        const QByteArray tail =
            bytes({0xA3, 0xEC, 0xE8, 0xE9, 0xE0, 0xF9, 0xF2, 0xE7, 0xE5, 0xC5, 0xF6, 0xE4, 0xD6, 0xC4, 0x80});
        QCOMPARE(allSetCharacters().mid(95), tail);
        for (unsigned char c : {0x00, 0x09, 0x0A, 0x0D, 0x7F, 0xFC, 0xE1, 0xA0})
            QVERIFY2(!cipher::inSet(c), qPrintable(QString::number(c, 16)));
    }

    void tablesArePermutationsOfTheSetAndDiffer()
    {
        QSet<unsigned char> set, even, odd;
        bool differ = false;
        for (int j = 1; j <= 110; ++j) {
            set.insert(cipher::setEntry(j));
            even.insert(cipher::evenEntry(j));
            odd.insert(cipher::oddEntry(j));
            differ = differ || cipher::evenEntry(j) != cipher::oddEntry(j);
        }
        QCOMPARE(set.size(), 110);
        QCOMPARE(even, set);
        QCOMPARE(odd, set);
        QVERIFY(differ);
    }

    void encodeUsesPositionParity()
    {
        QCOMPARE(cipher::encode("a"), QByteArray(1, static_cast<char>(cipher::oddEntry(66))));
        QCOMPARE(cipher::encode("aa"), bytes({cipher::oddEntry(66), cipher::evenEntry(66)}));
        QCOMPARE(cipher::encode(""), QByteArray());
        QCOMPARE(cipher::decode(""), QByteArray());
    }

    void droppedCharactersOnSend_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("received");
        QTest::newRow("u diaeresis in the middle") << bytes({'x', 0xFC, 'y'}) << QByteArray("xy");
        QTest::newRow("only outside the set") << bytes({0xFC, '\t', 0x0D, 0x0A}) << QByteArray();
        QTest::newRow("euro and pound cross") << bytes({0x80, '5', 0xA3}) << bytes({0x80, '5', 0xA3});
        QTest::newRow("case is kept") << QByteArray("AaBb") << QByteArray("AaBb");
    }
    void droppedCharactersOnSend()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, received);
        const QByteArray wire = cipher::encode(line);
        QCOMPARE(wire.size(), received.size());
        QCOMPARE(cipher::decode(wire), received);
    }

    void droppedSecondCharacterIsEncodedAtPositionTwo()
    {
        // 'y' after a dropped character sits at wire position 2 (even table).
        const QByteArray wire = cipher::encode(bytes({'x', 0xFC, 'y'}));
        QCOMPARE(wire,
                 bytes({cipher::oddEntry(cipher::entryOf('x')), cipher::evenEntry(cipher::entryOf('y'))}));
    }

    void receivedBytesOutsideTheSetStillCountAsPositions_data()
    {
        QTest::addColumn<unsigned char>("junk");
        QTest::newRow("NUL") << static_cast<unsigned char>(0x00);
        QTest::newRow("CR") << static_cast<unsigned char>(0x0D);
        QTest::newRow("0xFF") << static_cast<unsigned char>(0xFF);
    }
    void receivedBytesOutsideTheSetStillCountAsPositions()
    {
        QFETCH(unsigned char, junk);
        // Junk at position 1, then 'b' enciphered for position 2.
        const QByteArray received = bytes({junk, cipher::evenEntry(cipher::entryOf('b'))});
        QCOMPARE(cipher::decode(received), QByteArray("b"));
    }

    void roundTripOfTheWholeSetAtBothParities()
    {
        const QByteArray all = allSetCharacters();
        QCOMPARE(cipher::decode(cipher::encode(all)), all);
        const QByteArray shifted = QByteArray("!") + all; // every character at the other parity
        QCOMPARE(cipher::decode(cipher::encode(shifted)), shifted);
    }

    void arbitraryBytesNeverCrashAndYieldOnlySetCharacters()
    {
        QByteArray every;
        for (int b = 0; b < 256; ++b)
            every.append(static_cast<char>(b));
        for (const QByteArray &in : {every, cipher::encode(every), cipher::decode(every)}) {
            const QByteArray out = cipher::decode(in);
            QVERIFY(out.size() <= in.size());
            for (char c : out)
                QVERIFY(cipher::inSet(static_cast<unsigned char>(c)));
        }
        QCOMPARE(cipher::encode(every).size(), 110);
    }

    void codecRoundTripsEverySetCharacter()
    {
        const QByteArray all = allSetCharacters();
        const QString text = cp1252::toUnicode(all);
        QVERIFY(text.contains(QChar(0x20AC))); // euro sign
        QVERIFY(text.contains(QChar(0x00A3))); // pound sign
        QCOMPARE(cp1252::fromUnicode(text), all);
    }

    void codecMapsTheWindowsRangeAndRefusesTheRest()
    {
        QCOMPARE(cp1252::toUnicode(bytes({0x80, 0x99, 0x9F})), QStringView(u"\u20AC\u2122\u0178").toString());
        QCOMPARE(cp1252::fromUnicode(u"\u2122"), bytes({0x99}));
        QCOMPARE(cp1252::fromUnicode(u"\u4E2D"), QByteArray(1, cp1252::kUnmappable));
        QVERIFY(!cipher::inSet(static_cast<unsigned char>(cp1252::kUnmappable)));
        QByteArray every;
        for (int b = 0; b < 256; ++b)
            every.append(static_cast<char>(b));
        QCOMPARE(cp1252::fromUnicode(cp1252::toUnicode(every)), every);
    }
};

QTEST_GUILESS_MAIN(TestCipher)
#include "tst_cipher.moc"
