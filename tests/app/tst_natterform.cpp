#include "app/natterform.h"
#include "app/sendpanel.h"
#include "app/transcriptview.h"
#include "platform/qtservices.h"
#include "tests/support/fakeservices.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace natter;

namespace {

// Notes each command the window hands on; a send can be made to fail.
class RecordingCommands final : public IWindowCommands {
public:
    QStringList calls;
    bool failSend = false;

    void send() override
    {
        note("send");
        if (failSend)
            throw Exception(QStringLiteral("Socket already open"));
    }
    void changeName() override { note("name"); }
    void changePort() override { note("port"); }
    void listen() override { note("listen"); }
    void connectToHost() override { note("connect"); }
    void disconnect() override { note("disconnect"); }
    void absent() override { note("absent"); }
    void clearChat() override { note("clear"); }
    void saveChat() override { note("save"); }
    void readLogs() override { note("logs"); }
    void help() override { note("help"); }
    void webSite() override { note("website"); }
    void myIpAddress() override { note("myip"); }
    void about() override { note("about"); }
    void closing() override { note("closing"); }

private:
    void note(const char *what) { calls << QLatin1String(what); }
};

} // namespace

class TestNatterform : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeServices> m_fakes;
    std::unique_ptr<Tnatterform> m_form;
    RecordingCommands m_commands;

private Q_SLOTS:
    void init()
    {
        m_fakes = std::make_unique<test::FakeServices>();
        m_form = std::make_unique<Tnatterform>(m_fakes->sound);
        m_commands = RecordingCommands();
        m_form->setCommands(&m_commands);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }
    void cleanup()
    {
        m_form.reset();
        m_fakes.reset();
    }

    void layoutFollowsResizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("initial") << QSize(300, 450);
        QTest::newRow("large") << QSize(640, 700);
        QTest::newRow("below minimum") << QSize(120, 90);
    }
    void layoutFollowsResizes()
    {
        QFETCH(QSize, size);
        m_form->resize(size);
        QTRY_COMPARE(m_form->size(), size.expandedTo(QSize(300, 300)));
        const QWidget *client = m_form->centralWidget();
        const QRect page = m_form->Page->geometry(), entry = m_form->Entry->geometry();
        const QRect panel = m_form->Panel->geometry();
        QCOMPARE(page, QRect(0, 0, client->width(), panel.top()));
        QCOMPARE(entry, QRect(0, client->height() - 26, panel.left(), 26));
        QCOMPARE(panel, QRect(client->width() - 45, client->height() - 27, 45, 27));
        QVERIFY(!(m_form->windowFlags() & Qt::WindowMaximizeButtonHint));
    }

    void menusButtonsAndKeysReachTheirHandlers()
    {
        m_form->Savetext2->trigger();
        m_form->Cleartext2->trigger();
        m_form->Listen1->trigger();
        for (QToolButton *b :
             {m_form->ToolButton2, m_form->ToolButton4, m_form->ToolButton6, m_form->ToolButton8})
            QTest::mouseClick(b, Qt::LeftButton);
        QTest::keyClick(m_form->Entry, Qt::Key_Return);
        QTest::keyClick(m_form->Entry, Qt::Key_A);
        for (const char *keys : {"Ctrl+S", "Ctrl+R", "F1"})
            QTest::keySequence(m_form.get(), QKeySequence(QLatin1String(keys)));
        const char *expected[] = {"save",       "clear", "listen", "absent", "listen", "connect",
                                  "disconnect", "send",  "save",   "logs",   "help"};
        const QStringList &calls = m_commands.calls;
        QCOMPARE(calls.size(), int(std::size(expected)));
        for (int i = 0; i < calls.size(); ++i)
            QCOMPARE(calls.at(i), QLatin1String(expected[i]));
        QVERIFY(!m_form->listenChecked()); // the handler, not the click, sets the check mark
        QVERIFY(m_form->absentDown());     // a check button toggles before its handler runs
        QCOMPARE(m_form->entryText(), QStringLiteral("a"));
    }

    void failingHandlerIsReportedAndTheWindowCarriesOn()
    {
        m_commands.failSend = true;
        QTest::keyClick(m_form->Entry, Qt::Key_Return);
        QCOMPARE(m_fakes->report.shown, QStringList{QStringLiteral("Socket already open.")});
        QTest::keyClick(m_form->Entry, Qt::Key_B);
        QCOMPARE(m_form->entryText(), QStringLiteral("b"));
    }

    void sendPanelLooksPressedOnlyWhileHeld()
    {
        const auto sends = [this] { return m_commands.calls.count(QStringLiteral("send")); };
        const QColor normal = m_form->Panel->captionColour();
        QTest::mousePress(m_form->Panel, Qt::LeftButton);
        QCOMPARE(m_form->Panel->captionColour(), QColor(0xFF, 0, 0));
        QCOMPARE(m_form->Panel->frameShadow(), QFrame::Sunken);
        QCOMPARE(sends(), 0);
        QTest::mouseRelease(m_form->Panel, Qt::LeftButton);
        QCOMPARE(m_form->Panel->captionColour(), normal);
        QCOMPARE(m_form->Panel->frameShadow(), QFrame::Raised);
        QCOMPARE(sends(), 1);
        QTest::mousePress(m_form->Panel, Qt::LeftButton); // released elsewhere: no send
        QTest::mouseRelease(m_form->Panel, Qt::LeftButton, {}, QPoint(-5, -5));
        QVERIFY(!m_form->Panel->pressedLook());
        QCOMPARE(sends(), 1);
        QTest::mousePress(m_form->Panel, Qt::RightButton); // any button looks pressed
        QVERIFY(m_form->Panel->pressedLook());
        QTest::mouseRelease(m_form->Panel, Qt::RightButton); // but only the left one sends
        QVERIFY(!m_form->Panel->pressedLook());
        QCOMPARE(sends(), 1);
    }

    void markupShowsAsPlainText()
    {
        const QString markup = QStringLiteral("<b>Connected</b> to: <i>host</i>");
        m_form->setStatus(markup);
        const QLabel *status = m_form->StatusPanel;
        QCOMPARE_GE(status->sizeHint().width(), status->fontMetrics().horizontalAdvance(markup));

        int shownWidth = 0;
        int markupWidth = -1;
        QTimer::singleShot(0, this, [&] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            const auto *label = dialog->findChild<QLabel *>();
            QVERIFY(label);
            shownWidth = label->sizeHint().width();
            markupWidth = label->fontMetrics().horizontalAdvance(markup);
            dialog->reject();
        });
        QtInputPrompt prompt(m_form.get());
        QString value;
        QVERIFY(!prompt.inputQuery(QStringLiteral("Natter Settings"), markup, value));
        QCOMPARE_GE(shownWidth, markupWidth);
    }

    void tabIntoTheEntryBoxKeepsTheDraftUnselected()
    {
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        m_form->Entry->setText(QStringLiteral("draft"));
        m_form->Page->setFocus();
        m_form->Entry->setFocus(Qt::TabFocusReason);
        QVERIFY(m_form->Entry->hasFocus());
        QVERIFY(!m_form->Entry->hasSelectedText());
        QTest::keyClick(m_form->Entry, Qt::Key_S);
        QCOMPARE(m_form->entryText(), QStringLiteral("drafts"));
    }

    void ctrlXInTheEntryBoxCutsAndKeepsTheTranscript()
    {
        const auto clears = [this] { return m_commands.calls.count(QStringLiteral("clear")); };
        QTest::keyClicks(m_form->Entry, QStringLiteral("draft"));
        m_form->Entry->selectAll();
        QTest::keyClick(m_form->Entry, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(m_form->entryText(), QString());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("draft"));
        QCOMPARE(clears(), 0);
        m_form->Page->setFocus();
        QTest::keyClick(m_form->Page, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(clears(), 1);
    }

    void transcriptShowsTextLiterallyColoursEachLineAndKeepsTheSelection()
    {
        ITranscript &t = m_form->transcript();
        t.setColour(colours::kOwn);
        t.appendLine(QStringLiteral("a < b and c > d"));
        QTextCursor selection(m_form->Page->document());
        selection.setPosition(5, QTextCursor::KeepAnchor);
        m_form->Page->setTextCursor(selection);
        t.setColour(colours::kPeer);
        t.appendLine(QStringLiteral("<img src=x> &amp;"));
        QCOMPARE(m_form->Page->textCursor().selectedText(), QStringLiteral("a < b"));
        const QList<TranscriptLine> expected = {{QStringLiteral("a < b and c > d"), colours::kOwn},
                                                {QStringLiteral("<img src=x> &amp;"), colours::kPeer}};
        QCOMPARE(t.lines(), expected);
        const QTextBlock second = m_form->Page->document()->lastBlock();
        QCOMPARE(second.begin().fragment().charFormat().foreground().color(), QColor(0, 0, 0xFF));
        t.clear();
        t.appendLine(QStringLiteral("again"));
        QCOMPARE(t.lines().size(), 1);
    }
};

QTEST_MAIN(TestNatterform)
#include "tst_natterform.moc"
