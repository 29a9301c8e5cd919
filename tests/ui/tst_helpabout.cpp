#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "tests/support/fakeservices.h"
#include "tests/support/files.h"
#include "ui/aboutunit.h"
#include "ui/helpunit.h"
#include "ui/richview.h"
#include "ui/rtf.h"
#include "ui/shellactions.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <memory>

using namespace natter;

namespace {

QStringList pageTexts(const QTextEdit &edit)
{
    QStringList texts;
    const QList<TranscriptLine> lines = documentLines(*edit.document());
    for (const TranscriptLine &line : lines)
        texts << line.text;
    return texts;
}

using test::writeFile;

} // namespace

class TestHelpAbout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_fakes = std::make_unique<test::FakeServices>();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_fakes->system.directory = m_dir->path() + QLatin1Char('/');
        m_help = std::make_unique<Thelpform>(m_fakes->services());
        m_helpPath = m_dir->filePath(QStringLiteral("127982071.dat"));
    }
    void cleanup()
    {
        m_help.reset();
        m_fakes.reset();
        m_dir.reset();
    }

    void helpWindowLooksRight()
    {
        QVERIFY(!m_help->isVisible());
        QCOMPARE(m_help->windowTitle(), QStringLiteral("Natter Duo Help"));
        QCOMPARE(m_help->size(), QSize(500, 400));
        QTextEdit *page = m_help->Helpage();
        QCOMPARE(page->objectName(), QStringLiteral("Helpage"));
        QVERIFY(page->isReadOnly());
        QVERIFY(!(page->focusPolicy() & Qt::TabFocus));
        QCOMPARE(page->palette().color(QPalette::Base), QColor(0xFF, 0xFB, 0xF0));
    }

    void builtInManual()
    {
        const QStringList manual = Thelpform::builtInManual();
        QCOMPARE(manual.constFirst(), QStringLiteral("Natter Duo Help."));
        for (const char *title :
             {"Overview.", "How does it work?", "Planning a conversation over the Internet.",
              "Hosting a conversation.", "Joining a conversation.", "Sending and receiving messages.",
              "Saving and reading conversations.", "Internal character set."})
            QVERIFY2(manual.contains(QLatin1String(title)), title);
        const QString all = manual.join(QLatin1Char('\n'));
        QVERIFY(all.contains(QStringLiteral("not security")));
        QVERIFY(all.contains(QStringLiteral("6767")));
        QVERIFY(manual.constLast().contains(QStringLiteral("support@example.org")));
        // Every character of the internal set is listed.
        const int at = manual.indexOf(QStringLiteral("Internal character set."));
        const QString listing = manual.mid(at, 3).join(QLatin1Char(' '));
        for (int j = 1; j <= static_cast<int>(cipher::kSetSize); ++j) {
            const char b = static_cast<char>(cipher::setEntry(j));
            const QString c = cp1252::toUnicode(QByteArrayView(&b, 1));
            QVERIFY2(listing.contains(c), qPrintable(c));
        }
        QCOMPARE(pageTexts(*m_help->Helpage()), manual);
    }

    void missingFileAppendsNoteEachShowing()
    {
        const QStringList manual = Thelpform::builtInManual();
        m_help->show();
        m_help->hide();
        m_help->show();
        QStringList expected = manual;
        expected << Thelpform::missingFileNote() << Thelpform::missingFileNote();
        QCOMPARE(pageTexts(*m_help->Helpage()), expected);
        QCOMPARE(Thelpform::missingFileNote(),
                 QStringLiteral("NOTE: Help data file missing - please run Natter Duo Setup."));
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

    void helpFileReplacesContent_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QRgb>("firstColour");
        QTest::newRow("rich text")
            << QByteArray("{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0\\green0\\blue255;}"
                          "{\\b\\cf1 Our help}\\par Second line caf\\'e9\\par}")
            << QStringList{QStringLiteral("Our help"), QStringLiteral("Second line caf\u00E9")}
            << QRgb(0x0000FF);
        QTest::newRow("plain text") << QByteArray("Plain help\nline two\n")
                                    << QStringList{QStringLiteral("Plain help"), QStringLiteral("line two")}
                                    << QRgb(0);
    }
    void helpFileReplacesContent()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, expected);
        QFETCH(QRgb, firstColour);
        writeFile(m_helpPath, content);
        for (int i = 0; i < 3; ++i) {
            m_help->show();
            QCOMPARE(pageTexts(*m_help->Helpage()), expected);
            m_help->hide();
        }
        QCOMPARE(documentLines(*m_help->Helpage()->document()).constFirst().colour, firstColour);
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

    void unreadableFileReportsAndKeepsContent_data()
    {
        QTest::addColumn<bool>("device");
        QTest::newRow("folder by that name") << false;
        QTest::newRow("endless device by that name") << true;
    }
    void unreadableFileReportsAndKeepsContent()
    {
        QFETCH(bool, device);
        if (device)
            QVERIFY(QFile::link(QStringLiteral("/dev/zero"), m_helpPath));
        else
            QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("127982071.dat")));
        const QStringList before = pageTexts(*m_help->Helpage());
        m_help->show();
        QVERIFY(m_help->isVisible());
        QCOMPARE(m_fakes->report.shown.size(), 1);
        const QString message = m_fakes->report.shown.constFirst();
        QVERIFY2(message.startsWith(QStringLiteral("Cannot open file \"%1\". ").arg(m_helpPath)),
                 qPrintable(message));
        QCOMPARE(pageTexts(*m_help->Helpage()), before);
    }

    void fileAppearingLaterIsLoaded()
    {
        m_help->show();
        m_help->hide();
        writeFile(m_helpPath, "Now here\n");
        m_help->show();
        QCOMPARE(pageTexts(*m_help->Helpage()), QStringList{QStringLiteral("Now here")});
    }

    void aboutBoxLayout()
    {
        TAboutBox box;
        QCOMPARE(box.windowTitle(), QStringLiteral("About Natter Duo"));
        QCOMPARE(box.size(), QSize(298, 213));
        QCOMPARE(box.minimumSize(), box.maximumSize());
        QCOMPARE(box.ProgramIcon()->geometry(), QRect(13, 19, 32, 32));
        QCOMPARE(box.ProductName()->pos(), QPoint(88, 16));
        QCOMPARE(box.Version()->pos(), QPoint(88, 40));
        QCOMPARE(box.Copyright()->pos(), QPoint(8, 80));
        QCOMPARE(box.Comments()->geometry(), QRect(8, 104, 249, 49));
        QVERIFY(box.Comments()->wordWrap());
        QCOMPARE(box.OKButton()->geometry(), QRect(111, 180, 75, 25));
        QCOMPARE(box.OKButton()->text(), QStringLiteral("OK"));
        QVERIFY(box.OKButton()->isDefault());
        for (const char *name :
             {"ProgramIcon", "ProductName", "Version", "Copyright", "Comments", "OKButton"})
            QVERIFY2(box.findChild<QWidget *>(QLatin1String(name)), name);
    }

    void aboutBoxSameTextsEveryOpening()
    {
        TAboutBox box;
        for (int i = 0; i < 3; ++i) {
            // Something changed the labels in between; each opening sets them again.
            box.ProductName()->setText(QStringLiteral("tampered"));
            box.Comments()->clear();
            QSignalSpy finished(&box, &QDialog::finished);
            box.open();
            QCOMPARE(box.ProductName()->text(), QStringLiteral("Natter Duo"));
            QCOMPARE(box.Version()->text(), QStringLiteral("Version 1.0.2. Build 13"));
            QVERIFY(box.Copyright()->text().startsWith(QStringLiteral("Copyright")));
            QVERIFY(box.Comments()->text().contains(QStringLiteral("example.org")));
            QTest::mouseClick(box.OKButton(), Qt::LeftButton);
            QCOMPARE(finished.size(), 1);
            QCOMPARE(finished.constFirst().constFirst().toInt(), int(QDialog::Accepted));
            QVERIFY(!box.isVisible());
        }
    }

    void webSiteOpensProductPage()
    {
        OpenWebSite(m_fakes->shell);
        QCOMPARE(m_fakes->shell.calls.size(), 1);
        const QString url = m_fakes->shell.calls.constFirst().url;
        QVERIFY(url.startsWith(QStringLiteral("https://")));
        QVERIFY(QUrl(url).host().endsWith(QStringLiteral("example.org")));
    }

    void ipListing_data()
    {
        using A = InterfaceAddress;
        QTest::addColumn<QList<InterfaceAddress>>("input");
        QTest::addColumn<QStringList>("expected");
        const QHostAddress lo(QStringLiteral("127.0.0.1"));
        const QHostAddress lan(QStringLiteral("192.0.2.10"));
        const QHostAddress wifi(QStringLiteral("198.51.100.7"));
        const QHostAddress v6(QStringLiteral("2001:db8::1"));
        QTest::newRow("loopback last")
            << QList<A>{{QStringLiteral("lo"), lo, true, true, true},
                        {QStringLiteral("eth0"), lan, true, true, false}}
            << QStringList{QStringLiteral("192.0.2.10 (eth0)"), QStringLiteral("127.0.0.1 (lo)")};
        QTest::newRow("down or not running skipped, IPv6 skipped")
            << QList<A>{{QStringLiteral("eth0"), lan, false, false, false},
                        {QStringLiteral("wlan0"), wifi, true, false, false},
                        {QStringLiteral("eth1"), v6, true, true, false},
                        {QStringLiteral("eth2"), wifi, true, true, false}}
            << QStringList{QStringLiteral("198.51.100.7 (eth2)")};
        QTest::newRow("each address once") << QList<A>{{QStringLiteral("a"), lan, true, true, false},
                                                       {QStringLiteral("b"), lan, true, true, false}}
                                           << QStringList{QStringLiteral("192.0.2.10 (a)")};
        QTest::newRow("nothing active") << QList<A>{} << QStringList{};
    }
    void ipListing()
    {
        QFETCH(QList<InterfaceAddress>, input);
        QFETCH(QStringList, expected);
        QCOMPARE(listIpv4Addresses(input), expected);
    }

    void thisComputerListsLoopbackLast()
    {
        const QStringList listed = listIpv4Addresses(systemInterfaceAddresses());
        QVERIFY(!listed.isEmpty());
        QVERIFY2(listed.constLast().startsWith(QStringLiteral("127.")),
                 qPrintable(listed.join(QLatin1Char(','))));
    }

    void ipDialogFieldsCopy()
    {
        std::unique_ptr<QDialog> dialog(createMyIpDialog(
            {QStringLiteral("192.0.2.10 (eth0)"), QStringLiteral("127.0.0.1 (lo)")}, nullptr));
        dialog->show();
        const QList<QLineEdit *> fields = dialog->findChildren<QLineEdit *>();
        QCOMPARE(fields.size(), 2);
        QCOMPARE(fields.at(0)->text(), QStringLiteral("192.0.2.10"));
        QCOMPARE(fields.at(1)->text(), QStringLiteral("127.0.0.1"));
        QVERIFY(fields.at(0)->isReadOnly());
        QList<QPushButton *> copies;
        const QList<QPushButton *> buttons = dialog->findChildren<QPushButton *>();
        for (QPushButton *b : buttons) {
            if (b->text() == QStringLiteral("Copy"))
                copies << b;
        }
        QCOMPARE(copies.size(), 2);
        QTest::mouseClick(copies.at(0), Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("192.0.2.10"));
        QCOMPARE(fields.at(0)->selectedText(), QStringLiteral("192.0.2.10"));
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Thelpform> m_help;
    QString m_helpPath;
};

QTEST_MAIN(TestHelpAbout)
#include "tst_helpabout.moc"
