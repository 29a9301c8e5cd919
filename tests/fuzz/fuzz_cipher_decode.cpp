// The cipher's decoder takes any received bytes: what it gives is set
// characters only, never longer than what arrived, and shown as text it
// converts back to the same bytes. Encoding any line and decoding it gives
// the line without the characters outside the set.
#include "messaging/cipher.h"
#include "messaging/codec1252.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void checkDecoded(QByteArrayView received)
{
    const QByteArray text = natter::cipher::decode(received);
    if (text.size() > received.size())
        std::abort();
    for (const char c : text) {
        if (!natter::cipher::inSet(static_cast<unsigned char>(c)))
            std::abort();
    }
    if (natter::cp1252::fromUnicode(natter::cp1252::toUnicode(text)) != text)
        std::abort();
}

void checkRoundTrip(QByteArrayView line)
{
    QByteArray kept;
    for (const char c : line) {
        if (natter::cipher::inSet(static_cast<unsigned char>(c)))
            kept += c;
    }
    const QByteArray wire = natter::cipher::encode(line);
    if (wire.size() != kept.size())
        std::abort();
    if (natter::cipher::decode(wire) != kept)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    checkDecoded(input);
    checkRoundTrip(input);
    return 0;
}
