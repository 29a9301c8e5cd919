// What a copy reads from a peer that can encrypt: the offer check, the
// handshake frames and the records, for a host and for a joiner. The first
// byte picks what the rest does:
//   0  the host's first bytes (matchOffer; behind the offer when bit 0x10 is
//      set), then the rest as the joiner's answer to a hello
//   1  the rest as what a joiner reads from a host
//   2  the rest flips bits of an honest hello, reply or confirm (the second byte picks which)
//   3  the rest flips bits of an honest stream of records, then follows it as raw bytes
// Whatever arrives, a channel fails once and stays failed, opens no more
// text than it read, and an honest exchange left unchanged goes through.
#include "messaging/securechannel.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using natter::secure::Failure;
using natter::secure::OfferMatch;
using natter::secure::Role;
using natter::secure::SecureChannel;

namespace {

constexpr QByteArrayView kCode = "482917";

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Feeds `bytes` in reads of up to `step` bytes and checks the outputs agree.
SecureChannel::Output feed(SecureChannel &channel, QByteArrayView bytes, qsizetype step)
{
    SecureChannel::Output all;
    const qsizetype received = bytes.size();
    qsizetype opened = 0;
    while (!bytes.isEmpty()) {
        const qsizetype n = std::min(step, bytes.size());
        const SecureChannel::Output out = channel.receive(bytes.first(n));
        bytes = bytes.sliced(n);
        for (const QByteArray &line : out.lines)
            opened += line.size();
        if (all.failure != Failure::None)
            require(out.failure == all.failure && out.lines.isEmpty() && out.send.isEmpty());
        all.send += out.send;
        all.lines += out.lines;
        all.established = all.established || out.established;
        all.finished = all.finished || out.finished;
        if (all.failure == Failure::None)
            all.failure = out.failure;
    }
    require(opened <= received);
    return all;
}

void checkOffer(QByteArrayView first)
{
    const QByteArray offer = natter::secure::offerWire();
    const OfferMatch match = natter::secure::matchOffer(first);
    const bool starts = first.size() >= offer.size() && first.first(offer.size()) == offer;
    const bool prefix = first.size() < offer.size() && QByteArrayView(offer).first(first.size()) == first;
    require((match == OfferMatch::Offer) == starts && (match == OfferMatch::Prefix) == prefix);
}

QByteArray flipped(QByteArray bytes, QByteArrayView mask)
{
    for (qsizetype i = 0; i < bytes.size() && i < mask.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ mask[i]);
    return bytes;
}

void handshake(QByteArrayView input)
{
    const int which = input.isEmpty() ? 0 : static_cast<unsigned char>(input[0]) % 3;
    const QByteArrayView mask = input.isEmpty() ? input : input.sliced(1);
    const bool unchanged = mask.count('\0') == mask.size();
    SecureChannel host(Role::Host, kCode), joiner(Role::Joiner, kCode);
    QByteArray hello = host.start();
    if (which == 0)
        hello = flipped(hello, mask);
    const SecureChannel::Output j = feed(joiner, hello, 7);
    QByteArray reply = j.send;
    if (which == 1)
        reply = flipped(reply, mask);
    const SecureChannel::Output h = feed(host, reply, 13);
    QByteArray confirm = h.send;
    if (which == 2)
        confirm = flipped(confirm, mask);
    const SecureChannel::Output c = feed(joiner, confirm, 5);
    require(!unchanged || (h.established && c.established && c.failure == Failure::None));
    require(c.established == joiner.isEstablished() && (!c.established || h.established));
}

void records(QByteArrayView input)
{
    SecureChannel host(Role::Host, kCode), joiner(Role::Joiner, kCode);
    const QByteArray reply = joiner.receive(host.start()).send;
    require(joiner.receive(host.receive(reply).send).established);
    QByteArray stream = host.seal("alice: one");
    stream += host.seal(QByteArray(300, 'x'));
    stream += host.seal("");
    stream += host.sealFinal();
    const bool unchanged = input.first(std::min(input.size(), stream.size())).count('\0') ==
                           std::min(input.size(), stream.size());
    stream = flipped(stream, input);
    if (input.size() > stream.size())
        stream.append(input.sliced(stream.size()));
    const SecureChannel::Output out = feed(joiner, stream, 64);
    if (unchanged)
        require(out.lines.size() == 3 && out.finished &&
                (out.failure == Failure::None || out.failure == Failure::AfterFinal));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView input(data + 1, static_cast<qsizetype>(size - 1));
    switch (data[0] % 4) {
    case 0: {
        checkOffer((data[0] & 0x10) != 0 ? natter::secure::offerWire().append(input) : input.toByteArray());
        SecureChannel host(Role::Host, kCode);
        host.start();
        feed(host, input, 11);
        break;
    }
    case 1: {
        SecureChannel joiner(Role::Joiner, kCode);
        feed(joiner, input, 11);
        break;
    }
    case 2:
        handshake(input);
        break;
    default:
        records(input);
        break;
    }
    return 0;
}
