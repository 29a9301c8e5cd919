// What a copy reads from a peer that can encrypt: the handshake frames and
// the records, for a host and for a joiner. The first byte picks what the
// rest does:
//   0  the rest as what a host reads after its hello
//   1  the rest as what a joiner reads from a host
//   2, 3  the rest flips bits of an honest conversation, in the order its
//      bytes go (hello, reply, confirm, then the host's records), and what
//      is left over follows the records as raw bytes
// Whatever arrives, a channel fails once and stays failed, opens no more
// text than it read, and an honest conversation left unchanged goes through.
#include "messaging/securechannel.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using natter::secure::Failure;
using natter::secure::Role;
using natter::secure::SecureChannel;

namespace {

constexpr QByteArrayView kCode = "482917";

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Feeds `bytes` in reads of up to `step` bytes: once failed, a channel
// stays failed, and it never opens more text than it read.
SecureChannel::Output feed(SecureChannel &channel, QByteArrayView bytes, qsizetype step)
{
    SecureChannel::Output all;
    for (qsizetype at = 0; at < bytes.size(); at += step) {
        const SecureChannel::Output out =
            channel.receive(bytes.sliced(at).first(std::min(step, bytes.size() - at)));
        if (all.failure != Failure::None)
            require(out.failure == all.failure && out.lines.isEmpty() && out.send.isEmpty());
        all.send += out.send;
        all.lines += out.lines;
        all.established = all.established || out.established;
        all.finished = all.finished || out.finished;
        if (all.failure == Failure::None)
            all.failure = out.failure;
    }
    require(all.lines.join().size() <= bytes.size());
    return all;
}

// `bytes` with the next bytes of `mask` XORed in; the mask moves on.
QByteArray flipped(QByteArray bytes, QByteArrayView &mask)
{
    const qsizetype n = std::min(bytes.size(), mask.size());
    for (qsizetype i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ mask[i]);
    mask = mask.sliced(n);
    return bytes;
}

void conversation(QByteArrayView mask)
{
    const bool unchanged = mask.count('\0') == mask.size();
    SecureChannel host(Role::Host, kCode), joiner(Role::Joiner, kCode);
    const SecureChannel::Output j = feed(joiner, flipped(host.start(), mask), 7);
    const SecureChannel::Output h = feed(host, flipped(j.send, mask), 13);
    const SecureChannel::Output c = feed(joiner, flipped(h.send, mask), 5);
    require(!unchanged || (h.established && c.established && c.failure == Failure::None));
    require(c.established == joiner.isEstablished() && (!c.established || h.established));
    QByteArray records = host.seal("alice: one");
    records += host.seal(QByteArray(300, 'x'));
    records += host.seal("");
    records += host.sealFinal();
    records = flipped(records, mask) + mask.toByteArray();
    const SecureChannel::Output out = feed(joiner, records, 64);
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
    if (data[0] % 4 >= 2) {
        conversation(input);
        return 0;
    }
    SecureChannel channel(data[0] % 4 == 0 ? Role::Host : Role::Joiner, kCode);
    channel.start(); // a host's hello; nothing for a joiner
    feed(channel, input, 11);
    return 0;
}
