#include "logreader/logreaderwindow.h"
#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "richtext/richview.h"
#include "richtext/rtf.h"
#include "tests/support/fakeservices.h"
#include "tests/support/files.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

using namespace natter;
using namespace Qt::StringLiterals;
using Lines = QList<TranscriptLine>;

// A document as the tests spell it: its lines joined by '|', and every
// stretch that is not plain black text as <colour, "on" background, b, i,
// u>text</> (colours as six hex digits).
static QString spelled(const rtf::Document &document)
{
    QStringList lines;
    for (const TranscriptLine &line : document.lines)
        lines << (document.rich ? QString() : line.text); // plain text has no runs
    for (const rtf::Run &run : document.runs) {
        const rtf::CharFormat &f = run.format;
        QStringList look;
        if (f.colour != 0)
            look << u"%1"_s.arg(f.colour, 6, 16, QChar(u'0'));
        if (f.background != rtf::kNoBackground)
            look << u"on %1"_s.arg(f.background, 6, 16, QChar(u'0'));
        const QString style = QString(f.bold ? u"b"_s : QString()) + (f.italic ? u"i"_s : QString()) +
                              (f.underline ? u"u"_s : QString());
        if (!style.isEmpty())
            look << style;
        const QString text = document.lines.at(run.line).text.mid(run.start, run.length);
        lines[run.line] += look.isEmpty() ? text : u"<%1>%2</>"_s.arg(look.join(u' '), text);
    }
    return lines.join(u'|');
}

static void row(const char *name, const QByteArray &input, const QString &expected,
                const QList<int> &unknownCodePages = {})
{
    QTest::newRow(name) << input << expected << unknownCodePages;
}

class TestRtf : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Logs the program saved, and one a word processor saved again, read
    // back line by line in their colours.
    void logsReadBack_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Lines>("expected");
        QByteArray bytes; // the internal character set
        for (int j = 1; j <= static_cast<int>(cipher::kSetSize); ++j)
            bytes += static_cast<char>(cipher::setEntry(j));
        const QString set = cp1252::toUnicode(bytes);
        const Lines log{{set, colours::kOwn}, {set, colours::kPeer}, {set, colours::kSystem}};
        QTest::newRow("internal set, each colour") << rtf::write(log) << log;
        QTest::newRow("empty transcript") << rtf::write({}) << Lines();
        QFile resaved(QFINDTESTDATA("data/office-resaved.rtf"));
        QVERIFY(resaved.open(QIODevice::ReadOnly));
        QTest::newRow("log resaved by a word processor")
            << resaved.readAll()
            << Lines{
                   {u"Connected to: 127.0.0.1"_s, colours::kSystem},
                   {u"Ann: Hello Bob! {braces} and \\backslashes\\ \\par not a paragraph"_s, colours::kOwn},
                   {u"Bob: \u00C7a va? Caf\u00E9 costs 3\u20AC or \u00A32, na\u00EFve \u00F6\u00E4\u00D6\u00C4\u00E5\u00C5"_s,
                    colours::kPeer},
                   {u"Ann:\u2006 \u2006 "_s + set.mid(1), colours::kOwn},
                   {u"Peer disconnected"_s, colours::kSystem}};
    }
    void logsReadBack()
    {
        QFETCH(QByteArray, input);
        QFETCH(Lines, expected);
        const rtf::Document document = rtf::read(input);
        QVERIFY(document.rich);
        QCOMPARE(document.lines, expected);
    }

    // What the reader makes of a document, spelled as above.
    void read_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QList<int>>("unknownCodePages");
        row("unknown destinations, pictures, binary, specials",
            "{\\rtf1{\\*\\unheardof {nested {deeper}} x}{\\pict\\pngblip 8950}{\\object{\\objdata 01}}"
            "{\\header h}{\\*\\blob\\bin3 }{}}Keep\\line this\\tab one\\~two\\_three\\-four\\}}out",
            u"[picture]Keep|this\tone\u00A0two-threefour}"_s);
        row("colour kept until plain, bad index, background, surrogates, \\ newline",
            "{\\rtf1{\\colortbl;\\red1\\green2\\blue3;}\\cf1 one\\par x\\u-10179?\\u-8704?y\\\n\\cf7"
            "\\cb1 three\\par\\cf1 \\plain four\\par}",
            u"<010203>one</>|<010203>x\U0001F600y</>|<on 010203>three</>|four"_s);
        row("\\uc, fallbacks cut by a group",
            "{\\rtf1\\uc3\\u65{x}yz\\'zzb\\uc2 \\u8364\\'80\\'80c\\uc0\\u8211 d}",
            u"Axyzzzb\u20ACc\u2013d"_s);
        row("\\u over its fallback: UTF-8 bytes in a 1252 document, a hex escape",
            "{\\rtf1\\ansi\\ansicpg1252\\uc2 caf\\u233 \xC3\xA9 \\uc1\\u8364\\'80 \\uc0\\u8211 x}",
            u"caf\u00E9 \u20AC \u2013x"_s);
        row("text given as bytes and as Unicode (\\upr, \\ud): the Unicode form",
            "{\\rtf1 a{\\upr{\\f0 b ?}{\\*\\ud{\\f0 b \\u1055\\'3f}}}c}", u"ab \u041Fc"_s);
        // A table row is a line, its cells joined by tabs.
        row("table: rows repeated on one definition, a cell of two paragraphs, an empty cell",
            "{\\rtf1\\trowd\\cellx1000\\cellx2000\\pard\\intbl A\\cell B\\cell\\row\\intbl C\\cell D\\par"
            "\\cell\\row\\intbl E\\par F\\cell\\cell\\row\\pard After\\par}",
            u"A\tB|C\tD|E|F\t|After"_s);
        row("pictures leave a placeholder once",
            "{\\rtf1{\\*\\shppict{\\pict\\pngblip 89504e}}{\\nonshppict{\\pict\\wmetafile8 0100}}Caption\\par"
            "{\\object{\\objdata 0105}{\\result{\\pict\\wmetafile8 0100}}}}",
            u"[picture]Caption|[picture]"_s);
        row("section and page breaks end a line only inside one",
            "{\\rtf1 one\\par\\sect two\\page three\\par\\page\\par four}", u"one|two|three||four"_s);
        row("list numbers given twice are shown once",
            "{\\rtf1{\\listtext\\pard\\plain 1.\\tab}{\\pntext 1.\\tab}One\\par{\\pntext 2.\\tab}Two}",
            u"1.\tOne|2.\tTwo"_s);
        // Code pages: from the document, a font's character set or \cpg, or the DOS ones.
        row("1250 from \\ansicpg", "{\\rtf1\\ansi\\ansicpg1250 \\'8a\\'e8\\'f8}", u"\u0160\u010D\u0159"_s);
        row("1251 from the default font's \\fcharset, 1252 after \\plain \\f0",
            "{\\rtf1\\ansi\\deff1{\\fonttbl{\\f0\\fcharset0 A;}{\\f1\\fcharset204 B;}}\\'cf\\plain\\f0 "
            "\\'cf}",
            u"\u041F\u00CF"_s);
        row("1253 from \\cpg over \\fcharset",
            "{\\rtf1\\ansi{\\fonttbl{\\f0\\fcharset0\\cpg1253 Arial;}}\\f0 \\'e1\\'e2\\'e3\\'c4}",
            u"\u03B1\u03B2\u03B3\u0394"_s);
        row("437 from \\pc", "{\\rtf1\\pc \\'82\\'b0\\'db\\'9c}", u"\u00E9\u2591\u2588\u00A3"_s);
        row("850 from \\pca", "{\\rtf1\\pca \\'e0\\'b8}", u"\u00D3\u00A9"_s);
        row("932: lead and trail byte in two escapes", "{\\rtf1\\ansi\\ansicpg932 \\'82\\'b1\\'82\\'f1}",
            u"\u3053\u3093"_s);
        row("932: raw trail bytes, a backslash as trail byte",
            "{\\rtf1\\ansi{\\fonttbl{\\f0\\fnil\\fcharset128 MS UI Gothic;}}\\f0 \\'83e\\'83X\\'83g "
            "\\'83\\\\}",
            u"\u30C6\u30B9\u30C8 \u30BD"_s);
        row("932: a character cut by a format change", "{\\rtf1\\ansi\\ansicpg932 \\'82\\b \\'b1}",
            u"<b>\u3053</>"_s);
        row("932: bad trail byte, lead byte at a paragraph's end",
            "{\\rtf1\\ansi\\ansicpg932 \\'82 x\\'82\\par\\'ff\\'82}", u"\uFFFD x\uFFFD|\uFFFD\uFFFD"_s);
        row("Mac Japanese from \\mac\\ansicpg10001, Mac Korean from \\fcharset79",
            "{\\rtf1\\mac\\ansicpg10001{\\fonttbl\\f0\\fnil\\fcharset78 Osaka;\\f1\\fnil\\fcharset79 "
            "AppleGothic;}\\f0 \\'82\\'b1\\'82\\'f1\x82\xc9\\\n\\'93\\'fa\\'96\\'7b\\f1 \\'c7\\'d1}",
            u"\u3053\u3093\u306B|\u65E5\u672C\uD55C"_s);
        row("UTF-8 from \\ansicpg65001", "{\\rtf1\\ansi\\ansicpg65001 \\'c3\\'a9\\'e2\\'82\\'ac}",
            u"\u00E9\u20AC"_s);
        row("unknown code page: read as 1252 and told", "{\\rtf1\\ansi\\ansicpg99999 caf\\'e9}",
            u"caf\u00E9"_s, {99999});
        row("unknown code page, only ASCII: nothing to tell", "{\\rtf1\\ansi\\ansicpg99999 cafe}", u"cafe"_s);
        // What word processors and rich-text controls write.
        row("RichEdit: styles on and off, highlight, a Symbol font's bullet for a list",
            "{\\rtf1\\ansi{\\fonttbl{\\f0\\fnil\\fcharset0 Calibri;}{\\f1\\fnil\\fcharset2 Symbol;}}\r\n"
            "{\\colortbl ;\\red255\\green0\\blue0;\\red255\\green255\\blue0;}\r\n"
            "\\pard\\sa200\\f0 Plain \\cf1 red\\cf0  \\b bold\\b0  \\i italic\\i0  \\ul under\\ulnone  "
            "\\highlight2 marked\\highlight0\\par\r\n"
            "{\\pntext\\f1\\'b7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'b7}}\\fi-360\\li720 "
            "Bullet\\par\r\n}",
            u"Plain <ff0000>red</> <b>bold</> <i>italic</> <u>under</> <on ffff00>marked</>|\u2022\tBullet"_s);
        row("Word: \\rtlch runs, a style sheet, shading, a Cyrillic font, hidden text, a link",
            "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\froman\\fcharset0 Times New Roman;}{\\f40\\fswiss"
            "\\fcharset204 Arial Cyr;}}{\\colortbl;\\red0\\green0\\blue255;\\red31\\green56\\blue100;}\r\n"
            "{\\stylesheet{\\ql\\snext0 Normal;}}\\pard\\plain \\rtlch\\fcs1 \\af40 \\ltrch\\fcs0 \\'e9 "
            "{\\rtlch\\fcs1 \\ltrch\\fcs0 \\cf1 Blue} {\\chshdng0\\chcbpat2 navy}\\par\r\n"
            "{\\f40 \\'cf\\'f0}{\\v hidden}{\\field{\\*\\fldinst {HYPERLINK \"http://example.com/\"}}"
            "{\\fldrslt {\\ul\\cf1 link}}}\\par}",
            u"\u00E9 <0000ff>Blue</> <on 1f3864>navy</>|\u041F\u0440<0000ff u>link</>"_s);
        // Damaged and hostile documents yield the text they hold.
        const QByteArray deep(200000, '{'), shut(200000, '}');
        row("deep nesting", "{\\rtf1 " + deep + "deep" + shut + "after}", u"deepafter"_s);
        row("deep, then skipped group",
            "{\\rtf1 " + deep.left(300) + "{\\*\\x hidden}a" + shut.left(300) + "b}", u"ab"_s);
        row("unclosed nesting", "{\\rtf1 " + deep + "x", u"x"_s);
        row("huge numbers",
            "{\\rtf1{\\colortbl;\\red99999999999999999999\\green-5\\blue7;}\\cf999999999999999999"
            " a\\u99999999999 b\\uc2147483647 \\u65 cdefghijklmn}",
            u"aAklmn"_s);
        row("negative, huge bin", "{\\rtf1 a\\bin-5 b\\bin99999999999 bcd}", u"ab"_s);
        row("overlong word", "{\\rtf1 a\\" + QByteArray(100000, 'p') + "ar b}", u"ab"_s);
        row("closing brace first", "{\\rtf1}}}}x", QString());
        // Past the line limit line breaks are read as spaces (in rich text, a run
        // of them as one): nothing is lost.
        const QByteArray breaks(rtf::kMaxLines + 2, '\n');
        row("line limit, plain text", breaks + "tail", QString(rtf::kMaxLines - 1, u'|') + u"   tail"_s);
        row("line limit, rich text", "{\\rtf1 " + QByteArray(breaks).replace("\n", "\\par ") + "tail}",
            QString(rtf::kMaxLines - 1, u'|') + u" tail"_s);
        row("BOM, blanks first", "\xEF\xBB\xBF\r\n {\\rtf1 x}", u"x"_s);
        // Anything else is plain text.
        row("plain: empty", QByteArray(), QString());
        row("plain: utf-8", "\xEF\xBB\xBFHi\r\nW \xC3\xA9\r\n", u"Hi|W \u00E9"_s);
        row("plain: 1252, CR", "caf\xE9\r\r\x80", u"caf\u00E9||\u20AC"_s);
        row("plain: text first", "x{\\rtf1 hi}", u"x{\\rtf1 hi}"_s);
        row("plain: wrong magic", "{\\rtx1 hi}", u"{\\rtx1 hi}"_s);
    }
    void read()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        QFETCH(QList<int>, unknownCodePages);
        const rtf::Document document = rtf::read(input);
        QCOMPARE(spelled(document), expected);
        QStringList lines; // the runs cover the lines' text and nothing else
        for (const TranscriptLine &line : document.lines)
            lines << line.text;
        QCOMPARE(lines.join(u'|'), QString(expected).remove(QRegularExpression(u"<[^>]*>"_s)));
        QCOMPARE(document.unknownCodePages, unknownCodePages);
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

    // How the writer spells each character of a line, after the line's "\\cf1 ".
    void writerEscapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("escaped");
        QTest::newRow("braces, backslashes") << u"{a\\b}\\"_s << QByteArray("\\{a\\\\b\\}\\\\");
        QTest::newRow("tab") << u"a\tb"_s << QByteArray("a\\tab b");
        QTest::newRow("line breaks, CR LF once")
            << u"a\r\nb\nc\rd"_s << QByteArray("a\\line b\\line c\\line d");
        QTest::newRow("controls, DEL") << u"\x01\x1F\x7F"_s << QByteArray("\\'01\\'1f\\'7f");
        QTest::newRow("Windows-1252 above ASCII") << u"\u20AC\u00A0\u00FF"_s << QByteArray("\\'80\\'a0\\'ff");
        QTest::newRow("outside Windows-1252: signed 16-bit units")
            << u"\u03A9\uFF01\U0001F600"_s << QByteArray("\\u937?\\u-255?\\u-10179?\\u-8704?");
    }
    void writerEscapes()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, escaped);
        const QByteArray document = rtf::write({{text, 0}});
        const qsizetype start = document.indexOf("\\cf1 ") + 5;
        QCOMPARE(document.mid(start, document.lastIndexOf("\\par\r\n") - start), escaped);
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

    void readerShowsEveryRunAndTellsUnknownCodePages()
    {
        QByteArray mixed = "{\\rtf1\\ansicpg99999{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue128;"
                           "}caf\\'e9\\par ";
        for (int i = 0; i < 70; ++i)
            mixed += "a {\\cf1 red} {\\b\\i\\ul\\highlight2 all} b\\par\\cf2\\par\\cf0 ";
        mixed += QByteArray("{\\cf1 a}b ").repeated(1500) + "\\par " + QByteArray("{\\b x}y").repeated(1500) +
                 '}'; // in pieces
        test::FakeServices fakes;
        QTemporaryDir dir;
        const QString strange = dir.filePath(u"strange.rtf"_s), log = dir.filePath(u"log.ntl"_s);
        test::writeFile(strange, mixed);
        test::writeFile(log, rtf::write({{u"Ann: hi"_s, colours::kOwn}}));
        logreader::LogReaderWindow window(fakes.messages);
        QVERIFY(window.openFile(strange));
        window.fillPage();
        QCOMPARE(window.status()->text(), u"143 lines (unknown code page 99999: read as Windows-1252)"_s);
        const QTextDocument &page = *window.page()->document();
        const rtf::Document document = rtf::read(mixed);
        QCOMPARE(documentRuns(page), document.runs);
        QCOMPARE(documentLines(page), document.lines);
        QCOMPARE(documentLines(page).at(2), (TranscriptLine{QString(), 0x000080}));
        QVERIFY(window.openFile(log));
        QCOMPARE(window.status()->text(), u"1 lines"_s);
    }
};

QTEST_MAIN(TestRtf)
#include "tst_rtf.moc"
