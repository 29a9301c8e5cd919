#include "memorytranscript.h"
#include "tests/support/fakeservices.h"
#include "ui/rtf.h"
#include "ui/transcriptcommands.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace natter;

class TestTranscriptCommands : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_fakes = std::make_unique<test::FakeServices>();
        m_transcript = std::make_unique<test::MemoryTranscript>();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_fakes->system.directory = m_dir->path() + QLatin1Char('/');
        m_commands = std::make_unique<TranscriptCommands>(*m_transcript, m_fakes->services(), nullptr);
        m_transcript->setColour(colours::kSystem);
        m_transcript->appendLine(QStringLiteral("Connected to 127.0.0.1"));
        m_transcript->setColour(colours::kOwn);
        m_transcript->appendLine(QStringLiteral("Ann: hello {there} \\o/"));
        m_transcript->setColour(colours::kPeer);
        m_transcript->appendLine(QStringLiteral("Bob: \u00E7a va? 5\u20AC"));
    }
    void cleanup()
    {
        m_commands.reset();
        m_transcript.reset();
        m_fakes.reset();
        m_dir.reset();
    }

    void defaultName_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("name");
        QTest::newRow("5 December 2026") << QDate(2026, 12, 5) << QStringLiteral("natter05-12-26.ntl");
        QTest::newRow("new year") << QDate(2000, 1, 1) << QStringLiteral("natter01-01-00.ntl");
        QTest::newRow("end of year") << QDate(2031, 12, 31) << QStringLiteral("natter31-12-31.ntl");
    }
    void defaultName()
    {
        QFETCH(QDate, date);
        QFETCH(QString, name);
        m_fakes->system.date = date;
        m_fakes->saveDialog.confirm = false;
        m_commands->Save();
        QCOMPARE(m_fakes->saveDialog.requests.size(), 1);
        const SaveDialogRequest &request = m_fakes->saveDialog.requests.constFirst();
        QCOMPARE(request.fileName, name);
        QCOMPARE(request.defaultExtension, QStringLiteral("ntl"));
        QCOMPARE(request.filter, QStringLiteral("Natter logs|*.ntl"));
        QVERIFY(request.overwritePrompt);
        QCOMPARE(request.initialDir, m_fakes->system.directory);
    }

    void sameDayProposesSameName()
    {
        m_fakes->saveDialog.path = m_dir->filePath(QStringLiteral("natter05-12-26.ntl"));
        m_commands->Save();
        m_commands->Save();
        QCOMPARE(m_fakes->saveDialog.requests.size(), 2);
        QCOMPARE(m_fakes->saveDialog.requests.at(0).fileName, m_fakes->saveDialog.requests.at(1).fileName);
    }

    void unwritableProgramDirectoryFallsBackToDocuments()
    {
        m_fakes->system.directory = QStringLiteral("/nonexistent/natter/");
        m_fakes->saveDialog.confirm = false;
        m_commands->Save();
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QCOMPARE(m_fakes->saveDialog.requests.constFirst().initialDir, documents);
    }

    void cancelWritesNothing()
    {
        m_fakes->saveDialog.confirm = false;
        m_fakes->saveDialog.path = m_dir->filePath(QStringLiteral("x.ntl"));
        m_commands->Save();
        QVERIFY(!QFile::exists(m_fakes->saveDialog.path));
        QCOMPARE(m_transcript->content.size(), 3);
    }

    void saveWritesColouredRichText()
    {
        const QString path = m_dir->filePath(QStringLiteral("natter05-12-26.ntl"));
        m_fakes->saveDialog.path = path;
        m_commands->Save();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const rtf::Document doc = rtf::read(file.readAll());
        QVERIFY(doc.rich);
        QCOMPARE(doc.lines, m_transcript->content);
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

    void emptyTranscriptSavesEmptyDocument()
    {
        m_transcript->clear();
        const QString path = m_dir->filePath(QStringLiteral("empty.ntl"));
        m_fakes->saveDialog.path = path;
        m_commands->Save();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QVERIFY(rtf::looksLikeRtf(data));
        QVERIFY(rtf::read(data).lines.isEmpty());
    }

    void overwriteReplacesWholeFile()
    {
        const QString path = m_dir->filePath(QStringLiteral("log.ntl"));
        {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(100000, 'x')); // longer than the new log
        }
        m_fakes->saveDialog.path = path;
        m_commands->Save();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QVERIFY(!data.contains('x' + QByteArray("xxxx")));
        QCOMPARE(rtf::read(data).lines, m_transcript->content);
    }

    void unwritableTarget_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::newRow("folder that does not exist") << QStringLiteral("missing/log.ntl");
        QTest::newRow("path under a regular file") << QStringLiteral("plainfile/log.ntl");
        QTest::newRow("target is a folder") << QStringLiteral("afolder");
    }
    void unwritableTarget()
    {
        QFETCH(QString, relative);
        {
            QFile plain(m_dir->filePath(QStringLiteral("plainfile")));
            QVERIFY(plain.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("afolder")));
        const QString path = m_dir->filePath(relative);
        m_fakes->saveDialog.path = path;
        const QList<TranscriptLine> before = m_transcript->content;

        // The main window runs the command under guarded(), as every handler.
        guarded([this] { m_commands->Save(); });

        QCOMPARE(m_fakes->report.shown.size(), 1);
        const QString message = m_fakes->report.shown.constFirst();
        QVERIFY2(message.startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(path)),
                 qPrintable(message));
        QVERIFY2(message.size() > QStringLiteral("Cannot create file \"%1\". .").arg(path).size(),
                 "the system's reason is given");
        QCOMPARE(m_transcript->content, before);
        QVERIFY(QFileInfo(m_dir->filePath(QStringLiteral("plainfile"))).isFile());
    }

    void clearEmptiesTranscriptOnly()
    {
        m_commands->Clear();
        QVERIFY(m_transcript->content.isEmpty());
        QCOMPARE(m_transcript->clears, 1);
        QVERIFY(m_fakes->shell.calls.isEmpty());
        QVERIFY(m_fakes->saveDialog.requests.isEmpty());
        // New lines go into the emptied transcript.
        m_transcript->appendLine(QStringLiteral("after"));
        QCOMPARE(m_transcript->content.size(), 1);
    }

    void readLogsStartsReaderFromProgramDirectory()
    {
        m_commands->ReadLogs();
        QCOMPARE(m_fakes->shell.calls.size(), 1);
        const test::ShellCall call = m_fakes->shell.calls.constFirst();
        QCOMPARE(call.program, QStringLiteral("logreader"));
        QVERIFY(call.arguments.isEmpty());
        QCOMPARE(call.workingDirectory, m_fakes->system.directory);
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
    std::unique_ptr<test::MemoryTranscript> m_transcript;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TranscriptCommands> m_commands;
};

QTEST_MAIN(TestTranscriptCommands)
#include "tst_transcriptcommands.moc"
