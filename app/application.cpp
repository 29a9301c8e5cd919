#include "app/application.h"

#include "app/natterform.h"
#include "app/wiring.h"
#include "platform/exceptions.h"
#include "router/portmapping.h"

#include <QApplication>
#include <QIcon>

// The icon and other resources live in a static library; make sure they link.
static void initResources()
{
    Q_INIT_RESOURCE(natter);
}

namespace natter {

struct NatterApplication::Parts {
    QtMessageBox messages;
    QtInputPrompt prompt;
    QtExceptionReport report;
    QtSaveDialog saveDialog;
    QtShell shell{messages};
    QtSystemFacts system;
    QtAttention attention;
    std::unique_ptr<ISoundService> sound = makeSoundService();
    std::unique_ptr<Tnatterform> main;
    std::unique_ptr<WindowSet> windows;

    Services services()
    {
        return Services{prompt, messages, report, saveDialog, shell, system, *sound, attention};
    }
};

NatterApplication::NatterApplication() : m_parts(std::make_unique<Parts>())
{
    // No display name: the window system would add it to every caption.
    QApplication::setApplicationName(QStringLiteral("natter"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.2.13"));
    // Taskbars find the desktop entry by this name (and, on X11, by the
    // window class, which is the application name: StartupWMClass=natter).
    QGuiApplication::setDesktopFileName(QStringLiteral("natter-duo"));
    initResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/natter/natter.png")));
    // The program ends when the main window closes, whatever else is open.
    QApplication::setQuitOnLastWindowClosed(false);
    setApplicationExceptionReport(&m_parts->report);

    m_parts->main = std::make_unique<Tnatterform>(*m_parts->sound);
    m_main = m_parts->main.get();
    m_parts->windows = attachSubsystems(*m_main, m_parts->services(), std::make_unique<PortMapper>());
    QObject::connect(m_main, &Tnatterform::closed, qApp, &QApplication::quit, Qt::QueuedConnection);
}

NatterApplication::~NatterApplication()
{
    m_parts->windows.reset();
    m_parts->main.reset();
    setApplicationExceptionReport(nullptr);
}

int NatterApplication::run()
{
    m_main->show();
    return QApplication::exec();
}

} // namespace natter
