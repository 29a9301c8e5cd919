#pragma once

#include "conversation/conversationview.h"

#include <QByteArray>
#include <QObject>

namespace natter {

class TClientSocket;
class TCustomWinSocket;
class TServerSocket;

// Sending and receiving chat lines. A chat line is the user name, ": " and
// the typed text; it goes out enciphered, in one send, on the host's single
// connection or else on the connected client endpoint, and is echoed green.
// Whatever arrives in one read event is deciphered and shown as one blue line.
class ChatLines {
public:
    ChatLines(IConversationView &view, TClientSocket &client, TServerSocket &server);

    // Send (the Send panel, the Enter key): sends the entry box's text and
    // clears the box. A failed send on the host's connection raises, and
    // the box then keeps its text.
    void Send();

    // Sends `text` as the user's line and echoes it; nothing happens when no
    // conversation is up. Returns whether a carrier took the line.
    bool SendLine(const QString &text);

    // Read events of the client endpoint and of the host's connection.
    void ClientSocketRead(QObject *sender, TCustomWinSocket *socket);
    void ServerSocketClientRead(QObject *sender, TCustomWinSocket *socket);

    // The wire form of a chat line.
    static QByteArray wireForm(const QString &userName, const QString &text);

private:
    void Receive(TCustomWinSocket *socket);

    IConversationView &m_view;
    TClientSocket &m_client;
    TServerSocket &m_server;
};

} // namespace natter
