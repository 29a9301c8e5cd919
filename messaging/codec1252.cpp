#include "messaging/codec1252.h"

#include <array>

namespace natter::cp1252 {

namespace {

// Unicode of the bytes 0x80 to 0x9F; the other bytes are Latin-1.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

QString toUnicode(QByteArrayView bytes)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *o = out.data();
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        *o++ = (b >= 0x80 && b <= 0x9F) ? QChar(kHigh[b - 0x80]) : QChar(char16_t(b));
    }
    return out;
}

int byteOf(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF))
        return u;
    for (std::size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == u)
            return static_cast<int>(0x80 + i);
    }
    return -1;
}

QByteArray fromUnicode(QStringView text)
{
    QByteArray out(text.size(), Qt::Uninitialized);
    char *o = out.data();
    for (const QChar c : text) {
        const int b = byteOf(c);
        *o++ = b < 0 ? kUnmappable : static_cast<char>(b);
    }
    return out;
}

} // namespace natter::cp1252
