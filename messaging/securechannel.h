#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <memory>

// The encrypted conversation between two copies that can encrypt
// (docs/protocol.md): the offer, the password-authenticated handshake keyed
// by the host's one-time code, and one record stream each way. Pure byte
// work: it never touches a socket or a timer, so the connection code decides
// when to feed it and what to do with what it returns.

namespace natter::secure {

// The offer line's plain text (80 characters, even length) and its wire form.
QByteArrayView offerText();
QByteArray offerWire();

// How the first bytes a host received compare with the offer's wire form.
enum class OfferMatch {
    Prefix,   // all of them agree with the start of the offer: wait for more
    Offer,    // they begin with the whole offer
    NotOffer, // an old joiner's text
};
OfferMatch matchOffer(QByteArrayView firstBytes);

// A fresh six-digit code ("482917") and the way it is shown ("482 917").
QByteArray drawCode();
QString showCode(QByteArrayView code);
// The code the user typed, spaces removed, when it is six digits; an empty
// answer stays empty; anything else gives a null array.
QByteArray parseCode(QByteArrayView typed);

enum class Failure {
    None,
    WrongCode,        // host: the joiner's tag did not match; joiner: the host said refused
    NeedCode,         // joiner without a code met a host that starts the handshake
    BadHandshake,     // a malformed handshake frame, an invalid point, the wrong roles or version
    BadConfirmation,  // joiner: the host's tag did not match
    Integrity,        // a record failed to open, plain text or an unexpected frame after the handshake
    TooLong,          // a frame longer than its type allows
    AfterFinal,       // anything after the peer's final record
};

enum class Role { Host, Joiner };

class SecureChannel {
public:
    // `code`: six ASCII digits; a joiner may pass an empty one.
    SecureChannel(Role role, QByteArrayView code);
    ~SecureChannel(); // wipes every secret
    SecureChannel(const SecureChannel &) = delete;
    SecureChannel &operator=(const SecureChannel &) = delete;

    // Host: the hello frame to send once the offer has been read.
    QByteArray start();

    struct Output {
        QByteArray send;         // frames to send now, in this order
        QList<QByteArray> lines; // chat lines opened, in order
        bool established = false; // set once, by the call that finished the handshake
        bool finished = false;    // the peer's final record arrived
        Failure failure = Failure::None; // set: close the connection (after sending `send`)
    };
    // Feed bytes received after the offer; partial frames are kept.
    Output receive(QByteArrayView bytes);

    bool isEstablished() const;
    // Record frames for one chat line (several records past 65,518 bytes).
    QByteArray seal(QByteArrayView line);
    // The final record of an orderly end.
    QByteArray sealFinal();

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace natter::secure
