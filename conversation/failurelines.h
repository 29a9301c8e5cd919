#pragma once

#include "conversation/conversationview.h"

#include <QElapsedTimer>
#include <QString>

namespace natter {

// Grey transcript lines about a connection that ended or a line that was
// not taken, for reasons the peer caused. Such failures can come in storms
// (many joiners that connect and reset at once), so a line that repeats the
// one written last within a few seconds is dropped: a storm writes one line,
// never a stack of them.
class FailureLines {
public:
    explicit FailureLines(IConversationView &view);

    void write(const QString &line);

    // "Connection closed: " and the platform's text for the code; a link
    // that stopped answering (ETIMEDOUT) has a line of its own.
    static QString closedBy(int errorCode);
    static QString receivedTooMuch();
    static QString linkLost();
    static QString peerNotReading();
    static QString transcriptFull();

private:
    IConversationView &m_view;
    QString m_last;
    QElapsedTimer m_lastWritten;
};

} // namespace natter
