#include "platform/exceptions.h"
#include "platform/files.h"
#include "tests/support/fakeservices.h"
#include "tests/support/files.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <stdexcept>

using namespace natter;

class TestPlatform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_fakes = std::make_unique<test::FakeServices>(); }
    void cleanup() { m_fakes.reset(); }

    void reportText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter gets a period") << QStringLiteral("Asynchronous socket error 104")
                                              << QStringLiteral("Asynchronous socket error 104.");
        QTest::newRow("apostrophe sorts before '.'")
            << QStringLiteral("Windows socket error: Connection refused (111), on API 'connect'")
            << QStringLiteral("Windows socket error: Connection refused (111), on API 'connect'");
        QTest::newRow("period kept single") << QStringLiteral("Done.") << QStringLiteral("Done.");
        QTest::newRow("empty stays empty") << QString() << QString();
    }
    void reportText()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(exceptionReportText(message), shown);
    }

    void guardedHandlersReportAndGoOn()
    {
        guarded([] { throw Exception(QStringLiteral("Socket already open")); });
        guarded([] { throw EAbort(); });
        guarded([] { throw std::runtime_error("plain failure"); });
        guarded([] {});
        QCOMPARE(m_fakes->report.shown,
                 QStringList({QStringLiteral("Socket already open."), QStringLiteral("plain failure.")}));
    }

    void exceptionInEventHandlerReachesReportAndLoopContinues()
    {
        int after = 0;
        QTimer::singleShot(0, this, [] { guarded([] { throw Exception(QStringLiteral("boom")); }); });
        QTimer::singleShot(1, this, [&after] { ++after; });
        QTRY_COMPARE(after, 1);
        QCOMPARE(m_fakes->report.shown, QStringList{QStringLiteral("boom.")});
    }

    void boundedRead_data()
    {
        QTest::addColumn<QString>("name");       // in the test folder, or an absolute path
        QTest::addColumn<QByteArray>("content"); // null: nothing is written there
        QTest::addColumn<QString>("expected");   // what is read, or the message ("%1": the path)
        QTest::newRow("at the limit")
            << QStringLiteral("full") << QByteArray("0123456789") << QStringLiteral("0123456789");
        QTest::newRow("empty") << QStringLiteral("empty") << QByteArray("") << QString();
        QTest::newRow("one byte over the limit") << QStringLiteral("big") << QByteArray("0123456789A")
                                                 << QStringLiteral("Cannot open file \"%1\". File too large");
        QTest::newRow("missing") << QStringLiteral("gone") << QByteArray()
                                 << QStringLiteral("Cannot open file \"%1\". No such file or directory");
        QTest::newRow("folder") << QStringLiteral("sub") << QByteArray()
                                << QStringLiteral("Cannot open file \"%1\". Is a directory");
        QTest::newRow("endless device") << QStringLiteral("/dev/zero") << QByteArray()
                                        << QStringLiteral("Cannot open file \"%1\". Not a regular file");
    }
    void boundedRead()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
        const QString path = QDir(dir.path()).filePath(name);
        if (!content.isNull())
            test::writeFile(path, content);
        const FileResult read = readRegularFile(path, 10);
        if (read.ok())
            QCOMPARE(QString::fromLatin1(read.data), expected);
        else
            QCOMPARE(read.message(path), expected.arg(path));
    }

    void failingDevice()
    {
        test::FailDevice reading(10, QByteArray(100, 'x'));
        QVERIFY(reading.open(QIODevice::ReadOnly));
        QCOMPARE(readBounded(reading, 1000).message(QStringLiteral("log")),
                 QStringLiteral("Cannot read file \"log\". FAILDEVICE"));

        test::FailDevice writing(10);
        QVERIFY(writing.open(QIODevice::WriteOnly));
        QCOMPARE(writeWhole(writing, QByteArray(100, 'x')).message(QStringLiteral("log")),
                 QStringLiteral("Cannot write file \"log\". FAILDEVICE"));
    }

    void replacingAFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log"));
        test::writeFile(path, QByteArray(1000, 'x'));
        QVERIFY(replaceFile(path, "new").ok());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("new"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("log")});

        QCOMPARE(replaceFile(dir.path(), "x").message(dir.path()),
                 QStringLiteral("Cannot create file \"%1\". Is a directory").arg(dir.path()));
        const QString nowhere = dir.filePath(QStringLiteral("missing/log"));
        const QString refused = replaceFile(nowhere, "x").message(nowhere);
        const QString start = QStringLiteral("Cannot create file \"%1\". ").arg(nowhere);
        QVERIFY2(refused.startsWith(start) && refused.size() > start.size(), qPrintable(refused));
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
