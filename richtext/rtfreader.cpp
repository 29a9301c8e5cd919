// The RTF reader: one pass over the bytes, a state per group, text gathered
// into lines and runs of one format each.
#include "richtext/codepage.h"
#include "richtext/rtf.h"
#include "richtext/rtflines.h"
#include "richtext/rtftables.h"
#include "richtext/rtfwords.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace natter::rtf {

namespace {

using detail::Word;

// Text: shown. NestProps: a nested row's properties, whose \nestrow ends the
// row. TwoForms: text given twice, as bytes and in \ud as Unicode, which is
// shown. Skipped: nothing inside counts.
enum class Destination : unsigned char { Text, ColourTable, FontTable, NestProps, TwoForms, Skipped };

struct GroupState {
    int colour = 0;    // \cf, index into the colour table
    int highlight = 0; // \highlight
    int shading = 0;   // \cb, \chcbpat
    int font = -1;     // \f; -1: the document's default font
    int unicodeSkip = 1;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool hidden = false;
    Destination destination = Destination::Text;
};

bool isLetter(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(int c)
{
    return c >= '0' && c <= '9';
}
int hexValue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

class Reader {
public:
    explicit Reader(QByteArrayView data) : m_data(data) {}

    Document run()
    {
        m_stack.reserve(kMaxDepth);
        // Whatever stands before the document's group (blanks, a byte-order
        // mark) is not part of it.
        m_pos = std::max<qsizetype>(m_data.indexOf('{'), 0);
        const qsizetype n = m_data.size();
        while (m_pos < n) {
            const char c = m_data[m_pos++];
            switch (c) {
            case '{':
                openGroup();
                break;
            case '}':
                if (!closeGroup())
                    m_pos = n; // the document's outer group has ended
                break;
            case '\\':
                controlSequence();
                break;
            case '\r':
            case '\n':
                break;
            default:
                textSpan(c);
                break;
            }
        }
        finishLine();
        return m_out.take();
    }

private:
    // ------------------------------------------------------------ groups

    void openGroup()
    {
        resolveOptional();
        m_pendingSkip = 0;
        m_dirty = true;
        if (static_cast<int>(m_stack.size()) < kMaxDepth) {
            m_stack.push_back(m_state);
            return;
        }
        // Too deep to keep a state per group: the groups beyond the limit
        // share one, and the state at the limit comes back once they close.
        if (m_untracked == 0)
            m_limitState = m_state;
        ++m_untracked;
    }

    // False when the group closed was the outermost one.
    bool closeGroup()
    {
        m_optional = false;
        m_pendingSkip = 0;
        m_dirty = true;
        if (m_untracked > 0) {
            --m_untracked;
            if (m_untracked < m_enteredFrom) {
                m_state.destination = m_destinationBefore;
                m_enteredFrom = 0;
            }
            if (m_untracked == 0)
                m_state = m_limitState;
            return true;
        }
        if (m_stack.empty())
            return false;
        if (m_state.destination == Destination::ColourTable)
            m_colourTable.endEntry(false);
        m_state = m_stack.back();
        m_stack.pop_back();
        return !m_stack.empty();
    }

    void enter(Destination destination)
    {
        if (m_untracked > 0 && m_enteredFrom == 0 && m_state.destination != destination) {
            m_enteredFrom = m_untracked;
            m_destinationBefore = m_state.destination;
        }
        m_state.destination = destination;
    }

    // "\*" before something other than a control word: skip that group.
    void resolveOptional()
    {
        if (m_optional) {
            m_optional = false;
            enter(Destination::Skipped);
        }
    }

    // ------------------------------------------------------------ tokens

    int peek() const { return m_pos < m_data.size() ? static_cast<unsigned char>(m_data[m_pos]) : -1; }

    void controlSequence()
    {
        const int c = peek();
        if (c < 0)
            return; // a lone backslash at the very end
        if (!isLetter(c)) {
            ++m_pos;
            controlSymbol(c);
            return;
        }
        // Control word: letters (a word longer than any known one is kept
        // short and so stays unknown), then an optional signed number.
        char word[33];
        std::size_t len = 0;
        while (isLetter(peek())) {
            if (len < sizeof word - 1)
                word[len] = static_cast<char>(peek());
            ++len;
            ++m_pos;
        }
        const std::string_view name(word, std::min(len, sizeof word - 1));
        const bool overlong = len >= sizeof word - 1;
        bool negative = false;
        bool hasNumber = false;
        std::int64_t number = 0;
        if (peek() == '-' && m_pos + 1 < m_data.size() &&
            isDigit(static_cast<unsigned char>(m_data[m_pos + 1]))) {
            negative = true;
            ++m_pos;
        }
        while (isDigit(peek())) {
            hasNumber = true;
            if (number < 100'000'000'000LL)
                number = number * 10 + (peek() - '0');
            ++m_pos;
        }
        if (peek() == ' ')
            ++m_pos;
        if (negative)
            number = -number;
        const int param = static_cast<int>(std::clamp<std::int64_t>(number, INT32_MIN, INT32_MAX));
        const std::optional<Word> known = overlong ? std::nullopt : detail::lookUpWord(name);
        const bool optional = std::exchange(m_optional, false);
        if (known == Word::Bin) {
            // Binary data: skip it whole, whatever destination it is in.
            const qsizetype left = m_data.size() - m_pos;
            m_pos += std::clamp<qsizetype>(hasNumber ? param : 0, 0, left);
            return;
        }
        if (m_state.destination == Destination::Skipped)
            return;
        if (optional && known != Word::ShpPict && known != Word::NestTableProps && known != Word::Ud) {
            enter(Destination::Skipped); // an optional destination this reader does not know
            return;
        }
        if (known)
            controlWord(*known, hasNumber, param);
    }

    void controlSymbol(int c)
    {
        if (c == '*') {
            m_optional = true;
            return;
        }
        resolveOptional();
        switch (c) {
        case '\\':
        case '{':
        case '}':
            textByte(static_cast<unsigned char>(c));
            break;
        case '\'': {
            const int hi = hexValue(peek());
            if (hi < 0)
                return; // truncated escape: nothing
            ++m_pos;
            const int lo = hexValue(peek());
            if (lo < 0)
                return;
            ++m_pos;
            escapedByte(static_cast<unsigned char>(hi * 16 + lo));
            break;
        }
        case '\r':
        case '\n':
            endParagraph();
            break;
        case '~':
            symbol(u'\u00A0');
            break;
        case '_':
            textByte('-');
            break;
        default:
            break; // \- \| \: and the like carry no text
        }
    }

    void controlWord(Word word, bool hasNumber, int param)
    {
        switch (m_state.destination) {
        case Destination::ColourTable:
            return colourTableWord(word, param);
        case Destination::FontTable:
            return fontTableWord(word, param);
        case Destination::NestProps:
            if (word == Word::NestRow)
                endRow();
            return;
        case Destination::TwoForms:
            if (word == Word::Ud)
                enter(Destination::Text);
            return;
        default:
            break;
        }
        if (formatWord(word, hasNumber, param) || documentWord(word, param))
            return;
        switch (word) {
        case Word::Par:
        case Word::Line:
            return endParagraph();
        case Word::Sect:
        case Word::Page:
            // A break between sections or pages follows a paragraph's end
            // as a rule; it ends a line only in the middle of one.
            if (m_lineStarted)
                endParagraph();
            return;
        case Word::Row:
        case Word::NestRow:
            return endRow();
        case Word::Cell:
        case Word::NestCell:
            if (m_state.destination == Destination::Text && !m_state.hidden) {
                // A cell's end right after its paragraph's end ends that
                // paragraph itself: the row goes on in the same line.
                if (m_paragraphEnd) {
                    m_paragraphEnd.reset();
                    m_lineStarted = true;
                }
                ++m_pendingCells;
            }
            return;
        case Word::Tab:
            return symbol(u'\t');
        case Word::U:
            return unicode(hasNumber, param);
        case Word::LQuote:
            return textUnit(u'\u2018');
        case Word::RQuote:
            return textUnit(u'\u2019');
        case Word::LdblQuote:
            return textUnit(u'\u201C');
        case Word::RdblQuote:
            return textUnit(u'\u201D');
        case Word::Bullet:
            return textUnit(u'\u2022');
        case Word::EnDash:
            return textUnit(u'\u2013');
        case Word::EmDash:
            return textUnit(u'\u2014');
        case Word::EnSpace:
            return textUnit(u'\u2002');
        case Word::EmSpace:
            return textUnit(u'\u2003');
        case Word::ColorTbl:
            enter(Destination::ColourTable);
            m_colourTable.clear();
            return;
        case Word::FontTbl:
            return enter(Destination::FontTable);
        case Word::NestTableProps:
            return enter(Destination::NestProps);
        case Word::Upr:
            return enter(Destination::TwoForms);
        case Word::ListText:
            endPendingParagraph();
            m_listText = true;
            return;
        case Word::PnText:
            // Old-style list numbers; a paragraph that has them as \listtext
            // already shows them once.
            endPendingParagraph();
            if (m_listText)
                enter(Destination::Skipped);
            return;
        case Word::Pict:
            for (const char16_t unit : std::u16string_view(kPicturePlaceholder))
                textUnit(unit);
            return enter(Destination::Skipped);
        case Word::Skip:
            return enter(Destination::Skipped);
        default:
            return; // every other word changes nothing that is kept
        }
    }

    // Character formatting; true when `word` was one.
    bool formatWord(Word word, bool hasNumber, int param)
    {
        const bool on = !hasNumber || param != 0;
        switch (word) {
        case Word::Cf:
            m_state.colour = hasNumber ? param : 0;
            break;
        case Word::Highlight:
            m_state.highlight = hasNumber ? param : 0;
            break;
        case Word::Cb:
        case Word::ChCbPat:
            m_state.shading = hasNumber ? param : 0;
            break;
        case Word::B:
            m_state.bold = on;
            break;
        case Word::I:
            m_state.italic = on;
            break;
        case Word::Ul:
            m_state.underline = on;
            break;
        case Word::UlNone:
            m_state.underline = false;
            break;
        case Word::V:
            m_state.hidden = on;
            break;
        case Word::F:
            m_state.font = hasNumber ? param : -1;
            break;
        case Word::Uc:
            m_state.unicodeSkip = std::clamp(param, 0, 8);
            break;
        case Word::Plain: {
            const GroupState kept = m_state;
            m_state = GroupState{};
            m_state.destination = kept.destination;
            m_state.unicodeSkip = kept.unicodeSkip;
            break;
        }
        default:
            return false;
        }
        m_dirty = true;
        return true;
    }

    // The document's code page and default font; true when `word` was one.
    bool documentWord(Word word, int param)
    {
        switch (word) {
        case Word::Ansi:
            m_documentCodePage = codepage::kWestern;
            break;
        case Word::AnsiCpg:
            m_documentCodePage = param > 0 ? param : codepage::kWestern;
            break;
        case Word::Mac:
            m_documentCodePage = 10000;
            break;
        case Word::Pc:
            m_documentCodePage = 437;
            break;
        case Word::Pca:
            m_documentCodePage = 850;
            break;
        case Word::Deff:
            m_defaultFont = param;
            break;
        default:
            return false;
        }
        m_dirty = true;
        return true;
    }

    void colourTableWord(Word word, int param) { m_colourTable.setComponent(word, param); }

    void fontTableWord(Word word, int param)
    {
        if (word == Word::F)
            m_fontTable.define(param);
        else if (word == Word::FCharset)
            m_fontTable.setCharset(param);
        else if (word == Word::Cpg)
            m_fontTable.setCodePage(param);
    }

    // ------------------------------------------------------------ formats

    std::optional<QRgb> colourAt(int index) const { return m_colourTable.at(index); }

    CharFormat currentFormat() const
    {
        CharFormat format;
        format.colour = colourAt(m_state.colour).value_or(0);
        format.background =
            colourAt(m_state.highlight).value_or(colourAt(m_state.shading).value_or(kNoBackground));
        format.bold = m_state.bold;
        format.italic = m_state.italic;
        format.underline = m_state.underline;
        return format;
    }

    int currentCodePage() const
    {
        return m_fontTable.codePageOf(m_state.font >= 0 ? m_state.font : m_defaultFont, m_documentCodePage);
    }

    // Brings the run being gathered up to the state's format and code page.
    void refresh()
    {
        m_dirty = false;
        m_out.setLook(currentFormat(), currentCodePage());
    }

    // ------------------------------------------------------------ text

    // True when text may go into the line now (with pending cell
    // separators already in it).
    bool acceptText(bool fallbackCounts = true)
    {
        if (m_state.destination != Destination::Text || (fallbackCounts && consumeSkip()) || m_state.hidden)
            return false;
        startText();
        return true;
    }

    void startText()
    {
        endPendingParagraph();
        if (m_dirty)
            refresh();
        m_lineStarted = true;
        if (m_pendingCells > 0)
            m_out.addUnits(u'\t', std::exchange(m_pendingCells, 0));
    }

    // True when this character is a fallback for a preceding \u and is dropped.
    bool consumeSkip()
    {
        if (m_pendingSkip > 0) {
            --m_pendingSkip;
            return true;
        }
        return false;
    }

    void textByte(unsigned char b)
    {
        resolveOptional();
        if (m_state.destination == Destination::ColourTable) {
            if (b == ';')
                m_colourTable.endEntry(true);
            return;
        }
        if (b < 0x20 && b != '\t')
            return;
        if (acceptText())
            m_out.addByte(static_cast<char>(b));
    }

    // Plain text goes into the line as a whole stretch, up to the next
    // byte with a meaning of its own.
    void textSpan(char first)
    {
        if (m_pendingSkip > 0 || m_optional || m_state.destination != Destination::Text ||
            static_cast<unsigned char>(first) < 0x20) {
            textByte(static_cast<unsigned char>(first));
            return;
        }
        const qsizetype start = m_pos - 1;
        const qsizetype n = m_data.size();
        while (m_pos < n) {
            const auto c = static_cast<unsigned char>(m_data[m_pos]);
            if (c == '{' || c == '}' || c == '\\' || c < 0x20)
                break;
            ++m_pos;
        }
        if (acceptText())
            m_out.addBytes(m_data.sliced(start, m_pos - start));
    }

    void escapedByte(unsigned char b)
    {
        if (acceptText())
            m_out.addByte(static_cast<char>(b));
    }

    // A character written as a control word or symbol, which a \u fallback
    // count includes.
    void symbol(char16_t unit)
    {
        if (acceptText()) {
            m_out.addUnits(unit);
        }
    }

    void textUnit(char16_t unit)
    {
        if (acceptText(false)) {
            m_out.addUnits(unit);
        }
    }

    void unicode(bool hasNumber, int param)
    {
        if (hasNumber && param >= -32768 && param <= 65535)
            textUnit(static_cast<char16_t>(param < 0 ? param + 65536 : param));
        if (m_state.destination == Destination::Text)
            m_pendingSkip = m_state.unicodeSkip;
    }

    void endParagraph()
    {
        if (m_state.destination != Destination::Text)
            return;
        if (m_pendingCells > 0 && !m_state.hidden)
            startText();
        m_pendingCells = 0;
        endPendingParagraph();
        m_paragraphEnd = colourAt(m_state.colour).value_or(0);
        m_lineStarted = false;
    }

    // Ends the line of the paragraph that ended before, if it waits.
    void endPendingParagraph()
    {
        if (m_paragraphEnd) {
            m_out.endLine(*std::exchange(m_paragraphEnd, std::nullopt));
            m_listText = false;
        }
    }

    void endRow()
    {
        // Cells are separated, not ended, by a tab.
        m_pendingCells = std::max(m_pendingCells - 1, 0);
        const Destination destination = std::exchange(m_state.destination, Destination::Text);
        endParagraph();
        endPendingParagraph(); // a row's end is the line's, whatever follows
        m_state.destination = destination;
    }

    // The end of the document ends its last line.
    void finishLine()
    {
        if (m_lineStarted)
            m_out.endLine(colourAt(m_state.colour).value_or(0));
        else
            endPendingParagraph();
    }

    QByteArrayView m_data;
    qsizetype m_pos = 0;
    GroupState m_state;
    std::vector<GroupState> m_stack;
    int m_untracked = 0; // groups opened beyond kMaxDepth, not tracked
    GroupState m_limitState;
    int m_enteredFrom = 0; // untracked level whose group changed destination
    Destination m_destinationBefore = Destination::Text;
    bool m_optional = false; // "\*" seen, its control word not yet
    int m_pendingSkip = 0;
    int m_pendingCells = 0;  // cell ends not yet written as tabs
    bool m_listText = false; // this paragraph's list number came as \listtext
    detail::ColourTable m_colourTable;
    detail::FontTable m_fontTable;
    int m_defaultFont = 0;
    int m_documentCodePage = codepage::kWestern;
    bool m_dirty = true; // the state changed since the look of the text was set
    detail::LineBuilder m_out;
    bool m_lineStarted = false;
    // A paragraph's end not yet written, with the colour its line takes
    // when empty: what follows decides whether it ends a line.
    std::optional<QRgb> m_paragraphEnd;
};

} // namespace

Document read(QByteArrayView data)
{
    if (!looksLikeRtf(data))
        return Document{readPlainText(data), {}, false, {}};
    return Reader(data).run();
}

} // namespace natter::rtf
