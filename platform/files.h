#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// Reading and writing whole files: a bounded read of a regular file, and a
// replacement that leaves either the whole new content or a reported
// failure. Failures come back as results with a readable reason; nothing
// here throws.

namespace natter {

struct FileResult {
    enum class Failure {
        None,
        Missing,    // nothing at the path
        Folder,     // a folder by that name
        NotRegular, // a device, a pipe or a socket by that name
        TooLarge,   // more than the caller accepts
        Open,       // there, but it cannot be opened
        Read,       // opened, but reading failed
        Create,     // cannot be created or replaced
        Write,      // writing or committing failed
    };
    Failure failure = Failure::None;
    // Why, in the system's plain words ("Is a directory", "File too large").
    QString reason;
    // What was read.
    QByteArray data;

    bool ok() const { return failure == Failure::None; }
    // The failure as the user reads it: 'Cannot open file "<path>". <reason>',
    // or "read", "create", "write" in place of "open".
    QString message(const QString &path) const;
};

// Reads what `device` (open for reading) gives, refusing more than `maxSize`
// bytes.
FileResult readBounded(QIODevice &device, qint64 maxSize);

// Reads the regular file at `path` when it holds at most `maxSize` bytes.
FileResult readRegularFile(const QString &path, qint64 maxSize);

// Writes all of `data` to `device` (open for writing).
FileResult writeWhole(QIODevice &device, const QByteArray &data);

// Replaces the file at `path` with `data`, through a new file beside it that
// takes its place once complete; when the folder takes no new file, straight
// into the existing file. An existing file that may not be written to, or a
// folder, is refused.
FileResult replaceFile(const QString &path, const QByteArray &data);

} // namespace natter
