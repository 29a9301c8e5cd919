#include "ui/shellactions.h"

#include "router/routerportoption.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace natter {

QString manualPageUrl(const QString &programDirectory)
{
    return QUrl::fromLocalFile(programDirectory + QLatin1String(kManualPageName)).toString();
}

void OpenWebSite(IShell &shell, const QString &programDirectory)
{
    shell.openUrl(manualPageUrl(programDirectory));
}

QList<InterfaceAddress> systemInterfaceAddresses()
{
    QList<InterfaceAddress> result;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto flags = iface.flags();
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            result.append(InterfaceAddress{
                iface.humanReadableName(), entry.ip(), flags.testFlag(QNetworkInterface::IsUp),
                flags.testFlag(QNetworkInterface::IsRunning),
                flags.testFlag(QNetworkInterface::IsLoopBack) || entry.ip().isLoopback()});
        }
    }
    return result;
}

namespace {

// An IPv6 address a joiner on another network can reach this computer at.
bool globalIpv6(const QHostAddress &a)
{
    bool ipv4Mapped = false;
    a.toIPv4Address(&ipv4Mapped);
    return a.protocol() == QAbstractSocket::IPv6Protocol && !ipv4Mapped && !a.isLoopback() &&
           !a.isLinkLocal() && !a.isSiteLocal() && !a.isMulticast() &&
           a != QHostAddress(QHostAddress::AnyIPv6);
}

} // namespace

QStringList listAddressesForJoiner(const QList<InterfaceAddress> &addresses)
{
    QStringList others;
    QStringList loopbacks;
    QStringList ipv6;
    QStringList seen;
    for (const InterfaceAddress &a : addresses) {
        const bool ipv4 = a.address.protocol() == QAbstractSocket::IPv4Protocol;
        if (!a.up || !a.running || (!ipv4 && !globalIpv6(a.address)))
            continue;
        QHostAddress plain = a.address;
        plain.setScopeId(QString());
        const QString ip = plain.toString();
        if (seen.contains(ip))
            continue;
        seen.append(ip);
        const QString shown =
            a.interfaceName.isEmpty() ? ip : QStringLiteral("%1 (%2)").arg(ip, a.interfaceName);
        (!ipv4 ? ipv6 : a.loopback ? loopbacks : others).append(shown);
    }
    return others + loopbacks + ipv6;
}

namespace {

// The router option and a label saying what became of it.
void addRouterPortOption(QVBoxLayout *layout, QDialog *dialog, RouterPortOption *option)
{
    auto *box = new QCheckBox(RouterPortOption::caption(), dialog);
    box->setObjectName(QStringLiteral("RouterPort"));
    box->setAccessibleName(RouterPortOption::caption());
    box->setChecked(option->checked());
    auto *status = new QLabel(option->status(), dialog);
    status->setObjectName(QStringLiteral("RouterPortStatus"));
    status->setWordWrap(true);
    status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QObject::connect(box, &QCheckBox::toggled, option, &RouterPortOption::setChecked);
    QObject::connect(option, &RouterPortOption::statusChanged, status, &QLabel::setText);
    layout->addWidget(box);
    layout->addWidget(status);
}

} // namespace

QDialog *createMyIpDialog(const QStringList &addresses, QWidget *parent, RouterPortOption *routerPort)
{
    auto *dialog = new QDialog(parent);
    dialog->setObjectName(QStringLiteral("MyIpDialog"));
    dialog->setWindowTitle(QStringLiteral("My IP address"));
    dialog->setWindowIcon(QApplication::windowIcon());
    auto *layout = new QVBoxLayout(dialog);
    auto *intro = new QLabel(
        addresses.isEmpty()
            ? QStringLiteral("This computer has no active network connection.")
            : QStringLiteral("Give the joiner one of these addresses (the first is usually the right one):"),
        dialog);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto *grid = new QGridLayout;
    int row = 0;
    for (const QString &entry : addresses) {
        const QString ip = entry.section(QLatin1Char(' '), 0, 0);
        auto *field = new QLineEdit(ip, dialog);
        field->setReadOnly(true);
        field->setObjectName(QStringLiteral("Address%1").arg(row));
        auto *name = new QLabel(entry.mid(ip.size()).trimmed(), dialog);
        auto *copy = new QPushButton(QStringLiteral("Copy"), dialog);
        copy->setAutoDefault(false);
        QObject::connect(copy, &QPushButton::clicked, field, [field] {
            field->selectAll();
            QApplication::clipboard()->setText(field->text());
        });
        grid->addWidget(field, row, 0);
        grid->addWidget(name, row, 1);
        grid->addWidget(copy, row, 2);
        ++row;
    }
    layout->addLayout(grid);
    if (routerPort != nullptr)
        addRouterPortOption(layout, dialog, routerPort);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog->resize(360, dialog->sizeHint().height());
    return dialog;
}

QDialog *ShowMyIpAddresses(QWidget *parent, RouterPortOption *routerPort)
{
    // One window at a time: asked for again, the open one comes to the front.
    QDialog *dialog =
        parent ? parent->findChild<QDialog *>(QStringLiteral("MyIpDialog"), Qt::FindDirectChildrenOnly)
               : nullptr;
    if (dialog == nullptr) {
        dialog = createMyIpDialog(listAddressesForJoiner(systemInterfaceAddresses()), parent, routerPort);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setModal(false);
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    return dialog;
}

} // namespace natter
