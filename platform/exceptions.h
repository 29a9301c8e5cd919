#pragma once

#include <QString>

#include <exception>
#include <utility>

namespace natter {

// Base of the program's exceptions: one message text.
class Exception : public std::exception {
public:
    explicit Exception(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// The silent exception: ends a handler without any report.
class EAbort : public Exception {
public:
    EAbort() : Exception(QString()) {}
};

class IExceptionReport;

// The text the exception report shows: the message, with "." appended when
// the message is not empty and its last character sorts after ".".
QString exceptionReportText(const QString &message);

// The application's exception report. The program installs its real report at
// start-up; tests install a recording double. With none installed, reports go
// to the log so nothing is silently lost.
void setApplicationExceptionReport(IExceptionReport *report);
IExceptionReport *applicationExceptionReport();

// Shows `message` in the application's exception report as an exception
// carrying it would be shown: for a failure a handler meets as a result.
void reportError(const QString &message) noexcept;

// Hands the exception being handled (call from a catch block) to the report:
// EAbort is dropped, anything else shown, and the event loop carries on.
void handleCurrentException() noexcept;

// Runs `f`, the body of an event handler, so that no exception unwinds into
// the toolkit's frames: whatever leaves it goes to the exception report.
template <typename F> void guarded(F &&f) noexcept
{
    try {
        std::forward<F>(f)();
    } catch (...) {
        handleCurrentException();
    }
}

} // namespace natter
