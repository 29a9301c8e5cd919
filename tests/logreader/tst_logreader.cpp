#include "logreader/logloader.h"
#include "logreader/logreaderwindow.h"
#include "tests/support/fakeservices.h"
#include "tests/support/files.h"
#include "ui/richview.h"
#include "ui/transcriptcommands.h"

#include <QDropEvent>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QToolBar>
#include <QUrl>

#include <memory>

using namespace natter;
using natter::logreader::LogReaderWindow;
using Lines = QList<TranscriptLine>;

namespace {

Lines conversation()
{
    return {{QStringLiteral("Connected to 127.0.0.1"), colours::kSystem},
            {QStringLiteral("Ann: hi Bob {\\par} caf\u00E9 \u20AC5"), colours::kOwn},
            {QStringLiteral("Bob: hello Ann, find me"), colours::kPeer},
            {QStringLiteral("Ann: find me too"), colours::kOwn}};
}

using test::writeFile;

} // namespace

class TestLogReader : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_fakes = std::make_unique<test::FakeServices>();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_window = std::make_unique<LogReaderWindow>(m_fakes->messages);
        m_log = m_dir->filePath(QStringLiteral("natter05-12-26.ntl"));
        TranscriptCommands::writeLog(m_log, conversation());
    }
    void cleanup()
    {
        m_window.reset();
        m_fakes.reset();
        m_dir.reset();
    }

    void savedLogOpensWithColours()
    {
        QVERIFY(m_window->openFile(m_log));
        QVERIFY(m_fakes->messages.shown.isEmpty());
        QCOMPARE(m_window->shownLines(), conversation());
        QCOMPARE(documentLines(*m_window->page()->document()), conversation());
        QVERIFY(m_window->page()->isReadOnly());
        QVERIFY(m_window->windowTitle().contains(QStringLiteral("natter05-12-26.ntl")));
    }

    void loaderResults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("rich");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("truncated log shows what it can")
            << QByteArray("{\\rtf1\\ansi{\\colortbl ;\\red0\\green128\\blue0;}\\cf1 first\\par\\cf1 sec")
            << true << QStringList{QStringLiteral("first"), QStringLiteral("sec")};
        QTest::newRow("foreign text file") << QByteArray("just\ntext") << false
                                           << QStringList{QStringLiteral("just"), QStringLiteral("text")};
        QTest::newRow("binary junk") << QByteArray("\x00\x01\xFF\xFE{{{\\\\", 9) << false
                                     << QStringList{QString::fromLatin1("\x00\x01", 2) +
                                                    QStringLiteral("\u00FF\u00FE{{{\\\\")};
        QTest::newRow("empty file") << QByteArray() << false << QStringList{};
    }
    void loaderResults()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, rich);
        QFETCH(QStringList, expected);
        const QString path = m_dir->filePath(QStringLiteral("other.ntl"));
        writeFile(path, content);
        const logreader::LoadedLog log = logreader::loadLog(path);
        QVERIFY(log.error.isEmpty());
        QCOMPARE(log.rich, rich);
        QStringList texts;
        for (const TranscriptLine &line : log.lines)
            texts << line.text;
        QCOMPARE(texts, expected);
        QVERIFY(m_window->openFile(path));
    }

    void unopenableFileKeepsShownLog_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<QString>("start");
        QTest::newRow("missing") << QStringLiteral("gone.ntl") << QStringLiteral("The file");
        QTest::newRow("folder") << QStringLiteral("folder.ntl") << QStringLiteral("\"");
        QTest::newRow("device") << QStringLiteral("/dev/zero")
                                << QStringLiteral("\"/dev/zero\" is not a regular");
    }
    void unopenableFileKeepsShownLog()
    {
        QFETCH(QString, relative);
        QFETCH(QString, start);
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder.ntl")));
        QVERIFY(m_window->openFile(m_log));
        QVERIFY(!m_window->openFile(QDir(m_dir->path()).filePath(relative)));
        QCOMPARE(m_fakes->messages.shown.size(), 1);
        QVERIFY2(m_fakes->messages.shown.constFirst().startsWith(start),
                 qPrintable(m_fakes->messages.shown.constFirst()));
        QCOMPARE(m_window->shownLines(), conversation());
        QCOMPARE(m_window->currentFile(), QFileInfo(m_log).absoluteFilePath());
    }

    void findNextAndPreviousWrap()
    {
        QVERIFY(m_window->openFile(m_log));
        QTextEdit *page = m_window->page();
        QVERIFY(m_window->findNext(QStringLiteral("find me")));
        const int first = page->textCursor().selectionStart();
        QVERIFY(m_window->findNext(QStringLiteral("find me")));
        const int second = page->textCursor().selectionStart();
        QVERIFY(second > first);
        QVERIFY(m_window->findNext(QStringLiteral("find me"))); // wraps to the first
        QCOMPARE(page->textCursor().selectionStart(), first);
        QVERIFY(m_window->findPrevious(QStringLiteral("find me"))); // wraps back to the last
        QCOMPARE(page->textCursor().selectionStart(), second);
        QCOMPARE(page->textCursor().selectedText(), QStringLiteral("find me"));

        QVERIFY(!m_window->findNext(QStringLiteral("nowhere in the log")));
        QCOMPARE(page->textCursor().selectionStart(), second);
        QVERIFY(!m_window->findNext(QString()));
    }

    void ctrlFOpensFindBar()
    {
        QVERIFY(m_window->openFile(m_log));
        m_window->show();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        auto *bar = m_window->findChild<QToolBar *>(QStringLiteral("FindBar"));
        QVERIFY(bar);
        QVERIFY(!bar->isVisible());
        QTest::keyClick(m_window.get(), Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(bar->isVisible());
        QTest::keyClicks(m_window->findField(), QStringLiteral("hello"));
        QTest::keyClick(m_window->findField(), Qt::Key_Return);
        QCOMPARE(m_window->page()->textCursor().selectedText(), QStringLiteral("hello"));
    }

    void saveAsPlainText()
    {
        QVERIFY(m_window->openFile(m_log));
        const QString path = m_dir->filePath(QStringLiteral("out.txt"));
        QVERIFY(m_window->saveAsText(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList expected;
        for (const TranscriptLine &line : conversation())
            expected << line.text;
        QCOMPARE(QString::fromUtf8(file.readAll()), expected.join(QLatin1Char('\n')) + QLatin1Char('\n'));

        QVERIFY(!m_window->saveAsText(m_dir->filePath(QStringLiteral("no/such/folder.txt"))));
        QCOMPARE(m_fakes->messages.shown.size(), 1);
        QVERIFY(m_fakes->messages.shown.constFirst().startsWith(QStringLiteral("Cannot create file")));
    }

    void dropOpensFile()
    {
        m_window->show();
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(m_log)});
        const QPointF at(10, 10);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_window.get(), &drop);
        QCOMPARE(m_window->shownLines(), conversation());

        QMimeData remote;
        remote.setUrls({QUrl(QStringLiteral("https://www.example.org/x.ntl"))});
        QDragEnterEvent refuse(at.toPoint(), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
        refuse.setAccepted(false);
        QApplication::sendEvent(m_window.get(), &refuse);
        QVERIFY(!refuse.isAccepted());
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LogReaderWindow> m_window;
    QString m_log;
};

QTEST_MAIN(TestLogReader)
#include "tst_logreader.moc"
