#pragma once

// The connection layer's failures: its exception types and message texts.

#include "platform/exceptions.h"

#include <QString>

namespace natter {

// The kind of operation that failed.
enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// The network layer's exception: one message text.
class ESocketError : public Exception {
public:
    using Exception::Exception;
};

// Raised by an out-of-range index into a list ("List index out of bounds (%d)").
class EListError : public Exception {
public:
    using Exception::Exception;
};

// The platform's description of an error code (errno, or a negative
// resolver code).
QString socketErrorText(int code);
// "Windows socket error: %s (%d), on API '%s'"
QString windowsSocketError(int code, const QString &api);
// "Asynchronous socket error %d": a failure that arrived as a notification.
QString asynchronousError(int code);

// Hands a message to the application's exception report at once, as if it
// had been raised and left a handler.
void reportSocketError(const QString &message) noexcept;

} // namespace natter
