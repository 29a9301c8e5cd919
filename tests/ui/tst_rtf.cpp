#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "ui/rtf.h"

#include <QFile>
#include <QTest>

using natter::TranscriptLine;
namespace colours = natter::colours;
namespace rtf = natter::rtf;

using Lines = QList<TranscriptLine>;

namespace {

int braceBalance(const QByteArray &doc)
{
    int depth = 0;
    for (qsizetype i = 0; i < doc.size(); ++i) {
        if (doc.at(i) == '\\') {
            ++i; // escaped character
            continue;
        }
        if (doc.at(i) == '{')
            ++depth;
        else if (doc.at(i) == '}')
            --depth;
        if (depth < 0)
            return -1;
    }
    return depth;
}

QString internalSet()
{
    QString s;
    for (int j = 1; j <= static_cast<int>(natter::cipher::kSetSize); ++j) {
        const char b = static_cast<char>(natter::cipher::setEntry(j));
        s += natter::cp1252::toUnicode(QByteArrayView(&b, 1));
    }
    return s;
}

} // namespace

class TestRtf : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<Lines>("lines");
        const QString set = internalSet();
        QCOMPARE(set.size(), 110);
        QTest::newRow("whole internal set, each colour")
            << Lines{{set, colours::kOwn}, {set, colours::kPeer}, {set, colours::kSystem}};
        Lines oneEach;
        for (const QChar c : set)
            oneEach.append({QString(c), colours::kPeer});
        QTest::newRow("each internal character on a line of its own") << oneEach;
        QTest::newRow("braces and backslashes")
            << Lines{{QStringLiteral("{\\}"), colours::kOwn}, {QStringLiteral("\\\\{{}}\\"), colours::kPeer}};
        QTest::newRow("would-be control words stay text")
            << Lines{{QStringLiteral("Bob: }\\par {\\rtf1 \\cf2 evil}\\'41\\u65?"), colours::kPeer},
                     {QStringLiteral("{\\*\\fonttbl gone?}"), colours::kPeer}};
        QTest::newRow("spaces kept, empty lines kept")
            << Lines{{QStringLiteral("  two leading"), colours::kOwn},
                     {QString(), colours::kSystem},
                     {QStringLiteral("trailing  "), colours::kPeer}};
        QTest::newRow("outside Windows-1252")
            << Lines{{QStringLiteral("\u03A9 \u4E2D \U0001F600 \u2603"), colours::kOwn}};
        QTest::newRow("tab and control characters") << Lines{{QStringLiteral("a\tb\x01"
                                                                             "c\x7F"),
                                                              colours::kSystem}};
        QTest::newRow("black and odd colours")
            << Lines{{QStringLiteral("black"), 0x000000}, {QStringLiteral("orange"), 0xFF8000}};
    }
    void roundTrip()
    {
        QFETCH(Lines, lines);
        const QByteArray doc = rtf::write(lines);
        QCOMPARE(braceBalance(doc), 0);
        for (const char c : doc)
            QVERIFY2(static_cast<unsigned char>(c) < 0x80, "every byte above 0x7F must be escaped");
        const rtf::Document back = rtf::read(doc);
        QVERIFY(back.rich);
        QCOMPARE(back.lines, lines);
    }

    void writerDialect()
    {
        const QByteArray doc = rtf::write({{QStringLiteral("hi \u00E9"), colours::kOwn},
                                           {QStringLiteral("yo"), colours::kPeer},
                                           {QStringLiteral("sys"), colours::kSystem},
                                           {QStringLiteral("again"), colours::kOwn}});
        QVERIFY(doc.startsWith("{\\rtf1\\ansi\\ansicpg1252"));
        QVERIFY(doc.contains("{\\fonttbl"));
        QVERIFY(doc.contains("{\\colortbl ;\\red0\\green128\\blue0;\\red0\\green0\\blue255;"
                             "\\red128\\green128\\blue128;}"));
        QVERIFY(doc.contains("\\cf1 hi \\'e9\\par"));
        QVERIFY(doc.contains("\\cf2 yo\\par"));
        QVERIFY(doc.contains("\\cf3 sys\\par"));
        QVERIFY(doc.contains("\\cf1 again\\par"));
        QVERIFY(doc.trimmed().endsWith('}'));
    }

    void emptyTranscriptIsValidEmptyDocument()
    {
        const QByteArray doc = rtf::write({});
        QVERIFY(rtf::looksLikeRtf(doc));
        QCOMPARE(braceBalance(doc), 0);
        const rtf::Document back = rtf::read(doc);
        QVERIFY(back.rich);
        QVERIFY(back.lines.isEmpty());
    }

    void otherWriters_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Lines>("expected");

        QTest::newRow("wordpad style")
            << QByteArray(
                   "{\\rtf1\\ansi\\ansicpg1252\\deff0\\nouicompat\\deflang2057{\\fonttbl{"
                   "\\f0\\fnil\\fcharset0 "
                   "Calibri;}}\r\n{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}\r\n"
                   "{\\*\\generator Riched20 10.0.19041}\\viewkind4\\uc1 \r\n\\pard\\sa200\\sl276\\slmult1"
                   "\\cf1\\f0\\fs22\\lang9 Red caf\\'e9\\cf0\\par\r\n\\cf2 Blue \\b bold\\b0  "
                   "text\\par\r\n}\r\n\0")
            << Lines{{QStringLiteral("Red caf\u00E9"), 0xFF0000},
                     {QStringLiteral("Blue bold text"), 0x0000FF}};
        QTest::newRow("libreoffice style: nested groups, styles, info, unicode")
            << QByteArray(
                   "{\\rtf1\\ansi\\deff4\\adeflang1025\n{\\fonttbl{\\f0\\froman\\fprq2\\fcharset0 Times New "
                   "Roman;}{\\f4\\fswiss\\fprq2\\fcharset0 Liberation Sans{\\*\\falt Arial};}}\n"
                   "{\\colortbl;\\red0\\green0\\blue0;\\red0\\green128\\blue0;}\n"
                   "{\\stylesheet{\\s0\\snext0 Normal;}{\\*\\cs15\\snext15 Emphasis;}}\n"
                   "{\\info{\\title A log}{\\author Someone}{\\creatim\\yr2026\\mo12\\dy5}}"
                   "{\\*\\userprops{\\propname x}}\\deftab709\n"
                   "\\pard\\plain \\s0{\\cf2\\rtlch \\ltrch\\loch Na\\u239\\'3fve {\\i caf}\\u233\\'3f}\n"
                   "\\par \\pard\\plain \\s0\\uc2 \\u8364\\'80\\'80 euro\\uc0\\u8211  dash\\par }")
            << Lines{{QStringLiteral("Na\u00EFve caf\u00E9"), 0x008000},
                     {QStringLiteral("\u20AC euro\u2013 dash"), 0}};
        QTest::newRow("unknown destinations and pictures skipped")
            << QByteArray("{\\rtf1{\\*\\unheardof {nested {deeper}} stuff}{\\pict\\pngblip 89504e470d0a}"
                          "{\\object{\\objdata 0102}}{\\header page head}"
                          "Keep\\line this\\tab one\\~two\\_three\\-four}")
            << Lines{{QStringLiteral("Keep"), 0}, {QStringLiteral("this\tone\u00A0two-threefour"), 0}};
        QTest::newRow("binary data is not text")
            << QByteArray("{\\rtf1 a{\\*\\blob\\bin3 }{}}\\}b}") << Lines{{QStringLiteral("a}b"), 0}};
        QTest::newRow("surrogate pair through \\u")
            << QByteArray("{\\rtf1 x\\u-10179?\\u-8704?y}") << Lines{{QStringLiteral("x\U0001F600y"), 0}};
        QTest::newRow("colour persists until plain")
            << QByteArray(
                   "{\\rtf1{\\colortbl;\\red1\\green2\\blue3;}\\cf1 one\\par two\\par\\plain three\\par}")
            << Lines{{QStringLiteral("one"), 0x010203},
                     {QStringLiteral("two"), 0x010203},
                     {QStringLiteral("three"), 0}};
        QTest::newRow("colour index out of range is default")
            << QByteArray("{\\rtf1{\\colortbl;\\red9\\green9\\blue9;}\\cf7 x\\cf-3 \\par}")
            << Lines{{QStringLiteral("x"), 0}};
        QTest::newRow("escaped backslash newline is a paragraph")
            << QByteArray("{\\rtf1 a\\\nb}") << Lines{{QStringLiteral("a"), 0}, {QStringLiteral("b"), 0}};
        QTest::newRow("text after the outer group is ignored")
            << QByteArray("{\\rtf1 inside}outside") << Lines{{QStringLiteral("inside"), 0}};
    }
    void otherWriters()
    {
        QFETCH(QByteArray, input);
        QFETCH(Lines, expected);
        const rtf::Document doc = rtf::read(input);
        QVERIFY(doc.rich);
        QCOMPARE(doc.lines, expected);
    }

    void logResavedByWordProcessor()
    {
        // A log saved by this program, opened and saved again as RTF by a
        // word processor: its own tables, styles, \\u escapes with fallbacks.
        QFile file(QFINDTESTDATA("data/office-resaved.rtf"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const rtf::Document doc = rtf::read(file.readAll());
        QVERIFY(doc.rich);
        QCOMPARE(doc.lines.size(), 5);
        QCOMPARE(doc.lines.at(0),
                 (TranscriptLine{QStringLiteral("Connected to: 127.0.0.1"), colours::kSystem}));
        QCOMPARE(doc.lines.at(1),
                 (TranscriptLine{QStringLiteral("Ann: Hello Bob! {braces} and \\backslashes\\ "
                                                "\\par not a paragraph"),
                                 colours::kOwn}));
        QCOMPARE(doc.lines.at(2),
                 (TranscriptLine{QStringLiteral("Bob: \u00C7a va? Caf\u00E9 costs 3\u20AC or \u00A32, "
                                                "na\u00EFve \u00F6\u00E4\u00D6\u00C4\u00E5\u00C5"),
                                 colours::kPeer}));
        // The word processor keeps runs of spaces as U+2006 + space pairs.
        QString set = internalSet();
        set.replace(0, 1, QStringLiteral("\u2006 \u2006 "));
        QCOMPARE(doc.lines.at(3), (TranscriptLine{QStringLiteral("Ann:") + set, colours::kOwn}));
        QCOMPARE(doc.lines.at(4), (TranscriptLine{QStringLiteral("Peer disconnected"), colours::kSystem}));
    }

    void hostile_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expectedText"); // all lines joined by '|'

        QTest::newRow("deep nesting")
            << QByteArray("{\\rtf1 ") + QByteArray(200000, '{') + "deep" + QByteArray(200000, '}') + "after}"
            << QStringLiteral("deepafter");
        QTest::newRow("deep nesting then a skipped group")
            << QByteArray("{\\rtf1 ") + QByteArray(300, '{') + "{\\*\\x hidden}a" + QByteArray(300, '}') +
                   "b}"
            << QStringLiteral("ab");
        QTest::newRow("unclosed nesting")
            << QByteArray("{\\rtf1 ") + QByteArray(100000, '{') + "x" << QStringLiteral("x");
        QTest::newRow("truncated hex escape at end") << QByteArray("{\\rtf1 ab\\'4") << QStringLiteral("ab");
        QTest::newRow("hex escape with bad digits")
            << QByteArray("{\\rtf1 a\\'zzb}") << QStringLiteral("azzb");
        QTest::newRow("lone backslash at end") << QByteArray("{\\rtf1 ab\\") << QStringLiteral("ab");
        QTest::newRow("huge numbers")
            << QByteArray("{\\rtf1{\\colortbl;\\red99999999999999999999\\green-5\\blue7;}"
                          "\\cf99999999999999999999999 a\\u99999999999 b\\uc2147483647 "
                          "\\u65 cdefghijklmn}")
            << QStringLiteral("aAklmn");
        QTest::newRow("huge bin") << QByteArray("{\\rtf1 a\\bin99999999999 bcd}") << QStringLiteral("a");
        QTest::newRow("negative bin") << QByteArray("{\\rtf1 a\\bin-5 b}") << QStringLiteral("ab");
        QTest::newRow("overlong control word")
            << QByteArray("{\\rtf1 a\\") + QByteArray(100000, 'p') + "ar b}" << QStringLiteral("ab");
        QTest::newRow("closing brace first") << QByteArray("{\\rtf1}}}}x") << QString();
        QTest::newRow("only the magic") << QByteArray("{\\rtf") << QString();
        QTest::newRow("unicode fallback cut by a group")
            << QByteArray("{\\rtf1\\uc3\\u65{x}yz}") << QStringLiteral("Axyz");
    }
    void hostile()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, expectedText);
        const rtf::Document doc = rtf::read(input);
        QStringList texts;
        for (const TranscriptLine &line : doc.lines)
            texts << line.text;
        QCOMPARE(texts.join(QLatin1Char('|')), expectedText);
    }

    void randomBytesNeverCrash()
    {
        // Deterministic noise built from RTF's own alphabet, plus plain bytes.
        const QByteArray alphabet("{}\\'*0123456789abcdefuparlinecfbinrtf -;\r\n\x80\xFF");
        quint32 seed = 12345;
        for (int round = 0; round < 300; ++round) {
            QByteArray doc("{\\rtf1 ");
            for (int i = 0; i < 400; ++i) {
                seed = seed * 1664525u + 1013904223u;
                doc +=
                    alphabet.at(static_cast<qsizetype>((seed >> 16) % static_cast<quint32>(alphabet.size())));
            }
            const rtf::Document read = rtf::read(doc);
            QVERIFY(read.lines.size() <= doc.size());
        }
    }

    void plainTextFallback_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty") << QByteArray() << QStringList();
        QTest::newRow("utf-8 with BOM and CRLF")
            << QByteArray("\xEF\xBB\xBFHello\r\nWorld \xC3\xA9\r\n")
            << QStringList{QStringLiteral("Hello"), QStringLiteral("World \u00E9")};
        QTest::newRow("windows-1252") << QByteArray("caf\xE9\n\x80 5")
                                      << QStringList{QStringLiteral("caf\u00E9"), QStringLiteral("\u20AC 5")};
        QTest::newRow("old mac line ends and blank lines")
            << QByteArray("a\r\rb") << QStringList{QStringLiteral("a"), QString(), QStringLiteral("b")};
        QTest::newRow("rtf-like but not rtf")
            << QByteArray("{\\rtx1 hi}") << QStringList{QStringLiteral("{\\rtx1 hi}")};
    }
    void plainTextFallback()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, expected);
        const rtf::Document doc = rtf::read(input);
        QVERIFY(!doc.rich);
        QStringList texts;
        for (const TranscriptLine &line : doc.lines) {
            texts << line.text;
            QCOMPARE(line.colour, QRgb(0));
        }
        QCOMPARE(texts, expected);
    }

    void leadingBlanksStillRtf()
    {
        QVERIFY(rtf::looksLikeRtf("\r\n  {\\rtf1 x}"));
        QVERIFY(!rtf::looksLikeRtf("x{\\rtf1 x}"));
        QVERIFY(!rtf::looksLikeRtf(""));
        QVERIFY(rtf::looksLikeRtf("\xEF\xBB\xBF{\\rtf1 x}"));
        for (const char *doc : {"\r\n  {\\rtf1 x}", "\xEF\xBB\xBF{\\rtf1 x}"}) {
            const rtf::Document read = rtf::read(doc);
            QVERIFY(read.rich);
            QCOMPARE(read.lines, (Lines{{QStringLiteral("x"), 0}}));
        }
    }
};

QTEST_GUILESS_MAIN(TestRtf)
#include "tst_rtf.moc"
