#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Text crosses between the toolkit's Unicode strings and the program's 8-bit
// Windows-1252 form here, and only here.

namespace natter::cp1252 {

// Bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D have no character in Windows-1252;
// they decode to the C1 control of the same value. A character with no
// Windows-1252 code encodes to kUnmappable, which no part of the program
// accepts as text (the cipher drops it).
inline constexpr char kUnmappable = 0x1A;

QString toUnicode(QByteArrayView bytes);
QByteArray fromUnicode(QStringView text);
// The Windows-1252 byte of `c`, or -1 when it has none.
int byteOf(QChar c);

} // namespace natter::cp1252
