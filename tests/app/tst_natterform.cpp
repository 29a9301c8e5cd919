#include "app/application.h"
#include "app/natterform.h"
#include "app/sendpanel.h"
#include "app/transcriptview.h"
#include "app/wiring.h"
#include "conversation/chatlines.h"
#include "platform/qtservices.h"
#include "router/portmapping.h"
#include "tests/support/fakeservices.h"
#include "tests/support/rawsocket.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
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
    void sendUnencrypted() override { note("unencrypted"); }
    void onlyEncryptedChanged() override { note("onlyencrypted"); }
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
        QTest::addColumn<bool>("plainBar");
        QTest::newRow("initial") << QSize(300, 450) << false;
        QTest::newRow("large") << QSize(640, 700) << false;
        QTest::newRow("below minimum") << QSize(120, 90) << false;
        QTest::newRow("plain bar") << QSize(300, 450) << true;
    }
    void layoutFollowsResizes()
    {
        QFETCH(QSize, size);
        QFETCH(bool, plainBar);
        m_form->setPlainBarShown(plainBar);
        m_form->resize(size);
        QTRY_COMPARE(m_form->size(), size.expandedTo(QSize(300, 300)));
        const QWidget *client = m_form->centralWidget();
        const QRect page = m_form->Page->geometry(), entry = m_form->Entry->geometry();
        const QRect panel = m_form->Panel->geometry();
        const QRect bar = plainBar ? m_form->PlainBar->geometry() : QRect(0, panel.top(), client->width(), 0);
        QCOMPARE(bar.bottom() + 1, panel.top()); // the bar sits right above the entry box
        QCOMPARE(bar.width(), client->width());
        QCOMPARE(page, QRect(0, 0, client->width(), bar.top()));
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
        m_form->Onlyencrypted1->trigger();
        m_form->setPlainBarShown(true);
        QTest::mouseClick(m_form->SendUnencrypted, Qt::LeftButton);
        QTest::mouseClick(m_form->PlainDisconnect, Qt::LeftButton);
        const char *expected[] = {"save",    "clear",         "listen",      "absent",    "listen",
                                  "connect", "disconnect",    "send",        "save",      "logs",
                                  "help",    "onlyencrypted", "unencrypted", "disconnect"};
        const QStringList &calls = m_commands.calls;
        QCOMPARE(calls.size(), int(std::size(expected)));
        for (int i = 0; i < calls.size(); ++i)
            QCOMPARE(calls.at(i), QLatin1String(expected[i]));
        QVERIFY(!m_form->listenChecked()); // the handler, not the click, sets the check mark
        QVERIFY(m_form->absentDown());     // a check button toggles before its handler runs
        QVERIFY(m_form->onlyEncrypted());
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

    void peerInTheBackgroundAsksForAttention()
    {
        const std::unique_ptr<WindowSet> subsystems =
            attachSubsystems(*m_form, m_fakes->services(), std::make_unique<PortMapper>());
        const test::HeldPort port;
        m_fakes->prompt.answer(QStringLiteral("ann"));
        m_fakes->prompt.answer(port.text());
        m_form->Listen1Click();
        QCOMPARE(m_form->status(), QStringLiteral("Listening . . ."));

        QWidget other; // another window has the user's eye
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        const QList<QWidget *> &requests = m_fakes->attention.requests;
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port.port);
        QTRY_COMPARE(m_form->status(), QStringLiteral("Connected from: 127.0.0.1"));
        QCOMPARE(requests, QList<QWidget *>{m_form.get()}); // a new peer
        peer.write(ChatLines::wireForm(QStringLiteral("bob"), QStringLiteral("hi")));
        QTRY_COMPARE(m_form->transcript().lines().last().text, QStringLiteral("bob: hi"));
        QCOMPARE(requests.size(), 2); // a peer's line

        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        peer.write(ChatLines::wireForm(QStringLiteral("bob"), QStringLiteral("again")));
        QTRY_COMPARE(m_form->transcript().lines().last().text, QStringLiteral("bob: again"));
        QTest::keyClicks(m_form->Entry, QStringLiteral("hello"));
        QTest::keyClick(m_form->Entry, Qt::Key_Return);
        m_form->SendUnencrypted->click();
        QCOMPARE(m_form->transcript().lines().last().text, QStringLiteral("hello"));
        QCOMPARE(requests.size(), 2); // the user is looking: nothing asked
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
        // A word too long for any window is shown in short paragraphs and
        // stays one line, whole, for saving and copying.
        const QString word = QStringLiteral("bob: ") + QString(64 * 1024, u'x');
        t.appendLine(word);
        const QList<TranscriptLine> expected = {{QStringLiteral("a < b and c > d"), colours::kOwn},
                                                {QStringLiteral("<img src=x> &amp;"), colours::kPeer},
                                                {word, colours::kPeer}};
        QCOMPARE(t.lines(), expected);
        const QTextBlock second = m_form->Page->document()->findBlockByNumber(1);
        QCOMPARE(second.begin().fragment().charFormat().foreground().color(), QColor(0, 0, 0xFF));
        for (QTextBlock b = second; b.isValid(); b = b.next())
            QCOMPARE_LE(b.length(), 4096);
        m_form->Page->selectAll();
        m_form->Page->copy();
        QCOMPARE(QApplication::clipboard()->text(),
                 QStringLiteral("a < b and c > d\n<img src=x> &amp;\n") + word + u'\n');
        t.clear();
        t.appendLine(QStringLiteral("again"));
        QCOMPARE(t.lines().size(), 1);
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestNatterform test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_natterform.moc"
