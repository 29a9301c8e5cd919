#include "logreader/logreaderwindow.h"
#include "tests/support/fakeservices.h"
#include "tests/support/files.h"
#include "ui/richview.h"
#include "ui/transcriptcommands.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

using namespace natter;
using namespace Qt::StringLiterals;

class TestLogReader : public QObject {
    Q_OBJECT
    test::RecordingMessageBox m_messages;
    QTemporaryDir m_dir;
    const QList<TranscriptLine> m_log{{u"Connected to 127.0.0.1"_s, colours::kSystem},
                                      {u"Ann: hi {\\par} caf\u00E9 \u20AC5, find me"_s, colours::kOwn},
                                      {u"Bob: find me too"_s, colours::kPeer}};
    const QString m_path = m_dir.filePath(u"natter05-12-26.ntl"_s);
private Q_SLOTS:
    void init()
    {
        m_messages.shown.clear();
        TranscriptCommands::writeLog(m_path, m_log);
    }
    void open_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // the lines shown, joined by '|', or how the message starts
        QTest::newRow("saved log") << m_path << QByteArray()
                                   << m_log[0].text + u'|' + m_log[1].text + u'|' + m_log[2].text;
        QTest::newRow("truncated log")
            << u"a.ntl"_s << QByteArray("{\\rtf1{\\colortbl;\\red0\\green128\\blue0;}\\cf1 first\\par sec")
            << u"first|sec"_s;
        QTest::newRow("foreign text") << u"a.ntl"_s << QByteArray("just\ntext") << u"just|text"_s;
        QTest::newRow("binary junk") << u"a.ntl"_s << QByteArray("\x00\x01\xFF\xFE{{\\", 7)
                                     << u"\0\x01\u00FF\u00FE{{\\"_s;
        QTest::newRow("missing") << u"gone.ntl"_s << QByteArray() << u"The file \""_s;
        QTest::newRow("folder") << u"folder"_s << QByteArray() << u"\""_s;
        QTest::newRow("device") << u"/dev/zero"_s << QByteArray() << u"\"/dev/zero\" is not a regular file"_s;
    }
    void open()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QString path = QDir(m_dir.path()).filePath(name);
        if (!content.isNull())
            test::writeFile(path, content);
        QVERIFY(QDir(m_dir.path()).mkpath(u"folder"_s));
        logreader::LogReaderWindow window(m_messages);
        QVERIFY(window.openFile(m_path));
        if (window.openFile(path)) {
            QStringList texts;
            for (const TranscriptLine &line : documentLines(*window.page()->document()))
                texts << line.text;
            QCOMPARE(texts.join(u'|'), expected);
            QVERIFY(m_messages.shown.isEmpty());
        } else {
            QCOMPARE(m_messages.shown.size(), 1);
            QVERIFY2(m_messages.shown[0].startsWith(expected), qPrintable(m_messages.shown[0]));
            QCOMPARE(window.shownLines(), m_log);
        }
    }
    void savedLogColoursAndFind()
    {
        logreader::LogReaderWindow window(m_messages);
        QVERIFY(window.openFile(m_path));
        QCOMPARE(documentLines(*window.page()->document()), m_log);
        QVERIFY(window.findNext(u"find me"_s));
        const int first = window.page()->textCursor().selectionStart();
        QVERIFY(window.findNext(u"find me"_s));
        const int second = window.page()->textCursor().selectionStart();
        QVERIFY(second > first);
        QVERIFY(window.findNext(u"find me"_s)); // wraps round to the first
        QCOMPARE(window.page()->textCursor().selectionStart(), first);
        QVERIFY(window.findPrevious(u"find me"_s)); // and back to the last
        QCOMPARE(window.page()->textCursor().selectionStart(), second);
        QVERIFY(!window.findNext(u"nowhere"_s));
        QCOMPARE(window.page()->textCursor().selectedText(), u"find me"_s);
    }
};

QTEST_MAIN(TestLogReader)
#include "tst_logreader.moc"
