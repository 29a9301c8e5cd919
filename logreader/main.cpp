// The Natter Duo log reader: opens saved chat logs (.ntl) read-only.
#include "logreader/logreaderwindow.h"
#include "platform/exceptions.h"
#include "platform/logfolder.h"
#include "platform/qtservices.h"

#include <QApplication>
#include <QIcon>
#include <QStringList>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The application name is also the window class on X11, the desktop
    // entry's StartupWMClass.
    QApplication::setApplicationName(QStringLiteral("Natter Duo Log Reader"));
    QGuiApplication::setDesktopFileName(QStringLiteral("natter-duo-logreader"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/natter/natter.png")));
    natter::QtMessageBox messages;
    natter::QtExceptionReport report;
    natter::setApplicationExceptionReport(&report);

    natter::logreader::LogReaderWindow window(messages);
    // The reader sits beside the chat program and looks where it saves logs.
    window.setLogFolder(natter::logFolder(natter::QtSystemFacts().programDirectory()));
    window.show();
    const QStringList args = QApplication::arguments();
    if (args.size() > 1)
        window.openFile(args.at(1));
    const int result = QApplication::exec();
    natter::setApplicationExceptionReport(nullptr);
    return result;
}
