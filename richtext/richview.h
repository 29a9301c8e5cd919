#pragma once

#include "messaging/transcript.h"
#include "richtext/rtf.h"

#include <QList>

class QTextDocument;
class QTextEdit;

namespace natter {

// Replaces the content of `document` with `lines`, one paragraph per line,
// each in its colour (colour 0 is the document's default text colour).
void setDocumentLines(QTextDocument &document, const QList<TranscriptLine> &lines);

// Replaces the content of `document` with the text read from a rich-text
// file, each run in its format. A line without runs is shown in its colour.
void setDocumentText(QTextDocument &document, const rtf::Document &text);

// Appends one line at the end of `edit`, in `colour`.
void appendColouredLine(QTextEdit &edit, const QString &text, QRgb colour = 0);

// The lines of `document`, each with the colour of its first character.
QList<TranscriptLine> documentLines(const QTextDocument &document);

// Every line of `document` as runs of one format each (the inverse of
// setDocumentText for what the reader keeps).
QList<rtf::Run> documentRuns(const QTextDocument &document);

// Read-only rich-text control look shared by the help window and the log
// reader: cream background, no frame, vertical scroll bar, not a tab stop.
void styleReadOnlyPage(QTextEdit &edit);

} // namespace natter
