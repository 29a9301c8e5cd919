#pragma once

#include "platform/services.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QDialog;
class QWidget;

namespace natter {

class PortMapper;
struct PortMappingOutcome;

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

// The My IP address window's "Open the port on my router while listening":
// unchecked at every start, kept for the run. While it is checked and the
// host listens, the listening port is mapped on the home router; nothing is
// sent to the router otherwise.
class RouterPortOption : public QObject {
    Q_OBJECT

public:
    explicit RouterPortOption(std::unique_ptr<PortMapper> mapper, QObject *parent = nullptr);
    ~RouterPortOption() override;

    static QString caption() { return QStringLiteral("Open the port on my router while listening"); }

    bool checked() const { return m_checked; }
    void setChecked(bool checked);
    // The port the host listens on, or 0 when it does not listen.
    void setListeningPort(quint16 port);
    // What became of the mapping, for the window's label.
    QString status() const;

Q_SIGNALS:
    void statusChanged(const QString &status);
    // An outcome worth a line in the transcript: the router's answer, or
    // that none came. Once per outcome.
    void outcome(const QString &text);

private:
    void follow();
    void mapperChanged(const PortMappingOutcome &outcome);

    std::unique_ptr<PortMapper> m_mapper;
    bool m_checked = false;
    quint16 m_port = 0;
    quint16 m_mappedPort = 0;
};

// Help > My IP address: a window listing this computer's addresses (IPv4,
// then IPv6),
// each in a field of its own with a Copy button, and the router option with
// its status. Modal; returns when closed.
void ShowMyIpAddresses(QWidget *parent, RouterPortOption *routerPort = nullptr);

// The dialog itself, built but not shown, for callers that show it their way.
QDialog *createMyIpDialog(const QStringList &addresses, QWidget *parent,
                          RouterPortOption *routerPort = nullptr);

} // namespace natter
