#include "messaging/cipher.h"
#include "messaging/codec1252.h"

#include <QtTest>

using namespace natter;
using namespace Qt::StringLiterals;

class TestCipher : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Wire bytes as every copy of the program sends them (the tables were
    // drawn once and must never change), and what reading them gives.
    void wire_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("read");
        QTest::newRow("first entries, odd and even positions")
            << QByteArray(" !\"#") << QByteArray("&CYJ") << QByteArray(" !\"#");
        QTest::newRow("pound and euro, the last entries")
            << QByteArray("\xA3\x80\x80") << QByteArray("#v\\") << QByteArray("\xA3\x80\x80");
        QTest::newRow("outside the set: dropped, no position")
            << QByteArray("x\xFCy") << QByteArray("]g") << QByteArray("xy");
    }
    void wire()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, read);
        QCOMPARE(cipher::encode(line), wire);
        QCOMPARE(cipher::decode(wire), read);
    }

    void aReceivedByteOutsideTheTableTakesItsPosition()
    {
        // NUL, CR and 0xFF at odd positions: each 'u' after them is read as even.
        QCOMPARE(cipher::decode(QByteArray("\x00u\ru\xFFu", 6)), QByteArray("bbb"));
    }

    void theWholeSetRoundTripsAtBothParities()
    {
        QByteArray set;
        for (int j = 1; j <= 110; ++j)
            set += static_cast<char>(cipher::setEntry(j));
        // Entries count from 1; a character outside the set has none.
        QCOMPARE(cipher::entryOf(' '), 1);
        QCOMPARE(cipher::entryOf(0x80), 110);
        QCOMPARE(cipher::entryOf(0xFC), 0);
        QCOMPARE(cipher::decode(cipher::encode(set)), set);
        QCOMPARE(cipher::decode(cipher::encode('!' + set)), '!' + set);
    }

    // Windows-1252 both ways, where it differs from Latin-1 or could slip.
    void codePage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("euro, trade mark, Y diaeresis")
            << QByteArray("\x80\x99\x9F") << u"\u20AC\u2122\u0178"_s;
        QTest::newRow("en and em dash") << QByteArray("\x96\x97") << u"\u2013\u2014"_s;
        QTest::newRow("no-break space, y diaeresis") << QByteArray("\xA0\xFF") << u"\u00A0\u00FF"_s;
    }
    void codePage()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(cp1252::toUnicode(bytes), text);
        QCOMPARE(cp1252::fromUnicode(text), bytes);
    }

    void aCharacterWithoutACodeIsNeverSent()
    {
        QCOMPARE(cp1252::fromUnicode(u"a\u4E2D"), QByteArray("a\x1A"));
        QCOMPARE(cipher::encode(cp1252::fromUnicode(u"a\u4E2D")), cipher::encode("a"));
    }
};

QTEST_GUILESS_MAIN(TestCipher)
#include "tst_cipher.moc"
