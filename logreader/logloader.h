#pragma once

#include "messaging/transcript.h"
#include "richtext/rtf.h"

#include <QList>
#include <QString>

namespace natter::logreader {

// A log as the reader shows it. When the file could not be read at all,
// `error` says why and `lines` is empty.
struct LoadedLog {
    QList<TranscriptLine> lines;
    QList<rtf::Run> runs;        // how each part of a line looks
    bool rich = false;           // read as rich text (false: as plain text)
    QList<int> unknownCodePages; // read as Windows-1252 instead
    QString error;
};

// Files larger than this are refused rather than read into memory.
inline constexpr qint64 kMaxLogSize = 256LL * 1024 * 1024;

// Reads a saved log (rich text; anything else as plain text).
LoadedLog loadLog(const QString &path);

// Writes `lines` as UTF-8 plain text, one line per line, replacing `path`
// only once it is completely written. Returns an error text, empty on success.
QString saveAsPlainText(const QString &path, const QList<TranscriptLine> &lines);

} // namespace natter::logreader
