#include "messaging/cipher.h"

#include <array>

namespace natter::cipher {

namespace {

// The internal character set, entries 1 to 110 (Windows-1252 codes): the 95
// printable ASCII characters, then the accented letters and currency signs.
constexpr std::array<unsigned char, kSetSize> kInternalSet = [] {
    std::array<unsigned char, kSetSize> set{};
    std::size_t i = 0;
    for (int c = 0x20; c <= 0x7E; ++c)
        set[i++] = static_cast<unsigned char>(c);
    for (unsigned char c :
         {0xA3, 0xEC, 0xE8, 0xE9, 0xE0, 0xF9, 0xF2, 0xE7, 0xE5, 0xC5, 0xF6, 0xE4, 0xD6, 0xC4, 0x80})
        set[i++] = c;
    return set;
}();

// Entry j of a table is the wire character for entry j of the set. Both
// tables were drawn once, with a fixed seed, and must never change: every
// copy of the program has to hold the same pair.
constexpr std::array<unsigned char, kSetSize> kEvenTable = {
    0xE9, 0x43, 0x20, 0x4A, 0x4C, 0x62, 0x5F, 0xF2, 0x7B, 0x6C, 0x51, 0x4D, 0x2D, 0x55, 0x4B, 0x6A,
    0x32, 0x58, 0x2B, 0x5B, 0x78, 0x7A, 0x71, 0x26, 0xF9, 0x39, 0xE5, 0x49, 0x3E, 0x77, 0xC4, 0x63,
    0xE7, 0x3C, 0x66, 0x3B, 0x74, 0x47, 0x7E, 0x4E, 0x38, 0x50, 0x56, 0x57, 0x53, 0x5E, 0x60, 0x6F,
    0x59, 0x3F, 0x2A, 0xF6, 0xD6, 0x40, 0x68, 0x25, 0x61, 0x24, 0x34, 0x4F, 0x31, 0x6E, 0xE0, 0x5A,
    0x52, 0x33, 0x75, 0x5C, 0x21, 0x6B, 0x46, 0x29, 0x72, 0x27, 0x73, 0xC5, 0x35, 0xE4, 0x79, 0x6D,
    0x64, 0x70, 0x2C, 0x80, 0x54, 0x36, 0x37, 0x44, 0x23, 0x67, 0x2F, 0x3D, 0xEC, 0x7D, 0xA3, 0x28,
    0x3A, 0x7C, 0x41, 0x42, 0x22, 0x65, 0x2E, 0x5D, 0x48, 0xE8, 0x30, 0x69, 0x45, 0x76,
};

constexpr std::array<unsigned char, kSetSize> kOddTable = {
    0x26, 0x52, 0x59, 0x22, 0x2C, 0x65, 0x2B, 0xEC, 0x7C, 0x73, 0x42, 0x70, 0x5E, 0x4F, 0x28, 0x3A,
    0x47, 0x7B, 0x4A, 0x60, 0x2D, 0x43, 0x3C, 0x33, 0x56, 0xE5, 0x7D, 0x66, 0x2E, 0x50, 0x2F, 0x3B,
    0x63, 0x5B, 0x44, 0x41, 0x36, 0x6D, 0x64, 0xE9, 0x38, 0x4C, 0x35, 0xE4, 0x5A, 0x67, 0x57, 0x32,
    0x61, 0xE8, 0x7E, 0x51, 0x3F, 0x74, 0x69, 0x46, 0x75, 0x6A, 0x20, 0x21, 0x49, 0x4D, 0x30, 0x5F,
    0x24, 0x39, 0x4E, 0x27, 0x71, 0x6C, 0x58, 0x34, 0xF9, 0x54, 0x6F, 0x31, 0x40, 0x79, 0x7A, 0x37,
    0x80, 0x29, 0xD6, 0xE0, 0x77, 0x4B, 0x45, 0xC4, 0x5D, 0xA3, 0x62, 0x53, 0x3E, 0xF2, 0xC5, 0x23,
    0x25, 0x6E, 0xE7, 0x6B, 0x78, 0x48, 0xF6, 0x68, 0x3D, 0x2A, 0x72, 0x55, 0x76, 0x5C,
};

constexpr int kNone = -1;
using ByteMap = std::array<int, 256>;

// byte -> index (0-based) of that byte in `list`, or kNone.
constexpr ByteMap indexOf(const std::array<unsigned char, kSetSize> &list)
{
    ByteMap map{};
    for (int &m : map)
        m = kNone;
    for (std::size_t i = 0; i < list.size(); ++i)
        map[list[i]] = static_cast<int>(i);
    return map;
}

constexpr ByteMap kSetIndex = indexOf(kInternalSet);

// Encoding: per parity, set byte -> wire byte (kNone outside the set).
constexpr ByteMap encodeMap(const std::array<unsigned char, kSetSize> &table)
{
    ByteMap map{};
    for (int &m : map)
        m = kNone;
    for (std::size_t i = 0; i < kSetSize; ++i)
        map[kInternalSet[i]] = table[i];
    return map;
}

// Decoding: per parity, wire byte -> set byte (kNone outside the set).
constexpr ByteMap decodeMap(const std::array<unsigned char, kSetSize> &table)
{
    ByteMap map{};
    for (int &m : map)
        m = kNone;
    for (std::size_t i = 0; i < kSetSize; ++i)
        map[table[i]] = kInternalSet[i];
    return map;
}

constexpr ByteMap kEncodeOdd = encodeMap(kOddTable);
constexpr ByteMap kEncodeEven = encodeMap(kEvenTable);
constexpr ByteMap kDecodeOdd = decodeMap(kOddTable);
constexpr ByteMap kDecodeEven = decodeMap(kEvenTable);

} // namespace

unsigned char setEntry(int j)
{
    return kInternalSet.at(static_cast<std::size_t>(j - 1));
}

unsigned char evenEntry(int j)
{
    return kEvenTable.at(static_cast<std::size_t>(j - 1));
}

unsigned char oddEntry(int j)
{
    return kOddTable.at(static_cast<std::size_t>(j - 1));
}

int entryOf(unsigned char c)
{
    const int i = kSetIndex[c];
    return i == kNone ? 0 : i + 1;
}

bool inSet(unsigned char c)
{
    return kSetIndex[c] != kNone;
}

QByteArray encode(QByteArrayView line)
{
    QByteArray out(line.size(), Qt::Uninitialized);
    char *o = out.data();
    qsizetype kept = 0;
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        // Wire positions count kept characters only, from 1: odd first.
        const int w = (kept % 2 == 0) ? kEncodeOdd[c] : kEncodeEven[c];
        if (w == kNone)
            continue;
        o[kept++] = static_cast<char>(w);
    }
    out.truncate(kept);
    return out;
}

QByteArray decode(QByteArrayView received)
{
    QByteArray out(received.size(), Qt::Uninitialized);
    char *o = out.data();
    qsizetype kept = 0;
    // Every received byte takes a position, dropped or not; position 1 is odd.
    for (qsizetype k = 0; k < received.size(); ++k) {
        const auto c = static_cast<unsigned char>(received[k]);
        const int p = (k % 2 == 0) ? kDecodeOdd[c] : kDecodeEven[c];
        if (p != kNone)
            o[kept++] = static_cast<char>(p);
    }
    out.truncate(kept);
    return out;
}

} // namespace natter::cipher
