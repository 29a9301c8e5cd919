#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>

// The wire cipher: every character of a chat line is replaced by another
// character of the 110-character internal set, taken from one of two fixed
// tables by the parity of its position. Characters outside the set never
// reach the wire. This is light obfuscation, not security.
//
// All text here is 8-bit Windows-1252, one byte per character.

namespace natter::cipher {

inline constexpr std::size_t kSetSize = 110;

// Entry j (1 to 110) of the internal set, of the even-position table and of
// the odd-position table.
unsigned char setEntry(int j);
unsigned char evenEntry(int j);
unsigned char oddEntry(int j);

// Entry number (1 to 110) of `c` in the internal set, or 0 when it is not in it.
int entryOf(unsigned char c);
bool inSet(unsigned char c);

// Wire form of a line: characters outside the set are dropped and do not
// count as positions.
QByteArray encode(QByteArrayView line);

// Plain text of received bytes: every byte counts as a position from 1, and
// bytes outside the set yield nothing.
QByteArray decode(QByteArrayView received);

} // namespace natter::cipher
