#pragma once

#include "conversation/conversationview.h"
#include "messaging/securechannel.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>
#include <optional>

namespace natter {

class FailureLines;
class TCustomWinSocket;

// The conversation's one connection between the sockets and the chat lines:
// it decides whether the partner's copy can encrypt (docs/protocol.md), runs
// the handshake keyed by the host's one-time code, seals the user's lines
// and opens the partner's, or keeps today's plain bytes with an old copy.
// Lines typed before the decision, or before the user has agreed to a plain
// conversation, wait here and are echoed when they leave.
//
// The host's code lives only here and in the window's code panel: it never
// goes into the transcript.
class SecureLink {
public:
    // How long the first bytes may keep the decision waiting, and how long
    // the handshake may take after the offer.
    static constexpr int kDecisionMs = 5000;
    static constexpr int kHandshakeMs = 10000;
    // Wrong codes after which the host draws a new one.
    static constexpr int kWrongCodeLimit = 3;
    // Lines that may wait for the decision or the user's agreement.
    static constexpr int kWaitingLimit = 100;

    SecureLink(IConversationView &view, FailureLines &failures);
    ~SecureLink();
    SecureLink(const SecureLink &) = delete;
    SecureLink &operator=(const SecureLink &) = delete;

    // Host: Listen drew a fresh code, shown while no joiner is connected, or
    // hosting stopped (no code shown).
    void startListening();
    void stopListening();
    // Host: the first connection was accepted; `absent` holds the absent
    // notice back until the decision.
    void hostAccepted(TCustomWinSocket *socket, bool absent);

    // Joiner: the code typed at Connect (six digits, or empty for none).
    void setJoinCode(const QByteArray &code);
    // Joiner: the connection is up; the offer goes out at once.
    void joined(TCustomWinSocket *socket);

    // The conversation's connection is about to be closed from this side,
    // after a grey line that says why.
    void closing(const TCustomWinSocket *socket);
    // The conversation's connection closed (either side).
    void ended(TCustomWinSocket *socket);
    // Disconnect or the window closing: an encrypted conversation ends with
    // its final record.
    void endOrderly();

    // The bytes of one read event: the partner's lines are shown; bad input
    // closes the connection with one grey line.
    void receive(TCustomWinSocket *socket, const QByteArray &bytes);
    // The text received on `socket`: opened lines in an encrypted
    // conversation, the bytes otherwise.
    qint64 receivedText(const TCustomWinSocket *socket) const;

    // The user's chat line (`text` as typed; `line` its 8-bit form with the
    // user name): the bytes to send now, or nothing when it waits here (it
    // is echoed once it leaves) or was refused (with a grey line; `refused`
    // is then set and the line should stay in the entry box).
    std::optional<QByteArray> outgoing(TCustomWinSocket *carrier, const QString &text, const QByteArray &line,
                                       bool &refused);

    // Whether so much of the user's text waits for a partner that does not
    // read that no new line is taken. In an encrypted conversation it is the
    // lines' text that counts, not their records.
    bool outgoingFull(const TCustomWinSocket *carrier);

    // The user agreed to a plain conversation ([Send unencrypted]).
    void sendUnencrypted();
    // The "Only encrypted" option changed: a plain conversation closes.
    void onlyEncryptedChanged();

    SecurityState state() const { return m_state; }

private:
    enum class Phase { Idle, Deciding, Handshake, Encrypted, Plain, Closed };
    struct Waiting {
        QString text;
        QByteArray line;
    };

    bool isCurrent(const TCustomWinSocket *socket) const;
    void begin(TCustomWinSocket *socket, secure::Role role);
    void decideHost(const QByteArray &bytes);
    void decideJoiner(const QByteArray &bytes);
    void decisionTimedOut();
    void startHandshake(const QByteArray &afterOffer);
    void feedChannel(const QByteArray &bytes);
    void failed(secure::Failure failure);
    void wrongCode();
    void goPlain(const QByteArray &firstBytes);
    void established();
    void showPeerText(const QByteArray &text);
    void flushWaiting();
    void dropWaiting();
    void closeRefused(const QString &line);
    void close(const QString &line);
    void setState(SecurityState state, const QString &line);
    void send(const QByteArray &bytes);
    QByteArray seal(const QByteArray &line);
    void drawCode();

    IConversationView &m_view;
    FailureLines &m_failures;
    QTimer m_decision;
    QTimer m_handshake;

    QByteArray m_hostCode;
    int m_wrongCodes = 0;
    QByteArray m_joinCode;

    QPointer<TCustomWinSocket> m_socket;
    secure::Role m_role = secure::Role::Host;
    Phase m_phase = Phase::Idle;
    SecurityState m_state = SecurityState::None;
    std::unique_ptr<secure::SecureChannel> m_channel;
    QByteArray m_first; // host: the first bytes, until they decide
    bool m_absentHeld = false;
    bool m_plainAgreed = false;
    bool m_finalSeen = false;
    bool m_closing = false; // closed from this side: nothing more to say
    qint64 m_receivedText = 0;
    QList<Waiting> m_waiting;
    // Records handed to the socket and perhaps not yet taken by the platform,
    // oldest first: their sizes on the wire and as text.
    struct Sealed {
        qsizetype frame;
        qsizetype text;
    };
    std::deque<Sealed> m_sealed;
    qsizetype m_sealedFrames = 0;
    qsizetype m_sealedText = 0;
};

} // namespace natter
