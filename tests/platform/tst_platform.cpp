#include "platform/exceptions.h"
#include "tests/support/fakeservices.h"

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

private:
    std::unique_ptr<test::FakeServices> m_fakes;
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
