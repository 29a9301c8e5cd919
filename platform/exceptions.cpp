#include "platform/exceptions.h"

#include "platform/services.h"

#include <QDebug>

namespace natter {

namespace {
IExceptionReport *g_report = nullptr;
}

QString exceptionReportText(const QString &message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void setApplicationExceptionReport(IExceptionReport *report)
{
    g_report = report;
}

IExceptionReport *applicationExceptionReport()
{
    return g_report;
}

void handleCurrentException() noexcept
{
    QString message;
    try {
        throw;
    } catch (const EAbort &) {
        return;
    } catch (const Exception &e) {
        message = e.message();
    } catch (const std::exception &e) {
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        message = QStringLiteral("Unknown exception");
    }
    reportError(message);
}

void reportError(const QString &message) noexcept
{
    const QString text = exceptionReportText(message);
    try {
        if (g_report)
            g_report->showException(text);
        else
            qWarning().noquote() << "Natter Duo:" << text;
    } catch (...) {
        qWarning().noquote() << "Natter Duo: exception while reporting:" << text;
    }
}

} // namespace natter
