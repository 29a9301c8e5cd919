#include "messaging/cipher.h"
#include "messaging/codec1252.h"

#include <QSet>
#include <QtTest>

using namespace natter;

namespace {

QByteArray bytes(std::initializer_list<unsigned char> list)
{
    QByteArray b;
    for (unsigned char c : list)
        b.append(static_cast<char>(c));
    return b;
}

QByteArray range(int from, int to, unsigned char (*entry)(int))
{
    QByteArray out;
    for (int j = from; j <= to; ++j)
        out.append(static_cast<char>(entry(j)));
    return out;
}

} // namespace

class TestCipher : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void setAndTables()
    {
        const QByteArray set = range(1, 110, cipher::setEntry);
        QCOMPARE(set.left(95), range(0x20, 0x7E, [](int c) { return static_cast<unsigned char>(c); }));
        QCOMPARE(set.mid(95), bytes({0xA3, 0xEC, 0xE8, 0xE9, 0xE0, 0xF9, 0xF2, 0xE7, 0xE5, 0xC5, 0xF6, 0xE4,
                                     0xD6, 0xC4, 0x80}));
        const auto asSet = [](const QByteArray &b) { return QSet<char>(b.begin(), b.end()); };
        const QByteArray even = range(1, 110, cipher::evenEntry), odd = range(1, 110, cipher::oddEntry);
        QCOMPARE(asSet(even), asSet(set)); // each table is a permutation of the set
        QCOMPARE(asSet(odd), asSet(set));
        QCOMPARE(asSet(set).size(), 110);
        QVERIFY(even != odd);
    }

    void encodeCountsKeptCharactersOnly()
    {
        const auto e = [](char c) { return cipher::entryOf(static_cast<unsigned char>(c)); };
        QCOMPARE(cipher::encode("a"), bytes({cipher::oddEntry(66)}));
        QCOMPARE(cipher::encode("aa"), bytes({cipher::oddEntry(66), cipher::evenEntry(66)}));
        QCOMPARE(cipher::encode(bytes({'x', 0xFC, 'y'})),
                 bytes({cipher::oddEntry(e('x')), cipher::evenEntry(e('y'))}));
        QCOMPARE(cipher::encode(bytes({0xFC, '\t', 0x0D, 0x0A})), QByteArray());
        QCOMPARE(cipher::encode(""), QByteArray());
    }

    void decodeCountsEveryReceivedByte_data()
    {
        QTest::addColumn<unsigned char>("junk");
        QTest::newRow("NUL") << static_cast<unsigned char>(0x00);
        QTest::newRow("CR") << static_cast<unsigned char>(0x0D);
        QTest::newRow("0xFF") << static_cast<unsigned char>(0xFF);
    }
    void decodeCountsEveryReceivedByte()
    {
        QFETCH(unsigned char, junk);
        // Junk at position 1 is dropped, yet 'b' after it is read at position 2.
        QCOMPARE(cipher::decode(bytes({junk, cipher::evenEntry(cipher::entryOf('b'))})), QByteArray("b"));
    }

    void roundTrips()
    {
        const QByteArray set = range(1, 110, cipher::setEntry);
        for (const QByteArray &line :
             {set, QByteArray("!") + set, QByteArray("AaBb"), bytes({0x80, '5', 0xA3})})
            QCOMPARE(cipher::decode(cipher::encode(line)), line); // both parities, case, euro and pound
        QCOMPARE(cipher::decode(cipher::encode(bytes({'x', 0xFC, 'y'}))), QByteArray("xy"));
        QCOMPARE(cp1252::fromUnicode(cp1252::toUnicode(set)), set);
        QVERIFY(cp1252::toUnicode(set).contains(QChar(0x20AC)));
    }

    void arbitraryBytesNeverCrashAndYieldOnlySetCharacters()
    {
        QByteArray every;
        for (int b = 0; b < 256; ++b)
            every.append(static_cast<char>(b));
        for (const QByteArray &in : {every, cipher::encode(every)}) {
            const QByteArray out = cipher::decode(in);
            QVERIFY(out.size() <= in.size());
            for (char c : out)
                QVERIFY(cipher::inSet(static_cast<unsigned char>(c)));
        }
        QCOMPARE(cipher::encode(every).size(), 110);
        QCOMPARE(cp1252::fromUnicode(cp1252::toUnicode(every)), every);
        QCOMPARE(cp1252::toUnicode(bytes({0x80, 0x99, 0x9F})), QStringView(u"\u20AC\u2122\u0178").toString());
        QCOMPARE(cp1252::fromUnicode(u"\u4E2D"), QByteArray(1, cp1252::kUnmappable));
        QVERIFY(!cipher::inSet(static_cast<unsigned char>(cp1252::kUnmappable)));
    }
};

QTEST_GUILESS_MAIN(TestCipher)
#include "tst_cipher.moc"
