#pragma once

#include "messaging/transcript.h"
#include "platform/files.h"
#include "platform/services.h"

#include <QDate>
#include <QString>

namespace natter {

// The transcript's commands of the File menu and the transcript's shortcut
// menu: clear it, save it as a dated rich-text log, start the log reader.
//
// A save that fails is shown in the application's exception report; the
// transcript stays as it was.
class TranscriptCommands {
public:
    TranscriptCommands(ITranscript &transcript, ISaveDialog &saveDialog, IShell &shell,
                       const ISystemFacts &system);

    void Clear();
    void Save();
    void ReadLogs();

    // "natter" + dd-mm-yy + ".ntl", e.g. natter05-12-26.ntl.
    static QString defaultLogName(const QDate &date);
    // Where logs are proposed: logFolder() of the program directory.
    QString initialSaveDirectory() const;
    // Writes `lines` to `path` as a rich-text log, whole or not at all.
    // Returns what went wrong, empty when the log was written.
    static QString writeLog(const QString &path, const QList<TranscriptLine> &lines);
    // What the report shows when the log at `path` cannot be written.
    static QString saveError(const QString &path, const FileResult &result);

    static constexpr const char *kLogReaderProgram = "natter-logreader";
    static constexpr const char *kLogFilter = "Natter logs|*.ntl";
    static constexpr const char *kLogExtension = "ntl";

private:
    ITranscript &m_transcript;
    ISaveDialog &m_saveDialog;
    IShell &m_shell;
    const ISystemFacts &m_system;
};

} // namespace natter
