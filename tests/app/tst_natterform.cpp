#include "app/natterform.h"
#include "app/sendpanel.h"
#include "app/transcriptview.h"
#include "tests/support/fakeservices.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTextBlock>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace natter;

class TestNatterform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_fakes = std::make_unique<test::FakeServices>();
        m_form = std::make_unique<Tnatterform>(m_fakes->services());
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }
    void cleanup()
    {
        m_form.reset();
        m_fakes.reset();
    }

    void startsAsAFreshWindow()
    {
        QCOMPARE(m_form->windowTitle(), QStringLiteral("Natter Duo"));
        QCOMPARE(m_form->userName(), QStringLiteral("User"));
        QCOMPARE(m_form->status(), QString());
        QVERIFY(!m_form->listenChecked());
        QVERIFY(!m_form->absentDown());
        QVERIFY(m_form->Page->lines().isEmpty());
        QCOMPARE(m_form->entryText(), QString());
        QCOMPARE(QApplication::focusWidget(), m_form->Entry);
        QCOMPARE(m_form->size(), QSize(300, 450));
        QCOMPARE(m_form->minimumSize(), QSize(300, 300));
        QVERIFY(!(m_form->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(m_form->windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(m_form->Page->isReadOnly());
        QCOMPARE(m_form->Page->focusPolicy(), Qt::ClickFocus);
    }

    void layoutFollowsResizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("initial") << QSize(300, 450);
        QTest::newRow("wide and tall") << QSize(640, 700);
        QTest::newRow("minimum") << QSize(300, 300);
        QTest::newRow("below minimum is refused") << QSize(120, 90);
    }
    void layoutFollowsResizes()
    {
        QFETCH(QSize, size);
        m_form->resize(size);
        QTRY_COMPARE(m_form->size(), size.expandedTo(QSize(300, 300)));
        const QWidget *client = m_form->centralWidget();
        const QRect page = m_form->Page->geometry();
        const QRect entry = m_form->Entry->geometry();
        const QRect panel = m_form->Panel->geometry();
        // The transcript fills everything between the tool bar and the entry box.
        QCOMPARE(page.topLeft(), QPoint(0, 0));
        QCOMPARE(page.width(), client->width());
        QCOMPARE(page.bottom() + 1, panel.top());
        QVERIFY(m_form->ToolBar->geometry().bottom() < client->geometry().top());
        // The entry box stays at the bottom with its fixed height.
        QCOMPARE(entry.height(), 26);
        QCOMPARE(entry.bottom(), client->height() - 1);
        QCOMPARE(entry.left(), 0);
        QCOMPARE(entry.right() + 1, panel.left());
        // The Send panel stays in the bottom-right corner.
        QCOMPARE(panel.size(), QSize(45, 27));
        QCOMPARE(panel.bottomRight(), QPoint(client->width() - 1, client->height() - 1));
        QCOMPARE(m_form->ToolBar->height(), 29);
        QCOMPARE(m_form->statusBar()->height(), 19);
    }

    void controlsHaveTheirCaptionsNamesAndShortcuts()
    {
        struct Item {
            const char *name;
            QString caption;
            QKeySequence shortcut;
        };
        const QList<Item> items = {
            {"Savetext1", QStringLiteral("Save chat"), QKeySequence(QStringLiteral("Ctrl+S"))},
            {"Readlogs1", QStringLiteral("Read logs"), QKeySequence(QStringLiteral("Ctrl+R"))},
            {"Cleartext1", QStringLiteral("Clear chat"), QKeySequence(QStringLiteral("Ctrl+X"))},
            {"Exit1", QStringLiteral("Exit"), {}},
            {"Name1", QStringLiteral("User name"), {}},
            {"Port1", QStringLiteral("Port"), {}},
            {"Listen1", QStringLiteral("Listen"), {}},
            {"Connect1", QStringLiteral("Connect"), {}},
            {"Disconnect1", QStringLiteral("Disconnect"), {}},
            {"Natter1", QStringLiteral("Natter help"), QKeySequence(QStringLiteral("F1"))},
            {"Website1", QStringLiteral("Web site"), {}},
            {"MyIP1", QStringLiteral("My IP address"), {}},
            {"About1", QStringLiteral("About . . ."), {}},
            {"Savetext2", QStringLiteral("Save chat"), {}},
            {"Cleartext2", QStringLiteral("Clear chat"), {}},
        };
        for (const Item &item : items) {
            auto *action = m_form->findChild<QAction *>(QLatin1String(item.name));
            QVERIFY2(action, item.name);
            QCOMPARE(action->text(), item.caption);
            QCOMPARE(action->shortcut(), item.shortcut);
        }
        const QStringList menus = {QStringLiteral("File"), QStringLiteral("Settings"),
                                   QStringLiteral("Help")};
        QStringList titles;
        for (QAction *a : m_form->menuBar()->actions())
            titles << a->text();
        QCOMPARE(titles, menus);
        QVERIFY(m_form->Listen1->isCheckable());
        QVERIFY(m_form->ToolButton2->isCheckable());
        QCOMPARE(m_form->ToolButton2->accessibleName(), QStringLiteral("Absent"));
        QCOMPARE(m_form->ToolButton8->text(), QStringLiteral("Disconnect"));
        QCOMPARE(m_form->Page->accessibleName(), QStringLiteral("Transcript"));
        QCOMPARE(m_form->Entry->accessibleName(), QStringLiteral("Message"));
        QCOMPARE(m_form->Panel->accessibleName(), QStringLiteral("Send"));
        m_form->setStatus(QStringLiteral("Listening . . ."));
        QCOMPARE(m_form->StatusPanel->accessibleName(), QStringLiteral("Listening . . ."));
        QCOMPARE(m_form->StatusPanel->accessibleDescription(), QStringLiteral("Status"));
    }

    void menusAndButtonsReachTheirHandlers()
    {
        QStringList calls;
        auto &a = m_form->actions();
        auto record = [&calls](const char *what) { return [&calls, what] { calls << QLatin1String(what); }; };
        a.saveChat = record("save");
        a.readLogs = record("logs");
        a.clearChat = record("clear");
        a.name = record("name");
        a.port = record("port");
        a.listen = record("listen");
        a.connect = record("connect");
        a.disconnect = record("disconnect");
        a.help = record("help");
        a.website = record("web");
        a.myIp = record("ip");
        a.about = record("about");
        a.absent = record("absent");
        a.send = record("send");

        for (QAction *action :
             {m_form->Savetext1, m_form->Readlogs1, m_form->Cleartext1, m_form->Name1, m_form->Port1,
              m_form->Listen1, m_form->Connect1, m_form->Disconnect1, m_form->Natter1, m_form->Website1,
              m_form->MyIP1, m_form->About1, m_form->Savetext2, m_form->Cleartext2})
            action->trigger();
        for (QToolButton *b :
             {m_form->ToolButton2, m_form->ToolButton4, m_form->ToolButton6, m_form->ToolButton8})
            QTest::mouseClick(b, Qt::LeftButton);
        QTest::mouseClick(m_form->Panel, Qt::LeftButton);
        QCOMPARE(calls,
                 QStringList({QStringLiteral("save"), QStringLiteral("logs"), QStringLiteral("clear"),
                              QStringLiteral("name"), QStringLiteral("port"), QStringLiteral("listen"),
                              QStringLiteral("connect"), QStringLiteral("disconnect"), QStringLiteral("help"),
                              QStringLiteral("web"), QStringLiteral("ip"), QStringLiteral("about"),
                              QStringLiteral("save"), QStringLiteral("clear"), QStringLiteral("absent"),
                              QStringLiteral("listen"), QStringLiteral("connect"),
                              QStringLiteral("disconnect"), QStringLiteral("send")}));
        // The handler, not the click, decides the Listen check mark.
        QVERIFY(!m_form->Listen1->isChecked());
        // The Absent button has toggled before its handler runs.
        QVERIFY(m_form->ToolButton2->isChecked());

        calls.clear();
        QTest::keyClick(m_form->Entry, Qt::Key_Return);
        QTest::keyClick(m_form->Entry, Qt::Key_Enter);
        QTest::keyClick(m_form->Entry, Qt::Key_A);
        QTest::keyClick(m_form.get(), Qt::Key_S, Qt::ControlModifier);
        QTest::keyClick(m_form.get(), Qt::Key_R, Qt::ControlModifier);
        QTest::keyClick(m_form.get(), Qt::Key_F1);
        QCOMPARE(calls, QStringList({QStringLiteral("send"), QStringLiteral("send"), QStringLiteral("save"),
                                     QStringLiteral("logs"), QStringLiteral("help")}));
        QCOMPARE(m_form->entryText(), QStringLiteral("a")); // other keys reach the box
    }

    void failingHandlerGoesToTheReportAndTheWindowCarriesOn()
    {
        m_form->actions().send = [] { throw Exception(QStringLiteral("Socket already open")); };
        QTest::keyClick(m_form->Entry, Qt::Key_Return);
        QCOMPARE(m_fakes->report.shown, QStringList{QStringLiteral("Socket already open.")});
        QTest::keyClick(m_form->Entry, Qt::Key_B);
        QCOMPARE(m_form->entryText(), QStringLiteral("b"));
    }

    void sendPanelLooksPressedOnlyWhileHeld()
    {
        int sends = 0;
        m_form->actions().send = [&sends] { ++sends; };
        const QColor normal = m_form->Panel->captionColour();
        QVERIFY(normal != QColor(Qt::red));
        QTest::mousePress(m_form->Panel, Qt::LeftButton);
        QVERIFY(m_form->Panel->pressedLook());
        QCOMPARE(m_form->Panel->captionColour(), QColor(0xFF, 0, 0));
        QCOMPARE(m_form->Panel->frameShadow(), QFrame::Sunken);
        QCOMPARE(sends, 0);
        QTest::mouseRelease(m_form->Panel, Qt::LeftButton);
        QVERIFY(!m_form->Panel->pressedLook());
        QCOMPARE(m_form->Panel->captionColour(), normal);
        QCOMPARE(m_form->Panel->frameShadow(), QFrame::Raised);
        QCOMPARE(sends, 1);
        // Released away from the panel: the look comes back, nothing is sent.
        QTest::mousePress(m_form->Panel, Qt::RightButton);
        QVERIFY(m_form->Panel->pressedLook());
        QTest::mouseRelease(m_form->Panel, Qt::RightButton, {}, QPoint(-5, -5));
        QVERIFY(!m_form->Panel->pressedLook());
        QCOMPARE(sends, 1);
    }

    void ctrlXInTheEntryBoxCutsAndKeepsTheTranscript()
    {
        int clears = 0;
        m_form->actions().clearChat = [&clears] { ++clears; };
        m_form->Page->appendLine(QStringLiteral("keep me"));
        m_form->Entry->setFocus();
        QTest::keyClicks(m_form->Entry, QStringLiteral("draft"));
        m_form->Entry->selectAll();
        QTest::keyClick(m_form->Entry, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(m_form->entryText(), QString());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("draft"));
        QCOMPARE(clears, 0);
        QCOMPARE(m_form->Page->lines().size(), 1);
        // Elsewhere the shortcut still clears the chat.
        m_form->Page->setFocus();
        QTest::keyClick(m_form->Page, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(clears, 1);
    }

    void transcriptColoursEachLineAndShowsTextLiterally()
    {
        ITranscript &t = m_form->transcript();
        t.setColour(colours::kOwn);
        t.appendLine(QStringLiteral("a < b and c > d"));
        t.setColour(colours::kPeer);
        t.appendLine(QStringLiteral("<img src=x> <b>bold</b> &amp;"));
        t.setColour(colours::kSystem);
        t.appendLine(QString());
        const QList<TranscriptLine> expected = {
            {QStringLiteral("a < b and c > d"), colours::kOwn},
            {QStringLiteral("<img src=x> <b>bold</b> &amp;"), colours::kPeer},
            {QString(), colours::kSystem},
        };
        QCOMPARE(t.lines(), expected);
        QCOMPARE(m_form->Page->toPlainText(),
                 QStringLiteral("a < b and c > d\n<img src=x> <b>bold</b> &amp;\n"));
        // The colour really is on the characters.
        const QTextBlock second = m_form->Page->document()->findBlockByNumber(1);
        QCOMPARE(second.begin().fragment().charFormat().foreground().color(), QColor(0, 0, 0xFF));
        t.clear();
        QVERIFY(t.lines().isEmpty());
        t.appendLine(QStringLiteral("again"));
        QCOMPARE(t.lines().size(), 1);
    }

    void appendingKeepsTheUsersSelectionAndColoursTheNewLine()
    {
        ITranscript &t = m_form->transcript();
        t.setColour(colours::kOwn);
        t.appendLine(QStringLiteral("first line"));
        QTextCursor selection(m_form->Page->document());
        selection.setPosition(0);
        selection.setPosition(5, QTextCursor::KeepAnchor);
        m_form->Page->setTextCursor(selection);
        t.setColour(colours::kPeer);
        t.appendLine(QStringLiteral("second"));
        QCOMPARE(m_form->Page->textCursor().selectedText(), QStringLiteral("first"));
        const QTextBlock first = m_form->Page->document()->firstBlock();
        QCOMPARE(first.begin().fragment().charFormat().foreground().color(), QColor(0, 0x80, 0));
        QCOMPARE(t.lines().last(), (TranscriptLine{QStringLiteral("second"), colours::kPeer}));
    }

    void closingRunsTheCloseHandlerOnce()
    {
        int closing = 0;
        m_form->actions().closing = [&closing] { ++closing; };
        QSignalSpy closed(m_form.get(), &Tnatterform::closed);
        m_form->Exit1->trigger();
        QCOMPARE(closing, 1);
        QCOMPARE(closed.count(), 1);
        QVERIFY(!m_form->isVisible());
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
    std::unique_ptr<Tnatterform> m_form;
};

QTEST_MAIN(TestNatterform)
#include "tst_natterform.moc"
