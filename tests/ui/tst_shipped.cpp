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

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QUrl>

#include <optional>

using namespace natter;
using namespace Qt::StringLiterals;

// What the program finds in its program directory as built and installed:
// the manual, the manual's web page, the log reader, and where logs go.
class TestShipped : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(m_folder.emplace().dir.isValid()); }

    void helpWindowShowsShippedManual()
    {
        QVERIFY(QFile::copy(QStringLiteral(NATTER_HELP_FILE), m_folder->dir.filePath(u"127982071.dat"_s)));
        QFile file(QStringLiteral(NATTER_HELP_FILE));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const rtf::Document shipped = rtf::read(file.readAll());
        QVERIFY(shipped.rich);
        Thelpform help(m_folder->fakes.system);

        for (int showing = 0; showing < 2; ++showing) {
            help.hide();
            help.show();
            QCOMPARE(documentLines(*help.Helpage()->document()), shipped.lines);
        }

        QStringList shown;
        for (const TranscriptLine &line : shipped.lines)
            shown << line.text;
        QCOMPARE(shown.constFirst(), u"Natter Duo Help."_s);
        QVERIFY(!shown.contains(Thelpform::missingFileNote()));
        QVERIFY(m_folder->fakes.report.shown.isEmpty());
        for (const QString &section : sectionTitles())
            QVERIFY2(shown.contains(section), qPrintable(section));
        // The same character set as the program's own manual lists.
        const QStringList builtIn = Thelpform::builtInManual();
        const QString characters = builtIn.at(builtIn.indexOf(u"Internal character set."_s) + 2);
        QVERIFY(shown.contains(characters));
    }

    void manualPageBesideBuiltProgram()
    {
        const QString page =
            QFileInfo(QStringLiteral(NATTER_BUILT_PROGRAM)).absolutePath() + u"/natter-duo.html"_s;
        QFile file(page);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(file.readAll());
        for (const QString &section : sectionTitles())
            QVERIFY2(html.contains(u"<h2>%1</h2>"_s.arg(section.toHtmlEscaped())), qPrintable(section));

        OpenWebSite(m_folder->fakes.shell, m_folder->fakes.system.directory);

        QCOMPARE(m_folder->fakes.shell.calls.size(), 1);
        QCOMPARE(QUrl(m_folder->fakes.shell.calls[0].url).toLocalFile(),
                 m_folder->dir.filePath(u"natter-duo.html"_s));
    }

    void readerBuiltBesideProgram()
    {
        const QFileInfo reader(QFileInfo(QStringLiteral(NATTER_BUILT_PROGRAM)).absolutePath() + u'/' +
                               QLatin1String(TranscriptCommands::kLogReaderProgram));

        QVERIFY(reader.isFile() && reader.isExecutable());
    }

    void readLogsStartsReaderBesideProgram()
    {
        const QString marker = m_folder->dir.filePath(u"started"_s);
        const QString reader = m_folder->dir.filePath(QLatin1String(TranscriptCommands::kLogReaderProgram));
        test::writeFile(reader, "#!/bin/sh\npwd -P > '" + marker.toLocal8Bit() + ".tmp' && mv '" +
                                    marker.toLocal8Bit() + ".tmp' '" + marker.toLocal8Bit() + "'\n");
        QVERIFY(QFile::setPermissions(reader, QFile::permissions(reader) | QFile::ExeOwner));
        QtShell shell(m_folder->fakes.messages);
        test::MemoryTranscript transcript;
        TranscriptCommands commands(transcript, m_folder->fakes.saveDialog, shell, m_folder->fakes.system);

        commands.ReadLogs();

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 20000);
        QFile started(marker);
        QVERIFY(started.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLocal8Bit(started.readAll()).trimmed(),
                 QDir(m_folder->dir.path()).canonicalPath());
        QVERIFY(m_folder->fakes.messages.shown.isEmpty());
    }

    void logFolderFor_data()
    {
        QTest::addColumn<QString>("programDirectory");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<bool>("proposed");

        QTest::newRow("own writable folder") << u"program/"_s << u"installed/"_s << true;
        QTest::newRow("installed program directory") << u"installed/"_s << u"installed/"_s << false;
        QTest::newRow("link to installed directory") << u"link/"_s << u"installed/"_s << false;
        QTest::newRow("missing folder") << u"missing/"_s << u"installed/"_s << false;
    }
    void logFolderFor()
    {
        QFETCH(QString, programDirectory);
        QFETCH(QString, installed);
        QFETCH(bool, proposed);
        const QDir root(m_folder->dir.path());
        QVERIFY(root.mkpath(u"program"_s) && root.mkpath(u"installed"_s));
        QVERIFY(QFile::link(root.filePath(u"installed"_s), root.filePath(u"link"_s)));
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);

        const QString folder = logFolder(root.filePath(programDirectory), root.filePath(installed));

        QCOMPARE(folder, proposed              ? root.filePath(programDirectory)
                         : documents.isEmpty() ? QDir::homePath()
                                               : documents);
    }

    void readerOpensWhereLogsAreSaved()
    {
        const QString log = m_folder->dir.filePath(u"logs/natter05-12-26.ntl"_s);
        QVERIFY(QDir(m_folder->dir.path()).mkpath(u"logs"_s));
        TranscriptCommands::writeLog(log, {{u"Ann: hi"_s, colours::kOwn}});
        logreader::LogReaderWindow window(m_folder->fakes.messages);
        window.setLogFolder(logFolder(m_folder->fakes.system.directory));

        QCOMPARE(window.openFolder(), m_folder->fakes.system.directory);
        QVERIFY(window.openFile(log));
        QCOMPARE(window.openFolder(), m_folder->dir.filePath(u"logs"_s));
    }

private:
    // The manual's sections, as the help window's own manual has them.
    static QStringList sectionTitles()
    {
        return {u"Overview."_s,
                u"How does it work?"_s,
                u"Planning a conversation over the Internet."_s,
                u"Hosting a conversation."_s,
                u"Joining a conversation."_s,
                u"Sending and receiving messages."_s,
                u"Saving and reading conversations."_s,
                u"Internal character set."_s};
    }

    std::optional<test::ProgramFolder> m_folder;
};

QTEST_MAIN(TestShipped)
#include "tst_shipped.moc"
