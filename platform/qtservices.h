#pragma once

#include "platform/services.h"

class QWidget;

// The real platform services, built on Qt Widgets and the desktop.

namespace natter {

// The application title, used as the caption of every message box.
QString applicationTitle();

class QtInputPrompt final : public IInputPrompt {
public:
    explicit QtInputPrompt(QWidget *parent = nullptr) : m_parent(parent) {}
    bool inputQuery(const QString &title, const QString &prompt, QString &value) override;

private:
    QWidget *m_parent;
};

class QtMessageBox final : public IMessageBox {
public:
    explicit QtMessageBox(QWidget *parent = nullptr) : m_parent(parent) {}
    void showMessage(const QString &text) override;

private:
    QWidget *m_parent;
};

class QtExceptionReport final : public IExceptionReport {
public:
    explicit QtExceptionReport(QWidget *parent = nullptr) : m_parent(parent) {}
    void showException(const QString &text) override;

private:
    QWidget *m_parent;
};

class QtSaveDialog final : public ISaveDialog {
public:
    explicit QtSaveDialog(QWidget *parent = nullptr) : m_parent(parent) {}
    bool execute(const SaveDialogRequest &request, QString &path) override;

private:
    QWidget *m_parent;
};

class QtShell final : public IShell {
public:
    explicit QtShell(IMessageBox &messages) : m_messages(messages) {}
    void openProgram(const QString &program, const QStringList &arguments,
                     const QString &workingDirectory) override;
    void openUrl(const QString &url) override;

private:
    IMessageBox &m_messages;
};

class QtSystemFacts final : public ISystemFacts {
public:
    QString programDirectory() const override;
    QDate today() const override;
};

// The directory that holds `executable` once links are resolved, with a
// trailing separator: for /usr/bin/natter, a link to the installed program,
// the installed program's directory.
QString programDirectoryOf(const QString &executable);

class QtAttention final : public IAttention {
public:
    void requestAttention(QWidget *window) override;
};

// Turns a "Description|*.ext" filter into Qt's "Description (*.ext)" form.
QString qtFilterFromPipeFilter(const QString &filter);

} // namespace natter
