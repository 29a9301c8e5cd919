#include "ui/richview.h"

#include <QColor>
#include <QPalette>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

namespace natter {

namespace {
QTextCharFormat formatFor(QRgb colour)
{
    QTextCharFormat format;
    if (colour != 0)
        format.setForeground(QColor::fromRgb(colour));
    return format;
}
} // namespace

void setDocumentLines(QTextDocument &document, const QList<TranscriptLine> &lines)
{
    // Filling a read-only page is not an edit to undo; recording it would
    // cost more than the filling itself on long logs.
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false);
    document.clear();
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    bool first = true;
    for (const TranscriptLine &line : lines) {
        const QTextCharFormat format = formatFor(line.colour);
        if (!first)
            cursor.insertBlock(QTextBlockFormat(), format);
        else
            cursor.setBlockCharFormat(format);
        first = false;
        cursor.insertText(line.text, format);
    }
    cursor.endEditBlock();
    document.setUndoRedoEnabled(undo);
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
    if (document.isEmpty())
        return lines;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        QRgb colour = 0;
        const QTextBlock::iterator it = block.begin();
        const QTextCharFormat format = it.atEnd() ? block.charFormat() : it.fragment().charFormat();
        if (format.hasProperty(QTextFormat::ForegroundBrush))
            colour = format.foreground().color().rgb() & 0xFFFFFF;
        lines.append(TranscriptLine{block.text(), colour});
    }
    return lines;
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
