// The cipher's decoder takes any received bytes: what it gives is set
// characters only, never longer than what arrived, and shown as text it
// converts back to the same bytes. Encoding any line and decoding it gives
// the line without the characters outside the set.
#include "messaging/cipher.h"
#include "messaging/codec1252.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    const QByteArray text = natter::cipher::decode(input);
    if (text.size() > input.size() || natter::cp1252::fromUnicode(natter::cp1252::toUnicode(text)) != text)
        std::abort();
    QByteArray kept;
    for (const char c : input) {
        if (natter::cipher::inSet(static_cast<unsigned char>(c)))
            kept += c;
    }
    for (const char c : text) {
        if (!natter::cipher::inSet(static_cast<unsigned char>(c)))
            std::abort();
    }
    const QByteArray wire = natter::cipher::encode(input);
    if (wire.size() != kept.size() || natter::cipher::decode(wire) != kept)
        std::abort();
    return 0;
}
