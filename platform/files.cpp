#include "platform/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace natter {

namespace {

constexpr qint64 kChunk = 64 * 1024;

FileResult failed(FileResult::Failure failure, const QString &reason)
{
    return FileResult{failure, reason, {}};
}

} // namespace

QString FileResult::message(const QString &path) const
{
    const char *verb = "open";
    switch (failure) {
    case Failure::Read:
        verb = "read";
        break;
    case Failure::Create:
        verb = "create";
        break;
    case Failure::Write:
        verb = "write";
        break;
    default:
        break;
    }
    return QStringLiteral("Cannot %1 file \"%2\". %3")
        .arg(QLatin1String(verb), QDir::toNativeSeparators(path), reason);
}

FileResult readBounded(QIODevice &device, qint64 maxSize)
{
    FileResult result;
    if (!device.isSequential())
        result.data.reserve(std::min(device.size() - device.pos(), maxSize) + 1);
    for (;;) {
        const qint64 room = maxSize - result.data.size();
        const QByteArray::size_type before = result.data.size();
        result.data.resize(before + std::min(kChunk, room + 1));
        const qint64 got = device.read(result.data.data() + before, result.data.size() - before);
        result.data.resize(before + std::max<qint64>(got, 0));
        if (got < 0)
            return failed(FileResult::Failure::Read, device.errorString());
        if (result.data.size() > maxSize)
            return failed(FileResult::Failure::TooLarge, QStringLiteral("File too large"));
        if (got == 0)
            return result;
    }
}

FileResult readRegularFile(const QString &path, qint64 maxSize)
{
    const QFileInfo info(path);
    if (!info.exists())
        return failed(FileResult::Failure::Missing, QStringLiteral("No such file or directory"));
    if (info.isDir())
        return failed(FileResult::Failure::Folder, QStringLiteral("Is a directory"));
    // A device by that name might never stop giving bytes.
    if (!info.isFile())
        return failed(FileResult::Failure::NotRegular, QStringLiteral("Not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(FileResult::Failure::Open, file.errorString());
    if (file.size() > maxSize)
        return failed(FileResult::Failure::TooLarge, QStringLiteral("File too large"));
    return readBounded(file, maxSize);
}

FileResult writeWhole(QIODevice &device, const QByteArray &data)
{
    if (device.write(data) != data.size())
        return failed(FileResult::Failure::Write, device.errorString());
    return {};
}

FileResult replaceFile(const QString &path, const QByteArray &data)
{
    // The new file takes the old one's place by a rename, which the old
    // file's own permissions would not stop: refuse as opening it would.
    const QFileInfo target(path);
    if (target.exists() && (!target.isFile() || !target.isWritable())) {
        return failed(FileResult::Failure::Create, target.isDir()     ? QStringLiteral("Is a directory")
                                                   : !target.isFile() ? QStringLiteral("Not a regular file")
                                                                      : QStringLiteral("Permission denied"));
    }
    QSaveFile file(path);
    // A folder that takes no new file: straight into the existing one.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return failed(FileResult::Failure::Create, file.errorString());
    if (FileResult written = writeWhole(file, data); !written.ok()) {
        file.cancelWriting();
        return written;
    }
    if (!file.commit())
        return failed(FileResult::Failure::Write, file.errorString());
    return {};
}

} // namespace natter
