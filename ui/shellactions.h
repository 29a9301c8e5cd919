#pragma once

#include "platform/services.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

namespace natter {

class RouterPortOption;

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

// The addresses worth giving to a joiner, each once, as "address
// (interface)", from interfaces that are up and running: the IPv4 ones
// (loopback last), then the IPv6 ones of global scope (never loopback or
// link-local, which a joiner elsewhere cannot use).
QStringList listAddressesForJoiner(const QList<InterfaceAddress> &addresses);

// Help > My IP address: a window listing this computer's addresses (IPv4,
// then IPv6), each in a field of its own with a Copy button, and the router
// option with its status. It stays open beside the chat window, which goes
// on working (press Listen and watch the status), until the user closes it;
// returns it at once.
QDialog *ShowMyIpAddresses(QWidget *parent, RouterPortOption *routerPort = nullptr);

// The dialog itself, built but not shown, for callers that show it their way.
QDialog *createMyIpDialog(const QStringList &addresses, QWidget *parent,
                          RouterPortOption *routerPort = nullptr);

} // namespace natter
