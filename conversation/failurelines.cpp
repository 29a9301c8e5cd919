#include "conversation/failurelines.h"

#include "net/socketerrors.h"

#include <cerrno>

namespace natter {

namespace {

// Repeats of the last line within this time are dropped.
constexpr qint64 kRepeatWindowMs = 5000;

} // namespace

FailureLines::FailureLines(IConversationView &view) : m_view(view) {}

void FailureLines::write(const QString &line)
{
    if (line == m_last && m_lastWritten.isValid() && m_lastWritten.elapsed() < kRepeatWindowMs)
        return;
    m_last = line;
    m_lastWritten.start();
    ITranscript &transcript = m_view.transcript();
    transcript.setColour(colours::kSystem);
    transcript.appendLine(line);
}

QString FailureLines::closedBy(int errorCode)
{
    if (errorCode == ETIMEDOUT)
        return linkLost();
    return QStringLiteral("Connection closed: %1.").arg(socketErrorText(errorCode));
}

QString FailureLines::receivedTooMuch()
{
    return QStringLiteral("Connection closed: the peer sent more than 4 MB.");
}

QString FailureLines::linkLost()
{
    return QStringLiteral("Connection lost: the other computer stopped answering.");
}

QString FailureLines::peerNotReading()
{
    return QStringLiteral("The peer is not reading: line not sent.");
}

QString FailureLines::transcriptFull()
{
    return QStringLiteral("Connection closed: the chat window is full. Save the chat and clear it to go on.");
}

} // namespace natter
