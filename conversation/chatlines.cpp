#include "conversation/chatlines.h"

#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "net/scktcomp.h"

#include <utility>

namespace natter {

ChatLines::ChatLines(IConversationView &view, TClientSocket &client, TServerSocket &server)
    : m_view(view), m_client(client), m_server(server), m_failures(view)
{
}

QByteArray ChatLines::wireForm(const QString &userName, const QString &text)
{
    return cipher::encode(cp1252::fromUnicode(QString(userName + QStringLiteral(": ") + text)));
}

ChatLines::Outcome ChatLines::SendLine(const QString &text)
{
    TCustomWinSocket *carrier = nullptr;
    TServerWinSocket *listening = m_server.Socket();
    // The conversation is connection 0; joiners being turned away may still
    // be counted behind it.
    if (listening->ActiveConnections() > 0 && listening->Connections(0)->Connected())
        carrier = listening->Connections(0);
    else if (m_client.Active())
        carrier = m_client.Socket();
    if (!carrier)
        return Outcome::NotConnected;
    ITranscript &transcript = m_view.transcript();
    if (m_link.outgoingFull(carrier)) {
        transcript.setColour(colours::kSystem);
        transcript.appendLine(FailureLines::peerNotReading());
        return Outcome::PeerNotReading;
    }
    {
        const bool outer = std::exchange(m_sendingUserLine, true);
        struct Restore {
            bool &flag;
            bool value;
            ~Restore() { flag = value; }
        } restore{m_sendingUserLine, outer};
        bool refused = false;
        const QByteArray line = cp1252::fromUnicode(QString(m_view.userName() + QStringLiteral(": ") + text));
        const std::optional<QByteArray> wire = m_link.outgoing(carrier, text, line, refused);
        if (refused)
            return Outcome::PeerNotReading;
        if (!wire)
            return Outcome::Sent; // it waits, and is echoed once it leaves
        carrier->SendText(*wire);
    }
    transcript.setColour(colours::kOwn);
    transcript.appendLine(text);
    WarnWhenNearlyFull();
    return Outcome::Sent;
}

void ChatLines::Send()
{
    const QString text = m_view.entryText();
    if (!text.isEmpty() && SendLine(text) == Outcome::PeerNotReading)
        return; // the line waits in the entry box
    m_view.setEntryText(QString());
}

void ChatLines::ClientSocketRead(QObject *, TCustomWinSocket *socket)
{
    Receive(socket);
}

void ChatLines::ServerSocketClientRead(QObject *, TCustomWinSocket *socket)
{
    Receive(socket);
}

void ChatLines::Receive(TCustomWinSocket *socket)
{
    if (m_view.transcript().overfull()) {
        // Far past full (a flood, or peers that come back again and again):
        // nothing more is taken, so the window's memory stays bounded.
        m_failures.write(FailureLines::transcriptFull());
        m_link.closing(socket);
        socket->Close();
        return;
    }
    const QByteArray received = socket->ReceiveText();
    if (!received.isEmpty())
        m_link.receive(socket, received);
    WarnWhenNearlyFull();
    if (!socket->Connected())
        return;
    if (m_link.receivedText(socket) > kReceivedCap) {
        m_failures.write(FailureLines::receivedTooMuch());
        m_link.closing(socket);
        socket->Close(); // an ordinary close: a host goes on listening
    } else if (m_view.transcript().full() && socket->ReceiveBuf(nullptr, -1) == 0) {
        // Nothing shown is given up for a peer's text, and nothing the peer
        // sent is thrown away: what has come is shown, then the peer goes
        // until the user has saved and cleared the transcript.
        m_failures.write(FailureLines::transcriptFull());
        m_link.closing(socket);
        socket->Close();
    }
}

void ChatLines::WarnWhenNearlyFull()
{
    ITranscript &transcript = m_view.transcript();
    const bool nearlyFull = transcript.nearlyFull();
    if (nearlyFull && !m_warnedNearlyFull) {
        transcript.setColour(colours::kSystem);
        transcript.appendLine(
            QStringLiteral("The chat window is nearly full: save the chat and clear it to go on."));
    }
    m_warnedNearlyFull = nearlyFull; // once cleared, it warns again
}

} // namespace natter
