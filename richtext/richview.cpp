#include "richtext/richview.h"

#include <QColor>
#include <QHash>
#include <QMimeData>
#include <QPalette>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>

#include <algorithm>
#include <limits>
#include <utility>

namespace natter {

namespace {
QTextCharFormat formatFor(QRgb colour)
{
    QTextCharFormat format;
    if (colour != 0)
        format.setForeground(QColor::fromRgb(colour));
    return format;
}

QTextCharFormat formatFor(const rtf::CharFormat &look)
{
    QTextCharFormat format = formatFor(look.colour);
    if (look.background != rtf::kNoBackground)
        format.setBackground(QColor::fromRgb(look.background));
    if (look.bold)
        format.setFontWeight(QFont::Bold);
    if (look.italic)
        format.setFontItalic(true);
    if (look.underline)
        format.setFontUnderline(true);
    return format;
}

rtf::CharFormat lookOf(const QTextCharFormat &format)
{
    rtf::CharFormat look;
    if (format.hasProperty(QTextFormat::ForegroundBrush))
        look.colour = format.foreground().color().rgb() & 0xFFFFFF;
    if (format.hasProperty(QTextFormat::BackgroundBrush))
        look.background = format.background().color().rgb() & 0xFFFFFF;
    look.bold = format.fontWeight() >= QFont::Bold;
    look.italic = format.fontItalic();
    look.underline = format.fontUnderline();
    return look;
}

// The toolkit's form of each look, made once per look.
// Lines per paragraph of the page: lines after the first in a paragraph
// follow a line separator. They look the same as paragraphs of their own,
// and a few long paragraphs fill much faster than many short ones.
constexpr qsizetype kLinesPerBlock = 64;

class Formats {
public:
    const QTextCharFormat &of(const rtf::CharFormat &look)
    {
        const Key key{look.colour, look.background,
                      (look.bold ? 1u : 0u) | (look.italic ? 2u : 0u) | (look.underline ? 4u : 0u)};
        auto it = m_formats.find(key);
        if (it == m_formats.end())
            it = m_formats.insert(key, formatFor(look));
        return *it;
    }

private:
    struct Key {
        QRgb colour;
        QRgb background;
        unsigned style;
        bool operator==(const Key &) const = default;
        friend size_t qHash(const Key &key, size_t seed)
        {
            return qHashMulti(seed, key.colour, key.background, key.style);
        }
    };
    QHash<Key, QTextCharFormat> m_formats;
};

// Paragraphs of a long line after its first piece carry this.
constexpr int kPieceProperty = QTextFormat::UserProperty + 0x5E;

// A piece is cut after a blank within this many characters of its bound,
// and moved back at most this far to keep a character whole.
constexpr qsizetype kBlankReach = 256;
constexpr qsizetype kCharacterReach = 32;

bool joinsNext(QStringView text, qsizetype at)
{
    const QChar c = text.at(at);
    return c.isLowSurrogate() || c.isMark() || c.unicode() == 0x200D || text.at(at - 1).unicode() == 0x200D;
}

// Calls `take(text, colour, runs)` for each line of `document`: its text,
// the colour of its start, and its runs.
template <typename Take> void forEachLine(const QTextDocument &document, Take take)
{
    if (document.isEmpty())
        return;
    qsizetype line = 0;
    QString text;
    QRgb colour = 0;
    QList<rtf::Run> runs;
    const auto finish = [&] {
        take(text, colour, runs);
        ++line;
        text.clear();
        runs.clear();
    };
    const auto add = [&](QStringView part, const rtf::CharFormat &look) {
        if (part.isEmpty())
            return;
        if (!runs.isEmpty() && runs.last().format == look)
            runs.last().length += part.size();
        else
            runs.append(rtf::Run{line, text.size(), part.size(), look});
        text += part;
    };
    bool atStart = true;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        if (!isPiece(block)) {
            colour = lookOf(block.charFormat()).colour;
            atStart = true;
        }
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const rtf::CharFormat look = lookOf(fragment.charFormat());
            const QString fragmentText = fragment.text();
            QStringView rest(fragmentText);
            // A paragraph that starts with a separator starts with an empty
            // line, in the paragraph's own look.
            if (atStart && !rest.startsWith(QChar(QChar::LineSeparator)))
                colour = look.colour;
            atStart = false;
            for (qsizetype cut = rest.indexOf(QChar(QChar::LineSeparator)); cut >= 0;
                 cut = rest.indexOf(QChar(QChar::LineSeparator))) {
                add(rest.first(cut), look);
                finish();
                colour = look.colour; // the separator carries the next line's look
                rest = rest.sliced(cut + 1);
            }
            add(rest, look);
        }
        if (!isPiece(block.next()))
            finish();
    }
}
} // namespace

void setDocumentLines(QTextDocument &document, const QList<TranscriptLine> &lines)
{
    setDocumentText(document, rtf::Document{lines, {}, false, {}});
}

void setDocumentText(QTextDocument &document, const rtf::Document &text)
{
    PageFiller filler(document, text);
    while (filler.fill(std::numeric_limits<qsizetype>::max())) {
    }
}

qsizetype pieceEnd(QStringView text, qsizetype from)
{
    const qsizetype bound = from + kMaxPieceLength;
    if (bound >= text.size())
        return text.size();
    for (qsizetype at = bound; at > bound - kBlankReach; --at) {
        if (text.at(at - 1) == u' ' || text.at(at - 1) == u'\t')
            return at;
    }
    qsizetype at = bound;
    while (at > bound - kCharacterReach && joinsNext(text, at))
        --at;
    return at;
}

void markAsPiece(QTextBlockFormat &format)
{
    format.setProperty(kPieceProperty, true);
}

bool isPiece(const QTextBlock &block)
{
    return block.isValid() && block.blockFormat().boolProperty(kPieceProperty);
}

QMimeData *mimeDataJoiningPieces(const QTextCursor &cursor)
{
    const QTextDocument &document = *cursor.document();
    const int start = cursor.selectionStart(), end = cursor.selectionEnd();
    const QTextBlock first = document.findBlock(start);
    bool pieces = false;
    for (QTextBlock block = first.next(); block.isValid() && block.position() < end && !pieces;
         block = block.next())
        pieces = isPiece(block);
    if (!pieces)
        return nullptr;
    QString text;
    for (QTextBlock block = first; block.isValid() && block.position() <= end; block = block.next()) {
        if (block != first && !isPiece(block))
            text += u'\n';
        const int from = std::max(start - block.position(), 0);
        const int to = std::min(end - block.position(), block.length() - 1);
        text += block.text().mid(from, to - from);
    }
    // As the control's own copy gives them.
    text.replace(QChar(QChar::LineSeparator), u'\n').replace(QChar(QChar::Nbsp), u' ');
    auto *data = new QMimeData;
    data->setHtml(QTextDocumentFragment(cursor).toHtml());
    data->setText(text);
    return data;
}

namespace {

// A paragraph and the pieces that go on with it, as one text.
struct Joined {
    QString text;
    QList<std::pair<qsizetype, int>> pieces; // where each starts: in the text, in the document

    explicit Joined(QTextBlock block)
    {
        do {
            pieces.append({text.size(), block.position()});
            text += block.text();
            block = block.next();
        } while (isPiece(block));
    }
    // The document position of `offset` in the text; an offset where a
    // piece starts is the end of the one before when `end`.
    int positionOf(qsizetype offset, bool end) const
    {
        auto piece = pieces.crbegin();
        while (piece->first > offset || (end && piece->first == offset && piece->first > 0))
            ++piece;
        return piece->second + static_cast<int>(offset - piece->first);
    }
    qsizetype offsetOf(int position) const
    {
        auto piece = pieces.crbegin();
        while (piece->second > position)
            ++piece;
        return piece->first + (position - piece->second);
    }
};

QTextBlock lineStart(QTextBlock block)
{
    while (isPiece(block))
        block = block.previous();
    return block;
}

} // namespace

QTextCursor findText(QTextDocument &document, const QString &text, const QTextCursor &from, bool backwards)
{
    const int position = backwards ? from.selectionStart() : from.selectionEnd();
    QTextBlock block = lineStart(document.findBlock(position));
    for (bool first = true; block.isValid() && !text.isEmpty(); first = false) {
        const Joined line(block);
        qsizetype at = -1;
        if (!backwards) {
            at = line.text.indexOf(text, first ? line.offsetOf(position) : 0, Qt::CaseInsensitive);
        } else {
            const qsizetype before = first ? line.offsetOf(position) - 1 : line.text.size();
            at = before < 0 ? -1 : line.text.lastIndexOf(text, before, Qt::CaseInsensitive);
        }
        if (at >= 0) {
            QTextCursor found(&document);
            found.setPosition(line.positionOf(at, false));
            found.setPosition(line.positionOf(at + text.size(), true), QTextCursor::KeepAnchor);
            return found;
        }
        if (backwards) {
            block = lineStart(block.previous());
        } else {
            do
                block = block.next();
            while (isPiece(block));
        }
    }
    return {};
}

struct PageFiller::State {
    QTextDocument &document;
    rtf::Document text;
    QTextCursor cursor;
    Formats formats;
    bool undo;
    qsizetype line = 0;       // the next line to put in
    qsizetype run = 0;        // its first run
    qsizetype blockLines = 0; // lines in the last paragraph
    qsizetype blockLength = 0;
    qsizetype pieceEnd = 0; // of the line being put in
    QString prefix;         // the separator before a line that shares a paragraph

    State(QTextDocument &d, rtf::Document t)
        : document(d), text(std::move(t)), cursor(&d), undo(d.isUndoRedoEnabled())
    {
    }

    // Puts `length` characters of the line from `from` on into the page,
    // a new piece wherever one ends.
    void put(const QString &lineText, qsizetype from, qsizetype length, const QTextCharFormat &format)
    {
        while (length > 0) {
            if (from == pieceEnd) {
                QTextBlockFormat piece;
                markAsPiece(piece);
                cursor.insertBlock(piece, format);
                blockLength = 0;
                pieceEnd = natter::pieceEnd(lineText, from);
            }
            const qsizetype part = std::min(length, pieceEnd - from);
            cursor.insertText(std::exchange(prefix, QString()) + lineText.mid(from, part), format);
            from += part;
            length -= part;
            blockLength += part;
        }
    }

    // Puts the next line into the page; returns its length.
    qsizetype putLine()
    {
        const QList<rtf::Run> &runs = text.runs;
        const TranscriptLine &item = text.lines.at(line);
        const bool hasRuns = run < runs.size() && runs.at(run).line == line;
        // The line's start (a paragraph, or the separator before the line)
        // takes the look of its first character, so that an empty line
        // keeps its colour.
        const QTextCharFormat lineFormat = hasRuns ? formats.of(runs.at(run).format) : formatFor(item.colour);
        if (line == 0) {
            cursor.setBlockCharFormat(lineFormat);
        } else if (blockLines == kLinesPerBlock || blockLength >= kMaxPieceLength) {
            cursor.insertBlock(QTextBlockFormat(), lineFormat);
            blockLines = 0;
            blockLength = 0;
        } else {
            prefix = QChar(QChar::LineSeparator);
        }
        ++blockLines;
        pieceEnd = natter::pieceEnd(item.text, 0);
        qsizetype shown = 0; // runs are expected to cover the line; gaps show in the line's look
        for (; run < runs.size() && runs.at(run).line == line; ++run) {
            const rtf::Run &r = runs.at(run);
            if (r.start > shown)
                put(item.text, shown, r.start - shown, lineFormat);
            put(item.text, r.start, r.length, formats.of(r.format));
            shown = std::max(shown, r.start + r.length);
        }
        put(item.text, shown, item.text.size() - shown, lineFormat);
        if (!prefix.isEmpty())
            cursor.insertText(std::exchange(prefix, QString()), lineFormat);
        ++line;
        return item.text.size() + 1;
    }
};

PageFiller::PageFiller(QTextDocument &document, rtf::Document text)
    : m_state(std::make_unique<State>(document, std::move(text)))
{
}

PageFiller::~PageFiller()
{
    m_state->document.setUndoRedoEnabled(m_state->undo);
}

bool PageFiller::fill(qsizetype characters)
{
    State &s = *m_state;
    // Filling a read-only page is no edit to undo, and recording it would
    // cost more than the filling.
    s.document.setUndoRedoEnabled(false);
    if (s.line == 0) {
        s.document.clear();
        s.cursor = QTextCursor(&s.document);
    }
    s.cursor.beginEditBlock();
    for (qsizetype added = 0; added < characters && s.line < s.text.lines.size();)
        added += s.putLine();
    s.cursor.endEditBlock();
    return !done();
}

bool PageFiller::done() const
{
    return m_state->line >= m_state->text.lines.size();
}

void appendColouredLine(QTextEdit &edit, const QString &text, QRgb colour)
{
    QTextDocument &document = *edit.document();
    QTextCursor cursor(&document);
    cursor.movePosition(QTextCursor::End);
    const QTextCharFormat format = formatFor(colour);
    if (!document.isEmpty())
        cursor.insertBlock(QTextBlockFormat(), format);
    cursor.insertText(text, format);
}

QList<TranscriptLine> documentLines(const QTextDocument &document)
{
    QList<TranscriptLine> lines;
    forEachLine(document, [&lines](const QString &text, QRgb colour, const QList<rtf::Run> &) {
        lines.append(TranscriptLine{text, colour});
    });
    return lines;
}

QList<rtf::Run> documentRuns(const QTextDocument &document)
{
    QList<rtf::Run> runs;
    forEachLine(document,
                [&runs](const QString &, QRgb, const QList<rtf::Run> &lineRuns) { runs += lineRuns; });
    return runs;
}

void styleReadOnlyPage(QTextEdit &edit)
{
    edit.setReadOnly(true);
    edit.setFocusPolicy(Qt::ClickFocus);
    edit.setFrameShape(QFrame::NoFrame);
    edit.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit.setAcceptRichText(false);
    edit.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPalette palette = edit.palette();
    palette.setColor(QPalette::Base, QColor(0xFF, 0xFB, 0xF0));
    palette.setColor(QPalette::Text, Qt::black);
    edit.setPalette(palette);
    edit.setAutoFillBackground(true);
}

} // namespace natter
