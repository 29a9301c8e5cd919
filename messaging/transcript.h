#pragma once

#include <QList>
#include <QRgb>
#include <QString>

// What the conversation logic and the transcript commands see of the
// transcript: colour, append a line, clear, and read the lines back.

namespace natter {

namespace colours {
inline constexpr QRgb kOwn = 0x008000;    // green: the user's own lines
inline constexpr QRgb kPeer = 0x0000FF;   // blue: the peer's lines
inline constexpr QRgb kSystem = 0x808080; // grey: system lines
} // namespace colours

struct TranscriptLine {
    QString text;
    QRgb colour = 0;
    bool operator==(const TranscriptLine &) const = default;
};

// The most a transcript holds, in characters: each line's characters and its
// line break, whoever wrote it.
inline constexpr qsizetype kTranscriptCharacters = 8 * 1024 * 1024;

class ITranscript {
public:
    virtual ~ITranscript() = default;
    // Colour for the line appended next.
    virtual void setColour(QRgb colour) = 0;
    // Appends `line` at the end, in the current colour, as a line of its own.
    virtual void appendLine(const QString &line) = 0;
    virtual void clear() = 0;
    // Every line, oldest first, each with the colour it was appended in.
    virtual QList<TranscriptLine> lines() const = 0;
    // Whether the transcript holds as much as it may: a peer's text is then
    // refused until the user clears it. A transcript without a limit is
    // never full.
    virtual bool full() const { return false; }
    // Whether it holds 90 % of that, time to warn the user.
    virtual bool nearlyFull() const { return false; }
    // Whether it holds an eighth more than when full: what a peer sent when
    // it filled has been shown, and nothing more is taken at all.
    virtual bool overfull() const { return false; }
};

} // namespace natter
