#pragma once

#include "platform/exceptions.h"
#include "platform/services.h"

#include <QByteArray>
#include <QQueue>
#include <QStringList>

// Scripted doubles of the platform services, for tests. Rebuild them in each
// test's init() so no state leaks from one case to the next.

namespace natter::test {

struct PromptCall {
    QString title;
    QString prompt;
    QString initial;
};

struct PromptAnswer {
    bool ok = true;
    QString value;
};

// Answers prompts from a queue. A prompt with no answer left is a fault in
// the test: it aborts the test run with the prompt's text instead of
// looping forever.
class ScriptedPrompt final : public IInputPrompt {
public:
    QQueue<PromptAnswer> answers;
    QList<PromptCall> calls;

    void answer(const QString &value) { answers.enqueue({true, value}); }
    void cancel() { answers.enqueue({false, QString()}); }

    bool inputQuery(const QString &title, const QString &prompt, QString &value) override
    {
        calls.append({title, prompt, value});
        if (answers.isEmpty())
            qFatal("ScriptedPrompt: no answer left for prompt \"%s\"", qPrintable(prompt));
        const PromptAnswer a = answers.dequeue();
        if (a.ok)
            value = a.value.left(255);
        return a.ok;
    }
};

class RecordingMessageBox final : public IMessageBox {
public:
    QStringList shown;
    void showMessage(const QString &text) override { shown.append(text); }
};

class RecordingExceptionReport final : public IExceptionReport {
public:
    QStringList shown;
    void showException(const QString &text) override { shown.append(text); }
};

class ScriptedSaveDialog final : public ISaveDialog {
public:
    bool confirm = true;
    QString path;
    QList<SaveDialogRequest> requests;

    bool execute(const SaveDialogRequest &request, QString &chosen) override
    {
        requests.append(request);
        if (confirm)
            chosen = path;
        return confirm;
    }
};

struct ShellCall {
    QString program; // empty for a URL
    QStringList arguments;
    QString workingDirectory;
    QString url;
};

class RecordingShell final : public IShell {
public:
    QList<ShellCall> calls;
    void openProgram(const QString &program, const QStringList &arguments,
                     const QString &workingDirectory) override
    {
        calls.append({program, arguments, workingDirectory, QString()});
    }
    void openUrl(const QString &url) override { calls.append({QString(), {}, QString(), url}); }
};

class FixedSystemFacts final : public ISystemFacts {
public:
    QString directory = QStringLiteral("/nonexistent/natter/");
    QDate date = QDate(2026, 12, 5);
    QString programDirectory() const override { return directory; }
    QDate today() const override { return date; }
};

// Counts the chimes played; says there are `devices` outputs.
class FakeSoundService final : public ISoundService {
public:
    int devices = 1;
    int plays = 0;

    int outputDeviceCount() override { return devices; }
    bool play(const QByteArray &) override
    {
        ++plays;
        return true;
    }
    void stop() override {}
};

class RecordingAttention final : public IAttention {
public:
    QList<QWidget *> requests;
    void requestAttention(QWidget *window) override { requests.append(window); }
};

// All doubles in one bundle, installed as the application's exception report
// for as long as the bundle lives.
class FakeServices {
public:
    ScriptedPrompt prompt;
    RecordingMessageBox messages;
    RecordingExceptionReport report;
    ScriptedSaveDialog saveDialog;
    RecordingShell shell;
    FixedSystemFacts system;
    FakeSoundService sound;
    RecordingAttention attention;

    FakeServices() { setApplicationExceptionReport(&report); }
    ~FakeServices()
    {
        if (applicationExceptionReport() == &report)
            setApplicationExceptionReport(nullptr);
    }
    FakeServices(const FakeServices &) = delete;
    FakeServices &operator=(const FakeServices &) = delete;

    Services services()
    {
        return Services{prompt, messages, report, saveDialog, shell, system, sound, attention};
    }
};

} // namespace natter::test
