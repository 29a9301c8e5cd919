#include "conversation/admission.h"

#include "conversation/chatlines.h"
#include "conversation/notices.h"
#include "net/scktcomp.h"

namespace natter {

HostAdmission::HostAdmission(IConversationView &view, TServerSocket &server, ChatLines &lines,
                             std::function<void()> playChime)
    : m_view(view), m_server(server), m_lines(lines), m_playChime(std::move(playChime))
{
}

void HostAdmission::ServerSocketAccept(QObject *, TCustomWinSocket *socket)
{
    TServerWinSocket *listening = m_server.Socket();
    // A joiner turned away in the client-connect handler is still counted
    // here; one that is no longer the conversation is never greeted.
    if (listening->ActiveConnections() != 1 || listening->Connections(0) != socket || !socket->Connected())
        return;
    m_view.setStatus(QStringLiteral("Connected from: ") + socket->RemoteAddress());
    if (m_playChime)
        m_playChime();
    // The absent notice waits until the joiner's first bytes say what it speaks.
    m_lines.link().hostAccepted(listening->Connections(0), m_view.absentDown());
}

void HostAdmission::ServerSocketClientConnect(QObject *, TCustomWinSocket *socket)
{
    TServerWinSocket *listening = m_server.Socket();
    const int n = listening->ActiveConnections();
    ITranscript &transcript = m_view.transcript();
    if (n == 2 || n == 3) {
        transcript.setColour(colours::kSystem);
        for (int i = 1; i < n; ++i) {
            transcript.appendLine(QStringLiteral("Discarded connection attempt from") +
                                  socket->RemoteAddress());
            TServerClientWinSocket *extra = listening->Connections(i);
            extra->SendText(notices::kBusy.toByteArray());
            extra->Close();
        }
    } else if (n > 3) {
        transcript.setColour(colours::kSystem);
        transcript.appendLine(QStringLiteral("Discarded multiple connection attempts"));
        for (int i = 1; i < n; ++i)
            listening->Connections(i)->Close();
    }
}

void HostAdmission::ServerSocketClientDisconnect(QObject *, TCustomWinSocket *socket)
{
    m_lines.link().ended(socket);
    // The conversation is connection 0: when it ends the host is listening
    // again, whatever turned-away joiners are still counted beside it.
    TServerWinSocket *listening = m_server.Socket();
    if (listening->ActiveConnections() > 0 && listening->Connections(0) == socket)
        m_view.setStatus(QStringLiteral("Listening . . ."));
}

} // namespace natter

namespace natter {

void HostAdmission::ServerSocketClientError(QObject *, TCustomWinSocket *socket, TErrorEvent errorEvent,
                                            int &errorCode)
{
    if (errorEvent == TErrorEvent::eeSend && m_lines.sendingUserLine())
        return;
    TServerWinSocket *listening = m_server.Socket();
    if (listening->ActiveConnections() > 0 && listening->Connections(0) == socket) {
        m_lines.failures().write(FailureLines::closedBy(errorCode));
        m_lines.link().closing(socket);
    }
    errorCode = 0;
}

} // namespace natter
