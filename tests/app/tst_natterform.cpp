// The chat window with the wiring behind it: the transcript control, the
// entry box's keys, and the attention a peer's line asks for.
#include "app/natterform.h"
#include "app/transcriptview.h"
#include "app/wiring.h"
#include "conversation/chatlines.h"
#include "router/portmapping.h"
#include "tests/support/fakeservices.h"
#include "tests/support/rawsocket.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

#include <memory>

using namespace natter;

class TestNatterform : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeServices> m_fakes;
    std::unique_ptr<Tnatterform> m_form;
    std::unique_ptr<WindowSet> m_subsystems;

private Q_SLOTS:
    void init()
    {
        m_fakes = std::make_unique<test::FakeServices>();
        m_form = std::make_unique<Tnatterform>(m_fakes->sound);
        m_subsystems = attachSubsystems(*m_form, m_fakes->services(), std::make_unique<PortMapper>());
        m_form->show();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
    }

    void cleanup()
    {
        m_subsystems.reset();
        m_form.reset();
        m_fakes.reset();
    }

    void peerInTheBackgroundAsksForAttention()
    {
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

        // Saved, a character outside the code page is a signed Unicode escape.
        t.appendLine(QStringLiteral("\uAC00"));
        const QTemporaryDir dir;
        m_fakes->saveDialog.path = dir.filePath(QStringLiteral("chat.rtf"));
        m_form->Savetext1->trigger();
        QFile saved(m_fakes->saveDialog.path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("\\u-21504?"));
    }

    // Ctrl+X is the Clear chat key everywhere but in the entry box, where it
    // cuts the selected draft.
    void ctrlXInTheEntryBoxCutsAndKeepsTheTranscript()
    {
        m_form->transcript().appendLine(QStringLiteral("kept"));
        QTest::keyClicks(m_form->Entry, QStringLiteral("draft"));
        m_form->Entry->selectAll();
        QTest::keyClick(m_form->Entry, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(m_form->entryText(), QString());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("draft"));
        QCOMPARE(m_form->transcript().lines().size(), 1);
        m_form->Page->setFocus();
        QTest::keyClick(m_form->Page, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(m_form->transcript().lines(), QList<TranscriptLine>());
    }

    void tabIntoTheEntryBoxKeepsTheDraftUnselected()
    {
        m_form->Entry->setText(QStringLiteral("draft"));
        m_form->Page->setFocus();
        m_form->Entry->setFocus(Qt::TabFocusReason);
        QVERIFY(m_form->Entry->hasFocus());
        QVERIFY(!m_form->Entry->hasSelectedText());
        QTest::keyClick(m_form->Entry, Qt::Key_S);
        QCOMPARE(m_form->entryText(), QStringLiteral("drafts"));
    }
};

QTEST_MAIN(TestNatterform)
#include "tst_natterform.moc"
