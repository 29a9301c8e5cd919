#include "richtext/richview.h"

#include <QColor>
#include <QHash>
#include <QPalette>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
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

// Fills a document without recording undo steps: filling a read-only page
// is no edit to undo, and recording it would cost more than the filling.
template <typename Fill> void refill(QTextDocument &document, Fill fill)
{
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false);
    document.clear();
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    fill(cursor);
    cursor.endEditBlock();
    document.setUndoRedoEnabled(undo);
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
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        colour = lookOf(block.charFormat()).colour;
        bool atStart = true;
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const rtf::CharFormat look = lookOf(fragment.charFormat());
            const QString fragmentText = fragment.text();
            QStringView rest(fragmentText);
            if (atStart)
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
    refill(document, [&text](QTextCursor &cursor) {
        Formats formats;
        const QList<rtf::Run> &runs = text.runs;
        qsizetype next = 0; // the first run not yet shown
        for (qsizetype i = 0; i < text.lines.size(); ++i) {
            const TranscriptLine &line = text.lines.at(i);
            const bool hasRuns = next < runs.size() && runs.at(next).line == i;
            // The line's start (a paragraph, or the separator before the
            // line) takes the look of its first character, so that an empty
            // line keeps its colour.
            const QTextCharFormat lineFormat =
                hasRuns ? formats.of(runs.at(next).format) : formatFor(line.colour);
            QString prefix;
            if (i % kLinesPerBlock != 0)
                prefix = QChar(QChar::LineSeparator);
            else if (i > 0)
                cursor.insertBlock(QTextBlockFormat(), lineFormat);
            else
                cursor.setBlockCharFormat(lineFormat);
            qsizetype shown = 0; // runs are expected to cover the line; gaps show in the line's look
            for (; next < runs.size() && runs.at(next).line == i; ++next) {
                const rtf::Run &run = runs.at(next);
                if (run.start > shown)
                    cursor.insertText(std::exchange(prefix, QString()) +
                                          line.text.mid(shown, run.start - shown),
                                      lineFormat);
                cursor.insertText(std::exchange(prefix, QString()) + line.text.mid(run.start, run.length),
                                  formats.of(run.format));
                shown = std::max(shown, run.start + run.length);
            }
            if (shown < line.text.size() || !prefix.isEmpty())
                cursor.insertText(prefix + line.text.mid(shown), lineFormat);
        }
    });
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
