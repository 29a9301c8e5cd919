#pragma once

// What the fuzz targets share: quiet platform services, a scratch folder for
// the file loaders, and the check that a document shows the lines it was
// given.

#include "messaging/transcript.h"
#include "platform/exceptions.h"
#include "platform/services.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>

#include <cstdlib>

namespace natter::fuzz {

class QuietServices final : public IInputPrompt,
                            public IMessageBox,
                            public IExceptionReport,
                            public ISaveDialog,
                            public IShell,
                            public ISystemFacts,
                            public ISoundService,
                            public IAttention {
public:
    explicit QuietServices(QString programDirectory) : m_programDirectory(std::move(programDirectory)) {}

    bool inputQuery(const QString &, const QString &, QString &) override { return false; }
    void showMessage(const QString &) override {}
    void showException(const QString &) override {}
    bool execute(const SaveDialogRequest &, QString &) override { return false; }
    void openProgram(const QString &, const QStringList &, const QString &) override {}
    void openUrl(const QString &) override {}
    QString programDirectory() const override { return m_programDirectory; }
    QDate today() const override { return QDate(2026, 12, 6); }
    int outputDeviceCount() override { return 1; }
    bool play(const QByteArray &riffImage) override
    {
        played = riffImage;
        return true;
    }
    void stop() override { played.clear(); }
    void requestAttention(QWidget *) override {}

    Services services() { return Services{*this, *this, *this, *this, *this, *this, *this, *this}; }

    QByteArray played;

private:
    QString m_programDirectory;
};

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

// Characters that end a paragraph or a line when inserted into a document;
// a line holding one cannot come back as one line.
inline bool splitsParagraphs(const QString &text)
{
    for (const QChar c : text) {
        if (c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator || c == QChar::LineSeparator ||
            c == QChar(0xFDD0) || c == QChar(0xFDD1))
            return true;
    }
    return false;
}

// The document shows exactly `lines`, in order: a paragraph holds one or
// more of them, each after the first following a line separator.
inline void checkShown(const QTextDocument &document, const QList<TranscriptLine> &lines)
{
    QStringList expected;
    for (const TranscriptLine &line : lines) {
        if (splitsParagraphs(line.text))
            return;
        expected << line.text;
    }
    if (expected.isEmpty())
        expected << QString();
    QStringList shown;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
        shown += block.text().split(QChar::LineSeparator);
    if (shown != expected)
        std::abort();
}

} // namespace natter::fuzz
