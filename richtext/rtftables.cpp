#include "richtext/rtftables.h"

#include "richtext/codepage.h"

#include <algorithm>

namespace natter::rtf::detail {

namespace {
// Bounds against hostile documents; real ones stay far below.
constexpr qsizetype kMaxColours = 4096;
constexpr qsizetype kMaxFonts = 4096;
} // namespace

void ColourTable::clear()
{
    m_entries.clear();
    m_entry = {};
}

void ColourTable::setComponent(Word word, int value)
{
    const auto v = static_cast<QRgb>(std::clamp(value, 0, 255));
    if (word == Word::Red)
        m_entry.rgb = (m_entry.rgb & 0x00FFFF) | (v << 16);
    else if (word == Word::Green)
        m_entry.rgb = (m_entry.rgb & 0xFF00FF) | (v << 8);
    else if (word == Word::Blue)
        m_entry.rgb = (m_entry.rgb & 0xFFFF00) | v;
    else
        return;
    m_entry.automatic = false;
}

void ColourTable::endEntry(bool always)
{
    if ((always || !m_entry.automatic) && m_entries.size() < kMaxColours)
        m_entries.append(m_entry);
    m_entry = {};
}

std::optional<QRgb> ColourTable::at(int index) const
{
    if (index <= 0 || index >= m_entries.size() || m_entries.at(index).automatic)
        return std::nullopt;
    return m_entries.at(index).rgb;
}

FontTable::Entry *FontTable::defining()
{
    auto it = m_fonts.find(m_defining);
    if (it == m_fonts.end()) {
        if (m_fonts.size() >= kMaxFonts)
            return nullptr;
        it = m_fonts.insert(m_defining, Entry{});
    }
    return &*it;
}

void FontTable::setCharset(int charset)
{
    if (Entry *entry = defining())
        entry->charsetCodePage = codepage::ofCharset(charset);
}

void FontTable::setCodePage(int codePage)
{
    if (Entry *entry = defining())
        entry->codePage = codePage > 0 ? codePage : -1;
}

int FontTable::codePageOf(int font, int fallback) const
{
    const auto it = m_fonts.constFind(font);
    if (it == m_fonts.cend())
        return fallback;
    if (it->codePage > 0)
        return it->codePage;
    return it->charsetCodePage > 0 ? it->charsetCodePage : fallback;
}

} // namespace natter::rtf::detail
