#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>

class QWidget;

// The small set of platform services the program's logic leans on. The logic
// never opens a dialog or talks to the desktop itself: it is handed these
// interfaces, real ones in the program and scripted doubles in the tests.

namespace natter {

// Modal input box: title, prompt line, an edit field (limited to 255
// characters, pre-selected) holding the initial value, "OK" and "Cancel".
// Returns whether OK was pressed; `value` changes only then.
class IInputPrompt {
public:
    virtual ~IInputPrompt() = default;
    virtual bool inputQuery(const QString &title, const QString &prompt, QString &value) = 0;
};

// Modal message box titled with the application title, one "OK", no icon.
class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    virtual void showMessage(const QString &text) = 0;
};

// The application's exception report: modal box with the stop icon, titled
// with the application title. Receives the text already shaped by
// exceptionReportText().
class IExceptionReport {
public:
    virtual ~IExceptionReport() = default;
    virtual void showException(const QString &text) = 0;
};

struct SaveDialogRequest {
    QString initialDir;
    QString fileName;
    QString defaultExtension; // without the dot, e.g. "ntl"
    QString filter;           // "Description|*.ext"
    bool overwritePrompt = true;
};

// File-save dialog. Returns whether the user confirmed; the chosen path then
// goes to `path` (the default extension appended when the user typed none).
class ISaveDialog {
public:
    virtual ~ISaveDialog() = default;
    virtual bool execute(const SaveDialogRequest &request, QString &path) = 0;
};

// Desktop shell "open": start a program, or open a URL in the browser. The
// caller examines no result; a failure is shown by the shell itself.
class IShell {
public:
    virtual ~IShell() = default;
    virtual void openProgram(const QString &program, const QStringList &arguments,
                             const QString &workingDirectory) = 0;
    virtual void openUrl(const QString &url) = 0;
};

// Facts about the running system.
class ISystemFacts {
public:
    virtual ~ISystemFacts() = default;
    // Directory of the running executable, with a trailing separator.
    virtual QString programDirectory() const = 0;
    virtual QDate today() const = 0;
};

// Sound output: plays a RIFF/WAVE PCM image from memory in the background.
class ISoundService {
public:
    virtual ~ISoundService() = default;
    // Number of audio output devices; 0 means none.
    virtual int outputDeviceCount() = 0;
    // Starts playing the image (which begins with "RIFF") and returns at once;
    // a sound still playing is cut off first. False when it cannot play; no
    // substitute sound is played then. The image must outlive the playback
    // or the next stop().
    virtual bool play(const QByteArray &riffImage) = 0;
    // Stops the sound being played, if any.
    virtual void stop() = 0;
};

// Desktop attention: marks a window as wanting the user's eye (a flashing
// task-bar entry, say) until the user activates it. Nothing is heard or
// popped up.
class IAttention {
public:
    virtual ~IAttention() = default;
    virtual void requestAttention(QWidget *window) = 0;
};

// Everything a window needs from the platform, handed over in one piece.
struct Services {
    IInputPrompt &prompt;
    IMessageBox &messages;
    IExceptionReport &report;
    ISaveDialog &saveDialog;
    IShell &shell;
    ISystemFacts &system;
    ISoundService &sound;
    IAttention &attention;
};

} // namespace natter
