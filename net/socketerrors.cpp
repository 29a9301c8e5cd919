#include "net/socketerrors.h"

#include <cstring>

#include <netdb.h>

namespace natter {

QString socketErrorText(int code)
{
    if (code < 0)
        return QString::fromLocal8Bit(gai_strerror(code));
    return QString::fromLocal8Bit(std::strerror(code));
}

QString windowsSocketError(int code, const QString &api)
{
    return QStringLiteral("Windows socket error: %1 (%2), on API '%3'")
        .arg(socketErrorText(code))
        .arg(code)
        .arg(api);
}

QString asynchronousError(int code)
{
    return QStringLiteral("Asynchronous socket error %1").arg(code);
}

void reportSocketError(const QString &message) noexcept
{
    try {
        throw ESocketError(message);
    } catch (...) {
        handleCurrentException();
    }
}

} // namespace natter
