#include "conversation/chatlines.h"

#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "net/scktcomp.h"

namespace natter {

ChatLines::ChatLines(IConversationView &view, TClientSocket &client, TServerSocket &server)
    : m_view(view), m_client(client), m_server(server)
{
}

QByteArray ChatLines::wireForm(const QString &userName, const QString &text)
{
    return cipher::encode(cp1252::fromUnicode(QString(userName + QStringLiteral(": ") + text)));
}

bool ChatLines::SendLine(const QString &text)
{
    TCustomWinSocket *carrier = nullptr;
    TServerWinSocket *listening = m_server.Socket();
    if (listening->ActiveConnections() == 1)
        carrier = listening->Connections(0);
    else if (m_client.Active())
        carrier = m_client.Socket();
    if (!carrier)
        return false;
    carrier->SendText(wireForm(m_view.userName(), text));
    ITranscript &transcript = m_view.transcript();
    transcript.setColour(colours::kOwn);
    transcript.appendLine(text);
    return true;
}

void ChatLines::Send()
{
    const QString text = m_view.entryText();
    if (!text.isEmpty())
        SendLine(text);
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
    const QByteArray received = socket->ReceiveText();
    if (received.isEmpty())
        return; // nothing was waiting after all: no line to show
    const QString text = cp1252::toUnicode(cipher::decode(received));
    ITranscript &transcript = m_view.transcript();
    transcript.setColour(colours::kPeer);
    transcript.appendLine(text);
}

} // namespace natter
