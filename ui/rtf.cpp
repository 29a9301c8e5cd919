#include "ui/rtf.h"

#include "messaging/codec1252.h"

#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace natter::rtf {

namespace {

// ---------------------------------------------------------------- writing

constexpr char kHex[] = "0123456789abcdef";

void appendHexEscape(QByteArray &out, unsigned value)
{
    out += "\\'";
    out += kHex[(value >> 4) & 0xF];
    out += kHex[value & 0xF];
}

void appendEscaped(QByteArray &out, const QString &text)
{
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar ch = text.at(i);
        const char16_t u = ch.unicode();
        if (u == u'\\' || u == u'{' || u == u'}') {
            out += '\\';
            out += static_cast<char>(u);
        } else if (u >= 0x20 && u < 0x7F) {
            out += static_cast<char>(u);
        } else if (u == u'\t') {
            out += "\\tab ";
        } else if (u == u'\r' || u == u'\n') {
            // A line break inside a line: CR LF counts once.
            if (u == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
                ++i;
            out += "\\line ";
        } else if (u < 0x20 || u == 0x7F) {
            appendHexEscape(out, u);
        } else if (const int b = cp1252::byteOf(ch); b >= 0x80) {
            appendHexEscape(out, static_cast<unsigned>(b));
        } else {
            // No Windows-1252 code: a Unicode escape with "?" for readers
            // that do not know \u (one fallback character, see \uc1).
            out += "\\u";
            out += QByteArray::number(static_cast<int>(static_cast<std::int16_t>(u)));
            out += '?';
        }
    }
}

// ---------------------------------------------------------------- reading

// Destinations whose content is never text of the document.
constexpr std::array<std::string_view, 40> kSkippedDestinations = {"fonttbl",
                                                                   "filetbl",
                                                                   "stylesheet",
                                                                   "listtable",
                                                                   "listoverridetable",
                                                                   "revtbl",
                                                                   "rsidtbl",
                                                                   "info",
                                                                   "pict",
                                                                   "object",
                                                                   "themedata",
                                                                   "colorschememapping",
                                                                   "datastore",
                                                                   "latentstyles",
                                                                   "xmlnstbl",
                                                                   "generator",
                                                                   "fldinst",
                                                                   "header",
                                                                   "headerl",
                                                                   "headerr",
                                                                   "headerf",
                                                                   "footer",
                                                                   "footerl",
                                                                   "footerr",
                                                                   "footerf",
                                                                   "footnote",
                                                                   "annotation",
                                                                   "atnid",
                                                                   "atnauthor",
                                                                   "xe",
                                                                   "tc",
                                                                   "bkmkstart",
                                                                   "bkmkend",
                                                                   "pntext",
                                                                   "pntxta",
                                                                   "pntxtb",
                                                                   "nonshppict",
                                                                   "private",
                                                                   "template",
                                                                   "userprops"};

bool isSkippedDestination(std::string_view word)
{
    return std::find(kSkippedDestinations.begin(), kSkippedDestinations.end(), word) !=
           kSkippedDestinations.end();
}

enum class Destination : unsigned char { Text, ColourTable, Skipped };

struct GroupState {
    int colour = 0; // index into the colour table
    int unicodeSkip = 1;
    Destination destination = Destination::Text;
};

struct ColourEntry {
    QRgb rgb = 0;
    bool automatic = true;
};

class Reader {
public:
    explicit Reader(QByteArrayView data) : m_data(data) {}

    QList<TranscriptLine> run()
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
                textByte(static_cast<unsigned char>(c));
                break;
            }
        }
        finishLine(false);
        return std::move(m_lines);
    }

private:
    void openGroup()
    {
        m_pendingSkip = 0;
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
        m_pendingSkip = 0;
        if (m_untracked > 0) {
            --m_untracked;
            if (m_untracked < m_skippedFrom) {
                m_state.destination = m_destinationBeforeSkip;
                m_skippedFrom = 0;
            }
            if (m_untracked == 0)
                m_state = m_limitState;
            return true;
        }
        if (m_stack.empty())
            return false;
        if (m_state.destination == Destination::ColourTable)
            endColourEntry(false);
        m_state = m_stack.back();
        m_stack.pop_back();
        return !m_stack.empty();
    }

    int peek() const { return m_pos < m_data.size() ? static_cast<unsigned char>(m_data[m_pos]) : -1; }

    static bool isLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
    static bool isDigit(int c) { return c >= '0' && c <= '9'; }
    static int hexValue(int c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

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
        if (!overlong)
            controlWord(name, hasNumber, param);
    }

    void controlSymbol(int c)
    {
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
            escapedByte(0xA0);
            break;
        case '_':
            textByte('-');
            break;
        case '*':
            skipDestination();
            break;
        default:
            break; // \- \| \: and the like carry no text
        }
    }

    void controlWord(std::string_view word, bool hasNumber, int param)
    {
        if (word == "bin") {
            // Binary data: skip it whole, whatever destination it is in.
            const qsizetype left = m_data.size() - m_pos;
            m_pos += std::clamp<qsizetype>(hasNumber ? param : 0, 0, left);
            return;
        }
        if (m_state.destination == Destination::Skipped)
            return;
        if (m_state.destination == Destination::ColourTable) {
            const int v = std::clamp(param, 0, 255);
            if (word == "red") {
                m_entry.rgb = (m_entry.rgb & 0x00FFFF) | (static_cast<QRgb>(v) << 16);
                m_entry.automatic = false;
            } else if (word == "green") {
                m_entry.rgb = (m_entry.rgb & 0xFF00FF) | (static_cast<QRgb>(v) << 8);
                m_entry.automatic = false;
            } else if (word == "blue") {
                m_entry.rgb = (m_entry.rgb & 0xFFFF00) | static_cast<QRgb>(v);
                m_entry.automatic = false;
            }
            return;
        }
        if (word == "par" || word == "line" || word == "sect" || word == "row" || word == "page") {
            endParagraph();
        } else if (word == "tab" || word == "cell") {
            escapedByte('\t');
        } else if (word == "cf") {
            m_state.colour = hasNumber ? param : 0;
        } else if (word == "plain") {
            m_state.colour = 0;
        } else if (word == "uc") {
            m_state.unicodeSkip = std::clamp(param, 0, 8);
        } else if (word == "u") {
            if (hasNumber && param >= -32768 && param <= 65535) {
                const auto unit = static_cast<char16_t>(param < 0 ? param + 65536 : param);
                textUnit(unit);
            }
            m_pendingSkip = m_state.unicodeSkip;
        } else if (word == "colortbl") {
            m_state.destination = Destination::ColourTable;
            m_colours.clear();
            m_entry = {};
        } else if (word == "lquote") {
            textUnit(u'\u2018');
        } else if (word == "rquote") {
            textUnit(u'\u2019');
        } else if (word == "ldblquote") {
            textUnit(u'\u201C');
        } else if (word == "rdblquote") {
            textUnit(u'\u201D');
        } else if (word == "bullet") {
            textUnit(u'\u2022');
        } else if (word == "endash") {
            textUnit(u'\u2013');
        } else if (word == "emdash") {
            textUnit(u'\u2014');
        } else if (isSkippedDestination(word)) {
            skipDestination();
        }
        // Every other word changes nothing that is kept.
    }

    void skipDestination()
    {
        if (m_untracked > 0 && m_skippedFrom == 0 && m_state.destination != Destination::Skipped) {
            m_skippedFrom = m_untracked;
            m_destinationBeforeSkip = m_state.destination;
        }
        m_state.destination = Destination::Skipped;
    }

    void endColourEntry(bool always)
    {
        if (always || !m_entry.automatic) {
            if (m_colours.size() < 4096)
                m_colours.append(m_entry);
        }
        m_entry = {};
    }

    QRgb currentColour() const
    {
        const int i = m_state.colour;
        if (i <= 0 || i >= m_colours.size() || m_colours.at(i).automatic)
            return 0;
        return m_colours.at(i).rgb;
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

    void startLineIfNeeded()
    {
        if (!m_lineStarted) {
            m_lineStarted = true;
            m_lineColour = currentColour();
        }
    }

    void textByte(unsigned char b)
    {
        if (m_state.destination == Destination::ColourTable) {
            if (b == ';')
                endColourEntry(true);
            return;
        }
        if (m_state.destination != Destination::Text || consumeSkip())
            return;
        if (b < 0x20 && b != '\t')
            return;
        startLineIfNeeded();
        m_pending += static_cast<char>(b);
    }

    void escapedByte(unsigned char b)
    {
        if (m_state.destination != Destination::Text || consumeSkip())
            return;
        startLineIfNeeded();
        m_pending += static_cast<char>(b);
    }

    void textUnit(char16_t unit)
    {
        if (m_state.destination != Destination::Text)
            return;
        startLineIfNeeded();
        flushPending();
        m_line += QChar(unit);
    }

    void flushPending()
    {
        if (!m_pending.isEmpty()) {
            m_line += cp1252::toUnicode(m_pending);
            m_pending.clear();
        }
    }

    void endParagraph()
    {
        if (m_state.destination != Destination::Text)
            return;
        finishLine(true);
    }

    void finishLine(bool always)
    {
        if (!always && !m_lineStarted)
            return;
        if (!m_lineStarted)
            m_lineColour = currentColour();
        flushPending();
        m_lines.append(TranscriptLine{std::move(m_line), m_lineColour});
        m_line = QString();
        m_lineStarted = false;
    }

    QByteArrayView m_data;
    qsizetype m_pos = 0;
    GroupState m_state;
    std::vector<GroupState> m_stack;
    int m_untracked = 0; // groups opened beyond kMaxDepth, not tracked
    GroupState m_limitState;
    int m_skippedFrom = 0; // untracked level whose group started skipping
    Destination m_destinationBeforeSkip = Destination::Text;
    int m_pendingSkip = 0;
    QList<ColourEntry> m_colours;
    ColourEntry m_entry;
    QList<TranscriptLine> m_lines;
    QString m_line;
    QByteArray m_pending;
    QRgb m_lineColour = 0;
    bool m_lineStarted = false;
};

} // namespace

QByteArray write(const QList<TranscriptLine> &lines)
{
    QList<QRgb> table;
    for (const TranscriptLine &line : lines) {
        if (!table.contains(line.colour & 0xFFFFFF))
            table.append(line.colour & 0xFFFFFF);
    }

    QByteArray out;
    qsizetype estimate = 256;
    for (const TranscriptLine &line : lines)
        estimate += line.text.size() + 16;
    out.reserve(estimate);

    out += "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1033"
           "{\\fonttbl{\\f0\\fswiss\\fcharset0 MS Sans Serif;}}\r\n"
           "{\\colortbl ;";
    for (QRgb c : table) {
        out += "\\red" + QByteArray::number(qRed(c)) + "\\green" + QByteArray::number(qGreen(c)) + "\\blue" +
               QByteArray::number(qBlue(c)) + ';';
    }
    out += "}\r\n\\viewkind4\\uc1\\pard\\f0\\fs20 ";
    for (const TranscriptLine &line : lines) {
        out += "\\cf";
        out += QByteArray::number(table.indexOf(line.colour & 0xFFFFFF) + 1);
        out += ' ';
        appendEscaped(out, line.text);
        out += "\\par\r\n";
    }
    out += "}\r\n";
    return out;
}

bool looksLikeRtf(QByteArrayView data)
{
    qsizetype i = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
        ++i;
    return data.sliced(i).startsWith("{\\rtf");
}

QList<TranscriptLine> readPlainText(QByteArrayView data)
{
    if (data.startsWith("\xEF\xBB\xBF"))
        data = data.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(data);
    if (utf8.hasError())
        text = cp1252::toUnicode(data);

    QList<TranscriptLine> lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(TranscriptLine{text.mid(start, i - start), 0});
        if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.append(TranscriptLine{text.mid(start), 0});
    return lines;
}

Document read(QByteArrayView data)
{
    if (!looksLikeRtf(data))
        return Document{readPlainText(data), false};
    return Document{Reader(data).run(), true};
}

} // namespace natter::rtf
