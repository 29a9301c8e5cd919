#pragma once

// What the fuzz targets that load files share: a scratch folder, and the
// check that a page shows the lines it was given.

#include "richtext/richview.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextDocument>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace natter::fuzz {

// A folder for the files the loaders read, in memory when the system has
// such a place, removed when the fuzzer ends normally.
inline QString scratchDirectory()
{
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/natter-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/natter-fuzz-XXXXXX"));
    if (!dir.isValid())
        std::abort();
    return dir.path() + QLatin1Char('/');
}

inline void writeFile(const QString &path, QByteArrayView bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes.data(), bytes.size()) != bytes.size())
        std::abort();
}

// The page shows exactly `lines`, in order, unless one of them holds a
// character that ends a paragraph or a line: it cannot come back as one line.
inline void checkShown(const QTextDocument &page, const QList<TranscriptLine> &lines)
{
    // Compared by character, not by pattern: a pattern never matches a text
    // that holds a lone surrogate, and loaded lines may hold one.
    const auto breaks = [](QChar c) {
        return c == u'\n' || c == u'\r' || c == QChar(0x2028) || c == QChar(0x2029) || c == QChar(0xFDD0) ||
               c == QChar(0xFDD1);
    };
    QStringList given, shown;
    for (const TranscriptLine &line : lines) {
        if (std::any_of(line.text.cbegin(), line.text.cend(), breaks))
            return;
        given << line.text;
    }
    for (const TranscriptLine &line : documentLines(page))
        shown << line.text;
    // Joined, a page of one empty line and an empty page look alike.
    if (shown.join(u'\n') != given.join(u'\n'))
        std::abort();
}

} // namespace natter::fuzz
