#pragma once

#include "richtext/rtfwords.h"

#include <QHash>
#include <QList>
#include <QRgb>

#include <optional>

// The colour table and the font table of an RTF document, as the reader
// builds them from their destinations and looks them up in the text.

namespace natter::rtf::detail {

class ColourTable {
public:
    void clear();
    // \red, \green or \blue of the entry being defined.
    void setComponent(Word word, int value);
    // Ends the entry being defined; an entry with no colour of its own (the
    // automatic colour) counts only when `always`.
    void endEntry(bool always);
    // The colour at `index`; none for the automatic colour or a bad index.
    std::optional<QRgb> at(int index) const;

private:
    struct Entry {
        QRgb rgb = 0;
        bool automatic = true;
    };
    QList<Entry> m_entries;
    Entry m_entry;
};

class FontTable {
public:
    void define(int font) { m_defining = font; }
    // \fcharset and \cpg of the font being defined.
    void setCharset(int charset);
    void setCodePage(int codePage);
    // The code page of `font`'s text, `fallback` when it names none.
    int codePageOf(int font, int fallback) const;

private:
    struct Entry {
        int charsetCodePage = -1; // from \fcharset
        int codePage = -1;        // from \cpg, which wins
    };
    Entry *defining();

    QHash<int, Entry> m_fonts;
    int m_defining = 0;
};

} // namespace natter::rtf::detail
