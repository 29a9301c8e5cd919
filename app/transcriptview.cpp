#include "app/transcriptview.h"

#include "richtext/richview.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace natter {

namespace {
// Each line remembers the colour it was appended in, for saving and tests.
constexpr int kLineColourProperty = QTextFormat::UserProperty + 1;

// Hidden, empty, and always last: new text goes into it, and a fresh one
// follows. A change that spans two blocks is not laid out at once; the new
// line is laid out only when it comes into view, not on every append.
void hideTrailingBlock(QTextCursor &end)
{
    QTextBlock trailing = end.block();
    trailing.setVisible(false);
}
} // namespace

// The limit is twice what one conversation may receive (4 MiB), so a peer
// that comes back again and again cannot grow the program without bound
// (2 bytes a character, plus the layout of the lines in view). Past it the
// transcript is full: nothing is dropped, a peer's text is refused until the
// user clears the transcript.
TranscriptView::TranscriptView(QWidget *parent, qsizetype maxCharacters)
    : QPlainTextEdit(parent), m_colour(qRgb(0, 0, 0)), m_maxCharacters(maxCharacters)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setFocusPolicy(Qt::ClickFocus); // not a tab stop
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPalette p = palette();
    p.setColor(QPalette::Base, QColor(0xFF, 0xFB, 0xF0));
    p.setColor(QPalette::Text, Qt::black);
    setPalette(p);
    QFont f = font();
    f.setPixelSize(13);
    // Latin text needs no shaping; without it a long line lays out several
    // times faster.
    f.setStyleStrategy(QFont::PreferNoShaping);
    f.setKerning(false);
    setFont(f);
    resetEnd();
}

void TranscriptView::resetEnd()
{
    m_end = QTextCursor(document());
    m_end.movePosition(QTextCursor::End);
    hideTrailingBlock(m_end);
    m_characters = 0;
}

void TranscriptView::setColour(QRgb colour)
{
    m_colour = colour;
}

void TranscriptView::appendLine(const QString &line)
{
    QScrollBar *bar = verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();

    QTextCharFormat chars;
    chars.setForeground(QColor::fromRgb(m_colour));
    QTextBlockFormat block;
    block.setProperty(kLineColourProperty, static_cast<uint>(m_colour & 0xFFFFFFu));

    QTextCursor &cursor = m_end;
    cursor.beginEditBlock();
    QTextBlock current = cursor.block();
    current.setVisible(true);
    cursor.setBlockFormat(block);
    cursor.setBlockCharFormat(chars);
    // Line breaks inside the text would split the line; show them as spaces.
    QString text = line;
    text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    // A long line goes in as pieces, each a paragraph of its own, so that
    // laying it out costs what its length does.
    for (qsizetype from = 0, to = 0; from < text.size(); from = to) {
        to = pieceEnd(text, from);
        if (from > 0) {
            QTextBlockFormat piece;
            markAsPiece(piece);
            cursor.insertBlock(piece, chars);
        }
        cursor.insertText(to - from == text.size() ? text : text.sliced(from, to - from), chars);
    }
    cursor.insertBlock(QTextBlockFormat(), chars);
    hideTrailingBlock(cursor);
    document()->markContentsDirty(current.position(), cursor.position() - current.position());
    cursor.endEditBlock();
    m_empty = false;
    m_characters += text.size() + 1; // the line and its line break

    if (atBottom)
        bar->setValue(bar->maximum());
    Q_EMIT lineAppended(m_colour);
}

bool TranscriptView::full() const
{
    return m_characters >= m_maxCharacters;
}

bool TranscriptView::nearlyFull() const
{
    return m_characters >= m_maxCharacters / 10 * 9;
}

bool TranscriptView::overfull() const
{
    return m_characters >= m_maxCharacters + m_maxCharacters / 8;
}

void TranscriptView::clear()
{
    QPlainTextEdit::clear();
    resetEnd();
    m_empty = true;
}

QList<TranscriptLine> TranscriptView::lines() const
{
    QList<TranscriptLine> out;
    if (m_empty)
        return out;
    out.reserve(document()->blockCount());
    const QTextBlock trailing = document()->lastBlock();
    for (QTextBlock b = document()->begin(); b.isValid() && b != trailing; b = b.next()) {
        if (isPiece(b) && !out.isEmpty()) {
            out.last().text += b.text();
            continue;
        }
        const QVariant colour = b.blockFormat().property(kLineColourProperty);
        out.append({b.text(), colour.isValid() ? colour.toUInt() : 0u});
    }
    return out;
}

QMimeData *TranscriptView::createMimeDataFromSelection() const
{
    QMimeData *joined = mimeDataJoiningPieces(textCursor());
    return joined != nullptr ? joined : QPlainTextEdit::createMimeDataFromSelection();
}

} // namespace natter
