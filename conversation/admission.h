#pragma once

#include "conversation/conversationview.h"

#include <QObject>

#include <functional>

namespace natter {

class TCustomWinSocket;
class TServerSocket;

// The host keeps exactly one peer. The first connection is greeted (status,
// chime, and the absent notice while the host is marked absent); any
// connection that arrives while one is held is sent the busy notice and
// closed at once, and the host is told in a grey line.
class HostAdmission {
public:
    HostAdmission(IConversationView &view, TServerSocket &server, std::function<void()> playChime);

    void ServerSocketClientConnect(QObject *sender, TCustomWinSocket *socket);
    void ServerSocketAccept(QObject *sender, TCustomWinSocket *socket);
    void ServerSocketClientDisconnect(QObject *sender, TCustomWinSocket *socket);

private:
    IConversationView &m_view;
    TServerSocket &m_server;
    std::function<void()> m_playChime;
};

} // namespace natter
