#pragma once

#include "conversation/conversationview.h"
#include "net/winsocket.h"
#include "platform/services.h"

#include <QByteArray>

#include <optional>

namespace natter {

class ChatLines;
class TClientSocket;
class TServerSocket;

// The commands with which the user names themself, picks the port, hosts
// (Listen), joins (Connect), ends the conversation (Disconnect) and marks
// themself absent, and the client endpoint's handlers that keep the status
// bar in step.
class ConversationControl {
public:
    ConversationControl(IConversationView &view, IInputPrompt &prompt, IMessageBox &messages,
                        TClientSocket &client, TServerSocket &server, ChatLines &lines);

    void Name1Click();
    void Port1Click();
    void Listen1Click();
    void Connect1Click();
    void Disconnect1Click();
    void ToolButton2Click();
    // The window is closing: end any conversation.
    void FormClose();

    void ClientSocketConnecting(QObject *sender, TCustomWinSocket *socket);
    void ClientSocketConnect(QObject *sender, TCustomWinSocket *socket);
    void ClientSocketDisconnect(QObject *sender, TCustomWinSocket *socket);
    void ClientSocketError(QObject *sender, TCustomWinSocket *socket, TErrorEvent errorEvent, int &errorCode);

    // A port as typed: leading blanks, an optional sign, then decimal digits,
    // or hexadecimal digits after "$", "x", "X" or "0x"; the whole text must
    // be used. Empty when it is not a number.
    static std::optional<long long> parseInteger(const QString &text);
    // A usable TCP port (1 to 65535), or empty.
    static std::optional<int> parsePort(const QString &text);

    static QString settingsTitle() { return QStringLiteral("Natter Settings"); }
    static QString codePrompt()
    {
        return QStringLiteral(
            "Enter the code shown in your partner's window (leave it empty if they have none)");
    }

private:
    // The host's code for Connect: six digits, empty for none, or nothing
    // when the user cancelled.
    std::optional<QByteArray> askCode();

    IConversationView &m_view;
    IInputPrompt &m_prompt;
    IMessageBox &m_messages;
    TClientSocket &m_client;
    TServerSocket &m_server;
    ChatLines &m_lines;
};

} // namespace natter
