#pragma once

#include <optional>
#include <string_view>

// The RTF control words the reader acts on.

namespace natter::rtf::detail {

enum class Word : unsigned char {
    // clang-format off
    Ansi, AnsiCpg, B, Bin, Bullet, Cb, Cell, Cf, ChCbPat, ColorTbl, Cpg, Deff, EmDash, EmSpace, EnDash,
    EnSpace, F, FCharset, FontTbl, Highlight, I, LdblQuote, Line, ListText, LQuote, Mac, NestCell, NestRow,
    NestTableProps, Page, Par, Pc, Pca, Pict, Plain, PnText, RdblQuote, Row, RQuote, Sect, ShpPict, Red,
    Green, Blue, Tab, U, Uc, Ud, Ul, UlNone, Upr, V,
    // clang-format on
    Skip // a destination that holds no text of the document
};

std::optional<Word> lookUpWord(std::string_view name);

} // namespace natter::rtf::detail
