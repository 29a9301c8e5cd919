#include "messaging/securechannel.h"

#include "messaging/cipher.h"
#include "messaging/cpace.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace natter::secure {

namespace {

// Frame types (docs/protocol.md, section 3).
enum FrameType : unsigned char {
    kHello = 0x01,
    kReply = 0x02,
    kConfirm = 0x03,
    kRecord = 0x04,
    kRefused = 0x05,
};

constexpr qsizetype kHeaderBytes = 3;
constexpr qsizetype kSidBytes = 16;
constexpr qsizetype kTagBytes = 64;
constexpr qsizetype kStreamHeaderBytes = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
constexpr qsizetype kRecordOverhead = crypto_secretstream_xchacha20poly1305_ABYTES;
constexpr qsizetype kMaxPayload = 0xFFFF;
constexpr qsizetype kMaxRecordLine = kMaxPayload - kRecordOverhead; // 65,518
constexpr std::size_t kStreamKeyBytes = crypto_secretstream_xchacha20poly1305_KEYBYTES;
static_assert(kStreamHeaderBytes == 24 && kRecordOverhead == 17 && kStreamKeyBytes == 32);

constexpr QByteArrayView kCi = "NatterDuo/1";
constexpr QByteArrayView kAdHost = "NatterDuo/1 host";
constexpr QByteArrayView kAdJoiner = "NatterDuo/1 joiner";

// lv_cat(Y, AD) with one-byte lengths: 1 + 32 + 1 + len(AD).
constexpr qsizetype messageBytes(QByteArrayView ad)
{
    return 2 + static_cast<qsizetype>(cpace::kPointBytes) + ad.size();
}
constexpr qsizetype kHelloBytes = kSidBytes + messageBytes(kAdHost);                        // 66
constexpr qsizetype kReplyBytes = messageBytes(kAdJoiner) + kTagBytes + kStreamHeaderBytes; // 140
constexpr qsizetype kConfirmBytes = kTagBytes + kStreamHeaderBytes;                         // 88

const unsigned char *bytes(QByteArrayView v)
{
    return reinterpret_cast<const unsigned char *>(v.data());
}

unsigned char *bytes(QByteArray &b)
{
    return reinterpret_cast<unsigned char *>(b.data());
}

void wipe(QByteArray &b)
{
    if (!b.isEmpty())
        sodium_memzero(b.data(), static_cast<std::size_t>(b.size()));
    b.clear();
}

QByteArray frame(FrameType type, QByteArrayView payload)
{
    QByteArray out;
    out.reserve(kHeaderBytes + payload.size());
    out.append(static_cast<char>(type));
    out.append(static_cast<char>((payload.size() >> 8) & 0xFF));
    out.append(static_cast<char>(payload.size() & 0xFF));
    out.append(payload);
    return out;
}

// The keys derived from ISK, wiped when they go.
struct Keys {
    std::array<unsigned char, 64> confirmHost{};
    std::array<unsigned char, 64> confirmJoiner{};
    std::array<unsigned char, kStreamKeyBytes> hostToJoiner{};
    std::array<unsigned char, kStreamKeyBytes> joinerToHost{};

    Keys() = default;
    Keys(const Keys &) = delete;
    Keys &operator=(const Keys &) = delete;
    ~Keys() { sodium_memzero(this, sizeof *this); }

    bool derive(const cpace::Isk &isk)
    {
        const auto one = [&isk](unsigned char *out, std::size_t size, QByteArrayView label) {
            return crypto_generichash(out, size, bytes(label), static_cast<unsigned long long>(label.size()),
                                      isk.data(), isk.size()) == 0;
        };
        return one(confirmHost.data(), confirmHost.size(), "NatterDuo/1 confirm host") &&
               one(confirmJoiner.data(), confirmJoiner.size(), "NatterDuo/1 confirm joiner") &&
               one(hostToJoiner.data(), hostToJoiner.size(), "NatterDuo/1 stream host to joiner") &&
               one(joinerToHost.data(), joinerToHost.size(), "NatterDuo/1 stream joiner to host");
    }
};

// HMAC-SHA-512 with a 64-byte key over sid || MSGa || MSGb.
bool confirmationTag(const std::array<unsigned char, 64> &key, QByteArrayView transcript,
                     std::array<unsigned char, kTagBytes> &tag)
{
    crypto_auth_hmacsha512_state state;
    const bool ok = crypto_auth_hmacsha512_init(&state, key.data(), key.size()) == 0 &&
                    crypto_auth_hmacsha512_update(&state, bytes(transcript),
                                                  static_cast<unsigned long long>(transcript.size())) == 0 &&
                    crypto_auth_hmacsha512_final(&state, tag.data()) == 0;
    sodium_memzero(&state, sizeof state);
    return ok;
}

// Reads lv_cat(Y, AD) at the start of `in`: a 32-byte share and the AD, each
// behind a one-byte length.
bool readMessage(QByteArrayView in, QByteArrayView expectedAd, QByteArrayView &share)
{
    if (in.size() < messageBytes(expectedAd) || static_cast<unsigned char>(in[0]) != cpace::kPointBytes ||
        static_cast<unsigned char>(in[1 + cpace::kPointBytes]) != expectedAd.size())
        return false;
    share = in.sliced(1, cpace::kPointBytes);
    return in.sliced(2 + cpace::kPointBytes, expectedAd.size()) == expectedAd;
}

} // namespace

QByteArrayView offerText()
{
    return "(This copy of Natter Duo can encrypt this conversation; update yours to use it.)";
}

QByteArray offerWire()
{
    return cipher::encode(offerText());
}

OfferMatch matchOffer(QByteArrayView firstBytes)
{
    static const QByteArray offer = offerWire();
    if (firstBytes.size() < offer.size())
        return QByteArrayView(offer).first(firstBytes.size()) == firstBytes ? OfferMatch::Prefix
                                                                            : OfferMatch::NotOffer;
    return firstBytes.first(offer.size()) == offer ? OfferMatch::Offer : OfferMatch::NotOffer;
}

QByteArray drawCode()
{
    cpace::ensureSodium();
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(randombytes_uniform(1000000)));
    QByteArray code(digits, 6);
    sodium_memzero(digits, sizeof digits);
    return code;
}

QString showCode(QByteArrayView code)
{
    if (code.size() != 6)
        return QString::fromLatin1(code);
    return QString::fromLatin1(code.first(3)) + QLatin1Char(' ') + QString::fromLatin1(code.sliced(3));
}

QByteArray parseCode(QByteArrayView typed)
{
    QByteArray digits("");
    for (const char c : typed) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            continue;
        if (c < '0' || c > '9')
            return QByteArray();
        digits.append(c);
    }
    if (!digits.isEmpty() && digits.size() != 6)
        return QByteArray();
    return digits;
}

// Where the channel stands; each stage expects its own frames.
enum class Stage {
    Idle,         // host before start()
    AwaitHello,   // joiner
    AwaitReply,   // host
    AwaitConfirm, // joiner
    Established,
    Finished, // the peer's final record arrived
    Failed,
};

struct SecureChannel::State {
    Role role;
    Stage stage;
    Failure failure = Failure::None;
    bool established = false;
    bool sentFinal = false;
    QByteArray code;
    QByteArray pending; // a partial frame, at most its header and its type's limit

    // The handshake's values, wiped once it ends.
    QByteArray sid, msgA;
    cpace::Scalar scalar{};
    std::array<unsigned char, kTagBytes> expectedHostTag{}; // joiner
    std::array<unsigned char, kStreamKeyBytes> pullKey{};   // joiner, until confirm

    crypto_secretstream_xchacha20poly1305_state push{};
    crypto_secretstream_xchacha20poly1305_state pull{};

    State(Role r, QByteArrayView c)
        : role(r), stage(r == Role::Host ? Stage::Idle : Stage::AwaitHello), code(c.toByteArray())
    {
    }
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    ~State()
    {
        wipe(code);
        wipeHandshake();
        sodium_memzero(&push, sizeof push);
        sodium_memzero(&pull, sizeof pull);
    }

    void wipeHandshake()
    {
        wipe(sid);
        wipe(msgA);
        sodium_memzero(scalar.data(), scalar.size());
        sodium_memzero(expectedHostTag.data(), expectedHostTag.size());
        sodium_memzero(pullKey.data(), pullKey.size());
    }

    void fail(Output &out, Failure why)
    {
        stage = Stage::Failed;
        failure = why;
        out.failure = why;
        wipe(pending);
        wipeHandshake();
    }

    // A frame type or plain text out of place: a broken handshake before it
    // has finished, an attack on the conversation after.
    Failure outOfPlace() const { return established ? Failure::Integrity : Failure::BadHandshake; }

    // The most the payload of `type` may hold at this stage, or -1 when the
    // type is not expected now.
    qsizetype limitFor(unsigned char type) const
    {
        switch (stage) {
        case Stage::AwaitHello:
            return type == kHello ? kHelloBytes : -1;
        case Stage::AwaitReply:
            return type == kReply ? kReplyBytes : -1;
        case Stage::AwaitConfirm:
            return type == kConfirm ? kConfirmBytes : type == kRefused ? 0 : -1;
        case Stage::Established:
            return type == kRecord ? kMaxPayload : -1;
        case Stage::Idle:
        case Stage::Finished:
        case Stage::Failed:
            break;
        }
        return -1;
    }

    QByteArray transcript(QByteArrayView msgB) const
    {
        QByteArray t = sid;
        t.append(msgA);
        t.append(msgB);
        return t;
    }

    // K, ISK and the keys for the share received, with `msgB` the joiner's message.
    bool keysFor(QByteArrayView otherShare, QByteArrayView msgB, Keys &keys)
    {
        cpace::Point other{}, k{};
        std::copy(otherShare.begin(), otherShare.end(), other.begin());
        cpace::Isk isk{};
        const bool ok = cpace::isValidShare(otherShare) && cpace::scalarMult(scalar, other, k) &&
                        cpace::intermediateKey(sid, k, msgA, msgB, isk) && keys.derive(isk);
        sodium_memzero(k.data(), k.size());
        sodium_memzero(isk.data(), isk.size());
        return ok;
    }

    void onHello(QByteArrayView payload, Output &out)
    {
        if (code.isEmpty())
            return fail(out, Failure::NeedCode);
        QByteArrayView hostShare;
        if (payload.size() != kHelloBytes || !readMessage(payload.sliced(kSidBytes), kAdHost, hostShare))
            return fail(out, Failure::BadHandshake);
        sid = payload.first(kSidBytes).toByteArray();
        msgA = payload.sliced(kSidBytes).toByteArray();

        cpace::Point g{}, share{};
        scalar = cpace::randomScalar();
        if (!cpace::calculateGenerator(code, kCi, sid, g) || !cpace::scalarMult(scalar, g, share))
            return fail(out, Failure::BadHandshake);
        const QByteArray msgB = cpace::message(share, kAdJoiner);
        Keys keys;
        std::array<unsigned char, kTagBytes> joinerTag{};
        unsigned char header[kStreamHeaderBytes];
        const QByteArray t = transcript(msgB);
        if (!keysFor(hostShare, msgB, keys) || !confirmationTag(keys.confirmJoiner, t, joinerTag) ||
            !confirmationTag(keys.confirmHost, t, expectedHostTag) ||
            crypto_secretstream_xchacha20poly1305_init_push(&push, header, keys.joinerToHost.data()) != 0)
            return fail(out, Failure::BadHandshake);
        pullKey = keys.hostToJoiner;
        QByteArray reply = msgB;
        reply.append(reinterpret_cast<const char *>(joinerTag.data()), kTagBytes);
        reply.append(reinterpret_cast<const char *>(header), kStreamHeaderBytes);
        out.send.append(frame(kReply, reply));
        wipe(code);
        stage = Stage::AwaitConfirm;
    }

    void onReply(QByteArrayView payload, Output &out)
    {
        QByteArrayView joinerShare;
        if (payload.size() != kReplyBytes || !readMessage(payload, kAdJoiner, joinerShare))
            return fail(out, Failure::BadHandshake);
        const QByteArrayView msgB = payload.first(messageBytes(kAdJoiner));
        const QByteArrayView joinerTag = payload.sliced(msgB.size(), kTagBytes);
        const QByteArrayView joinerHeader = payload.sliced(msgB.size() + kTagBytes);
        Keys keys;
        std::array<unsigned char, kTagBytes> expected{}, hostTag{};
        const QByteArray t = transcript(msgB);
        if (!keysFor(joinerShare, msgB, keys) || !confirmationTag(keys.confirmJoiner, t, expected))
            return fail(out, Failure::BadHandshake);
        const bool right = crypto_verify_64(expected.data(), bytes(joinerTag)) == 0;
        sodium_memzero(expected.data(), expected.size());
        if (!right) {
            out.send.append(frame(kRefused, {}));
            return fail(out, Failure::WrongCode);
        }
        unsigned char header[kStreamHeaderBytes];
        if (crypto_secretstream_xchacha20poly1305_init_pull(&pull, bytes(joinerHeader),
                                                            keys.joinerToHost.data()) != 0 ||
            crypto_secretstream_xchacha20poly1305_init_push(&push, header, keys.hostToJoiner.data()) != 0 ||
            !confirmationTag(keys.confirmHost, t, hostTag))
            return fail(out, Failure::BadHandshake);
        QByteArray confirm(reinterpret_cast<const char *>(hostTag.data()), kTagBytes);
        confirm.append(reinterpret_cast<const char *>(header), kStreamHeaderBytes);
        out.send.append(frame(kConfirm, confirm));
        establish(out);
    }

    void onConfirm(QByteArrayView payload, Output &out)
    {
        if (payload.size() != kConfirmBytes)
            return fail(out, Failure::BadHandshake);
        if (crypto_verify_64(expectedHostTag.data(), bytes(payload)) != 0)
            return fail(out, Failure::BadConfirmation);
        if (crypto_secretstream_xchacha20poly1305_init_pull(&pull, bytes(payload.sliced(kTagBytes)),
                                                            pullKey.data()) != 0)
            return fail(out, Failure::BadHandshake);
        establish(out);
    }

    void establish(Output &out)
    {
        wipeHandshake();
        wipe(code);
        established = true;
        out.established = true;
        stage = Stage::Established;
    }

    void onRecord(QByteArrayView payload, Output &out)
    {
        if (payload.size() < kRecordOverhead)
            return fail(out, Failure::Integrity);
        QByteArray line(payload.size() - kRecordOverhead, Qt::Uninitialized);
        unsigned long long size = 0;
        unsigned char tag = 0;
        if (crypto_secretstream_xchacha20poly1305_pull(&pull, bytes(line), &size, &tag, bytes(payload),
                                                       static_cast<unsigned long long>(payload.size()),
                                                       nullptr, 0) != 0)
            return fail(out, Failure::Integrity);
        if (tag == crypto_secretstream_xchacha20poly1305_TAG_MESSAGE) {
            out.lines.append(line);
        } else if (tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL && size == 0) {
            out.finished = true;
            stage = Stage::Finished;
        } else {
            fail(out, Failure::Integrity);
        }
    }

    void onFrame(unsigned char type, QByteArrayView payload, Output &out)
    {
        switch (type) {
        case kHello:
            return onHello(payload, out);
        case kReply:
            return onReply(payload, out);
        case kConfirm:
            return onConfirm(payload, out);
        case kRefused:
            return fail(out, Failure::WrongCode);
        case kRecord:
            return onRecord(payload, out);
        default:
            return fail(out, outOfPlace());
        }
    }

    // Takes what `in` has of the frame being read; false once a frame's
    // header shows it must not be read at all.
    bool take(QByteArrayView &in, Output &out)
    {
        if (pending.isEmpty()) {
            if (stage == Stage::Finished) {
                fail(out, Failure::AfterFinal);
                return false;
            }
            if (limitFor(static_cast<unsigned char>(in[0])) < 0) {
                fail(out, outOfPlace());
                return false;
            }
        }
        if (pending.size() < kHeaderBytes) {
            const qsizetype n = std::min(kHeaderBytes - pending.size(), in.size());
            pending.append(in.first(n));
            in = in.sliced(n);
            if (pending.size() < kHeaderBytes)
                return true;
            const qsizetype length =
                (static_cast<unsigned char>(pending[1]) << 8) | static_cast<unsigned char>(pending[2]);
            if (length > limitFor(static_cast<unsigned char>(pending[0]))) {
                fail(out, Failure::TooLong);
                return false;
            }
        }
        const qsizetype length =
            (static_cast<unsigned char>(pending[1]) << 8) | static_cast<unsigned char>(pending[2]);
        const qsizetype n = std::min(kHeaderBytes + length - pending.size(), in.size());
        pending.append(in.first(n));
        in = in.sliced(n);
        if (pending.size() == kHeaderBytes + length) {
            const QByteArray whole = std::exchange(pending, QByteArray());
            onFrame(static_cast<unsigned char>(whole[0]), QByteArrayView(whole).sliced(kHeaderBytes), out);
        }
        return stage != Stage::Failed;
    }
};

SecureChannel::SecureChannel(Role role, QByteArrayView code)
{
    cpace::ensureSodium();
    d = std::make_unique<State>(role, code);
}

SecureChannel::~SecureChannel() = default;

QByteArray SecureChannel::start()
{
    if (d->role != Role::Host || d->stage != Stage::Idle)
        return QByteArray();
    QByteArray sid(kSidBytes, Qt::Uninitialized);
    randombytes_buf(sid.data(), static_cast<std::size_t>(sid.size()));
    cpace::Point g{}, share{};
    d->scalar = cpace::randomScalar();
    if (!cpace::calculateGenerator(d->code, kCi, sid, g) || !cpace::scalarMult(d->scalar, g, share)) {
        Output ignored;
        d->fail(ignored, Failure::BadHandshake);
        return QByteArray();
    }
    d->sid = sid;
    d->msgA = cpace::message(share, kAdHost);
    d->stage = Stage::AwaitReply;
    return frame(kHello, sid + d->msgA);
}

SecureChannel::Output SecureChannel::receive(QByteArrayView bytes)
{
    Output out;
    if (d->stage == Stage::Failed) {
        out.failure = d->failure;
        return out;
    }
    while (!bytes.isEmpty() && d->take(bytes, out)) {
    }
    return out;
}

bool SecureChannel::isEstablished() const
{
    return d->established;
}

QByteArray SecureChannel::seal(QByteArrayView line)
{
    if (!d->established || d->sentFinal)
        return QByteArray();
    QByteArray out;
    qsizetype at = 0;
    do {
        const QByteArrayView part = line.sliced(at, std::min(kMaxRecordLine, line.size() - at));
        QByteArray sealed(part.size() + kRecordOverhead, Qt::Uninitialized);
        if (crypto_secretstream_xchacha20poly1305_push(
                &d->push, bytes(sealed), nullptr, bytes(part), static_cast<unsigned long long>(part.size()),
                nullptr, 0, crypto_secretstream_xchacha20poly1305_TAG_MESSAGE) != 0)
            return QByteArray();
        out.append(frame(kRecord, sealed));
        at += part.size();
    } while (at < line.size());
    return out;
}

QByteArray SecureChannel::sealFinal()
{
    if (!d->established || d->sentFinal)
        return QByteArray();
    QByteArray sealed(kRecordOverhead, Qt::Uninitialized);
    if (crypto_secretstream_xchacha20poly1305_push(&d->push, bytes(sealed), nullptr, nullptr, 0, nullptr, 0,
                                                   crypto_secretstream_xchacha20poly1305_TAG_FINAL) != 0)
        return QByteArray();
    d->sentFinal = true;
    return frame(kRecord, sealed);
}

} // namespace natter::secure
