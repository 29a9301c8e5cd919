#pragma once

#include "platform/exceptions.h"
#include "platform/services.h"

#include <QByteArray>
#include <QQueue>
#include <QStringList>

#include <optional>

// Scripted doubles of the platform services, for tests. Rebuild them in each
// test's init() so no state leaks from one case to the next.

namespace natter::test {

struct PromptCall {
    QString title;
    QString prompt;
    QString initial;
};

// Answers prompts from a queue (no value: cancelled). A prompt with no
// answer left is a fault in the test: it aborts the test run with the
// prompt's text instead of looping forever.
struct ScriptedPrompt final : IInputPrompt {
    QQueue<std::optional<QString>> answers;
    QList<PromptCall> calls;

    void answer(const QString &value) { answers.enqueue(value); }
    void cancel() { answers.enqueue(std::nullopt); }

    bool inputQuery(const QString &title, const QString &prompt, QString &value) override
    {
        calls.append({title, prompt, value});
        if (answers.isEmpty())
            qFatal("ScriptedPrompt: no answer left for prompt \"%s\"", qPrintable(prompt));
        const std::optional<QString> a = answers.dequeue();
        if (a)
            value = a->left(255);
        return a.has_value();
    }
};

struct RecordingMessageBox final : IMessageBox {
    QStringList shown;
    void showMessage(const QString &text) override { shown.append(text); }
};

struct RecordingExceptionReport final : IExceptionReport {
    QStringList shown;
    void showException(const QString &text) override { shown.append(text); }
};

struct ScriptedSaveDialog final : ISaveDialog {
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

// Notes each URL opened, and each program started as "program in folder".
struct RecordingShell final : IShell {
    QStringList calls;
    void openProgram(const QString &program, const QStringList &, const QString &workingDirectory) override
    {
        calls.append(program + QStringLiteral(" in ") + workingDirectory);
    }
    void openUrl(const QString &url) override { calls.append(url); }
};

struct FixedSystemFacts final : ISystemFacts {
    QString directory = QStringLiteral("/nonexistent/natter/");
    QDate date = QDate(2026, 12, 5);
    QString programDirectory() const override { return directory; }
    QDate today() const override { return date; }
};

// Counts the chimes played on its one output.
struct FakeSoundService final : ISoundService {
    int plays = 0;

    int outputDeviceCount() override { return 1; }
    bool play(const QByteArray &) override
    {
        ++plays;
        return true;
    }
    void stop() override {}
};

struct RecordingAttention final : IAttention {
    QList<QWidget *> requests;
    void requestAttention(QWidget *window) override { requests.append(window); }
};

// All doubles in one bundle, installed as the application's exception report
// for as long as the bundle lives.
struct FakeServices {
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
