#include "richtext/rtfwords.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace natter::rtf::detail {

namespace {

// Sorted by name, for a binary search.
constexpr std::pair<std::string_view, Word> kWords[] = {
    // clang-format off
    {"annotation", Word::Skip}, {"ansi", Word::Ansi}, {"ansicpg", Word::AnsiCpg}, {"atnauthor", Word::Skip},
    {"atnid", Word::Skip}, {"b", Word::B}, {"bin", Word::Bin}, {"bkmkend", Word::Skip},
    {"bkmkstart", Word::Skip}, {"blue", Word::Blue}, {"bullet", Word::Bullet}, {"cb", Word::Cb},
    {"cell", Word::Cell}, {"cf", Word::Cf}, {"chcbpat", Word::ChCbPat}, {"colorschememapping", Word::Skip},
    {"colortbl", Word::ColorTbl}, {"cpg", Word::Cpg}, {"datastore", Word::Skip}, {"deff", Word::Deff},
    {"emdash", Word::EmDash}, {"emspace", Word::EmSpace}, {"endash", Word::EnDash},
    {"enspace", Word::EnSpace}, {"f", Word::F}, {"fcharset", Word::FCharset}, {"filetbl", Word::Skip},
    {"fldinst", Word::Skip}, {"fonttbl", Word::FontTbl}, {"footer", Word::Skip}, {"footerf", Word::Skip},
    {"footerl", Word::Skip}, {"footerr", Word::Skip}, {"footnote", Word::Skip}, {"generator", Word::Skip},
    {"green", Word::Green}, {"header", Word::Skip}, {"headerf", Word::Skip}, {"headerl", Word::Skip},
    {"headerr", Word::Skip}, {"highlight", Word::Highlight}, {"i", Word::I}, {"info", Word::Skip},
    {"latentstyles", Word::Skip}, {"ldblquote", Word::LdblQuote}, {"line", Word::Line},
    {"listoverridetable", Word::Skip}, {"listtable", Word::Skip}, {"listtext", Word::ListText},
    {"lquote", Word::LQuote}, {"mac", Word::Mac}, {"nestcell", Word::NestCell}, {"nestrow", Word::NestRow},
    {"nesttableprops", Word::NestTableProps}, {"nonesttables", Word::Skip}, {"nonshppict", Word::Skip},
    {"objclass", Word::Skip}, {"objdata", Word::Skip}, {"page", Word::Page}, {"par", Word::Par},
    {"pc", Word::Pc}, {"pca", Word::Pca}, {"pict", Word::Pict}, {"plain", Word::Plain}, {"pn", Word::Skip},
    {"pntext", Word::PnText}, {"pntxta", Word::Skip}, {"pntxtb", Word::Skip}, {"private", Word::Skip},
    {"rdblquote", Word::RdblQuote}, {"red", Word::Red}, {"revtbl", Word::Skip}, {"row", Word::Row},
    {"rquote", Word::RQuote}, {"rsidtbl", Word::Skip}, {"sect", Word::Sect}, {"shppict", Word::ShpPict},
    {"stylesheet", Word::Skip}, {"tab", Word::Tab}, {"tc", Word::Skip}, {"template", Word::Skip},
    {"themedata", Word::Skip}, {"u", Word::U}, {"uc", Word::Uc}, {"ud", Word::Ud}, {"ul", Word::Ul},
    {"uld", Word::Ul}, {"uldash", Word::Ul}, {"uldashd", Word::Ul}, {"uldashdd", Word::Ul},
    {"uldb", Word::Ul}, {"ulhwave", Word::Ul}, {"ulldash", Word::Ul}, {"ulnone", Word::UlNone},
    {"ulth", Word::Ul}, {"ulthd", Word::Ul}, {"ulthdash", Word::Ul}, {"ulthdashd", Word::Ul},
    {"ulthdashdd", Word::Ul}, {"ulthldash", Word::Ul}, {"ululdbwave", Word::Ul}, {"ulw", Word::Ul},
    {"ulwave", Word::Ul}, {"upr", Word::Upr}, {"userprops", Word::Skip}, {"v", Word::V},
    {"xe", Word::Skip}, {"xmlnstbl", Word::Skip},
    // clang-format on
};
static_assert(std::is_sorted(std::begin(kWords), std::end(kWords),
                             [](const auto &a, const auto &b) { return a.first < b.first; }));

} // namespace

std::optional<Word> lookUpWord(std::string_view name)
{
    const auto *end = std::end(kWords);
    const auto *it =
        std::lower_bound(std::begin(kWords), end, name,
                         [](const auto &entry, std::string_view key) { return entry.first < key; });
    if (it == end || it->first != name)
        return std::nullopt;
    return it->second;
}

} // namespace natter::rtf::detail
