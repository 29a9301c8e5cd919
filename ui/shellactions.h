#pragma once

#include "platform/services.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

namespace natter {

// The manual as a web page, kept in the program directory.
inline constexpr const char *kManualPageName = "natter-duo.html";

// The address of the manual page in `programDirectory`.
QString manualPageUrl(const QString &programDirectory);

// Help > Web site: the manual page in the user's browser.
void OpenWebSite(IShell &shell, const QString &programDirectory);

// One address of one network interface, as the system reports it.
struct InterfaceAddress {
    QString interfaceName;
    QHostAddress address;
    bool up = false;
    bool running = false;
    bool loopback = false;
};

// Every address of every interface of this computer.
QList<InterfaceAddress> systemInterfaceAddresses();

// The IPv4 addresses worth giving to a joiner: those of interfaces that are
// up and running, loopback ones last, each once, as "address (interface)".
QStringList listIpv4Addresses(const QList<InterfaceAddress> &addresses);

// Help > My IP address: a window listing this computer's IPv4 addresses,
// each in a field of its own with a Copy button. Modal; returns when closed.
void ShowMyIpAddresses(QWidget *parent);

// The dialog itself, built but not shown, for callers that show it their way.
QDialog *createMyIpDialog(const QStringList &addresses, QWidget *parent);

} // namespace natter
