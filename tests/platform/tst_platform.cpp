#include "platform/exceptions.h"
#include "platform/files.h"
#include "tests/support/fakeservices.h"
#include "tests/support/files.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>
#include <stdexcept>

using namespace natter;
using namespace Qt::StringLiterals;

// The exception report, the file helper against real files and failing
// devices, and the program directory behind links.
class TestPlatform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.emplace().isValid());
        const QDir dir(m_dir->path());
        QVERIFY(dir.mkdir(u"sub"_s) && dir.mkdir(u"locked"_s));
        for (const auto &[name, content] :
             {std::pair{"full", "0123456789"}, std::pair{"big", "0123456789A"}, std::pair{"empty", ""},
              std::pair{"log", "a longer log"}, std::pair{"locked/log", "a longer log"}})
            test::writeFile(dir.filePath(QLatin1String(name)), content);
        QVERIFY(QFile::setPermissions(dir.filePath(u"locked"_s), QFile::ReadOwner | QFile::ExeOwner));
    }
    void cleanup()
    {
        QFile::setPermissions(m_dir->filePath(u"locked"_s),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // What a handler's exception shows in the report: "abort" throws EAbort,
    // "std: " a standard exception, anything else the program's own.
    void report_data()
    {
        QTest::addColumn<QString>("thrown");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("letter gets a period") << u"Socket error 104"_s << QStringList{u"Socket error 104."_s};
        QTest::newRow("apostrophe sorts before '.'")
            << u"on API 'connect'"_s << QStringList{u"on API 'connect'"_s};
        QTest::newRow("period kept single") << u"Done."_s << QStringList{u"Done."_s};
        QTest::newRow("empty stays empty") << QString() << QStringList{QString()};
        QTest::newRow("standard exception") << u"std: plain failure"_s << QStringList{u"plain failure."_s};
        QTest::newRow("abort is silent") << u"abort"_s << QStringList();
    }
    void report()
    {
        QFETCH(QString, thrown);
        test::FakeServices fakes;

        guarded([&thrown] {
            if (thrown == u"abort")
                throw EAbort();
            if (thrown.startsWith(u"std: "))
                throw std::runtime_error(thrown.mid(5).toStdString());
            throw Exception(thrown);
        });

        QTEST(fakes.report.shown, "shown");
    }

    // The test folder holds "full" (10 bytes), "big" (11), "empty", "log", the
    // folder "sub", and "locked/log" in a folder that takes no new file. The
    // process's own memory fails to read at its start, /dev/full to write.
    void files_data()
    {
        QTest::addColumn<QString>("call");     // read, or replace or write with "0123456789A"
        QTest::addColumn<QString>("name");     // in the test folder, or an absolute path
        QTest::addColumn<QString>("expected"); // what is read or then there, or the message
        QTest::newRow("read at the limit") << u"read"_s << u"full"_s << u"0123456789"_s;
        QTest::newRow("read empty") << u"read"_s << u"empty"_s << QString();
        QTest::newRow("read one byte over")
            << u"read"_s << u"big"_s << u"Cannot open file \"f\". File too large"_s;
        QTest::newRow("read missing")
            << u"read"_s << u"gone"_s << u"Cannot open file \"f\". No such file or directory"_s;
        QTest::newRow("read folder") << u"read"_s << u"sub"_s << u"Cannot open file \"f\". Is a directory"_s;
        QTest::newRow("read endless device")
            << u"read"_s << u"/dev/zero"_s << u"Cannot open file \"f\". Not a regular file"_s;
        QTest::newRow("read failing")
            << u"read"_s << u"/proc/self/mem"_s << u"Cannot read file \"f\". Input/output error"_s;
        QTest::newRow("replace longer file") << u"replace"_s << u"log"_s << u"0123456789A"_s;
        QTest::newRow("replace in locked folder") << u"replace"_s << u"locked/log"_s << u"0123456789A"_s;
        QTest::newRow("replace folder")
            << u"replace"_s << u"sub"_s << u"Cannot create file \"f\". Is a directory"_s;
        QTest::newRow("replace in missing folder")
            << u"replace"_s << u"missing/log"_s << u"Cannot create file \"f\". No such file or directory"_s;
        QTest::newRow("write full device")
            << u"write"_s << u"/dev/full"_s << u"Cannot write file \"f\". No space left on device"_s;
    }
    void files()
    {
        QFETCH(QString, call);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const QString path = QDir(m_dir->path()).filePath(name);
        QFile device(path);
        QVERIFY(call != u"write" || device.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const test::PermissionsHold hold;
        QVERIFY(!QFile(m_dir->filePath(u"locked/probe"_s)).open(QIODevice::WriteOnly));

        const FileResult done = call == u"read"      ? readRegularFile(path, 10)
                                : call == u"replace" ? replaceFile(path, "0123456789A")
                                                     : writeWhole(device, "0123456789A");

        if (done.ok())
            QCOMPARE(QString::fromLatin1(call == u"read" ? done.data : test::readFile(path)), expected);
        else
            QCOMPARE(done.message(u"f"_s), expected);
    }

    // The program that prints its program directory, started through a
    // relative link to an absolute link to it.
    void programDirectoryBehindLinks()
    {
        const QString program = QStringLiteral(NATTER_PRINT_PROGRAM_DIR);
        QVERIFY(QFile::link(program, m_dir->filePath(u"sub/natter"_s)));
        QVERIFY(QFile::link(u"sub/natter"_s, m_dir->filePath(u"natter"_s)));
        QProcess process;

        process.start(m_dir->filePath(u"natter"_s), {});

        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed(),
                 QFileInfo(program).canonicalPath() + u'/');
    }

private:
    std::optional<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
