#include "ui/transcriptcommands.h"

#include "platform/exceptions.h"
#include "platform/logfolder.h"
#include "richtext/rtf.h"

#include <QDir>
#include <QFileInfo>

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

QString TranscriptCommands::saveError(const QString &path, const FileResult &result)
{
    if (result.failure == FileResult::Failure::Write)
        return QStringLiteral("Failed to Save Stream");
    return result.message(QFileInfo(path).absoluteFilePath());
}

QString TranscriptCommands::writeLog(const QString &path, const QList<TranscriptLine> &lines)
{
    const FileResult written = replaceFile(path, rtf::write(lines));
    return written.ok() ? QString() : saveError(path, written);
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
    if (const QString error = writeLog(path, m_transcript.lines()); !error.isEmpty())
        reportError(error);
}

void TranscriptCommands::ReadLogs()
{
    m_shell.openProgram(QLatin1String(kLogReaderProgram), {}, m_system.programDirectory());
}

} // namespace natter
