#pragma once

#include "messaging/transcript.h"

#include <QPlainTextEdit>
#include <QTextCursor>

namespace natter {

// The transcript: a read-only text control whose lines each carry one colour.
// Lines are appended through a cursor of our own at the end of the document,
// as plain text with a character format, so a peer's text is never parsed as
// markup, the user's selection stays as it is, and the appended line itself
// takes the colour even while the user has text selected.
class TranscriptView final : public QPlainTextEdit, public ITranscript {
    Q_OBJECT

public:
    explicit TranscriptView(QWidget *parent = nullptr, qsizetype maxCharacters = kTranscriptCharacters);

    void setColour(QRgb colour) override;
    void appendLine(const QString &line) override;
    void clear() override;
    QList<TranscriptLine> lines() const override;
    bool full() const override;
    bool nearlyFull() const override;
    bool overfull() const override;

    QRgb currentColour() const { return m_colour; }

Q_SIGNALS:
    // A line has been appended in `colour`.
    void lineAppended(QRgb colour);

protected:
    // A long line is copied whole, not in the pieces it is shown in.
    QMimeData *createMimeDataFromSelection() const override;

private:
    void resetEnd();

    QRgb m_colour;
    bool m_empty = true;
    qsizetype m_maxCharacters;
    qsizetype m_characters = 0;
    // Kept at the end of the document, so appending needs no search for it.
    QTextCursor m_end;
};

} // namespace natter
