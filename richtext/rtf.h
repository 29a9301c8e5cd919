#pragma once

#include "messaging/transcript.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// Rich text in and out for saved chat logs and the help file.
//
// The writer produces the small RTF dialect the transcript is saved in: one
// paragraph per transcript line, coloured through the colour table, every
// character escaped so that no text can turn into a control word.
//
// The reader understands the part of RTF that carries text and its look, as
// word processors and rich-text controls write it: code pages, colours,
// highlight, bold, italic, underline, tables, list numbers; everything else is
// skipped. It never fails: input that is not RTF is read as plain text, and
// damaged RTF yields whatever text could be recovered.

namespace natter::rtf {

// The transcript as an RTF document (Windows-1252, one \par per line). An
// empty list gives a valid, empty document.
QByteArray write(const QList<TranscriptLine> &lines);

// No background behind the text (a table colour is never this value).
inline constexpr QRgb kNoBackground = 0xFFFFFFFF;

// How a stretch of text looks.
struct CharFormat {
    QRgb colour = 0; // 0xRRGGBB; 0 is the page's own text colour (black)
    QRgb background = kNoBackground;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool operator==(const CharFormat &) const = default;
};

// A stretch of one line's text in one format. The runs of a line follow each
// other without gaps and cover its text; an empty line has none.
struct Run {
    qsizetype line = 0;  // index into Document::lines
    qsizetype start = 0; // in UTF-16 units of the line's text
    qsizetype length = 0;
    CharFormat format;
    bool operator==(const Run &) const = default;
};

struct Document {
    // The text, one entry per paragraph, each with the colour of its first
    // character (an empty line: the colour in force where it ended).
    QList<TranscriptLine> lines;
    QList<Run> runs;   // in order of lines and positions
    bool rich = false; // read as RTF (false: read as plain text)
    // Code pages the text named but this system cannot decode; their bytes
    // were read as Windows-1252.
    QList<int> unknownCodePages;
};

// Does `data` start like an RTF document ("{\rtf", leading blanks allowed)?
bool looksLikeRtf(QByteArrayView data);

// Reads RTF; reads plain text when `data` is not RTF.
Document read(QByteArrayView data);

// Plain text: UTF-8 when the bytes are valid UTF-8 (a leading byte-order
// mark is dropped), Windows-1252 otherwise; CR LF, LF and CR end lines.
QList<TranscriptLine> readPlainText(QByteArrayView data);

// The most lines a document is read into (a log of this many lines is far
// larger than anyone writes). Past it, line breaks are read as spaces, so a
// hostile file of line breaks costs its text and no more: nothing is lost.
inline constexpr qsizetype kMaxLines = 4'000'000;

// Groups nested deeper than this keep the state of the deepest tracked group.
inline constexpr int kMaxDepth = 200;

// What a skipped picture leaves in the text.
inline constexpr char16_t kPicturePlaceholder[] = u"[picture]";

} // namespace natter::rtf
