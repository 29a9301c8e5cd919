#include "logreader/logreaderwindow.h"
#include "platform/logfolder.h"
#include "platform/qtservices.h"
#include "richtext/richview.h"
#include "richtext/rtf.h"
#include "tests/support/files.h"
#include "tests/support/programfolder.h"
#include "ui/helpunit.h"
#include "ui/shellactions.h"
#include "ui/transcriptcommands.h"

#include <QTest>
#include <QTextEdit>
#include <QUrl>

#include <optional>

using namespace natter;
using namespace Qt::StringLiterals;

static QStringList texts(const QList<TranscriptLine> &lines)
{
    QStringList texts;
    for (const TranscriptLine &line : lines)
        texts << line.text;
    return texts;
}

// The transcript commands, the help window, the My IP listing and the log
// reader's window, in a program directory of their own (which holds a log
// and a folder), and what the build puts beside the program.
class TestUi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        QVERIFY(m_folder.emplace().dir.isValid());
        QCOMPARE(TranscriptCommands::writeLog(m_folder->dir.filePath(m_logName), m_log), QString());
        QVERIFY(QDir(m_folder->dir.path()).mkdir(u"folder"_s));
    }

    void save()
    {
        test::FakeServices &fakes = m_folder->fakes;
        test::MemoryTranscript transcript;
        transcript.content = m_log;
        TranscriptCommands commands(transcript, fakes.saveDialog, fakes.shell, fakes.system);
        fakes.system.date = QDate(2031, 1, 5);
        fakes.saveDialog.confirm = false; // cancelled: nothing is written
        commands.Save();
        const SaveDialogRequest asked = fakes.saveDialog.requests.value(0);
        QCOMPARE(asked.fileName + u'|' + asked.initialDir, u"natter05-01-31.ntl|"_s + fakes.system.directory);
        QVERIFY(asked.overwritePrompt);
        QCOMPARE(QDir(m_folder->dir.path()).entryList(QDir::Files), QStringList{m_logName});

        fakes.saveDialog.confirm = true;
        fakes.saveDialog.path = m_folder->dir.filePath(u"log.ntl"_s);
        test::writeFile(fakes.saveDialog.path, QByteArray(100000, 'x')); // a longer file: replaced whole
        commands.Save();
        QCOMPARE(test::readFile(fakes.saveDialog.path), rtf::write(m_log));
        fakes.saveDialog.path = m_folder->dir.filePath(u"folder"_s);
        commands.Save();
        QCOMPARE(fakes.report.shown,
                 QStringList{u"Cannot create file \"%1\". Is a directory."_s.arg(fakes.saveDialog.path)});
        QFile full(u"/dev/full"_s);
        QVERIFY(full.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(TranscriptCommands::saveError(u"log.ntl"_s, writeWhole(full, rtf::write(m_log))),
                 u"Failed to Save Stream"_s);
    }

    // A reader that leaves a file "started" in the folder it is started in,
    // beside the program or in a folder on the PATH.
    void readLogsStartsOnlyTheReaderBesideTheProgram_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("message"); // "%1": the program directory
        QTest::newRow("beside the program") << QString() << QString();
        QTest::newRow("only on the PATH")
            << u"folder"_s
            << u"Cannot start \"%1natter-logreader\". The program could not be found or is not executable."_s;
    }
    void readLogsStartsOnlyTheReaderBesideTheProgram()
    {
        QFETCH(QString, folder);
        QFETCH(QString, message);
        const QString reader = QDir(m_folder->dir.filePath(folder))
                                   .filePath(QLatin1String(TranscriptCommands::kLogReaderProgram));
        test::writeFile(reader, "#!/bin/sh\ntouch started\n");
        QVERIFY(QFile::setPermissions(reader, QFile::permissions(reader) | QFile::ExeOwner));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", m_folder->dir.filePath(u"folder"_s).toLocal8Bit() + ':' + path);
        QtShell shell(m_folder->fakes.messages);
        test::MemoryTranscript transcript;

        TranscriptCommands(transcript, m_folder->fakes.saveDialog, shell, m_folder->fakes.system).ReadLogs();

        qputenv("PATH", path);
        QCOMPARE(m_folder->fakes.messages.shown,
                 message.isNull() ? QStringList()
                                  : QStringList{message.arg(m_folder->fakes.system.directory)});
        if (message.isNull())
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_folder->dir.filePath(u"started"_s)), 20000);
    }

    // The manual as the build makes it, in the help data file (rich text, as
    // the help window shows it) and the web page, with the sections of the
    // program's own manual; the log reader.
    void shippedBesideTheProgram()
    {
        const QString built = QFileInfo(QStringLiteral(NATTER_BUILT_PROGRAM)).absolutePath() + u'/';
        const rtf::Document shipped = rtf::read(test::readFile(QStringLiteral(NATTER_HELP_FILE)));
        QVERIFY(shipped.rich);
        const QString html = QString::fromUtf8(test::readFile(built + u"natter-duo.html"_s));
        for (const QString &section :
             {u"Overview."_s, u"How does it work?"_s, u"Planning a conversation over the Internet."_s,
              u"Hosting a conversation."_s, u"Joining a conversation."_s,
              u"Sending and receiving messages."_s, u"Saving and reading conversations."_s,
              u"Internal character set."_s}) {
            QVERIFY2(texts(shipped.lines).contains(section), qPrintable(section));
            QVERIFY2(html.contains(u"<h2>%1</h2>"_s.arg(section.toHtmlEscaped())), qPrintable(section));
        }
        const QStringList builtIn = Thelpform::builtInManual(); // and the same character set
        QVERIFY(texts(shipped.lines).contains(builtIn.at(builtIn.indexOf(u"Internal character set."_s) + 2)));
        const QFileInfo reader(built + QLatin1String(TranscriptCommands::kLogReaderProgram));
        QVERIFY(reader.isFile() && reader.isExecutable());

        OpenWebSite(m_folder->fakes.shell, m_folder->fakes.system.directory);

        QCOMPARE(m_folder->fakes.shell.calls,
                 QStringList{QUrl::fromLocalFile(m_folder->dir.filePath(u"natter-duo.html"_s)).toString()});
    }

    void helpWindow_data()
    {
        QTest::addColumn<QByteArray>("file");   // the help data file; null: none; "->": a link
        QTest::addColumn<QStringList>("shown"); // at the second showing
        QTest::addColumn<QString>("report");    // at each showing
        const QString note = u"NOTE: Help data file missing - please run Natter Duo Setup."_s;
        QTest::newRow("missing: a note each showing")
            << QByteArray() << (Thelpform::builtInManual() << note << note) << QString();
        QTest::newRow("rich text")
            << QByteArray("{\\rtf1{\\colortbl;\\red0\\green0\\blue255;}{\\b\\cf1 Our} help\\par caf\\'e9}")
            << QStringList{u"Our help"_s, u"caf\u00E9"_s} << QString();
        QTest::newRow("fails while being read")
            << QByteArray("->/proc/self/mem") << Thelpform::builtInManual() << u"Failed to Load Stream."_s;
    }
    void helpWindow()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, report);
        const QString path = m_folder->dir.filePath(QLatin1String(Thelpform::kHelpFileName));
        if (file.startsWith("->"))
            QVERIFY(QFile::link(QString::fromLatin1(file.mid(2)), path));
        else if (!file.isNull())
            test::writeFile(path, file);
        Thelpform help(m_folder->fakes.system);

        help.show();
        help.hide();
        help.show();

        QTEST(texts(documentLines(*help.Helpage()->document())), "shown");
        QCOMPARE(m_folder->fakes.report.shown,
                 report.isNull() ? QStringList() : QStringList({report, report}));
    }

    void logFolderFor_data()
    {
        QTest::addColumn<QString>("programDirectory"); // beside "installed", "link" to it, and "folder"
        QTest::addColumn<bool>("proposed");
        QTest::newRow("own writable folder") << u"folder/"_s << true;
        QTest::newRow("installed program directory") << u"installed/"_s << false;
        QTest::newRow("link to installed directory") << u"link/"_s << false;
    }
    void logFolderFor()
    {
        QFETCH(QString, programDirectory);
        QFETCH(bool, proposed);
        const QDir root(m_folder->dir.path());
        QVERIFY(root.mkpath(u"installed"_s));
        QVERIFY(QFile::link(root.filePath(u"installed"_s), root.filePath(u"link"_s)));

        const QString folder = logFolder(root.filePath(programDirectory), root.filePath(u"installed/"_s));

        QCOMPARE(folder == root.filePath(programDirectory), proposed); // or the documents folder
    }

    void ipListing()
    {
        const QHostAddress lo(u"127.0.0.1"_s), lan(u"192.0.2.10"_s), wifi(u"198.51.100.7"_s);
        const QList<InterfaceAddress> all{{u"lo"_s, lo, true, true, true},
                                          {u"lo"_s, QHostAddress(u"::1"_s), true, true, true},
                                          {u"down"_s, lan, false, false, false},
                                          {u"idle"_s, lan, true, false, false},
                                          {u"v6"_s, QHostAddress(u"2001:db8::1"_s), true, true, false},
                                          {u"eth0"_s, QHostAddress(u"fe80::1%lo"_s), true, true, false},
                                          {u"eth0"_s, QHostAddress(u"fd00::2"_s), true, true, false},
                                          {u"eth0"_s, wifi, true, true, false}};
        QCOMPARE(listAddressesForJoiner(all), QStringList({u"198.51.100.7 (eth0)"_s, u"127.0.0.1 (lo)"_s,
                                                           u"2001:db8::1 (v6)"_s, u"fd00::2 (eth0)"_s}));
        const QStringList here = listAddressesForJoiner(systemInterfaceAddresses());
        QVERIFY(here.contains(u"127.0.0.1 (lo)"_s));
        for (qsizetype i = here.indexOf(u"127.0.0.1 (lo)"_s) + 1; i < here.size(); ++i)
            QVERIFY2(here[i].contains(u':') && !here[i].startsWith(u"fe80"_s), qPrintable(here[i]));
    }

    void logReaderKeepsItsLogWhenAnotherCannotBeOpened()
    {
        logreader::LogReaderWindow window(m_folder->fakes.messages);
        QVERIFY(window.openFile(m_folder->dir.filePath(m_logName)));

        QVERIFY(!window.openFile(m_folder->dir.filePath(u"folder"_s)));

        QCOMPARE(m_folder->fakes.messages.shown, QStringList{u"\"%1\" is a folder, not a log file."_s.arg(
                                                     m_folder->dir.filePath(u"folder"_s))});
        QCOMPARE(documentLines(*window.page()->document()), m_log);
    }

    void logReaderFindWrapsRound()
    {
        logreader::LogReaderWindow window(m_folder->fakes.messages);
        QVERIFY(window.openFile(m_folder->dir.filePath(m_logName)));
        const auto at = [&window] { return window.page()->textCursor().selectionStart(); };
        const QString me = u"find me"_s;
        QVERIFY(window.findNext(me));
        const int first = at();
        QVERIFY(window.findNext(me) && at() > first);
        const int second = at();
        QVERIFY(window.findNext(me) && at() == first);
        QVERIFY(window.findPrevious(me) && at() == second);
        QVERIFY(!window.findNext(u"nowhere"_s) && at() == second);
        QCOMPARE(window.page()->textCursor().selectedText(), me);
    }

private:
    const QString m_logName = u"natter05-12-26.ntl"_s;
    const QList<TranscriptLine> m_log{{u"Connected to 127.0.0.1"_s, colours::kSystem},
                                      {u"Ann: hi {\\par} caf\u00E9 \u20AC5, find me"_s, colours::kOwn},
                                      {u"Bob: find me too"_s, colours::kPeer}};
    std::optional<test::ProgramFolder> m_folder;
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
