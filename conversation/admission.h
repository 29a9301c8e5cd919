#pragma once

#include "conversation/conversationview.h"
#include "net/socketerrors.h"

#include <QObject>

#include <functional>

namespace natter {

class ChatLines;
class TCustomWinSocket;
class TServerSocket;

// The host keeps exactly one peer. The first connection is greeted (status,
// chime, and the absent notice while the host is marked absent); any
// connection that arrives while one is held is sent the busy notice and
// closed at once, and the host is told in a grey line.
class HostAdmission {
public:
    HostAdmission(IConversationView &view, TServerSocket &server, ChatLines &lines,
                  std::function<void()> playChime);

    void ServerSocketClientConnect(QObject *sender, TCustomWinSocket *socket);
    void ServerSocketAccept(QObject *sender, TCustomWinSocket *socket);
    void ServerSocketClientDisconnect(QObject *sender, TCustomWinSocket *socket);
    // A failure the peer caused (a reset, a link that stopped answering)
    // closes that connection; the conversation's end gets one grey line,
    // a joiner being turned away none. Only a failed send of the user's own
    // line is left to raise.
    void ServerSocketClientError(QObject *sender, TCustomWinSocket *socket, TErrorEvent errorEvent,
                                 int &errorCode);

private:
    IConversationView &m_view;
    TServerSocket &m_server;
    ChatLines &m_lines;
    std::function<void()> m_playChime;
};

} // namespace natter
