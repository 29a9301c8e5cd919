#include "app/natterform.h"

#include "app/sendpanel.h"
#include "app/transcriptview.h"
#include "net/scktcomp.h"
#include "platform/exceptions.h"
#include "sound/wave.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace natter {

namespace {

constexpr int kToolBarHeight = 29;
constexpr int kEntryHeight = 26;
constexpr int kPanelWidth = 45;
constexpr int kPanelHeight = 27;

QAction *addItem(QMenu *menu, const QString &caption, const char *objectName,
                 const QKeySequence &shortcut = QKeySequence())
{
    QAction *action = menu->addAction(caption);
    action->setObjectName(QLatin1String(objectName));
    if (!shortcut.isEmpty())
        action->setShortcut(shortcut);
    return action;
}

QToolButton *addButton(QToolBar *bar, const QString &caption, const char *objectName, bool checkable = false)
{
    auto *button = new QToolButton(bar);
    button->setObjectName(QLatin1String(objectName));
    button->setText(caption);
    button->setAccessibleName(caption);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setAutoRaise(true);
    button->setCheckable(checkable);
    button->setFixedSize(61, 21);
    // The toolkit's sans font runs wider than the classic one; a pixel less
    // keeps "Disconnect" whole in the fixed button width.
    QFont f = button->font();
    f.setPixelSize(10);
    button->setFont(f);
    button->setFocusPolicy(Qt::NoFocus);
    bar->addWidget(button);
    return button;
}

// The entry box keeps the draft unselected when it gains the focus, so the
// next key adds to the draft instead of replacing it.
class EntryBox final : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void focusInEvent(QFocusEvent *event) override
    {
        switch (event->reason()) {
        case Qt::TabFocusReason:
        case Qt::BacktabFocusReason:
        case Qt::ShortcutFocusReason: {
            QFocusEvent plain(event->type(), Qt::OtherFocusReason);
            QLineEdit::focusInEvent(&plain);
            break;
        }
        default:
            QLineEdit::focusInEvent(event);
        }
    }
};

void addSeparator(QToolBar *bar, int width, const char *objectName)
{
    auto *gap = new QWidget(bar);
    gap->setObjectName(QLatin1String(objectName));
    gap->setFixedSize(width, 21);
    bar->addWidget(gap);
}

} // namespace

Tnatterform::Tnatterform(ISoundService &sound, QWidget *parent, qsizetype transcriptCharacters)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("natterform"));
    setWindowTitle(QStringLiteral("Natter Duo"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(0xA0, 0xA0, 0xA4));
    setPalette(p);
    QFont f = font();
    f.setPixelSize(11);
    setFont(f);

    buildMenus();
    buildToolBar();
    buildClientArea(transcriptCharacters);

    ClientSocket = new TClientSocket(this);
    ClientSocket->setObjectName(QStringLiteral("ClientSocket"));
    ServerSocket = new TServerSocket(this);
    ServerSocket->setObjectName(QStringLiteral("ServerSocket"));
    Soundwave = new TWaveComp(sound, this);
    Soundwave->setObjectName(QStringLiteral("Soundwave"));
    Soundwave->LoadEmbeddedChime();

    buildStatusBar();

    setMinimumSize(300, 300);
    resize(300, 450);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    Entry->setFocus();
}

Tnatterform::~Tnatterform() = default;

void Tnatterform::buildStatusBar()
{
    auto *bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setFixedHeight(19);
    bar->setSizeGripEnabled(true);
    StatusPanel = new QLabel(bar);
    StatusPanel->setObjectName(QStringLiteral("StatusPanel"));
    StatusPanel->setMinimumWidth(100);
    StatusPanel->setTextFormat(Qt::PlainText);
    StatusPanel->setAccessibleDescription(QStringLiteral("Status"));
    bar->addWidget(StatusPanel, 1);
    CodePanel = new QLabel(bar);
    CodePanel->setObjectName(QStringLiteral("CodePanel"));
    CodePanel->setTextFormat(Qt::PlainText);
    CodePanel->setAccessibleDescription(QStringLiteral("Code for your partner"));
    CodePanel->setToolTip(QStringLiteral("Tell your partner this code by voice or in person"));
    CodePanel->hide();
    bar->addWidget(CodePanel);
    SecurityPanel = new QLabel(bar);
    SecurityPanel->setObjectName(QStringLiteral("SecurityPanel"));
    SecurityPanel->setTextFormat(Qt::PlainText);
    SecurityPanel->setAccessibleDescription(QStringLiteral("Encryption"));
    bar->addPermanentWidget(SecurityPanel);
    setStatusBar(bar);
}

void Tnatterform::buildPlainBar()
{
    PlainBar = new QFrame(m_client);
    PlainBar->setObjectName(QStringLiteral("PlainBar"));
    PlainBar->setAutoFillBackground(true);
    QPalette p = PlainBar->palette();
    p.setColor(QPalette::Window, QColor(0xFF, 0xE0, 0xE0));
    PlainBar->setPalette(p);
    auto *layout = new QVBoxLayout(PlainBar);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->setSpacing(2);
    auto *text = new QLabel(QStringLiteral("Anyone on the network can read this conversation."), PlainBar);
    text->setObjectName(QStringLiteral("PlainBarText"));
    text->setWordWrap(true);
    layout->addWidget(text);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    SendUnencrypted = new QPushButton(QStringLiteral("Send unencrypted"), PlainBar);
    SendUnencrypted->setObjectName(QStringLiteral("SendUnencrypted"));
    buttons->addWidget(SendUnencrypted);
    PlainDisconnect = new QPushButton(QStringLiteral("Disconnect"), PlainBar);
    PlainDisconnect->setObjectName(QStringLiteral("PlainDisconnect"));
    buttons->addWidget(PlainDisconnect);
    layout->addLayout(buttons);
    PlainBar->hide();
    connect(SendUnencrypted, &QPushButton::clicked, this, &Tnatterform::SendUnencryptedClick);
    connect(PlainDisconnect, &QPushButton::clicked, this, &Tnatterform::Disconnect1Click);
}

void Tnatterform::buildMenus()
{
    QMenu *file = menuBar()->addMenu(QStringLiteral("File"));
    Savetext1 = addItem(file, QStringLiteral("Save chat"), "Savetext1", QKeySequence(Qt::CTRL | Qt::Key_S));
    Readlogs1 = addItem(file, QStringLiteral("Read logs"), "Readlogs1", QKeySequence(Qt::CTRL | Qt::Key_R));
    Cleartext1 =
        addItem(file, QStringLiteral("Clear chat"), "Cleartext1", QKeySequence(Qt::CTRL | Qt::Key_X));
    file->addSeparator()->setObjectName(QStringLiteral("N1"));
    Exit1 = addItem(file, QStringLiteral("Exit"), "Exit1");

    QMenu *settings = menuBar()->addMenu(QStringLiteral("Settings"));
    Name1 = addItem(settings, QStringLiteral("User name"), "Name1");
    Port1 = addItem(settings, QStringLiteral("Port"), "Port1");
    settings->addSeparator()->setObjectName(QStringLiteral("N2"));
    Listen1 = addItem(settings, QStringLiteral("Listen"), "Listen1");
    Listen1->setCheckable(true);
    Connect1 = addItem(settings, QStringLiteral("Connect"), "Connect1");
    Disconnect1 = addItem(settings, QStringLiteral("Disconnect"), "Disconnect1");
    settings->addSeparator()->setObjectName(QStringLiteral("N3"));
    Onlyencrypted1 = addItem(settings, QStringLiteral("Only encrypted"), "Onlyencrypted1");
    Onlyencrypted1->setCheckable(true);

    QMenu *help = menuBar()->addMenu(QStringLiteral("Help"));
    Natter1 = addItem(help, QStringLiteral("Natter help"), "Natter1", QKeySequence(Qt::Key_F1));
    Website1 = addItem(help, QStringLiteral("Web site"), "Website1");
    MyIP1 = addItem(help, QStringLiteral("My IP address"), "MyIP1");
    help->addSeparator()->setObjectName(QStringLiteral("N5"));
    About1 = addItem(help, QStringLiteral("About . . ."), "About1");

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    Savetext2 = addItem(PopupMenu, QStringLiteral("Save chat"), "Savetext2");
    Cleartext2 = addItem(PopupMenu, QStringLiteral("Clear chat"), "Cleartext2");

    // The menu bar's actions are also the window's, so their shortcuts work
    // while the menus are closed.
    for (QAction *a : {Savetext1, Readlogs1, Cleartext1, Natter1})
        addAction(a);

    connect(Savetext1, &QAction::triggered, this, &Tnatterform::Savetext1Click);
    connect(Readlogs1, &QAction::triggered, this, &Tnatterform::Readlogs1Click);
    connect(Cleartext1, &QAction::triggered, this, &Tnatterform::Cleartext1Click);
    connect(Exit1, &QAction::triggered, this, &Tnatterform::Exit1Click);
    connect(Name1, &QAction::triggered, this, &Tnatterform::Name1Click);
    connect(Port1, &QAction::triggered, this, &Tnatterform::Port1Click);
    connect(Listen1, &QAction::triggered, this, [this] {
        // The check mark records what the handler decides, not the click.
        Listen1->setChecked(!Listen1->isChecked());
        Listen1Click();
    });
    connect(Connect1, &QAction::triggered, this, &Tnatterform::Connect1Click);
    connect(Disconnect1, &QAction::triggered, this, &Tnatterform::Disconnect1Click);
    connect(Onlyencrypted1, &QAction::triggered, this, &Tnatterform::Onlyencrypted1Click);
    connect(Natter1, &QAction::triggered, this, &Tnatterform::Natter1Click);
    connect(Website1, &QAction::triggered, this, &Tnatterform::Website1Click);
    connect(MyIP1, &QAction::triggered, this, &Tnatterform::MyIP1Click);
    connect(About1, &QAction::triggered, this, &Tnatterform::About1Click);
    connect(Savetext2, &QAction::triggered, this, &Tnatterform::Savetext2Click);
    connect(Cleartext2, &QAction::triggered, this, &Tnatterform::Cleartext2Click);
}

void Tnatterform::buildToolBar()
{
    ToolBar = new QToolBar(QStringLiteral("User"), this);
    ToolBar->setObjectName(QStringLiteral("ToolBar"));
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    ToolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    ToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    ToolBar->setStyleSheet(
        QStringLiteral("QToolBar { min-height: 27px; max-height: 27px; border-top: 1px solid #707070; "
                       "border-bottom: 1px solid "
                       "#707070; spacing: 0px; }"
                       "QToolButton { padding: 0px; margin: 0px; }"
                       "QToolButton:checked { background: #808084; border: 1px inset #505050; }"));
    addToolBar(Qt::TopToolBarArea, ToolBar);
    ToolBar->setFixedHeight(kToolBarHeight);

    addSeparator(ToolBar, 8, "ToolButton1");
    ToolButton2 = addButton(ToolBar, QStringLiteral("Absent"), "ToolButton2", true);
    addSeparator(ToolBar, 10, "ToolButton3");
    ToolButton4 = addButton(ToolBar, QStringLiteral("Listen"), "ToolButton4");
    addSeparator(ToolBar, 10, "ToolButton5");
    ToolButton6 = addButton(ToolBar, QStringLiteral("Connect"), "ToolButton6");
    addSeparator(ToolBar, 10, "ToolButton7");
    ToolButton8 = addButton(ToolBar, QStringLiteral("Disconnect"), "ToolButton8");
    addSeparator(ToolBar, 10, "ToolButton9");

    // A check button has toggled before its click handler runs.
    connect(ToolButton2, &QToolButton::clicked, this, &Tnatterform::ToolButton2Click);
    connect(ToolButton4, &QToolButton::clicked, this, &Tnatterform::ToolButton4Click);
    connect(ToolButton6, &QToolButton::clicked, this, &Tnatterform::ToolButton6Click);
    connect(ToolButton8, &QToolButton::clicked, this, &Tnatterform::ToolButton8Click);
}

void Tnatterform::buildClientArea(qsizetype transcriptCharacters)
{
    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(m_client);

    Page = new TranscriptView(m_client, transcriptCharacters);
    Page->setObjectName(QStringLiteral("Page"));
    Page->setAccessibleName(QStringLiteral("Transcript"));
    Page->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Page, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { PopupMenu->popup(Page->viewport()->mapToGlobal(pos)); });

    Entry = new EntryBox(m_client);
    Entry->setObjectName(QStringLiteral("Entry"));
    Entry->setAccessibleName(QStringLiteral("Message"));
    Entry->setFrame(false);
    Entry->setFixedHeight(kEntryHeight);
    QPalette p = Entry->palette();
    p.setColor(QPalette::Base, Qt::white);
    Entry->setPalette(p);
    QFont f = Entry->font();
    f.setPixelSize(14);
    Entry->setFont(f);
    Entry->installEventFilter(this);

    Panel = new SendPanel(QStringLiteral("Send"), m_client);
    Panel->setObjectName(QStringLiteral("Panel"));
    Panel->setAccessibleName(QStringLiteral("Send"));
    connect(Panel, &SendPanel::clicked, this, &Tnatterform::PanelClick);
    connect(Panel, &SendPanel::mouseDown, this, &Tnatterform::PanelMouseDown);
    connect(Panel, &SendPanel::mouseUp, this, &Tnatterform::PanelMouseUp);

    buildPlainBar();
    setTabOrder(Entry, Page);
}

void Tnatterform::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    layoutClientArea();
}

// The transcript fills the space above the entry box; the entry box keeps
// its height at the bottom, and the Send panel sits in the bottom-right
// corner.
void Tnatterform::layoutClientArea()
{
    if (!m_client || !PlainBar)
        return;
    const int w = m_client->width();
    const int h = m_client->height();
    // The bar's text wraps in a narrow window: its height follows the width.
    const int wrapped = PlainBar->heightForWidth(w);
    const int barHeight = !PlainBar->isVisibleTo(this) ? 0
                          : wrapped > 0                ? wrapped
                                                       : PlainBar->sizeHint().height();
    Page->setGeometry(0, 0, w, qMax(0, h - kPanelHeight - barHeight));
    PlainBar->setGeometry(0, qMax(0, h - kPanelHeight - barHeight), w, barHeight);
    Entry->setGeometry(0, h - kEntryHeight, qMax(0, w - kPanelWidth), kEntryHeight);
    Panel->setGeometry(w - kPanelWidth, h - kPanelHeight, kPanelWidth, kPanelHeight);
}

bool Tnatterform::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Entry && event->type() == QEvent::KeyPress)
        EntryKeyDown(static_cast<QKeyEvent *>(event)->key());
    return QMainWindow::eventFilter(watched, event);
}

void Tnatterform::run(void (IWindowCommands::*command)())
{
    if (m_commands)
        guarded([this, command] { (m_commands->*command)(); });
}

// --- IConversationView ---------------------------------------------------

ITranscript &Tnatterform::transcript()
{
    return *Page;
}

QString Tnatterform::status() const
{
    return StatusPanel->text();
}

void Tnatterform::setStatus(const QString &text)
{
    StatusPanel->setText(text);
    // The panel's accessible name is its text, so screen readers read it.
    StatusPanel->setAccessibleName(text);
    QAccessibleEvent changed(StatusPanel, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

QString Tnatterform::entryText() const
{
    return Entry->text();
}

void Tnatterform::setEntryText(const QString &text)
{
    Entry->setText(text);
}

QString Tnatterform::userName() const
{
    return ToolBar->windowTitle();
}

void Tnatterform::setUserName(const QString &name)
{
    ToolBar->setWindowTitle(name);
}

bool Tnatterform::listenChecked() const
{
    return Listen1->isChecked();
}

void Tnatterform::setListenChecked(bool checked)
{
    Listen1->setChecked(checked);
}

bool Tnatterform::absentDown() const
{
    return ToolButton2->isChecked();
}

void Tnatterform::setAbsentDown(bool down)
{
    ToolButton2->setChecked(down);
}

void Tnatterform::setSecurityState(SecurityState state)
{
    const QString text = securityText(state);
    SecurityPanel->setText(text);
    SecurityPanel->setStyleSheet(state == SecurityState::NotEncrypted ? QStringLiteral("color: #FF0000;")
                                                                      : QString());
    SecurityPanel->setAccessibleName(text);
    QAccessibleEvent changed(SecurityPanel, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

void Tnatterform::setCode(const QString &shown)
{
    CodePanel->setText(shown);
    CodePanel->setAccessibleName(shown.isEmpty() ? QString() : QStringLiteral("Code ") + shown);
    CodePanel->setVisible(!shown.isEmpty());
}

void Tnatterform::setPlainBarShown(bool shown)
{
    PlainBar->setVisible(shown);
    layoutClientArea();
}

bool Tnatterform::onlyEncrypted() const
{
    return Onlyencrypted1->isChecked();
}

// --- Handlers --------------------------------------------------------------

void Tnatterform::Savetext1Click()
{
    run(&IWindowCommands::saveChat);
}
void Tnatterform::Readlogs1Click()
{
    run(&IWindowCommands::readLogs);
}
void Tnatterform::Cleartext1Click()
{
    run(&IWindowCommands::clearChat);
}
void Tnatterform::Exit1Click()
{
    close();
}
void Tnatterform::Name1Click()
{
    run(&IWindowCommands::changeName);
}
void Tnatterform::Port1Click()
{
    run(&IWindowCommands::changePort);
}
void Tnatterform::Listen1Click()
{
    run(&IWindowCommands::listen);
}
void Tnatterform::Connect1Click()
{
    run(&IWindowCommands::connectToHost);
}
void Tnatterform::Disconnect1Click()
{
    run(&IWindowCommands::disconnect);
}
void Tnatterform::Onlyencrypted1Click()
{
    run(&IWindowCommands::onlyEncryptedChanged);
}
void Tnatterform::SendUnencryptedClick()
{
    run(&IWindowCommands::sendUnencrypted);
}
void Tnatterform::Natter1Click()
{
    run(&IWindowCommands::help);
}
void Tnatterform::Website1Click()
{
    run(&IWindowCommands::webSite);
}
void Tnatterform::MyIP1Click()
{
    run(&IWindowCommands::myIpAddress);
}
void Tnatterform::About1Click()
{
    run(&IWindowCommands::about);
}
void Tnatterform::Savetext2Click()
{
    Savetext1Click();
}
void Tnatterform::Cleartext2Click()
{
    Cleartext1Click();
}
void Tnatterform::ToolButton2Click()
{
    run(&IWindowCommands::absent);
}
void Tnatterform::ToolButton4Click()
{
    Listen1Click();
}
void Tnatterform::ToolButton6Click()
{
    Connect1Click();
}
void Tnatterform::ToolButton8Click()
{
    Disconnect1Click();
}
void Tnatterform::PanelClick()
{
    run(&IWindowCommands::send);
}

void Tnatterform::PanelMouseDown()
{
    Panel->setPressedLook(true);
}

void Tnatterform::PanelMouseUp()
{
    Panel->setPressedLook(false);
}

void Tnatterform::EntryKeyDown(int key)
{
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        PanelClick();
}

void Tnatterform::FormClose()
{
    run(&IWindowCommands::closing);
}

void Tnatterform::closeEvent(QCloseEvent *event)
{
    if (!m_closing) {
        m_closing = true;
        FormClose();
    }
    event->accept();
    QMainWindow::closeEvent(event);
    Q_EMIT closed();
}

} // namespace natter
