#pragma once

#include "messaging/transcript.h"

#include <QString>

namespace natter {

// What the status bar's security panel says of the conversation.
enum class SecurityState {
    None,         // no conversation
    Securing,     // deciding what the partner's copy speaks, or in the handshake
    Encrypted,    // every line travels sealed
    NotEncrypted, // the partner's copy cannot encrypt: lines travel in today's wire form
    Refused,      // closed before anything typed was sent
};
// The panel's text: "Securing...", "Encrypted", "NOT encrypted", "Refused".
QString securityText(SecurityState state);

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

    // The security panel beside the status (empty for None).
    virtual void setSecurityState(SecurityState state) = 0;
    // The host's code as shown ("482 917") beside the status; empty hides it.
    virtual void setCode(const QString &shown) = 0;
    // The bar above the entry box that holds lines back from a plain
    // conversation until the user agrees.
    virtual void setPlainBarShown(bool shown) = 0;
    // Check mark of Settings > "Only encrypted".
    virtual bool onlyEncrypted() const = 0;
};

} // namespace natter
