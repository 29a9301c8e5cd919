#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

// Windows code pages to Unicode through the C library's converters, for the
// rich-text reader: the document's code page, a font's character set or its
// own code page decide how each byte of text is read.

namespace natter::codepage {

inline constexpr int kWestern = 1252;
inline constexpr int kSymbol = 42; // symbol fonts (\fcharset2)

// The code page of a font character set (\fcharset); -1 when the character
// set names none (the document's code page applies).
int ofCharset(int charset);

// Decodes bytes of one code page after another. Bytes of a character split
// between two calls are joined when the second call uses the same code page
// and `carry` was set in the first. Bytes that are no character in their
// code page become U+FFFD; a code page this system cannot decode is read as
// Windows-1252 and remembered in unknown().
class Decoder {
public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    // Appends the text of `bytes` (in `codePage`) to `out` and empties
    // `bytes`, except for the start of a character cut short when `carry`.
    void decode(int codePage, QByteArray &bytes, QString &out, bool carry);
    const QList<int> &unknown() const { return m_unknown; }

private:
    struct Converter;
    Converter *converterFor(int codePage);

    std::vector<std::unique_ptr<Converter>> m_converters;
    QList<int> m_unknown;
};

} // namespace natter::codepage
