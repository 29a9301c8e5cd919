#include "logreader/logloader.h"

#include "ui/rtf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace natter::logreader {

LoadedLog loadLog(const QString &path)
{
    LoadedLog log;
    const QString shown = QDir::toNativeSeparators(path);
    const QFileInfo info(path);
    if (!info.exists()) {
        log.error = QStringLiteral("The file \"%1\" does not exist.").arg(shown);
        return log;
    }
    if (info.isDir()) {
        log.error = QStringLiteral("\"%1\" is a folder, not a log file.").arg(shown);
        return log;
    }
    if (!info.isFile()) {
        log.error = QStringLiteral("\"%1\" is not a regular file.").arg(shown);
        return log;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        log.error = QStringLiteral("Cannot open file \"%1\". %2").arg(shown, file.errorString());
        return log;
    }
    if (file.size() > kMaxLogSize) {
        log.error = QStringLiteral("The file \"%1\" is too large to be a chat log (%2 MB).")
                        .arg(shown)
                        .arg(file.size() / (1024 * 1024));
        return log;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        log.error = QStringLiteral("Cannot read file \"%1\". %2").arg(shown, file.errorString());
        return log;
    }
    rtf::Document document = rtf::read(content);
    log.lines = std::move(document.lines);
    log.runs = std::move(document.runs);
    log.rich = document.rich;
    log.unknownCodePages = std::move(document.unknownCodePages);
    return log;
}

QString saveAsPlainText(const QString &path, const QList<TranscriptLine> &lines)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return QStringLiteral("Cannot create file \"%1\". %2")
            .arg(QDir::toNativeSeparators(path), file.errorString());
    QByteArray out;
    for (const TranscriptLine &line : lines) {
        out += line.text.toUtf8();
        out += '\n';
    }
    if (file.write(out) != out.size() || !file.commit())
        return QStringLiteral("Cannot write file \"%1\". %2")
            .arg(QDir::toNativeSeparators(path), file.errorString());
    return {};
}

} // namespace natter::logreader
