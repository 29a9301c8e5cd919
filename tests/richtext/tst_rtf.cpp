#include "logreader/logreaderwindow.h"
#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "richtext/richview.h"
#include "richtext/rtf.h"
#include "tests/support/fakeservices.h"
#include "tests/support/files.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

using namespace natter;
using namespace Qt::StringLiterals;
using Lines = QList<TranscriptLine>;

// One run as the tests spell it: text, colour, background, and "b", "i",
// "u" for bold, italic and underline.
constexpr QRgb kNone = rtf::kNoBackground;

struct Span {
    Span(const QString &t, QRgb c = 0, QRgb b = kNone, const QString &s = {})
        : text(t), colour(c), background(b), style(s)
    {
    }
    QString text;
    QRgb colour;
    QRgb background;
    QString style;
    bool operator==(const Span &) const = default;
};
using Spans = QList<Span>; // the runs of one line

namespace QTest {
template <> char *toString(const Span &span)
{
    return qstrdup(
        qPrintable(u"\"%1\" %2 on %3 %4"_s.arg(span.text)
                       .arg(QString::number(span.colour, 16))
                       .arg(span.background == kNone ? u"none"_s : QString::number(span.background, 16))
                       .arg(span.style)));
}
} // namespace QTest

static QList<Spans> spansOf(const rtf::Document &document)
{
    QList<Spans> lines(document.lines.size());
    for (const rtf::Run &run : document.runs) {
        const rtf::CharFormat &f = run.format;
        const QString style = QString(f.bold ? u"b"_s : QString()) + (f.italic ? u"i"_s : QString()) +
                              (f.underline ? u"u"_s : QString());
        lines[run.line].append(
            {document.lines.at(run.line).text.mid(run.start, run.length), f.colour, f.background, style});
    }
    return lines;
}

// Lines joined by '|', all in the default colour.
static Lines black(const QString &joined)
{
    Lines lines;
    for (const QString &text : joined.split(u'|'))
        lines.append({text, 0});
    return joined.isEmpty() ? Lines{} : lines;
}
static void row(const char *name, const QByteArray &input, const Lines &expected, bool rich = true,
                const QList<int> &unknownCodePages = {})
{
    QTest::newRow(name) << input << rich << expected << unknownCodePages;
}
// A transcript as the program writes it: 7-bit, balanced groups, read back unchanged.
static void written(const char *name, const Lines &lines)
{
    const QByteArray doc = rtf::write(lines);
    QVERIFY(std::all_of(doc.begin(), doc.end(), [](char c) { return static_cast<uchar>(c) < 0x80; }));
    QCOMPARE(doc.count('{') - doc.count("\\{"), doc.count('}') - doc.count("\\}"));
    row(name, doc, lines);
}

class TestRtf : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readLines_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("rich");
        QTest::addColumn<Lines>("expected");
        QTest::addColumn<QList<int>>("unknownCodePages");
        QByteArray bytes; // the internal character set
        for (int j = 1; j <= static_cast<int>(cipher::kSetSize); ++j)
            bytes += static_cast<char>(cipher::setEntry(j));
        const QString set = cp1252::toUnicode(bytes);
        written("internal set, each colour",
                {{set, colours::kOwn}, {set, colours::kPeer}, {set, colours::kSystem}});
        written("braces, backslashes, control words",
                {{u"{\\}\\\\{{}}\\"_s, colours::kOwn}, {u"B: }\\par {\\rtf1 \\cf2 x}\\'41\\u65?"_s, 1}});
        written("blanks, empty line, outside 1252, controls",
                {{u"  lead"_s, 2}, {QString(), 0}, {u"\u03A9 \U0001F600 a\tb\x01 "_s, 0xFF8000}});
        written("empty transcript", {});
        QFile resaved(QFINDTESTDATA("data/office-resaved.rtf")); // a log saved again by a word processor
        QVERIFY(resaved.open(QIODevice::ReadOnly));
        row("log resaved by a word processor", resaved.readAll(),
            {{u"Connected to: 127.0.0.1"_s, colours::kSystem},
             {u"Ann: Hello Bob! {braces} and \\backslashes\\ \\par not a paragraph"_s, colours::kOwn},
             {u"Bob: \u00C7a va? Caf\u00E9 costs 3\u20AC or \u00A32, na\u00EFve \u00F6\u00E4\u00D6\u00C4\u00E5\u00C5"_s,
              colours::kPeer},
             {u"Ann:\u2006 \u2006 "_s + set.mid(1), colours::kOwn},
             {u"Peer disconnected"_s, colours::kSystem}});
        row("unknown destinations, pictures, binary, specials",
            "{\\rtf1{\\*\\unheardof {nested {deeper}} x}{\\pict\\pngblip 8950}{\\object{\\objdata 01}}"
            "{\\header h}{\\*\\blob\\bin3 }{}}Keep\\line this\\tab one\\~two\\_three\\-four\\}}out",
            black(u"[picture]Keep|this\tone\u00A0two-threefour}"_s));
        row("colour kept until plain, bad index, surrogates, \\ newline",
            "{\\rtf1{\\colortbl;\\red1\\green2\\blue3;}\\cf1 one\\par x\\u-10179?\\u-8704?y\\\n\\cf7"
            " three\\par\\cf1 \\plain four\\par}",
            {{u"one"_s, 0x010203}, {u"x\U0001F600y"_s, 0x010203}, {u"three"_s, 0}, {u"four"_s, 0}});
        row("\\uc, fallbacks cut by a group",
            "{\\rtf1\\uc3\\u65{x}yz\\'zzb\\uc2 \\u8364\\'80\\'80c\\uc0\\u8211 d}",
            black(u"Axyzzzb\u20ACc\u2013d"_s));
        // Tables: the cells in LibreOffice's text export, each row's joined by tabs.
        row("table: A..H over two rows, each cell's paragraph ended before the cell",
            "{\\rtf1{\\trowd\\cellx2000\\cellx4000\\intbl{{\\intbl{\\pard A\\par}\\cell}{\\intbl{\\pard B"
            "\\par}\n"
            "\\cell}{\\intbl{\\pard C\\par}\\cell}{\\intbl{\\pard D\\par}\\cell}}\\intbl\\row}{\\trowd"
            "\\cellx2000\\cellx4000\\intbl{{\\intbl{\\pard E\\par}\\cell}{\\intbl{\\pard F\\par}\\cell}{"
            "\\intbl{\\pard G\\par}\\cell}{\\intbl{\\pard H\\par}\\cell}}\\intbl\\row}{\\pard After\\par}}",
            black(u"A\tB\tC\tD|E\tF\tG\tH|After"_s));
        row("table: rows repeated on one definition, a cell of two paragraphs, an empty cell",
            "{\\rtf1\\trowd\\cellx1000\\cellx2000\\pard\\intbl A\\cell B\\cell\\row\\intbl C\\cell D\\par"
            "\\cell\\row\\intbl E\\par F\\cell\\cell\\row\\pard After\\par}",
            black(u"A\tB|C\tD|E|F\t|After"_s));
        row("\\u over its fallback: UTF-8 bytes in a 1252 document, a hex escape",
            "{\\rtf1\\ansi\\ansicpg1252\\uc2 caf\\u233 \xC3\xA9 \\uc1\\u8364\\'80 \\uc0\\u8211 x}",
            black(u"caf\u00E9 \u20AC \u2013x"_s));
        row("text given as bytes and as Unicode (\\upr, \\ud): the Unicode form",
            "{\\rtf1 a{\\upr{\\f0 b ?}{\\*\\ud{\\f0 b \\u1055\\'3f}}}c}", black(u"ab \u041Fc"_s));
        // Code pages: from the document, a font's character set or \cpg, or the DOS ones.
        row("1250 from \\ansicpg", "{\\rtf1\\ansi\\ansicpg1250 \\'8a\\'e8\\'f8}",
            black(u"\u0160\u010D\u0159"_s));
        row("1251 from a font's \\fcharset, 1252 from another's",
            "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}{\\f1\\fnil"
            "\\fcharset204 Arial Cyr;}}\\f1 \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2\\f0  \\'e9}",
            black(u"\u041F\u0440\u0438\u0432\u0435\u0442 \u00E9"_s));
        row("1251 from the default font, 1252 after \\plain \\f0",
            "{\\rtf1\\ansi\\deff1{\\fonttbl{\\f0\\fcharset0 A;}{\\f1\\fcharset204 B;}}\\'cf\\plain\\f0 "
            "\\'cf}",
            black(u"\u041F\u00CF"_s));
        row("1253 from \\cpg over \\fcharset",
            "{\\rtf1\\ansi{\\fonttbl{\\f0\\fcharset0\\cpg1253 Arial;}}\\f0 \\'e1\\'e2\\'e3\\'c4}",
            black(u"\u03B1\u03B2\u03B3\u0394"_s));
        row("1253 from a font table without groups",
            "{\\rtf1\\ansi{\\fonttbl\\f0\\fswiss\\fcharset0 Helvetica;\\f1\\fnil\\fcharset161 Greek;}\\f1 "
            "\\'e1}",
            black(u"\u03B1"_s));
        row("437 from \\pc", "{\\rtf1\\pc \\'82\\'b0\\'db\\'9c}", black(u"\u00E9\u2591\u2588\u00A3"_s));
        row("850 from \\pca", "{\\rtf1\\pca \\'e0\\'b8}", black(u"\u00D3\u00A9"_s));
        row("932: lead and trail byte in two escapes", "{\\rtf1\\ansi\\ansicpg932 \\'82\\'b1\\'82\\'f1}",
            black(u"\u3053\u3093"_s));
        row("932: raw trail bytes, a backslash as trail byte",
            "{\\rtf1\\ansi{\\fonttbl{\\f0\\fnil\\fcharset128 MS UI Gothic;}}\\f0 \\'83e\\'83X\\'83g "
            "\\'83\\\\}",
            black(u"\u30C6\u30B9\u30C8 \u30BD"_s));
        row("932: a character cut by a format change", "{\\rtf1\\ansi\\ansicpg932 \\'82\\b \\'b1}",
            black(u"\u3053"_s));
        row("932: \\u with two fallback bytes",
            "{\\rtf1\\ansi\\ansicpg932\\uc2\\u12371\\'82\\'b1\\u12435\\'82\\'f1}", black(u"\u3053\u3093"_s));
        row("932: bad trail byte, lead byte at a paragraph's end",
            "{\\rtf1\\ansi\\ansicpg932 \\'82 x\\'82\\par\\'ff\\'82}",
            black(u"\uFFFD x\uFFFD|\uFFFD\uFFFD"_s));
        row("Mac Japanese from \\mac\\ansicpg10001, Mac Korean from \\fcharset79",
            "{\\rtf1\\mac\\ansicpg10001{\\fonttbl\\f0\\fnil\\fcharset78 Osaka;\\f1\\fnil\\fcharset79 "
            "AppleGothic;}\\f0 \\'82\\'b1\\'82\\'f1\x82\xc9\\\n\\'93\\'fa\\'96\\'7b\\f1 \\'c7\\'d1}",
            black(u"\u3053\u3093\u306B|\u65E5\u672C\uD55C"_s));
        row("Mac Chinese, traditional from \\fcharset81, simplified from \\fcharset80",
            "{\\rtf1{\\fonttbl\\f0\\fnil\\fcharset81 LiSung;\\f1\\fnil\\fcharset80 STSong;}"
            "\\f0 \\'a4\\'a4\\f1 \\'d6\\'d0}",
            black(u"\u4E2D\u4E2D"_s));
        row("UTF-8 from \\ansicpg65001", "{\\rtf1\\ansi\\ansicpg65001 \\'c3\\'a9\\'e2\\'82\\'ac}",
            black(u"\u00E9\u20AC"_s));
        row("unknown code page: read as 1252 and told", "{\\rtf1\\ansi\\ansicpg99999 caf\\'e9}",
            black(u"caf\u00E9"_s), true, {99999});
        row("unknown code page, only ASCII: nothing to tell", "{\\rtf1\\ansi\\ansicpg99999 cafe}",
            black(u"cafe"_s));
        // Damaged and hostile documents yield the text they hold.
        const QByteArray deep(200000, '{'), shut(200000, '}');
        row("deep nesting", "{\\rtf1 " + deep + "deep" + shut + "after}", black(u"deepafter"_s));
        row("deep, then skipped group",
            "{\\rtf1 " + deep.left(300) + "{\\*\\x hidden}a" + shut.left(300) + "b}", black(u"ab"_s));
        row("unclosed nesting", "{\\rtf1 " + deep + "x", black(u"x"_s));
        row("truncated hex escape", "{\\rtf1 ab\\'4", black(u"ab"_s));
        row("lone backslash", "{\\rtf1 ab\\", black(u"ab"_s));
        row("huge numbers",
            "{\\rtf1{\\colortbl;\\red99999999999999999999\\green-5\\blue7;}\\cf999999999999999999"
            " a\\u99999999999 b\\uc2147483647 \\u65 cdefghijklmn}",
            black(u"aAklmn"_s));
        row("negative, huge bin", "{\\rtf1 a\\bin-5 b\\bin99999999999 bcd}", black(u"ab"_s));
        row("overlong word", "{\\rtf1 a\\" + QByteArray(100000, 'p') + "ar b}", black(u"ab"_s));
        row("closing brace first", "{\\rtf1}}}}x", {});
        row("BOM, blanks first", "\xEF\xBB\xBF\r\n {\\rtf1 x}", black(u"x"_s));
        // Anything else is plain text.
        row("plain: empty", QByteArray(), {}, false);
        row("plain: utf-8", "\xEF\xBB\xBFHi\r\nW \xC3\xA9\r\n", black(u"Hi|W \u00E9"_s), false);
        row("plain: 1252, CR", "caf\xE9\r\r\x80", black(u"caf\u00E9||\u20AC"_s), false);
        row("plain: text first", "x{\\rtf1 hi}", black(u"x{\\rtf1 hi}"_s), false);
        row("plain: wrong magic", "{\\rtx1 hi}", black(u"{\\rtx1 hi}"_s), false);
    }
    void readLines()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, rich);
        QFETCH(Lines, expected);
        QFETCH(QList<int>, unknownCodePages);
        const rtf::Document doc = rtf::read(input);
        QCOMPARE(doc.rich, rich);
        QCOMPARE(doc.lines, expected);
        QCOMPARE(doc.unknownCodePages, unknownCodePages);
    }

    void aFileOfLineBreaksStopsAtTheLineLimit_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("plain text") << QByteArray(rtf::kMaxLines + 2, '\n') + "tail";
        QTest::newRow("rich text") << "{\\rtf1 " +
                                          QByteArray(rtf::kMaxLines + 2, '\n').replace("\n", "\\par ") +
                                          "tail}";
    }

    void aFileOfLineBreaksStopsAtTheLineLimit()
    {
        QFETCH(QByteArray, input);

        const rtf::Document doc = rtf::read(input);

        QCOMPARE(doc.lines.size(), rtf::kMaxLines);
        QVERIFY(doc.lines.last().text.endsWith(u"tail"_s)); // nothing after the limit is lost
    }

    void writerBytes()
    {
        // The bytes of a saved log: existing copies of the reader expect them.
        const QByteArray expected = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1033"
                                    "{\\fonttbl{\\f0\\fswiss\\fcharset0 MS Sans Serif;}}\r\n"
                                    "{\\colortbl ;\\red128\\green128\\blue128;\\red0\\green128\\blue0;}\r\n"
                                    "\\viewkind4\\uc1\\pard\\f0\\fs20 \\cf1 Connected\\par\r\n"
                                    "\\cf2 Ann: caf\\'e9 3\\'80 \\{x\\}\\par\r\n"
                                    "}\r\n";
        QCOMPARE(rtf::write(
                     {{u"Connected"_s, colours::kSystem}, {u"Ann: caf\u00E9 3\u20AC {x}"_s, colours::kOwn}}),
                 expected);
    }

    void dialects_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<Spans>>("expected");

        QTest::newRow("RichEdit: colours, styles, highlight, old list numbers")
            << QByteArray("{\\rtf1\\ansi\\ansicpg1252\\deff0\\nouicompat\\deflang1033{\\fonttbl{\\f0"
                          "\\fnil\\fcharset0 Calibri;}{\\f1\\fnil\\fcharset2 Symbol;}}\r\n"
                          "{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green176\\blue80;\\red255\\green255"
                          "\\blue0;}\r\n"
                          "{\\*\\generator Riched20 10.0.19041}\\viewkind4\\uc1 \r\n"
                          "\\pard\\sa200\\sl276\\slmult1\\f0\\fs22\\lang9 Plain \\cf1 red\\cf0  and \\b bold"
                          "\\b0 , \\i italic\\i0 , \\ul under\\ulnone .\\par\r\n"
                          "\\highlight3 marked\\highlight0  end\\par\r\n"
                          "{\\pntext\\f1\\'b7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'b7}}"
                          "\\fi-360\\li720 Bullet\\par\r\n"
                          "{\\pntext\\f0 2.\\tab}{\\*\\pn\\pnlvlbody\\pnf0\\pnindent0\\pnstart1\\pndec{"
                          "\\pntxta.}}Numbered\\par\r\n"
                          "}\r\n")
            << QList<Spans>{{{u"Plain "_s},
                             {u"red"_s, 0xFF0000},
                             {u" and "_s},
                             {u"bold"_s, 0, kNone, u"b"_s},
                             {u", "_s},
                             {u"italic"_s, 0, kNone, u"i"_s},
                             {u", "_s},
                             {u"under"_s, 0, kNone, u"u"_s},
                             {u"."_s}},
                            {{u"marked"_s, 0, 0xFFFF00}, {u" end"_s}},
                            {{u"\u2022\tBullet"_s}},
                            {{u"2.\tNumbered"_s}}};

        QTest::newRow("Word: \\rtlch\\fcs1 runs, shading, code-page font, hidden text, link")
            << QByteArray(
                   "{\\rtf1\\adeflang1025\\ansi\\ansicpg1252\\uc1\\adeff31507\\deff0\\stshfdbch31505"
                   "\\deflang1033{\\fonttbl{\\f0\\fbidi \\froman\\fcharset0\\fprq2 Times New Roman;}{\\f40"
                   "\\fbidi \\fswiss\\fcharset204\\fprq2 Arial Cyr;}}\r\n"
                   "{\\colortbl;\\red0\\green0\\blue0;\\red0\\green0\\blue255;\\red255\\green255\\blue255;"
                   "\\red31\\green56\\blue100;}\r\n"
                   "{\\info{\\title Sample}{\\author Ann}}\r\n"
                   "\\pard\\plain \\ltrpar\\ql \\li0\\ri0\\widctlpar\\itap0 \\rtlch\\fcs1 \\af31507\\afs24"
                   "\\alang1025 \\ltrch\\fcs0 \\fs24\\lang1033\\langfe1033\\cgrid \r\n"
                   "{\\rtlch\\fcs1 \\ltrch\\fcs0 \\cf2 Blue}{\\rtlch\\fcs1 \\ltrch\\fcs0  and }{\\rtlch"
                   "\\fcs1 \\ltrch\\fcs0 \\cf3\\chshdng0\\chcbpat4 white on navy}{\\rtlch\\fcs1 \\ltrch"
                   "\\fcs0 \\par }\r\n"
                   "{\\rtlch\\fcs1 \\ltrch\\fcs0 3\\u8364\\'80 }{\\rtlch\\fcs1 \\ltrch\\fcs0 \\f40 \\'cf"
                   "\\'f0\\'e8\\'e2\\'e5\\'f2}{\\rtlch\\fcs1 \\ltrch\\fcs0 \\v hidden}{\\field{\\*\\fldinst "
                   "{\\rtlch\\fcs1 \\ltrch\\fcs0  HYPERLINK \"http://example.com/\" }}{\\fldrslt {\\rtlch"
                   "\\fcs1 \\ltrch\\fcs0 \\cs15\\ul\\cf2  link}}}{\\rtlch\\fcs1 \\ltrch\\fcs0 \\par }\r\n"
                   "}")
            << QList<Spans>{{{u"Blue"_s, 0x0000FF}, {u" and "_s}, {u"white on navy"_s, 0xFFFFFF, 0x1F3864}},
                            {{u"3\u20AC \u041F\u0440\u0438\u0432\u0435\u0442"_s},
                             {u" link"_s, 0x0000FF, kNone, u"u"_s}}};

        QTest::newRow("TextEdit: \\cocoartf, font table without groups, backslash line ends")
            << QByteArray("{\\rtf1\\ansi\\ansicpg1252\\cocoartf2759\n"
                          "\\cocoatextscaling0\\cocoaplatform0{\\fonttbl\\f0\\fswiss\\fcharset0 Helvetica;"
                          "\\f1\\fswiss\\fcharset0 Helvetica-Bold;}\n"
                          "{\\colortbl;\\red255\\green255\\blue255;\\red251\\green2\\blue7;"
                          "\\red255\\green251\\blue0;}\n"
                          "\\pard\\tx566\\tx1133\\pardirnatural\\partightenfactor0\n\n"
                          "\\f0\\fs24 \\cf0 Caf\\'e9 \\cf2 red\n"
                          "\\f1\\b \\cf0 bold\\\n"
                          "\\f0\\b0 \\cb3 on yellow\\cb1 \\\n"
                          "\\uc0\\u8364  euro}")
            << QList<Spans>{{{u"Caf\u00E9 "_s}, {u"red"_s, 0xFB0207}, {u"bold"_s, 0, kNone, u"b"_s}},
                            {{u"on yellow"_s, 0, 0xFFFB00}},
                            {{u"\u20AC euro"_s, 0, 0xFFFFFF}}};

        QTest::newRow("LibreOffice: \\ltrch runs, Central European font, table with an empty cell")
            << QByteArray(
                   "{\\rtf1\\ansi\\deff3\\adeflang1025\n"
                   "{\\fonttbl{\\f3\\froman\\fprq2\\fcharset0 Liberation Serif;}{\\f4\\fswiss\\fprq2"
                   "\\fcharset238 Liberation Sans;}}\n"
                   "{\\colortbl;\\red0\\green0\\blue0;\\red255\\green0\\blue0;\\red255\\green255\\blue0;}\n"
                   "{\\stylesheet{\\s0\\snext0\\rtlch\\af6\\afs24\\alang1081 \\ltrch\\lang1033\\hich\\af3"
                   "\\loch\\cf0\\f3\\fs24 Normal;}}\n"
                   "\\pard\\plain \\s0\\rtlch\\af6\\afs24\\alang1081 \\ltrch\\lang1033\\hich\\af3\\loch"
                   "\\cf0\\f3\\fs24\\ql\\ltrpar\\loch\n"
                   "Normal {\\cf2\\ltrch\\loch\n"
                   "red} {\\highlight3\\ltrch\\loch\n"
                   "marked}{\\b\\ltrch\\loch\n"
                   " bold}{\\f4\\ltrch\\loch\n"
                   " \\'8a\\'e8\\'f8}\n"
                   "\\par \\trowd\\cellx4819\\cellx9638\\pard\\plain \\s0\\intbl\\ql\\ltrpar{\\ltrch\\loch\n"
                   "A1}\\cell\\pard\\plain \\s0\\intbl\\ql\\ltrpar{\\ltrch\\loch\n"
                   "B1}\\cell\\row\\pard\\trowd\\cellx4819\\cellx9638\\pard\\plain \\intbl{\\ltrch\\loch\n"
                   "A2}\\cell\\pard\\plain \\intbl\\cell\\row\\pard\\pard\\plain \\s0\\ql\\ltrpar\\loch\n"
                   "After\\par }")
            << QList<Spans>{{{u"Normal "_s},
                             {u"red"_s, 0xFF0000},
                             {u" "_s},
                             {u"marked"_s, 0, 0xFFFF00},
                             {u" bold"_s, 0, kNone, u"b"_s},
                             {u" \u0160\u010D\u0159"_s}},
                            {{u"A1\tB1"_s}},
                            {{u"A2\t"_s}},
                            {{u"After"_s}}};

        QTest::newRow("Word: nested table, its text for old readers skipped")
            << QByteArray("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Times New Roman;}}\r\n"
                          "\\pard\\intbl\\itap1 Outer\\par\r\n"
                          "\\pard\\intbl\\itap2 in a\\nestcell{\\nonesttables\\tab}in "
                          "b\\nestcell{\\nonesttables\\tab}\r\n"
                          "\\pard\\intbl\\itap2 {\\*\\nesttableprops\\trowd\\cellx1000\\cellx2000\\nestrow}"
                          "{\\nonesttables\\par}\r\n"
                          "\\pard\\intbl\\itap1 \\cell right\\cell\r\n"
                          "\\pard\\intbl\\itap1 {\\trowd\\cellx3000\\cellx6000\\row}\r\n"
                          "\\pard After\\par}")
            << QList<Spans>{{{u"Outer"_s}}, {{u"in a\tin b"_s}}, {{u"\tright"_s}}, {{u"After"_s}}};

        QTest::newRow("pictures leave a placeholder once, binary data skipped")
            << QByteArray("{\\rtf1\\ansi{\\*\\shppict{\\pict{\\*\\picprop\\shplid1025{\\sp{\\sn shapeType}{"
                          "\\sv 75}}}\\picscalex100\\pngblip 89504e470d0a}}{\\nonshppict{\\pict"
                          "\\wmetafile8 010009}}{\\cf1 Caption}\\par{\\pict\\jpegblip\\bin4 {}\\}}end\\par{"
                          "\\object\\objemb{\\*\\objclass Excel.Sheet.8}{\\objdata 0105}{\\result{"
                          "\\pict\\wmetafile8 0100}}}}")
            << QList<Spans>{{{u"[picture]Caption"_s}}, {{u"[picture]end"_s}}, {{u"[picture]"_s}}};

        QTest::newRow("section and page breaks end a line only inside one")
            << QByteArray("{\\rtf1 one\\par\\sect two\\page three\\par\\page\\par four}")
            << QList<Spans>{{{u"one"_s}}, {{u"two"_s}}, {{u"three"_s}}, {}, {{u"four"_s}}};

        QTest::newRow("list numbers given twice are shown once")
            << QByteArray(
                   "{\\rtf1{\\listtext\\pard\\plain 1.\\tab}{\\pntext 1.\\tab}One\\par{\\pntext 2.\\tab}Two}")
            << QList<Spans>{{{u"1.\tOne"_s}}, {{u"2.\tTwo"_s}}};
    }
    void dialects()
    {
        QFETCH(QByteArray, input);
        QFETCH(QList<Spans>, expected);
        const rtf::Document document = rtf::read(input);
        QCOMPARE(spansOf(document), expected);
        QString text; // the runs cover the lines, in order
        for (const rtf::Run &run : document.runs)
            text += document.lines.at(run.line).text.mid(run.start, run.length);
        QStringList lines;
        for (const TranscriptLine &line : document.lines)
            lines << line.text;
        QCOMPARE(text, lines.join(QString()));
    }

    void pageShowsEveryRun()
    {
        QTextDocument page;
        QByteArray mixed = "{\\rtf1{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue128;}";
        for (int i = 0; i < 70; ++i)
            mixed += "a {\\cf1 red} {\\b\\i\\ul\\highlight2 all} b\\par\\cf2\\par\\cf0 ";
        mixed += QByteArray("{\\cf1 a}b ").repeated(1500) + "\\par " +
                 QByteArray("{\\b x}y").repeated(1500); // in pieces
        const rtf::Document document = rtf::read(mixed + '}');
        setDocumentText(page, document);
        QCOMPARE(documentRuns(page), document.runs);
        QCOMPARE(documentLines(page), document.lines);
        QCOMPARE(documentLines(page).at(1), (TranscriptLine{QString(), 0x000080}));
    }

    void ownLogLooksAsBefore()
    {
        // Enough lines to fill several of the page's paragraphs, empty
        // coloured lines among them, one first in a paragraph.
        Lines log;
        for (int i = 0; i < 150; ++i)
            log.append({i % 7 == 3 || i == 64 ? QString() : u"Line %1 {x}"_s.arg(i),
                        i % 2 ? colours::kPeer : colours::kOwn});
        // Before, every line was a paragraph of its own in its colour.
        QTextDocument before;
        QTextCursor cursor(&before);
        for (const TranscriptLine &line : log) {
            QTextCharFormat format;
            format.setForeground(QColor::fromRgb(line.colour));
            if (cursor.position() > 0 || !before.isEmpty() || &line != &log.constFirst())
                cursor.insertBlock(QTextBlockFormat(), format);
            cursor.insertText(line.text, format);
        }
        QTextDocument now;
        setDocumentText(now, rtf::read(rtf::write(log)));
        QCOMPARE(documentLines(now), log);
        const auto picture = [](QTextDocument &document) {
            document.setTextWidth(400);
            QImage image(400, static_cast<int>(document.size().height()), QImage::Format_RGB32);
            image.fill(Qt::white);
            QPainter painter(&image);
            document.drawContents(&painter);
            return image;
        };
        QCOMPARE(picture(now), picture(before));
    }

    void longLinesShowWholeInShortParagraphs_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("found");                      // across the end of a piece
        const QString word = u"bob: "_s + QString(100000, u'x'); // more than the first page holds
        QTest::newRow("log of one long word") << rtf::write({{word, colours::kPeer}}) << word << u"bob"_s;
        const QString marks = u"e\u0301\U0001F600\u200D\u2764"_s.repeated(1000);
        QTest::newRow("accents, emoji and joiners") << marks.toUtf8() << marks << u"\u2764"_s;
        QString words;
        for (int i = 0; words.size() < 3000; ++i)
            words += u"w%1 "_s.arg(i);
        QTest::newRow("words") << words.toUtf8() << words << u"w431 W432"_s;
    }
    void longLinesShowWholeInShortParagraphs()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, line);
        QFETCH(QString, found);
        test::FakeServices fakes;
        QTemporaryDir dir;
        test::writeFile(dir.filePath(u"long.ntl"_s), content);
        logreader::LogReaderWindow window(fakes.messages);
        QVERIFY(window.openFile(dir.filePath(u"long.ntl"_s)));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.page()->viewport()->grab(); // lays out the first page
        window.fillPage();
        const QTextDocument &page = *window.page()->document();
        for (QTextBlock b = page.begin(); b.isValid(); b = b.next()) {
            QCOMPARE_LE(b.length(), 2049); // a piece and its paragraph's end
            QVERIFY(!b.text().front().isLowSurrogate() && !b.text().front().isMark());
        }
        const Lines shown = documentLines(page);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.constFirst().text, line);
        window.page()->selectAll();
        window.page()->copy();
        QCOMPARE(QGuiApplication::clipboard()->text(), line);
        window.page()->moveCursor(QTextCursor::End);
        QVERIFY(window.findPrevious(found));
        window.page()->copy();
        QCOMPARE(QGuiApplication::clipboard()->text().toLower(), found.toLower());
        QVERIFY(window.saveAsText(dir.filePath(u"long.txt"_s)));
        QFile saved(dir.filePath(u"long.txt"_s));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), line.toUtf8() + '\n');
    }

    void readerTellsUnknownCodePage()
    {
        test::FakeServices fakes;
        QTemporaryDir dir;
        logreader::LogReaderWindow window(fakes.messages);
        const QString strange = dir.filePath(u"strange.rtf"_s), log = dir.filePath(u"log.ntl"_s);
        test::writeFile(strange, "{\\rtf1\\ansi\\ansicpg99999{\\colortbl;\\red255\\green0\\blue0;}a {\\cf1 "
                                 "caf\\'e9} b\\par}");
        test::writeFile(log, rtf::write({{u"Ann: hi"_s, colours::kOwn}}));
        QVERIFY(window.openFile(strange));
        QCOMPARE(window.status()->text(), u"1 lines (unknown code page 99999: read as Windows-1252)"_s);
        rtf::CharFormat red;
        red.colour = 0xFF0000;
        QCOMPARE(documentRuns(*window.page()->document()),
                 (QList<rtf::Run>{{0, 0, 2, {}}, {0, 2, 4, red}, {0, 6, 2, {}}}));
        QVERIFY(window.openFile(log));
        QCOMPARE(window.status()->text(), u"1 lines"_s);
    }
};

QTEST_MAIN(TestRtf)
#include "tst_rtf.moc"
