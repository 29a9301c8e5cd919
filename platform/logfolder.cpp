#include "platform/logfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace natter {

QString installedProgramDirectory()
{
    return QStringLiteral(NATTER_INSTALLED_PROGRAM_DIR "/");
}

QString logFolder(const QString &programDirectory, const QString &installedDirectory)
{
    const QFileInfo program(programDirectory);
    const QString installed = QFileInfo(installedDirectory).canonicalFilePath();
    const bool isInstalled = !installed.isEmpty() && program.canonicalFilePath() == installed;
    if (program.isDir() && program.isWritable() && !isInstalled)
        return programDirectory;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return documents.isEmpty() ? QDir::homePath() : documents;
}

} // namespace natter
