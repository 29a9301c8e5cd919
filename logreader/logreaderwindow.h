#pragma once

#include "messaging/transcript.h"
#include "platform/services.h"

#include <QMainWindow>
#include <QTimer>

#include <memory>

class QLabel;
class QLineEdit;
class QTextDocument;
class QTextEdit;
class QToolBar;

namespace natter {
class PageFiller;
}

namespace natter::logreader {

struct LoadedLog;

// The log reader's window: shows one saved log read-only with its colours,
// finds text in it and saves it as plain text. Files come from File > Open,
// the command line or drag and drop. Problems are told through `messages`.
class LogReaderWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit LogReaderWindow(IMessageBox &messages, QWidget *parent = nullptr);
    ~LogReaderWindow() override;

    // Opens `path`; on failure tells why and keeps the log shown before.
    bool openFile(const QString &path);
    // Saves the shown log as plain text; on failure tells why.
    bool saveAsText(const QString &path);
    // Finds `text` after (or before) the cursor, wrapping around.
    bool findNext(const QString &text);
    bool findPrevious(const QString &text);
    void showFindBar();

    QTextEdit *page() const { return m_page; }
    QLineEdit *findField() const { return m_findField; }
    QLabel *status() const { return m_status; }
    QString currentFile() const { return m_currentFile; }
    // Where File > Open starts: the open log's folder, or the folder where
    // the chat program saves logs.
    void setLogFolder(const QString &folder) { m_logFolder = folder; }
    QString openFolder() const;
    QList<TranscriptLine> shownLines() const { return m_lines; }
    // Puts the rest of the open log into the page now (it goes in in steps
    // after the first page is shown).
    void fillPage();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool find(const QString &text, bool backwards);
    void chooseAndOpen();
    void chooseAndSave();
    void updateTitle();
    QString statusText(const LoadedLog &log) const;

    IMessageBox &m_messages;
    QTextEdit *m_page;
    QToolBar *m_findBar;
    QLineEdit *m_findField;
    QLabel *m_status;
    QTextDocument *m_document = nullptr; // the shown log, a child of the window
    QString m_currentFile;
    QString m_logFolder;
    QList<TranscriptLine> m_lines;
    std::unique_ptr<PageFiller> m_filler; // while the page is not yet full
    QTimer m_fillTimer;
};

} // namespace natter::logreader
