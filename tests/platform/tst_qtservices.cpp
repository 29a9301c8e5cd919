#include "platform/qtservices.h"
#include "tests/support/fakeservices.h"
#include "tests/support/files.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

using namespace natter;
using namespace Qt::StringLiterals;

// The real platform services where they meet the file system: the program
// directory behind links, and programs started only beside the program.
class TestQtServices : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(m_dir.emplace().isValid()); }

    void programDirectoryBehindLinks_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");

        QTest::newRow("absolute link") << u"bin/natter"_s << u"%1/lib/natter-duo/natter"_s;
        QTest::newRow("relative link") << u"bin/natter"_s << u"../lib/natter-duo/natter"_s;
        QTest::newRow("link to a link") << u"bin/natter"_s << u"%1/other/natter"_s;
    }
    void programDirectoryBehindLinks()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        const QDir root(m_dir->path());
        QVERIFY(root.mkpath(u"bin"_s) && root.mkpath(u"lib/natter-duo"_s) && root.mkpath(u"other"_s));
        test::writeFile(root.filePath(u"lib/natter-duo/natter"_s), "program");
        QVERIFY(QFile::link(u"../lib/natter-duo/natter"_s, root.filePath(u"other/natter"_s)));
        QVERIFY(QFile::link(target.arg(root.path()), root.filePath(link)));

        QCOMPARE(programDirectoryOf(root.filePath(link)), root.canonicalPath() + u"/lib/natter-duo/"_s);
    }

    void programDirectoryOfPlainFile()
    {
        test::writeFile(m_dir->filePath(u"natter"_s), "program");

        QCOMPARE(programDirectoryOf(m_dir->filePath(u"natter"_s)),
                 QDir(m_dir->path()).canonicalPath() + u'/');
    }

    void runningProgramStartedThroughLink()
    {
        const QString program = QStringLiteral(NATTER_PRINT_PROGRAM_DIR);
        const QString link = m_dir->filePath(u"natter"_s);
        QVERIFY(QFile::link(program, link));

        QProcess process;
        process.start(link, {});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);

        const QString expected = QFileInfo(program).canonicalPath() + u'/';
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed(), expected);
    }

    void programMissingBesideTheProgramIsNotTakenFromPath()
    {
        const QDir root(m_dir->path());
        QVERIFY(root.mkpath(u"program"_s) && root.mkpath(u"elsewhere"_s));
        const QString other = root.filePath(u"elsewhere/natter-logreader"_s);
        test::writeFile(other, "#!/bin/sh\nexit 0\n");
        QVERIFY(QFile::setPermissions(other, QFile::permissions(other) | QFile::ExeOwner));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", root.filePath(u"elsewhere"_s).toLocal8Bit() + ':' + path);
        test::RecordingMessageBox messages;
        QtShell shell(messages);

        shell.openProgram(u"natter-logreader"_s, {}, root.filePath(u"program"_s));
        qputenv("PATH", path);

        // Told at once, without trying the one on the PATH.
        QCOMPARE(
            messages.shown,
            QStringList{u"Cannot start \"%1\". The program could not be found or is not executable."_s.arg(
                root.filePath(u"program/natter-logreader"_s))});
    }

private:
    std::optional<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestQtServices)
#include "tst_qtservices.moc"
