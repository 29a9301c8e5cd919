#pragma once

#include "conversation/conversationview.h"
#include "platform/services.h"

#include <QMainWindow>

class QAction;
class QFrame;
class QPushButton;
class QLabel;
class QLineEdit;
class QMenu;
class QToolBar;
class QToolButton;

namespace natter {

class SendPanel;
class TClientSocket;
class TranscriptView;
class TServerSocket;
class TWaveComp;

// What the chat window's commands do. The window is built before the
// subsystems behind it; they implement this and attach it to the window.
class IWindowCommands {
public:
    virtual ~IWindowCommands() = default;
    virtual void send() = 0;
    virtual void changeName() = 0;
    virtual void changePort() = 0;
    virtual void listen() = 0;
    virtual void connectToHost() = 0;
    virtual void disconnect() = 0;
    virtual void absent() = 0;
    // The plain-conversation bar's [Send unencrypted].
    virtual void sendUnencrypted() = 0;
    // Settings > "Only encrypted" was ticked or cleared.
    virtual void onlyEncryptedChanged() = 0;
    virtual void clearChat() = 0;
    virtual void saveChat() = 0;
    virtual void readLogs() = 0;
    virtual void help() = 0;
    virtual void webSite() = 0;
    virtual void myIpAddress() = 0;
    virtual void about() = 0;
    // Before the window closes.
    virtual void closing() = 0;
};

// The chat window. Its handlers keep the names of the controls and events
// they serve; each one is a few lines that hand the work to the commands
// attached, wrapped so that no exception leaves into the toolkit. With no
// commands attached the handlers do nothing.
class Tnatterform : public QMainWindow, public IConversationView {
    Q_OBJECT

public:
    explicit Tnatterform(ISoundService &sound, QWidget *parent = nullptr,
                         qsizetype transcriptCharacters = kTranscriptCharacters);
    ~Tnatterform() override;

    // IConversationView
    ITranscript &transcript() override;
    QString status() const override;
    void setStatus(const QString &text) override;
    QString entryText() const override;
    void setEntryText(const QString &text) override;
    QString userName() const override;
    void setUserName(const QString &name) override;
    bool listenChecked() const override;
    void setListenChecked(bool checked) override;
    bool absentDown() const override;
    void setAbsentDown(bool down) override;
    void setSecurityState(SecurityState state) override;
    void setCode(const QString &shown) override;
    void setPlainBarShown(bool shown) override;
    bool onlyEncrypted() const override;

    // Controls, under the names the rest of the program and the tests use.
    QToolBar *ToolBar = nullptr;
    QToolButton *ToolButton2 = nullptr; // "Absent"
    QToolButton *ToolButton4 = nullptr; // "Listen"
    QToolButton *ToolButton6 = nullptr; // "Connect"
    QToolButton *ToolButton8 = nullptr; // "Disconnect"
    TranscriptView *Page = nullptr;
    QLineEdit *Entry = nullptr;
    SendPanel *Panel = nullptr;
    QLabel *StatusPanel = nullptr;
    QLabel *CodePanel = nullptr;     // the host's code, beside the status
    QLabel *SecurityPanel = nullptr; // "Encrypted", "NOT encrypted", ...
    // Above the entry box while a plain conversation holds the user's lines.
    QFrame *PlainBar = nullptr;
    QPushButton *SendUnencrypted = nullptr;
    QPushButton *PlainDisconnect = nullptr;
    QMenu *PopupMenu = nullptr;

    // The two connection endpoints and the chime, owned by the window.
    TClientSocket *ClientSocket = nullptr;
    TServerSocket *ServerSocket = nullptr;
    TWaveComp *Soundwave = nullptr;

    QAction *Savetext1 = nullptr;
    QAction *Readlogs1 = nullptr;
    QAction *Cleartext1 = nullptr;
    QAction *Exit1 = nullptr;
    QAction *Name1 = nullptr;
    QAction *Port1 = nullptr;
    QAction *Listen1 = nullptr;
    QAction *Connect1 = nullptr;
    QAction *Disconnect1 = nullptr;
    QAction *Onlyencrypted1 = nullptr;
    QAction *Natter1 = nullptr;
    QAction *Website1 = nullptr;
    QAction *MyIP1 = nullptr;
    QAction *About1 = nullptr;
    QAction *Savetext2 = nullptr;
    QAction *Cleartext2 = nullptr;

    // Handlers of the menu items, tool-bar buttons, Send panel and entry box.
    void Savetext1Click();
    void Readlogs1Click();
    void Cleartext1Click();
    void Exit1Click();
    void Name1Click();
    void Port1Click();
    void Listen1Click();
    void Connect1Click();
    void Disconnect1Click();
    void Onlyencrypted1Click();
    void SendUnencryptedClick();
    void Natter1Click();
    void Website1Click();
    void MyIP1Click();
    void About1Click();
    void Savetext2Click();
    void Cleartext2Click();
    void ToolButton2Click();
    void ToolButton4Click();
    void ToolButton6Click();
    void ToolButton8Click();
    void PanelClick();
    void PanelMouseDown();
    void PanelMouseUp();
    void EntryKeyDown(int key);

    // Attaches the commands the handlers delegate to; null detaches them.
    void setCommands(IWindowCommands *commands) { m_commands = commands; }

Q_SIGNALS:
    // The window has closed; being the main window, the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FormClose();
    void buildMenus();
    void buildToolBar();
    void buildClientArea(qsizetype transcriptCharacters);
    void buildStatusBar();
    void buildPlainBar();
    void layoutClientArea();
    void run(void (IWindowCommands::*command)());

    IWindowCommands *m_commands = nullptr;
    QWidget *m_client = nullptr;
    bool m_closing = false;
};

} // namespace natter
