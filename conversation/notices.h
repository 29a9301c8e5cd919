#pragma once

#include <QByteArrayView>

// The two fixed notices a host sends, held ready in wire form (enciphered
// from position 1) and sent exactly as stored.

namespace natter::notices {

// "Host is away - please wait a moment." (36 characters)
inline constexpr QByteArrayView
    kAbsent("\x38\x6D\xE0\x54\x26\x27\xE0\xE9\x39\x44\x39\x67\x26\x55\x26\x64\x40\x6B"
            "\x39\x80\x6C\xE9\xC4\x33\x54\x54\x26\x33\x26\xE4\x37\xE4\x6C\x79\x77\x4B",
            36);

// "Sorry, host is busy in another chat" (35 characters)
inline constexpr QByteArrayView
    kBusy("\x51\x6D\xD6\x2C\xA3\x2D\x26\x72\x37\x80\x77\xE9\x54\x80\x26\x75\x4B\x80"
          "\xA3\xE9\x54\x79\x26\x33\x7A\x6D\x77\x72\x6C\x2C\x26\x5C\xF9\x33\x77",
          35);

} // namespace natter::notices
