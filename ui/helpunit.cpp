#include "ui/helpunit.h"

#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "platform/exceptions.h"
#include "richtext/richview.h"
#include "richtext/rtf.h"

#include <QApplication>
#include <QPalette>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextEdit>
#include <QVBoxLayout>

namespace natter {

Thelpform::Thelpform(const ISystemFacts &system, QWidget *parent)
    : QWidget(parent, Qt::Window), m_system(system), m_helpage(new QTextEdit(this))
{
    setObjectName(QStringLiteral("helpform"));
    setWindowTitle(QStringLiteral("Natter Duo Help"));
    setWindowIcon(QApplication::windowIcon());
    resize(500, 400);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(0x99, 0x99, 0x99));
    setPalette(palette);
    setAutoFillBackground(true);

    m_helpage->setObjectName(QStringLiteral("Helpage"));
    styleReadOnlyPage(*m_helpage);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_helpage);

    QList<TranscriptLine> manual;
    const QStringList text = builtInManual();
    for (const QString &line : text)
        manual.append(TranscriptLine{line, 0});
    setDocumentLines(*m_helpage->document(), manual);
}

QString Thelpform::missingFileNote()
{
    return QStringLiteral("NOTE: Help data file missing - please run Natter Duo Setup.");
}

QString Thelpform::loadError(const QString &path, const FileResult &result)
{
    if (result.failure == FileResult::Failure::Read)
        return QStringLiteral("Failed to Load Stream");
    return result.message(path);
}

void Thelpform::FormShow()
{
    const QString path = m_system.programDirectory() + QLatin1String(kHelpFileName);
    const FileResult help = readRegularFile(path, kMaxHelpFileSize);
    if (help.failure == FileResult::Failure::Missing) {
        appendColouredLine(*m_helpage, missingFileNote());
        scrollToTop();
        return;
    }
    if (!help.ok()) {
        reportError(loadError(path, help));
        return;
    }
    setDocumentLines(*m_helpage->document(), rtf::read(help.data).lines);
    scrollToTop();
}

void Thelpform::scrollToTop()
{
    m_helpage->moveCursor(QTextCursor::Start);
    m_helpage->verticalScrollBar()->setValue(0);
}

void Thelpform::showHelp()
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void Thelpform::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        guarded([this] { FormShow(); });
}

QStringList Thelpform::builtInManual()
{
    QString characters;
    for (int j = 1; j <= static_cast<int>(cipher::kSetSize); ++j) {
        const char byte = static_cast<char>(cipher::setEntry(j));
        characters += cp1252::toUnicode(QByteArrayView(&byte, 1));
    }
    // The first entry is the space; show it by name so the list reads well.
    const QString listed = characters.mid(1);

    return {
        QStringLiteral("Natter Duo Help."),
        QString(),
        QStringLiteral("Overview."),
        QStringLiteral("Natter Duo lets two people hold a private one-to-one conversation directly between "
                       "their two computers. There is no chat server in between, no messenger account to "
                       "sign up for and no advertisements: one copy of the program talks straight to the "
                       "other over TCP."),
        QString(),
        QStringLiteral("How does it work?"),
        QStringLiteral(
            "Either copy can host a conversation (it listens on a port) or join one (it connects to "
            "the host's address and port). A host takes only one joiner at a time. Both people "
            "need Natter Duo. Lines are lightly enciphered before they are sent: this is light "
            "obfuscation that keeps casual eyes off the text, not security, so do not send "
            "anything secret. Natter Duo sends text only; there are no file transfers."),
        QString(),
        QStringLiteral("Planning a conversation over the Internet."),
        QStringLiteral(
            "Agree beforehand, by e-mail or phone, who will host. The host tells the joiner its IP "
            "address and the port it will listen on. A host behind a router must forward that "
            "port to its computer, and a firewall must let it through."),
        QString(),
        QStringLiteral("Hosting a conversation."),
        QStringLiteral("Find your IP address with Help > My IP address. Choose a port; 6767 is offered and "
                       "will do unless something else uses it. Choose Listen and give your name and the "
                       "port. Choose Listen again, or Disconnect, to stop hosting. Your name can be changed "
                       "during a conversation; the port only while you are offline. Press Absent while you "
                       "are away: a joiner who arrives meanwhile is told so. Anyone who tries to join while "
                       "you already have a partner is told that you are busy and is disconnected. Disconnect "
                       "ends the conversation."),
        QString(),
        QStringLiteral("Joining a conversation."),
        QStringLiteral("Obtain the host's address and port. Choose Connect and give your name, the port and "
                       "the address. When the connection is made the status bar shows it; when it fails, a "
                       "grey line in the transcript says that the connection failed."),
        QString(),
        QStringLiteral("Sending and receiving messages."),
        QStringLiteral("Type in the white entry box at the bottom and press Return or Send. Your own lines "
                       "appear in green, lines you receive in blue and messages from the program itself in "
                       "grey. Absent has no effect once a conversation is under way."),
        QString(),
        QStringLiteral("Saving and reading conversations."),
        QStringLiteral(
            "Nothing is logged automatically. File > Save chat saves the transcript, colours "
            "included, as a rich-text log (.ntl) named after today's date. File > Read logs starts "
            "the separate log reader, which opens saved logs, finds text in them and can save them "
            "as plain text. File > Clear chat empties the transcript without ending the "
            "conversation."),
        QString(),
        QStringLiteral("Internal character set."),
        QStringLiteral("Only these %1 characters can be sent: the space and").arg(cipher::kSetSize),
        listed,
        QStringLiteral("Any other character is left out when a line is sent or received."),
        QString(),
        QStringLiteral("Thank you for using Natter Duo."),
        QStringLiteral("Support: the Natter Duo developers, through the README that comes with the "
                       "program and the full manual (Help > Web site)."),
    };
}

} // namespace natter
