#pragma once

// One copy of the program for tests that hold conversations: the real chat
// window and everything the wiring puts behind it, with scripted prompts,
// message boxes, sound and attention.

#include "app/natterform.h"
#include "app/wiring.h"
#include "net/scktcomp.h"
#include "router/portmapping.h"
#include "tests/support/fakeservices.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace natter::test {

struct ChatProgram {
    ChatProgram() = default;
    // A chat window that holds at most `transcriptCharacters`.
    explicit ChatProgram(qsizetype transcriptCharacters) : form(fakes.sound, nullptr, transcriptCharacters) {}

    FakeServices fakes;
    Tnatterform form{fakes.sound};
    std::unique_ptr<WindowSet> subsystems =
        attachSubsystems(form, fakes.services(), std::make_unique<PortMapper>());

    QList<TranscriptLine> lines() { return form.transcript().lines(); }

    TranscriptLine lastLine()
    {
        const QList<TranscriptLine> all = lines();
        return all.value(all.size() - 1);
    }

    bool saw(const QString &text, QRgb colour) { return lines().contains(TranscriptLine{text, colour}); }

    // How many lines read exactly `text`, in any colour.
    int count(const QString &text)
    {
        int n = 0;
        for (const TranscriptLine &line : lines())
            n += line.text == text ? 1 : 0;
        return n;
    }

    // Types `text` into the entry box and presses Enter.
    void type(const QString &text)
    {
        form.Entry->setText(text);
        QTest::keyClick(form.Entry, Qt::Key_Return);
    }

    // The code this window shows while it hosts, as a partner types it.
    QString code() const { return form.CodePanel->text().remove(u' '); }

    int connections() const { return form.ServerSocket->Socket()->ActiveConnections(); }

    // Settings > Listen, as "ann" on `port`.
    void listen(quint16 port, const QString &name = QStringLiteral("ann"))
    {
        answer({name, QString::number(port)});
        form.Listen1Click();
    }

    // Settings > Connect, as "bob", to `host` on `port`, typing the host's
    // code (none: the host is an old copy).
    void join(const QString &host, quint16 port, const QString &code = QString(),
              const QString &name = QStringLiteral("bob"))
    {
        answer({name, QString::number(port), host, code});
        form.Connect1Click();
    }

    // The answers to the next prompts, in order; "!" cancels one.
    void answer(const QStringList &answers)
    {
        for (const QString &a : answers)
            a == QLatin1String("!") ? fakes.prompt.cancel() : fakes.prompt.answer(a);
    }
};

} // namespace natter::test
