#include "router/mappingoutcome.h"

#include <QHostAddress>

namespace natter {

namespace {

bool inRange(quint32 address, quint32 network, int bits)
{
    const quint32 mask = ~quint32(0) << (32 - bits);
    return (address & mask) == network;
}

} // namespace

QString PortMappingOutcome::text() const
{
    switch (kind) {
    case Kind::Closed:
        return {};
    case Kind::Looking:
        return QStringLiteral("Looking for the router . . .");
    case Kind::Open:
        return QStringLiteral("From the Internet: %1 port %2").arg(address).arg(port);
    case Kind::NoRouter:
        return QStringLiteral("No router answered (UPnP or NAT-PMP)");
    case Kind::Refused:
        return QStringLiteral("The router refused: %1").arg(reason);
    case Kind::NotPublic:
        return QStringLiteral("The router's own address is not public (%1 is behind another NAT): joiners "
                              "from the Internet cannot reach you; let the other side host")
            .arg(address);
    }
    return {};
}

bool isPublicAddress(const QString &text)
{
    QHostAddress address;
    if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return true;
    const quint32 a = address.toIPv4Address();
    return !(inRange(a, 0x0A000000, 8) || inRange(a, 0xAC100000, 12) || inRange(a, 0xC0A80000, 16) ||
             inRange(a, 0x64400000, 10));
}

} // namespace natter
