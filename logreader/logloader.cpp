#include "logreader/logloader.h"

#include "platform/files.h"
#include "richtext/rtf.h"

#include <QDir>
#include <QFileInfo>

namespace natter::logreader {

LoadedLog loadLog(const QString &path)
{
    LoadedLog log;
    const QString shown = QDir::toNativeSeparators(path);
    const FileResult file = readRegularFile(path, kMaxLogSize);
    switch (file.failure) {
    case FileResult::Failure::None: {
        rtf::Document document = rtf::read(file.data);
        log.lines = std::move(document.lines);
        log.runs = std::move(document.runs);
        log.rich = document.rich;
        log.unknownCodePages = std::move(document.unknownCodePages);
        break;
    }
    case FileResult::Failure::Missing:
        log.error = QStringLiteral("The file \"%1\" does not exist.").arg(shown);
        break;
    case FileResult::Failure::Folder:
        log.error = QStringLiteral("\"%1\" is a folder, not a log file.").arg(shown);
        break;
    case FileResult::Failure::NotRegular:
        log.error = QStringLiteral("\"%1\" is not a regular file.").arg(shown);
        break;
    case FileResult::Failure::TooLarge:
        log.error = QStringLiteral("The file \"%1\" is too large to be a chat log (%2 MB).")
                        .arg(shown)
                        .arg(QFileInfo(path).size() / (1024 * 1024));
        break;
    default:
        log.error = file.message(path);
        break;
    }
    return log;
}

QString saveAsPlainText(const QString &path, const QList<TranscriptLine> &lines)
{
    QByteArray out;
    for (const TranscriptLine &line : lines) {
        out += line.text.toUtf8();
        out += '\n';
    }
    const FileResult written = replaceFile(path, out);
    return written.ok() ? QString() : written.message(path);
}

} // namespace natter::logreader
