#include "app/wiring.h"

#include "app/natterform.h"
#include "app/transcriptview.h"
#include "conversation/admission.h"
#include "conversation/chatlines.h"
#include "conversation/conversationcontrol.h"
#include "net/scktcomp.h"
#include "router/portmapping.h"
#include "router/routerportoption.h"
#include "sound/qtsoundservice.h"
#include "sound/wave.h"
#include "ui/aboutunit.h"
#include "ui/helpunit.h"
#include "ui/shellactions.h"
#include "ui/transcriptcommands.h"

#include <functional>
#include <vector>

namespace natter {

namespace {

// Everything behind one chat window: the window's commands, and the handlers
// of its endpoints bound to the subsystem that does the work.
class Subsystems final : public WindowSet, public IWindowCommands {
public:
    Subsystems(Tnatterform &window, Services services, std::unique_ptr<PortMapper> routerPort)
        : m_window(window), m_services(services), m_about(std::make_unique<TAboutBox>()),
          m_help(std::make_unique<Thelpform>(services.system)),
          m_lines(window, *window.ClientSocket, *window.ServerSocket),
          m_admission(window, *window.ServerSocket, m_lines,
                      [this] {
                          m_window.Soundwave->Play();
                          askForAttention();
                      }),
          m_control(window, services.prompt, services.messages, *window.ClientSocket, *window.ServerSocket,
                    m_lines),
          m_commands(window.transcript(), services.saveDialog, services.shell, services.system),
          m_routerPort(std::move(routerPort))
    {
        bindEndpoints();
        bindRouterPort();
        const QMetaObject::Connection peerLines =
            QObject::connect(window.Page, &TranscriptView::lineAppended, &window, [this](QRgb colour) {
                if (colour == colours::kPeer)
                    askForAttention();
            });
        m_unbind.push_back([peerLines] { QObject::disconnect(peerLines); });
        m_window.setCommands(this);
    }

    ~Subsystems() override
    {
        m_window.setCommands(nullptr);
        for (const auto &unbind : m_unbind)
            unbind();
    }

    void send() override { m_lines.Send(); }
    void changeName() override { m_control.Name1Click(); }
    void changePort() override { m_control.Port1Click(); }
    void listen() override { m_control.Listen1Click(); }
    void connectToHost() override { m_control.Connect1Click(); }
    void disconnect() override { m_control.Disconnect1Click(); }
    void absent() override { m_control.ToolButton2Click(); }
    void sendUnencrypted() override { m_lines.link().sendUnencrypted(); }
    void onlyEncryptedChanged() override { m_lines.link().onlyEncryptedChanged(); }
    void clearChat() override { m_commands.Clear(); }
    void saveChat() override { m_commands.Save(); }
    void readLogs() override { m_commands.ReadLogs(); }
    void help() override { m_help->showHelp(); }
    void webSite() override { OpenWebSite(m_services.shell, m_services.system.programDirectory()); }
    void myIpAddress() override { ShowMyIpAddresses(&m_window, &m_routerPort); }
    void about() override { m_about->exec(); }
    void closing() override { m_control.FormClose(); }

private:
    // A peer's line or a new peer while the window is in the background.
    void askForAttention()
    {
        if (!m_window.isActiveWindow())
            m_services.attention.requestAttention(&m_window);
    }

    // Assigns an endpoint's handler slot, to be cleared again when the
    // subsystems go.
    template <typename Slot, typename Handler> void bind(Slot &slot, Handler handler)
    {
        slot = std::move(handler);
        m_unbind.push_back([&slot] { slot = nullptr; });
    }

    void bindEndpoints()
    {
        TClientSocket &client = *m_window.ClientSocket;
        TServerWinSocket &server = *m_window.ServerSocket->Socket();
        ConversationControl *control = &m_control;
        bind(client.OnConnecting, std::bind_front(&ConversationControl::ClientSocketConnecting, control));
        bind(client.OnConnect, std::bind_front(&ConversationControl::ClientSocketConnect, control));
        bind(client.OnDisconnect, std::bind_front(&ConversationControl::ClientSocketDisconnect, control));
        bind(client.OnError, std::bind_front(&ConversationControl::ClientSocketError, control));
        bind(client.OnRead, std::bind_front(&ChatLines::ClientSocketRead, &m_lines));
        bind(server.OnClientRead, std::bind_front(&ChatLines::ServerSocketClientRead, &m_lines));
        HostAdmission *admission = &m_admission;
        bind(m_window.ServerSocket->OnAccept, std::bind_front(&HostAdmission::ServerSocketAccept, admission));
        bind(server.OnClientConnect, std::bind_front(&HostAdmission::ServerSocketClientConnect, admission));
        bind(server.OnClientDisconnect,
             std::bind_front(&HostAdmission::ServerSocketClientDisconnect, admission));
        bind(server.OnClientError, std::bind_front(&HostAdmission::ServerSocketClientError, admission));
    }

    // The router option follows the listening endpoint: its port from the
    // moment it is bound until it closes. Its outcomes go to the transcript.
    void bindRouterPort()
    {
        TServerSocket &server = *m_window.ServerSocket;
        RouterPortOption *option = &m_routerPort;
        bind(server.OnListen, [option](QObject *, TCustomWinSocket *socket) {
            option->setListeningPort(quint16(socket->LocalPort()));
        });
        bind(server.OnDisconnect, [option](QObject *, TCustomWinSocket *) { option->setListeningPort(0); });
        QObject::connect(option, &RouterPortOption::outcome, &m_window, [this](const QString &text) {
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
    std::vector<std::function<void()>> m_unbind;
};

} // namespace

std::unique_ptr<WindowSet> attachSubsystems(Tnatterform &window, Services services,
                                            std::unique_ptr<PortMapper> routerPort)
{
    return std::make_unique<Subsystems>(window, services, std::move(routerPort));
}

std::unique_ptr<ISoundService> makeSoundService()
{
    return std::make_unique<QtSoundService>();
}

} // namespace natter
