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
// The reader understands the part of RTF that carries text and colour, as
// word processors and rich-text controls write it, and skips everything else.
// It never fails: input that is not RTF is read as plain text, and damaged
// RTF yields whatever text could be recovered.

namespace natter::rtf {

// The transcript as an RTF document (Windows-1252, one \par per line). An
// empty list gives a valid, empty document.
QByteArray write(const QList<TranscriptLine> &lines);

struct Document {
    QList<TranscriptLine> lines;
    bool rich = false; // read as RTF (false: read as plain text)
};

// Does `data` start like an RTF document ("{\rtf", leading blanks allowed)?
bool looksLikeRtf(QByteArrayView data);

// Reads RTF; reads plain text when `data` is not RTF. Lines without a colour
// of their own get colour 0 (black).
Document read(QByteArrayView data);

// Plain text: UTF-8 when the bytes are valid UTF-8 (a leading byte-order
// mark is dropped), Windows-1252 otherwise; CR LF, LF and CR end lines.
QList<TranscriptLine> readPlainText(QByteArrayView data);

// Groups nested deeper than this keep the state of the deepest tracked group.
inline constexpr int kMaxDepth = 200;

} // namespace natter::rtf
