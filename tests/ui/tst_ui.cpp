#include "logreader/logreaderwindow.h"
#include "richtext/richview.h"
#include "richtext/rtf.h"
#include "router/portmapping.h"
#include "router/routerportoption.h"
#include "tests/support/files.h"
#include "tests/support/programfolder.h"
#include "ui/aboutunit.h"
#include "ui/helpunit.h"
#include "ui/shellactions.h"
#include "ui/transcriptcommands.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <optional>
#include <utility>

using namespace natter;
using namespace Qt::StringLiterals;
using Lines = QList<TranscriptLine>;

static QStringList texts(const QTextDocument *document)
{
    QStringList texts;
    for (const TranscriptLine &line : documentLines(*document))
        texts << line.text;
    return texts;
}

// A port mapper that talks to no router: it notes what it is asked and
// reports what the test scripts.
class ScriptedMapper final : public PortMapper {
public:
    explicit ScriptedMapper(QStringList &calls) : m_calls(calls) {}
    void open(quint16 port) override
    {
        m_calls << u"open %1"_s.arg(port);
        report({PortMappingOutcome::Kind::Looking, {}, 0, {}});
    }
    void close() override
    {
        m_calls << u"close"_s;
        report({});
    }
    using PortMapper::report;

private:
    QStringList &m_calls;
};

class TestUi : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        QVERIFY(m_folder.emplace().dir.isValid());
        QCOMPARE(TranscriptCommands::writeLog(m_folder->dir.filePath(m_logName), m_log), QString());
        QVERIFY(QDir(m_folder->dir.path()).mkdir(u"folder"_s));
    }
    void transcriptCommands()
    {
        test::MemoryTranscript transcript;
        transcript.content = m_log;
        TranscriptCommands commands(transcript, m_folder->fakes.saveDialog, m_folder->fakes.shell,
                                    m_folder->fakes.system);
        m_folder->fakes.system.date = QDate(2031, 1, 5);
        m_folder->fakes.saveDialog.confirm = false; // cancelled: nothing is written
        commands.Save();
        QCOMPARE(m_folder->fakes.saveDialog.requests.size(), 1);
        QCOMPARE(m_folder->fakes.saveDialog.requests[0].fileName, u"natter05-01-31.ntl"_s);
        QCOMPARE(m_folder->fakes.saveDialog.requests[0].initialDir, m_folder->fakes.system.directory);
        QCOMPARE(QDir(m_folder->dir.path()).entryList(QDir::Files), QStringList{m_logName});
        m_folder->fakes.saveDialog.confirm = true; // over a longer file
        m_folder->fakes.saveDialog.path = m_folder->dir.filePath(u"log.ntl"_s);
        test::writeFile(m_folder->fakes.saveDialog.path, QByteArray(100000, 'x'));
        commands.Save();
        QFile file(m_folder->fakes.saveDialog.path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QVERIFY(!data.contains("xxxxx"));
        QCOMPARE(rtf::read(data).lines, m_log);
        m_folder->fakes.saveDialog.path = m_folder->dir.filePath(u"folder"_s);
        guarded([&commands] { commands.Save(); }); // as the window runs every handler
        QCOMPARE(m_folder->fakes.report.shown,
                 QStringList{
                     u"Cannot create file \"%1\". Is a directory."_s.arg(m_folder->fakes.saveDialog.path)});
        QCOMPARE(transcript.content, m_log);
        test::FailDevice full(10);
        QVERIFY(full.open(QIODevice::WriteOnly));
        QCOMPARE(TranscriptCommands::saveError(u"log.ntl"_s, writeWhole(full, rtf::write(m_log))),
                 u"Failed to Save Stream"_s);
        commands.Clear();
        QVERIFY(transcript.content.isEmpty());
        commands.ReadLogs();
        QCOMPARE(m_folder->fakes.shell.calls.size(), 1);
        const test::ShellCall call = m_folder->fakes.shell.calls[0];
        QCOMPARE(call.program + u'|' + call.arguments.join(u' ') + u'|' + call.workingDirectory,
                 u"natter-logreader||"_s + m_folder->fakes.system.directory);
    }
    void logIntoAFolderThatTakesNoNewFile()
    {
        test::MemoryTranscript transcript;
        transcript.content = m_log;
        TranscriptCommands commands(transcript, m_folder->fakes.saveDialog, m_folder->fakes.shell,
                                    m_folder->fakes.system);
        const QString locked = m_folder->dir.filePath(u"locked"_s);
        QVERIFY(QDir().mkdir(locked));
        m_folder->fakes.saveDialog.path = locked + u"/log.ntl"_s;
        test::writeFile(m_folder->fakes.saveDialog.path, QByteArray(100000, 'x'));
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
        {
            test::PermissionsHold hold;
            QVERIFY(!QFile(locked + u"/probe"_s).open(QIODevice::WriteOnly)); // no file beside the log
            commands.Save();
        }
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QCOMPARE(m_folder->fakes.report.shown, QStringList());
        QFile file(m_folder->fakes.saveDialog.path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), rtf::write(m_log));
    }
    void helpFile()
    {
        const QString path = m_folder->dir.filePath(u"127982071.dat"_s);
        Thelpform help(m_folder->fakes.system);
        const auto showAgain = [&help] {
            help.hide();
            help.show();
            return texts(help.Helpage()->document());
        };
        const QString note = u"NOTE: Help data file missing - please run Natter Duo Setup."_s;
        QCOMPARE(showAgain(), Thelpform::builtInManual() << note); // once per showing
        QCOMPARE(showAgain(), Thelpform::builtInManual() << note << note);
        test::writeFile(path,
                        "{\\rtf1{\\colortbl;\\red0\\green0\\blue255;}{\\b\\cf1 Our} help\\par caf\\'e9}");
        QCOMPARE(showAgain(), QStringList({u"Our help"_s, u"caf\u00E9"_s}));
        QCOMPARE(documentLines(*help.Helpage()->document()).constFirst().colour, QRgb(0x0000FF));
        test::writeFile(path, "Plain help\nline two\n");
        QCOMPARE(showAgain(), QStringList({u"Plain help"_s, u"line two"_s}));
        QFile big(path); // over 16 MB: refused, not cut
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(16 * 1024 * 1024 + 1));
        big.close();
        QCOMPARE(showAgain(), QStringList({u"Plain help"_s, u"line two"_s}));
        QCOMPARE(m_folder->fakes.report.shown,
                 QStringList{u"Cannot open file \"%1\". File too large."_s.arg(path)});
        m_folder->fakes.report.shown.clear();
        test::FailDevice failing(10, QByteArray(100, 'x'));
        QVERIFY(failing.open(QIODevice::ReadOnly));
        QCOMPARE(Thelpform::loadError(path, readBounded(failing, Thelpform::kMaxHelpFileSize)),
                 u"Failed to Load Stream"_s);
    }

    void helpWhileMinimisedComesBack()
    {
        Thelpform help(m_folder->fakes.system);
        help.showMinimized();
        QVERIFY(help.isMinimized());
        help.showHelp();
        QVERIFY(!help.isMinimized());
        QVERIFY(help.isVisible());
        QTRY_VERIFY(help.isActiveWindow());
    }
    void aboutSameTextsEveryOpening()
    {
        TAboutBox box;
        for (int i = 0; i < 2; ++i) {
            for (QLabel *label : {box.ProductName(), box.Version(), box.Copyright(), box.Comments()})
                label->setText(u"tampered"_s);
            box.open();
            QCOMPARE(QStringList({box.ProductName()->text(), box.Version()->text()}),
                     QStringList({u"Natter Duo"_s, u"Version 1.0.2. Build 13"_s}));
            QCOMPARE(box.Copyright()->text(), u"Copyright \u00A9 2026 the Natter Duo developers"_s);
            QCOMPARE(box.Comments()->text(), u"Made by the Natter Duo developers. Help and support: the "
                                             u"manual, in Help > Natter help and Help > Web site."_s);
            QTest::mouseClick(box.OKButton(), Qt::LeftButton);
            QVERIFY(!box.isVisible());
        }
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
    void routerPortFollowsListening_data()
    {
        QTest::addColumn<QStringList>("steps"); // check, uncheck, listen <port>, stop
        QTest::addColumn<QStringList>("asked");
        QTest::newRow("never checked") << QStringList{u"listen 6767"_s, u"stop"_s} << QStringList{};
        QTest::newRow("checked, not listening") << QStringList{u"check"_s, u"uncheck"_s} << QStringList{};
        QTest::newRow("checked, then listening")
            << QStringList{u"check"_s, u"listen 6767"_s} << QStringList{u"open 6767"_s};
        QTest::newRow("listening, then checked")
            << QStringList{u"listen 6767"_s, u"check"_s} << QStringList{u"open 6767"_s};
        QTest::newRow("unchecked while listening") << QStringList{u"listen 6767"_s, u"check"_s, u"uncheck"_s}
                                                   << QStringList{u"open 6767"_s, u"close"_s};
        QTest::newRow("listening stops") << QStringList{u"check"_s, u"listen 6767"_s, u"stop"_s}
                                         << QStringList{u"open 6767"_s, u"close"_s};
        QTest::newRow("listening again on another port")
            << QStringList{u"check"_s, u"listen 6767"_s, u"stop"_s, u"listen 7000"_s}
            << QStringList{u"open 6767"_s, u"close"_s, u"open 7000"_s};
    }
    void routerPortFollowsListening()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, asked);
        QStringList calls;
        RouterPortOption option(std::make_unique<ScriptedMapper>(calls));

        for (const QString &step : steps) {
            if (step.startsWith(u"listen"))
                option.setListeningPort(quint16(step.section(u' ', 1).toUInt()));
            else if (step == u"stop")
                option.setListeningPort(0);
            else
                option.setChecked(step == u"check");
        }

        QCOMPARE(calls, asked);
    }
    void routerPortInTheMyIpWindow()
    {
        QStringList calls;
        auto owned = std::make_unique<ScriptedMapper>(calls);
        ScriptedMapper &mapper = *owned;
        RouterPortOption option(std::move(owned));
        QSignalSpy transcriptLines(&option, &RouterPortOption::outcome);
        option.setListeningPort(6767);
        std::unique_ptr<QDialog> first(createMyIpDialog({u"192.168.1.20 (eth0)"_s}, nullptr, &option));
        auto *box = first->findChild<QCheckBox *>(u"RouterPort"_s);
        auto *status = first->findChild<QLabel *>(u"RouterPortStatus"_s);
        QVERIFY(box && status);
        QCOMPARE(box->text(), u"Open the port on my router while listening"_s);
        QCOMPARE(box->accessibleName(), box->text());
        QVERIFY(!box->isChecked());
        QCOMPARE(status->text(), QString());

        box->click();

        QCOMPARE(calls, QStringList{u"open 6767"_s});
        QCOMPARE(status->text(), u"Looking for the router . . ."_s);
        QCOMPARE(transcriptLines.size(), 0);

        mapper.report({PortMappingOutcome::Kind::Open, u"203.0.113.5"_s, 6767, {}});
        mapper.report({PortMappingOutcome::Kind::Open, u"203.0.113.5"_s, 6767, {}});

        QCOMPARE(status->text(), u"From the Internet: 203.0.113.5 port 6767"_s);
        QCOMPARE(transcriptLines.size(), 1);
        QCOMPARE(transcriptLines.first().first().toString(), status->text());

        first.reset();
        std::unique_ptr<QDialog> again(createMyIpDialog({}, nullptr, &option));
        QVERIFY(again->findChild<QCheckBox *>(u"RouterPort"_s)->isChecked());
        QCOMPARE(again->findChild<QLabel *>(u"RouterPortStatus"_s)->text(),
                 u"From the Internet: 203.0.113.5 port 6767"_s);

        again->findChild<QCheckBox *>(u"RouterPort"_s)->click();

        QCOMPARE(calls, QStringList({u"open 6767"_s, u"close"_s}));
        QCOMPARE(again->findChild<QLabel *>(u"RouterPortStatus"_s)->text(), QString());
    }
    void logReaderOpen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // the lines shown, joined by '|', or how the message starts
        QTest::newRow("cut short") << u"a"_s << QByteArray("{\\rtf1\\cf1 one\\par tw") << u"one|tw"_s;
        QTest::newRow("missing") << u"gone"_s << QByteArray() << u"The file \""_s;
        QTest::newRow("folder") << u"folder"_s << QByteArray() << u"\""_s;
        QTest::newRow("device") << u"/dev/zero"_s << QByteArray() << u"\"/dev/zero\" is not a regular file"_s;
    }
    void logReaderOpen()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QString path = QDir(m_folder->dir.path()).filePath(name);
        if (!content.isNull())
            test::writeFile(path, content);
        logreader::LogReaderWindow window(m_folder->fakes.messages);
        QVERIFY(window.openFile(m_folder->dir.filePath(m_logName)));
        QCOMPARE(documentLines(*window.page()->document()), m_log);
        if (window.openFile(path)) { // shows what it can
            QCOMPARE(texts(window.page()->document()).join(u'|'), expected);
            QVERIFY(m_folder->fakes.messages.shown.isEmpty());
        } else { // says why and keeps the log shown
            QCOMPARE(m_folder->fakes.messages.shown.size(), 1);
            QVERIFY2(m_folder->fakes.messages.shown[0].startsWith(expected),
                     qPrintable(m_folder->fakes.messages.shown[0]));
            QCOMPARE(window.shownLines(), m_log);
        }
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
    const Lines m_log{{u"Connected to 127.0.0.1"_s, colours::kSystem},
                      {u"Ann: hi {\\par} caf\u00E9 \u20AC5, find me"_s, colours::kOwn},
                      {u"Bob: find me too"_s, colours::kPeer}};
    std::optional<test::ProgramFolder> m_folder;
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
