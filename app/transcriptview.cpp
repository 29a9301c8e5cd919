#include "app/transcriptview.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace natter {

namespace {
// Each line remembers the colour it was appended in, for saving and tests.
constexpr int kLineColourProperty = QTextFormat::UserProperty + 1;
} // namespace

TranscriptView::TranscriptView(QWidget *parent) : QPlainTextEdit(parent), m_colour(qRgb(0, 0, 0))
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
    setFont(f);
    m_end = QTextCursor(document());
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
    if (m_empty) {
        cursor.setBlockFormat(block);
        cursor.setBlockCharFormat(chars);
    } else {
        cursor.insertBlock(block, chars);
    }
    // Line breaks inside the text would split the line; show them as spaces.
    QString text = line;
    text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    cursor.insertText(text, chars);
    cursor.endEditBlock();
    m_empty = false;

    if (atBottom)
        bar->setValue(bar->maximum());
    Q_EMIT lineAppended(m_colour);
}

void TranscriptView::clear()
{
    QPlainTextEdit::clear();
    m_end = QTextCursor(document());
    m_empty = true;
}

QList<TranscriptLine> TranscriptView::lines() const
{
    QList<TranscriptLine> out;
    if (m_empty)
        return out;
    out.reserve(document()->blockCount());
    for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
        const QVariant colour = b.blockFormat().property(kLineColourProperty);
        out.append({b.text(), colour.isValid() ? colour.toUInt() : 0u});
    }
    return out;
}

} // namespace natter
