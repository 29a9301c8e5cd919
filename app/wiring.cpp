#include "app/wiring.h"

#include "app/natterform.h"
#include "conversation/admission.h"
#include "conversation/chatlines.h"
#include "conversation/conversationcontrol.h"
#include "net/portmapping.h"
#include "net/scktcomp.h"
#include "sound/qtsoundservice.h"
#include "sound/wave.h"
#include "ui/aboutunit.h"
#include "ui/helpunit.h"
#include "ui/shellactions.h"
#include "ui/transcriptcommands.h"

namespace natter {

namespace {

// Everything behind one chat window. The handlers of the window's controls
// and endpoints are bound here to the subsystem that does the work.
class Subsystems final : public WindowSet {
public:
    Subsystems(Tnatterform &window, Services services)
        : m_window(window), m_services(services), m_about(std::make_unique<TAboutBox>()),
          m_help(std::make_unique<Thelpform>(services)),
          m_lines(window, *window.ClientSocket, *window.ServerSocket),
          m_admission(window, *window.ServerSocket, m_lines, [&window] { window.Soundwave->Play(); }),
          m_control(window, services.prompt, services.messages, *window.ClientSocket, *window.ServerSocket,
                    m_lines),
          m_commands(window.transcript(), services, &window), m_routerPort(std::make_unique<PortMapper>())
    {
        bindEndpoints();
        bindActions();
        bindRouterPort();
    }

    ~Subsystems() override
    {
        m_window.actions() = {};
        TClientSocket &client = *m_window.ClientSocket;
        TServerSocket &server = *m_window.ServerSocket;
        client.OnConnecting = client.OnConnect = client.OnDisconnect = client.OnRead = nullptr;
        client.OnError = nullptr;
        server.OnAccept = nullptr;
        server.Socket()->OnClientConnect = server.Socket()->OnClientDisconnect = nullptr;
        server.Socket()->OnClientRead = nullptr;
        server.OnListen = server.OnDisconnect = nullptr;
        server.Socket()->OnClientError = nullptr;
    }

private:
    void bindEndpoints()
    {
        TClientSocket &client = *m_window.ClientSocket;
        TServerSocket &server = *m_window.ServerSocket;
        ConversationControl &c = m_control;
        client.OnConnecting = [&c](QObject *s, TCustomWinSocket *k) { c.ClientSocketConnecting(s, k); };
        client.OnConnect = [&c](QObject *s, TCustomWinSocket *k) { c.ClientSocketConnect(s, k); };
        client.OnDisconnect = [&c](QObject *s, TCustomWinSocket *k) { c.ClientSocketDisconnect(s, k); };
        client.OnError = [&c](QObject *s, TCustomWinSocket *k, TErrorEvent e, int &code) {
            c.ClientSocketError(s, k, e, code);
        };
        ChatLines &l = m_lines;
        client.OnRead = [&l](QObject *s, TCustomWinSocket *k) { l.ClientSocketRead(s, k); };
        server.Socket()->OnClientRead = [&l](QObject *s, TCustomWinSocket *k) {
            l.ServerSocketClientRead(s, k);
        };
        HostAdmission &a = m_admission;
        server.OnAccept = [&a](QObject *s, TCustomWinSocket *k) { a.ServerSocketAccept(s, k); };
        server.Socket()->OnClientConnect = [&a](QObject *s, TCustomWinSocket *k) {
            a.ServerSocketClientConnect(s, k);
        };
        server.Socket()->OnClientDisconnect = [&a](QObject *s, TCustomWinSocket *k) {
            a.ServerSocketClientDisconnect(s, k);
        };
        server.Socket()->OnClientError = [&a](QObject *s, TCustomWinSocket *k, TErrorEvent e, int &code) {
            a.ServerSocketClientError(s, k, e, code);
        };
    }

    void bindActions()
    {
        Tnatterform::Actions &a = m_window.actions();
        a.send = [this] { m_lines.Send(); };
        a.name = [this] { m_control.Name1Click(); };
        a.port = [this] { m_control.Port1Click(); };
        a.listen = [this] { m_control.Listen1Click(); };
        a.connect = [this] { m_control.Connect1Click(); };
        a.disconnect = [this] { m_control.Disconnect1Click(); };
        a.absent = [this] { m_control.ToolButton2Click(); };
        a.closing = [this] { m_control.FormClose(); };
        a.clearChat = [this] { m_commands.Clear(); };
        a.saveChat = [this] { m_commands.Save(); };
        a.readLogs = [this] { m_commands.ReadLogs(); };
        a.help = [this] { m_help->showHelp(); };
        a.about = [this] { m_about->exec(); };
        a.website = [this] { OpenWebSite(m_services.shell, m_services.system.programDirectory()); };
        a.myIp = [this] { ShowMyIpAddresses(&m_window, &m_routerPort); };
    }

    // The router option follows the listening endpoint: its port from the
    // moment it is bound until it closes. Its outcomes go to the transcript.
    void bindRouterPort()
    {
        TServerSocket &server = *m_window.ServerSocket;
        RouterPortOption &option = m_routerPort;
        server.OnListen = [&option](QObject *, TCustomWinSocket *socket) {
            option.setListeningPort(quint16(socket->LocalPort()));
        };
        server.OnDisconnect = [&option](QObject *, TCustomWinSocket *) { option.setListeningPort(0); };
        QObject::connect(&option, &RouterPortOption::outcome, &m_window, [this](const QString &text) {
            ITranscript &transcript = m_window.transcript();
            transcript.setColour(colours::kSystem);
            transcript.appendLine(text);
        });
    }

    Tnatterform &m_window;
    Services m_services;
    // The About box and the help window come right after the main window.
    std::unique_ptr<TAboutBox> m_about;
    std::unique_ptr<Thelpform> m_help;
    ChatLines m_lines;
    HostAdmission m_admission;
    ConversationControl m_control;
    TranscriptCommands m_commands;
    RouterPortOption m_routerPort;
};

} // namespace

std::unique_ptr<WindowSet> attachSubsystems(Tnatterform &window, Services services)
{
    return std::make_unique<Subsystems>(window, services);
}

std::unique_ptr<ISoundService> makeSoundService()
{
    return std::make_unique<QtSoundService>();
}

} // namespace natter
