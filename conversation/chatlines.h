#pragma once

#include "conversation/conversationview.h"
#include "conversation/failurelines.h"
#include "conversation/securelink.h"

#include <QByteArray>
#include <QObject>

namespace natter {

class TClientSocket;
class TCustomWinSocket;
class TServerSocket;

// Sending and receiving chat lines. A chat line is the user name, ": " and
// the typed text; it goes out on the host's single connection or else on the
// connected client endpoint, sealed as one record when the conversation is
// encrypted, or enciphered in one send with an old copy, and is echoed green.
// What arrives is opened or deciphered by the conversation's secure link and
// shown in blue.
class ChatLines {
public:
    // What a conversation may receive before its connection is closed. No
    // typed conversation comes near it: it is over a hundred of the longest
    // lines the entry box holds (32,767 characters), or some 40,000 lines of
    // a hundred. It keeps what one peer can put into the transcript small
    // (8 MB as text), so a flood costs little memory and the transcript
    // stays quick to change, while the whole of an honest conversation stays
    // in it and in a saved log.
    static constexpr qint64 kReceivedCap = 4 * 1024 * 1024;

    enum class Outcome { Sent, NotConnected, PeerNotReading };

    ChatLines(IConversationView &view, TClientSocket &client, TServerSocket &server);

    // Send (the Send panel, the Enter key): sends the entry box's text and
    // clears the box. A failed send on the host's connection raises, and
    // the box then keeps its text; so it does when the peer is not reading.
    void Send();

    // Sends `text` as the user's line and echoes it; nothing happens when no
    // conversation is up. A line is not taken while too much waits for a
    // peer that does not read: a grey line says so.
    Outcome SendLine(const QString &text);

    // True while the user's own line is being handed to the host's
    // connection: a failure then is the user's to see.
    bool sendingUserLine() const { return m_sendingUserLine; }

    // Read events of the client endpoint and of the host's connection.
    void ClientSocketRead(QObject *sender, TCustomWinSocket *socket);
    void ServerSocketClientRead(QObject *sender, TCustomWinSocket *socket);

    FailureLines &failures() { return m_failures; }
    SecureLink &link() { return m_link; }

    // The wire form of a chat line.
    static QByteArray wireForm(const QString &userName, const QString &text);

private:
    void Receive(TCustomWinSocket *socket);
    // One grey line when the transcript has become nearly full.
    void WarnWhenNearlyFull();

    IConversationView &m_view;
    TClientSocket &m_client;
    TServerSocket &m_server;
    FailureLines m_failures;
    SecureLink m_link{m_view, m_failures};
    bool m_sendingUserLine = false;
    bool m_warnedNearlyFull = false;
};

} // namespace natter
