#pragma once

#include "messaging/transcript.h"
#include "richtext/rtf.h"

#include <QList>

#include <memory>

class QMimeData;
class QTextBlock;
class QTextBlockFormat;
class QTextCursor;
class QTextDocument;
class QTextEdit;

namespace natter {

// A line longer than this is shown in pieces of at most this many
// characters, each a paragraph of its own that goes on with the line:
// laying out a paragraph costs more than its length (far more for one long
// word), and a page lays out paragraph by paragraph as they come into view.
// The line's text stays as it is: documentLines, documentRuns and
// mimeDataJoiningPieces give the pieces back joined.
inline constexpr qsizetype kMaxPieceLength = 2048;

// Where the piece of `text` from `from` on ends: after the last blank near
// kMaxPieceLength when there is one, else at it; never inside a character.
// The end of `text` when the rest is short enough.
qsizetype pieceEnd(QStringView text, qsizetype from);

// The paragraph format of a piece that goes on with the line before it.
void markAsPiece(QTextBlockFormat &format);
bool isPiece(const QTextBlock &block);

// The selection of `cursor` for the clipboard, with the pieces of a line
// joined; null when the selection holds no piece (the control's own copy
// serves).
QMimeData *mimeDataJoiningPieces(const QTextCursor &cursor);

// Finds `text` (in any case) after the selection of `from`, or before it
// when `backwards`, within one line of `document`, a line's pieces joined.
// The match selected, or a null cursor.
QTextCursor findText(QTextDocument &document, const QString &text, const QTextCursor &from, bool backwards);

// Fills a document with a read text in steps, so that a long text shows
// its first page before the rest is in. The first step replaces what the
// document held. Filling records no undo steps.
class PageFiller {
public:
    PageFiller(QTextDocument &document, rtf::Document text);
    ~PageFiller();
    PageFiller(const PageFiller &) = delete;
    PageFiller &operator=(const PageFiller &) = delete;

    // Adds lines until about `characters` more are in; false once all are.
    bool fill(qsizetype characters);
    bool done() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

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
