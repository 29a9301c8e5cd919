#include "conversation/securelink.h"

#include "conversation/failurelines.h"
#include "conversation/notices.h"
#include "messaging/cipher.h"
#include "messaging/codec1252.h"
#include "net/winsocket.h"

namespace natter {

using secure::Failure;
using secure::Role;

namespace {

QString interfering()
{
    return QStringLiteral("Refused: the host did not start encryption, so someone may be interfering with "
                          "the connection. Nothing was sent.");
}

QString failureLine(Failure failure)
{
    switch (failure) {
    case Failure::WrongCode:
        return QStringLiteral("Refused: the code was wrong. Nothing was sent.");
    case Failure::NeedCode:
        return QStringLiteral("Refused: your partner's window shows a code. Ask your partner for it and "
                              "connect again.");
    case Failure::BadConfirmation:
        return QStringLiteral("Refused: the host could not prove that it knows the code, so someone may be "
                              "interfering with the connection. Nothing was sent.");
    case Failure::BadHandshake:
        return QStringLiteral("Connection closed: the partner sent a malformed handshake.");
    case Failure::Integrity:
        return QStringLiteral("Connection closed: a line failed its integrity check, so someone may be "
                              "interfering with the connection.");
    case Failure::TooLong:
        return QStringLiteral("Connection closed: the partner sent a frame over the limit.");
    case Failure::AfterFinal:
        return QStringLiteral("Connection closed: the partner sent more after ending the conversation.");
    case Failure::None:
        break;
    }
    return QString();
}

// A partner's opened line as the transcript shows it: no control characters.
QByteArray printable(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
            out += c;
    return out;
}

} // namespace

QString securityText(SecurityState state)
{
    switch (state) {
    case SecurityState::Securing:
        return QStringLiteral("Securing...");
    case SecurityState::Encrypted:
        return QStringLiteral("Encrypted");
    case SecurityState::NotEncrypted:
        return QStringLiteral("NOT encrypted");
    case SecurityState::Refused:
        return QStringLiteral("Refused");
    case SecurityState::None:
        break;
    }
    return QString();
}

SecureLink::SecureLink(IConversationView &view, FailureLines &failures) : m_view(view), m_failures(failures)
{
    m_decision.setSingleShot(true);
    m_decision.setInterval(kDecisionMs);
    m_decision.callOnTimeout([this] { decisionTimedOut(); });
    m_handshake.setSingleShot(true);
    m_handshake.setInterval(kHandshakeMs);
    m_handshake.callOnTimeout([this] {
        closeRefused(
            QStringLiteral("Connection closed: the conversation was not secured within 10 seconds."));
    });
}

SecureLink::~SecureLink() = default;

void SecureLink::drawCode()
{
    m_hostCode = secure::drawCode();
    m_wrongCodes = 0;
    if (m_phase == Phase::Idle) // else it shows once this conversation is over
        m_view.setCode(secure::showCode(m_hostCode));
}

void SecureLink::startListening()
{
    drawCode();
}

void SecureLink::stopListening()
{
    m_hostCode.fill('\0');
    m_hostCode.clear();
    m_view.setCode(QString());
}

void SecureLink::setJoinCode(const QByteArray &code)
{
    m_joinCode = code;
}

bool SecureLink::isCurrent(const TCustomWinSocket *socket) const
{
    return socket != nullptr && m_socket == socket && m_phase != Phase::Idle;
}

void SecureLink::begin(TCustomWinSocket *socket, Role role)
{
    m_decision.stop();
    m_handshake.stop();
    m_waiting.clear();
    m_channel.reset();
    m_socket = socket;
    m_role = role;
    m_phase = Phase::Deciding;
    m_first.clear();
    m_absentHeld = false;
    m_plainAgreed = false;
    m_finalSeen = false;
    m_closing = false;
    m_receivedText = 0;
    m_sealed.clear();
    m_sealedFrames = 0;
    m_sealedText = 0;
    m_view.setPlainBarShown(false);
    setState(SecurityState::Securing, QStringLiteral("Securing the conversation..."));
    m_decision.start();
}

void SecureLink::hostAccepted(TCustomWinSocket *socket, bool absent)
{
    m_view.setCode(QString()); // only while waiting for a joiner
    begin(socket, Role::Host);
    m_absentHeld = absent;
}

void SecureLink::joined(TCustomWinSocket *socket)
{
    begin(socket, Role::Joiner);
    m_handshake.start();
    send(secure::offerWire());
}

void SecureLink::closing(const TCustomWinSocket *socket)
{
    if (isCurrent(socket))
        m_closing = true;
}

void SecureLink::ended(TCustomWinSocket *socket)
{
    if (!isCurrent(socket))
        return;
    m_decision.stop();
    m_handshake.stop();
    if (!m_closing) {
        if (m_phase == Phase::Encrypted && !m_finalSeen)
            m_failures.write(QStringLiteral("The connection ended without the partner's goodbye: the last "
                                            "lines may be missing."));
        else if (m_phase == Phase::Handshake || (m_phase == Phase::Deciding && m_role == Role::Joiner))
            m_failures.write(QStringLiteral("The partner left before the conversation was secured."));
    }
    dropWaiting();
    m_phase = Phase::Idle;
    m_channel.reset();
    m_socket = nullptr;
    m_view.setPlainBarShown(false);
    if (m_role == Role::Host && !m_hostCode.isEmpty())
        m_view.setCode(secure::showCode(m_hostCode));
    if (m_state != SecurityState::Refused) {
        m_state = SecurityState::None;
        m_view.setSecurityState(m_state);
    }
}

void SecureLink::endOrderly()
{
    if (m_phase == Phase::Idle)
        return;
    dropWaiting();
    if (m_phase == Phase::Encrypted)
        send(m_channel->sealFinal());
    m_closing = true;
}

qint64 SecureLink::receivedText(const TCustomWinSocket *socket) const
{
    return isCurrent(socket) ? m_receivedText : socket->BytesReceived();
}

void SecureLink::receive(TCustomWinSocket *socket, const QByteArray &bytes)
{
    if (!isCurrent(socket)) {
        showPeerText(cipher::decode(bytes));
        return;
    }
    switch (m_phase) {
    case Phase::Deciding:
        m_role == Role::Host ? decideHost(bytes) : decideJoiner(bytes);
        break;
    case Phase::Handshake:
    case Phase::Encrypted:
        feedChannel(bytes);
        break;
    case Phase::Plain:
        m_receivedText += bytes.size();
        showPeerText(cipher::decode(bytes));
        break;
    case Phase::Idle:
    case Phase::Closed:
        break;
    }
}

void SecureLink::decideHost(const QByteArray &bytes)
{
    m_first += bytes;
    switch (secure::matchOffer(m_first)) {
    case secure::OfferMatch::Prefix:
        return;
    case secure::OfferMatch::Offer:
        startHandshake(m_first.mid(secure::offerWire().size()));
        return;
    case secure::OfferMatch::NotOffer:
        goPlain(std::exchange(m_first, QByteArray()));
        return;
    }
}

void SecureLink::decideJoiner(const QByteArray &bytes)
{
    m_decision.stop();
    if (static_cast<unsigned char>(bytes.front()) < 0x20) {
        m_phase = Phase::Handshake;
        m_channel = std::make_unique<secure::SecureChannel>(Role::Joiner, m_joinCode);
        feedChannel(bytes);
    } else if (!m_joinCode.isEmpty()) {
        closeRefused(interfering());
    } else {
        goPlain(bytes);
    }
}

void SecureLink::decisionTimedOut()
{
    if (m_phase != Phase::Deciding)
        return;
    if (m_role == Role::Joiner && !m_joinCode.isEmpty())
        closeRefused(interfering());
    else
        goPlain(std::exchange(m_first, QByteArray()));
}

void SecureLink::startHandshake(const QByteArray &afterOffer)
{
    m_decision.stop();
    m_phase = Phase::Handshake;
    m_handshake.start();
    m_channel = std::make_unique<secure::SecureChannel>(Role::Host, m_hostCode);
    send(m_channel->start());
    if (m_phase == Phase::Handshake && !afterOffer.isEmpty())
        feedChannel(afterOffer);
}

void SecureLink::feedChannel(const QByteArray &bytes)
{
    const secure::SecureChannel::Output out = m_channel->receive(bytes);
    if (!out.send.isEmpty())
        send(out.send);
    if (out.established && m_phase == Phase::Handshake)
        established();
    for (const QByteArray &line : out.lines) {
        if (m_phase != Phase::Encrypted)
            return;
        m_receivedText += qMax<qsizetype>(line.size(), 1); // an empty record costs too
        if (!line.isEmpty())
            showPeerText(printable(line));
    }
    if (out.finished)
        m_finalSeen = true;
    if (out.failure != Failure::None && m_phase != Phase::Idle)
        failed(out.failure);
}

void SecureLink::failed(Failure failure)
{
    if (failure == Failure::WrongCode && m_role == Role::Host) {
        wrongCode();
    } else if (m_phase == Phase::Encrypted) {
        close(failureLine(failure));
    } else {
        closeRefused(failureLine(failure));
    }
}

void SecureLink::wrongCode()
{
    ++m_wrongCodes;
    QString line = QStringLiteral("Someone at %1 tried a wrong code (%2 of %3)")
                       .arg(m_socket ? m_socket->RemoteAddress() : QString())
                       .arg(m_wrongCodes)
                       .arg(kWrongCodeLimit);
    if (m_wrongCodes >= kWrongCodeLimit) {
        drawCode();
        line += QStringLiteral(": a new code is shown");
    }
    closeRefused(line);
}

void SecureLink::goPlain(const QByteArray &firstBytes)
{
    m_decision.stop();
    m_handshake.stop();
    if (m_view.onlyEncrypted()) {
        closeRefused(QStringLiteral("Refused: your partner's copy of Natter Duo cannot encrypt, and Only "
                                    "encrypted is on. Nothing was sent."));
        return;
    }
    m_phase = Phase::Plain;
    setState(SecurityState::NotEncrypted,
             QStringLiteral("NOT encrypted: your partner's copy of Natter Duo cannot encrypt."));
    m_view.setPlainBarShown(true);
    if (m_absentHeld)
        send(notices::kAbsent.toByteArray());
    if (!firstBytes.isEmpty() && m_phase == Phase::Plain) {
        m_receivedText += firstBytes.size();
        showPeerText(cipher::decode(firstBytes));
    }
}

void SecureLink::established()
{
    m_handshake.stop();
    m_phase = Phase::Encrypted;
    setState(SecurityState::Encrypted, QStringLiteral("Encrypted: only your partner can read this "
                                                      "conversation."));
    if (m_role == Role::Host)
        drawCode(); // a code serves one conversation
    if (m_absentHeld)
        send(seal(cipher::decode(notices::kAbsent)));
    flushWaiting();
}

void SecureLink::showPeerText(const QByteArray &text)
{
    ITranscript &transcript = m_view.transcript();
    transcript.setColour(colours::kPeer);
    transcript.appendLine(cp1252::toUnicode(text));
}

std::optional<QByteArray> SecureLink::outgoing(TCustomWinSocket *carrier, const QString &text,
                                               const QByteArray &line, bool &refused)
{
    refused = false;
    if (!isCurrent(carrier))
        return cipher::encode(line);
    if (m_waiting.isEmpty()) {
        if (m_phase == Phase::Encrypted)
            return seal(line);
        if (m_phase == Phase::Plain && m_plainAgreed)
            return cipher::encode(line);
    }
    if (m_phase == Phase::Closed || m_waiting.size() >= kWaitingLimit) {
        refused = true;
        ITranscript &transcript = m_view.transcript();
        transcript.setColour(colours::kSystem);
        transcript.appendLine(QStringLiteral("Too many lines wait to be sent: line not sent."));
        return std::nullopt;
    }
    m_waiting.append({text, line});
    return std::nullopt;
}

void SecureLink::flushWaiting()
{
    while (!m_waiting.isEmpty() &&
           (m_phase == Phase::Encrypted || (m_phase == Phase::Plain && m_plainAgreed))) {
        const Waiting next = m_waiting.takeFirst();
        send(m_phase == Phase::Encrypted ? seal(next.line) : cipher::encode(next.line));
        ITranscript &transcript = m_view.transcript();
        transcript.setColour(colours::kOwn);
        transcript.appendLine(next.text);
    }
}

void SecureLink::dropWaiting()
{
    ITranscript &transcript = m_view.transcript();
    for (const Waiting &w : std::exchange(m_waiting, {})) {
        transcript.setColour(colours::kSystem);
        transcript.appendLine(QStringLiteral("Not sent: ") + w.text);
    }
}

void SecureLink::sendUnencrypted()
{
    if (m_phase != Phase::Plain || m_plainAgreed)
        return;
    m_plainAgreed = true;
    m_view.setPlainBarShown(false);
    ITranscript &transcript = m_view.transcript();
    transcript.setColour(colours::kSystem);
    transcript.appendLine(QStringLiteral("You agreed to send lines unencrypted."));
    flushWaiting();
}

void SecureLink::onlyEncryptedChanged()
{
    if (m_phase == Phase::Plain && m_view.onlyEncrypted()) {
        if (m_plainAgreed)
            close(QStringLiteral("Connection closed: it is not encrypted, and Only encrypted is on."));
        else
            closeRefused(QStringLiteral("Refused: your partner's copy of Natter Duo cannot encrypt, and "
                                        "Only encrypted is on. Nothing was sent."));
    }
}

void SecureLink::closeRefused(const QString &line)
{
    if (m_phase == Phase::Idle)
        return;
    m_view.setPlainBarShown(false);
    setState(SecurityState::Refused, line);
    close(QString());
}

void SecureLink::close(const QString &line)
{
    if (m_phase == Phase::Idle)
        return;
    m_decision.stop();
    m_handshake.stop();
    if (!line.isEmpty())
        m_failures.write(line);
    dropWaiting();
    m_phase = Phase::Closed;
    m_closing = true;
    if (m_socket)
        m_socket->Close(); // the disconnect event ends the link
}

void SecureLink::setState(SecurityState state, const QString &line)
{
    m_state = state;
    m_view.setSecurityState(state);
    ITranscript &transcript = m_view.transcript();
    transcript.setColour(colours::kSystem);
    transcript.appendLine(line);
}

QByteArray SecureLink::seal(const QByteArray &line)
{
    QByteArray record = m_channel->seal(line);
    m_sealed.push_back({record.size(), line.size()});
    m_sealedFrames += record.size();
    m_sealedText += line.size();
    return record;
}

bool SecureLink::outgoingFull(const TCustomWinSocket *carrier)
{
    if (!isCurrent(carrier) || m_phase != Phase::Encrypted)
        return carrier->OutgoingFull();
    // Bytes leave in order: the records older than what still waits are gone.
    const qsizetype pending = carrier->PendingOutput();
    while (!m_sealed.empty() && m_sealedFrames - m_sealed.front().frame >= pending) {
        m_sealedFrames -= m_sealed.front().frame;
        m_sealedText -= m_sealed.front().text;
        m_sealed.pop_front();
    }
    return m_sealedText >= kOutgoingLimit;
}

void SecureLink::send(const QByteArray &bytes)
{
    if (m_socket)
        m_socket->SendText(bytes);
}

} // namespace natter
