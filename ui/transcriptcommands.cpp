#include "ui/transcriptcommands.h"

#include "platform/exceptions.h"
#include "ui/logfolder.h"
#include "ui/rtf.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace natter {

TranscriptCommands::TranscriptCommands(ITranscript &transcript, ISaveDialog &saveDialog, IShell &shell,
                                       const ISystemFacts &system)
    : m_transcript(transcript), m_saveDialog(saveDialog), m_shell(shell), m_system(system)
{
}

void TranscriptCommands::Clear()
{
    m_transcript.clear();
}

QString TranscriptCommands::defaultLogName(const QDate &date)
{
    return QStringLiteral("natter") + date.toString(QStringLiteral("dd-MM-yy")) + QLatin1Char('.') +
           QLatin1String(kLogExtension);
}

QString TranscriptCommands::initialSaveDirectory() const
{
    return logFolder(m_system.programDirectory());
}

void TranscriptCommands::writeLog(const QString &path, const QList<TranscriptLine> &lines)
{
    const QString shown = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    const auto cannotCreate = [&shown](const QString &why) {
        return Exception(QStringLiteral("Cannot create file \"%1\". %2").arg(shown, why));
    };
    const QFileInfo target(path);
    // The log replaces the file through a rename; an existing file that may
    // not be written to is refused as the system would refuse opening it.
    if (target.exists() && (!target.isFile() || !target.isWritable()))
        throw cannotCreate(target.isDir() ? QStringLiteral("Is a directory")
                                          : QStringLiteral("Permission denied"));

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw cannotCreate(file.errorString());
    const QByteArray data = rtf::write(lines);
    if (file.write(data) != data.size() || !file.commit())
        throw Exception(QStringLiteral("Failed to Save Stream"));
}

void TranscriptCommands::Save()
{
    SaveDialogRequest request;
    request.initialDir = initialSaveDirectory();
    request.fileName = defaultLogName(m_system.today());
    request.defaultExtension = QLatin1String(kLogExtension);
    request.filter = QLatin1String(kLogFilter);
    request.overwritePrompt = true;
    QString path;
    if (!m_saveDialog.execute(request, path) || path.isEmpty())
        return;
    writeLog(path, m_transcript.lines());
}

void TranscriptCommands::ReadLogs()
{
    m_shell.openProgram(QLatin1String(kLogReaderProgram), {}, m_system.programDirectory());
}

} // namespace natter
