#pragma once

#include "messaging/transcript.h"

#include <QString>

namespace natter {

// What the conversation logic (control, sending and receiving, admission)
// sees of the chat window: its transcript, status text, entry box and the
// few controls whose state doubles as program state.
class IConversationView {
public:
    virtual ~IConversationView() = default;

    virtual ITranscript &transcript() = 0;

    virtual QString status() const = 0;
    virtual void setStatus(const QString &text) = 0;

    virtual QString entryText() const = 0;
    virtual void setEntryText(const QString &text) = 0;

    // The user name, "User" until changed.
    virtual QString userName() const = 0;
    virtual void setUserName(const QString &name) = 0;

    // Check mark of Settings > "Listen": whether the user asked to host.
    virtual bool listenChecked() const = 0;
    virtual void setListenChecked(bool checked) = 0;

    // Down state of the "Absent" tool-bar button.
    virtual bool absentDown() const = 0;
    virtual void setAbsentDown(bool down) = 0;
};

} // namespace natter
