#include "conversation/conversationcontrol.h"

#include "conversation/chatlines.h"
#include "messaging/securechannel.h"
#include "net/scktcomp.h"

#include <cerrno>

namespace natter {

namespace {
int digitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}
} // namespace

ConversationControl::ConversationControl(IConversationView &view, IInputPrompt &prompt, IMessageBox &messages,
                                         TClientSocket &client, TServerSocket &server, ChatLines &lines)
    : m_view(view), m_prompt(prompt), m_messages(messages), m_client(client), m_server(server), m_lines(lines)
{
}

std::optional<long long> ConversationControl::parseInteger(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i) == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    int base = 10;
    if (i < text.size() && (text.at(i) == QLatin1Char('$') || text.at(i) == QLatin1Char('x') ||
                            text.at(i) == QLatin1Char('X'))) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text.at(i) == QLatin1Char('0') &&
               (text.at(i + 1) == QLatin1Char('x') || text.at(i + 1) == QLatin1Char('X'))) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const int digit = digitValue(text.at(i));
        if (digit < 0 || digit >= base)
            return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFLL)
            return std::nullopt; // far beyond any port
    }
    return negative ? -value : value;
}

std::optional<int> ConversationControl::parsePort(const QString &text)
{
    const std::optional<long long> value = parseInteger(text);
    if (!value || *value < 1 || *value > 65535)
        return std::nullopt;
    return static_cast<int>(*value);
}

void ConversationControl::Name1Click()
{
    QString name = m_view.userName();
    while (
        !m_prompt.inputQuery(settingsTitle(), QStringLiteral("Enter a user name for this session"), name) ||
        name.isEmpty())
        name = m_view.userName();
    // The notice goes to the peer under the old name; whatever the user was
    // typing stays in the entry box. A notice the peer would never get
    // leaves the old name, so both sides keep calling the user the same.
    if (m_lines.SendLine(QStringLiteral("Changed name to ") + name) == ChatLines::Outcome::PeerNotReading) {
        ITranscript &transcript = m_view.transcript();
        transcript.setColour(colours::kSystem);
        transcript.appendLine(
            QStringLiteral("The user name stays %1: the peer could not be told.").arg(m_view.userName()));
        return;
    }
    m_view.setUserName(name);
}

void ConversationControl::Port1Click()
{
    if (m_client.Active() || m_server.Active()) {
        m_messages.showMessage(QStringLiteral("Please disconnect before changing ports."));
        return;
    }
    for (;;) {
        // Cancel leaves the offered value, so it selects the default port.
        QString value = QStringLiteral("6767");
        m_prompt.inputQuery(settingsTitle(), QStringLiteral("Enter the port number for this session"), value);
        if (const std::optional<int> port = parsePort(value)) {
            m_client.SetPort(*port);
            m_server.SetPort(*port);
            return;
        }
    }
}

void ConversationControl::Listen1Click()
{
    if (!m_view.listenChecked()) {
        Name1Click();
        Port1Click();
        m_lines.link().endOrderly();
        m_client.SetActive(false);
        m_server.SetActive(true); // a failure (port in use) ends the command here
        m_view.setListenChecked(true);
        m_view.setStatus(QStringLiteral("Listening . . ."));
        m_lines.link().startListening();
    } else if (m_server.Active()) {
        m_lines.link().endOrderly();
        m_lines.link().stopListening();
        m_server.SetActive(false);
        m_client.SetActive(false);
        m_view.setListenChecked(false);
        m_view.setStatus(QStringLiteral("Offline"));
    }
}

void ConversationControl::Connect1Click()
{
    if (m_client.Active()) {
        m_messages.showMessage(QStringLiteral("Please disconnect before changing address."));
        return;
    }
    Name1Click();
    Port1Click();
    QString host;
    if (m_prompt.inputQuery(settingsTitle(), QStringLiteral("Enter the IP address to connect to"), host) &&
        host.size() > 1) {
        const std::optional<QByteArray> code = askCode();
        if (!code)
            return;
        m_lines.link().endOrderly();
        m_lines.link().stopListening();
        m_lines.link().setJoinCode(*code);
        m_client.SetHost(host);
        m_client.SetActive(true); // replaces an attempt still under way
        m_server.SetActive(false);
        m_view.setListenChecked(false);
    }
}

std::optional<QByteArray> ConversationControl::askCode()
{
    for (;;) {
        QString typed;
        if (!m_prompt.inputQuery(settingsTitle(), codePrompt(), typed))
            return std::nullopt;
        if (typed.trimmed().isEmpty())
            return QByteArray();
        const QByteArray code = secure::parseCode(typed.toLatin1());
        if (code.size() == 6)
            return code;
    }
}

void ConversationControl::Disconnect1Click()
{
    m_lines.link().endOrderly();
    m_lines.link().stopListening();
    m_server.SetActive(false);
    m_client.SetActive(false); // also abandons an attempt still under way
    m_view.setListenChecked(false);
    m_view.setStatus(QStringLiteral("Disconnected"));
}

void ConversationControl::ToolButton2Click()
{
    ITranscript &transcript = m_view.transcript();
    transcript.setColour(colours::kSystem);
    if (!m_server.Active()) {
        m_view.setAbsentDown(false); // only a host can be absent
        return;
    }
    const bool hasPeer = m_server.Socket()->ActiveConnections() > 0;
    if (m_view.absentDown()) {
        if (hasPeer)
            m_view.setAbsentDown(false); // no effect during a conversation
        else
            transcript.appendLine(QStringLiteral("User marked absent"));
        return;
    }
    transcript.appendLine(QStringLiteral("User returned"));
}

void ConversationControl::FormClose()
{
    m_lines.link().endOrderly();
    m_client.SetActive(false);
    m_server.SetActive(false);
}

void ConversationControl::ClientSocketConnecting(QObject *, TCustomWinSocket *)
{
    m_view.setStatus(QStringLiteral("Connecting to: ") + m_client.Host());
}

void ConversationControl::ClientSocketConnect(QObject *, TCustomWinSocket *socket)
{
    m_view.setStatus(QStringLiteral("Connected to: ") + socket->RemoteAddress());
    m_lines.link().joined(socket);
}

void ConversationControl::ClientSocketDisconnect(QObject *, TCustomWinSocket *socket)
{
    m_view.setStatus(QStringLiteral("Disconnected"));
    m_lines.link().ended(socket);
}

void ConversationControl::ClientSocketError(QObject *, TCustomWinSocket *socket, TErrorEvent errorEvent,
                                            int &errorCode)
{
    const bool attempt = errorEvent == TErrorEvent::eeConnect || errorEvent == TErrorEvent::eeLookup;
    if (!attempt && errorCode == ETIMEDOUT) {
        // The connection was up and the host stopped answering.
        m_lines.failures().write(FailureLines::linkLost());
        m_lines.link().closing(socket);
        errorCode = 0;
        m_view.setStatus(QStringLiteral("Disconnected"));
        return;
    }
    ITranscript &transcript = m_view.transcript();
    transcript.setColour(colours::kSystem);
    transcript.appendLine(QStringLiteral("Error connecting to:") + m_client.Host());
    errorCode = 0;
    m_view.setStatus(QStringLiteral("Disconnected"));
}

} // namespace natter
