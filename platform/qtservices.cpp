#include "platform/qtservices.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>
#include <QWidget>

namespace natter {

QString applicationTitle()
{
    return QStringLiteral("Natter Duo");
}

bool QtInputPrompt::inputQuery(const QString &title, const QString &prompt, QString &value)
{
    QInputDialog dialog(m_parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setOkButtonText(QStringLiteral("OK"));
    dialog.setCancelButtonText(QStringLiteral("Cancel"));
    dialog.setTextValue(value.left(255));
    if (auto *label = dialog.findChild<QLabel *>())
        label->setTextFormat(Qt::PlainText);
    if (auto *edit = dialog.findChild<QLineEdit *>()) {
        edit->setMaxLength(255);
        edit->selectAll();
    }
    if (dialog.exec() != QDialog::Accepted)
        return false;
    value = dialog.textValue();
    return true;
}

namespace {
void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    QMessageBox box(icon, applicationTitle(), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
} // namespace

void QtMessageBox::showMessage(const QString &text)
{
    showBox(m_parent, QMessageBox::NoIcon, text);
}

void QtExceptionReport::showException(const QString &text)
{
    if (QWidget *grabber = QWidget::mouseGrabber())
        grabber->releaseMouse();
    showBox(m_parent, QMessageBox::Critical, text);
}

QString qtFilterFromPipeFilter(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts.at(i + 1);
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << QStringLiteral("%1 (%2)").arg(parts.at(i), patterns);
    }
    return filters.join(QStringLiteral(";;"));
}

bool QtSaveDialog::execute(const SaveDialogRequest &request, QString &path)
{
    QFileDialog dialog(m_parent, QString(), request.initialDir, qtFilterFromPipeFilter(request.filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(request.defaultExtension);
    dialog.selectFile(request.fileName);
    if (!request.overwritePrompt)
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    path = dialog.selectedFiles().constFirst();
    return true;
}

void QtShell::openProgram(const QString &program, const QStringList &arguments,
                          const QString &workingDirectory)
{
    // A program named relative to a working directory is started from there
    // or not at all: a program of the same name elsewhere on the PATH is
    // some other program.
    const bool besides = !QFileInfo(program).isAbsolute() && !workingDirectory.isEmpty();
    const QString resolved = besides ? QDir(workingDirectory).filePath(program) : program;
    const QFileInfo target(resolved);
    const bool runnable = !besides || (target.isFile() && target.isExecutable());
    if (!runnable || !QProcess::startDetached(resolved, arguments, workingDirectory)) {
        m_messages.showMessage(
            QStringLiteral("Cannot start \"%1\". The program could not be found or is not executable.")
                .arg(QDir::toNativeSeparators(resolved)));
    }
}

void QtShell::openUrl(const QString &url)
{
    if (!QDesktopServices::openUrl(QUrl(url)))
        m_messages.showMessage(
            QStringLiteral("Cannot open \"%1\". No web browser could be started.").arg(url));
}

QString programDirectoryOf(const QString &executable)
{
    const QFileInfo info(executable);
    const QString resolved = info.canonicalFilePath();
    QString dir = QFileInfo(resolved.isEmpty() ? info.absoluteFilePath() : resolved).absolutePath();
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

QString QtSystemFacts::programDirectory() const
{
    return programDirectoryOf(QCoreApplication::applicationFilePath());
}

QDate QtSystemFacts::today() const
{
    return QDate::currentDate();
}

void QtAttention::requestAttention(QWidget *window)
{
    QApplication::alert(window); // until the window is activated
}

} // namespace natter
