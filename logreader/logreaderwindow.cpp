#include "logreader/logreaderwindow.h"

#include "logreader/logloader.h"
#include "platform/exceptions.h"
#include "richtext/richview.h"

#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolBar>
#include <QUrl>

#include <utility>

namespace natter::logreader {

namespace {

// What is put into the page before it is first shown: a few pages of
// text; the rest follows in steps of kFillStep between events.
constexpr qsizetype kFirstFill = 64 * 1024;
constexpr qsizetype kFillStep = 256 * 1024;

// The page copies a long line whole, not in the pieces it shows.
class LogPage final : public QTextEdit {
public:
    using QTextEdit::QTextEdit;

protected:
    QMimeData *createMimeDataFromSelection() const override
    {
        QMimeData *joined = mimeDataJoiningPieces(textCursor());
        return joined != nullptr ? joined : QTextEdit::createMimeDataFromSelection();
    }
};

} // namespace

LogReaderWindow::LogReaderWindow(IMessageBox &messages, QWidget *parent)
    : QMainWindow(parent), m_messages(messages), m_page(new LogPage(this)), m_findBar(new QToolBar(this)),
      m_findField(new QLineEdit(this)), m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("logreader"));
    setWindowIcon(QApplication::windowIcon());
    resize(560, 480);
    setAcceptDrops(true);

    styleReadOnlyPage(*m_page);
    m_page->setObjectName(QStringLiteral("Page"));
    m_page->setAcceptDrops(false);
    m_page->setFocusPolicy(Qt::StrongFocus);
    setCentralWidget(m_page);

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction *open = file->addAction(QStringLiteral("&Open..."));
    open->setShortcut(QKeySequence::Open);
    connect(open, &QAction::triggered, this, [this] { guarded([this] { chooseAndOpen(); }); });
    QAction *save = file->addAction(QStringLiteral("&Save as text..."));
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(save, &QAction::triggered, this, [this] { guarded([this] { chooseAndSave(); }); });
    file->addSeparator();
    QAction *quit = file->addAction(QStringLiteral("E&xit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu *edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    QAction *findAction = edit->addAction(QStringLiteral("&Find..."));
    findAction->setShortcut(QKeySequence::Find);
    connect(findAction, &QAction::triggered, this, &LogReaderWindow::showFindBar);
    QAction *next = edit->addAction(QStringLiteral("Find &next"));
    next->setShortcut(QKeySequence::FindNext);
    connect(next, &QAction::triggered, this, [this] { findNext(m_findField->text()); });
    QAction *previous = edit->addAction(QStringLiteral("Find &previous"));
    previous->setShortcut(QKeySequence::FindPrevious);
    connect(previous, &QAction::triggered, this, [this] { findPrevious(m_findField->text()); });
    edit->addSeparator();
    QAction *copy = edit->addAction(QStringLiteral("&Copy"));
    copy->setShortcut(QKeySequence::Copy);
    connect(copy, &QAction::triggered, m_page, &QTextEdit::copy);
    QAction *all = edit->addAction(QStringLiteral("Select &all"));
    all->setShortcut(QKeySequence::SelectAll);
    connect(all, &QAction::triggered, this, [this] {
        fillPage();
        m_page->selectAll();
    });

    m_findBar->setObjectName(QStringLiteral("FindBar"));
    m_findBar->setMovable(false);
    m_findBar->addWidget(new QLabel(QStringLiteral(" Find: "), m_findBar));
    m_findField->setObjectName(QStringLiteral("FindField"));
    m_findField->setClearButtonEnabled(true);
    m_findBar->addWidget(m_findField);
    QAction *barNext = m_findBar->addAction(QStringLiteral("Next"));
    connect(barNext, &QAction::triggered, this, [this] { findNext(m_findField->text()); });
    QAction *barPrevious = m_findBar->addAction(QStringLiteral("Previous"));
    connect(barPrevious, &QAction::triggered, this, [this] { findPrevious(m_findField->text()); });
    QAction *close = m_findBar->addAction(QStringLiteral("Close"));
    connect(close, &QAction::triggered, m_findBar, &QWidget::hide);
    connect(m_findField, &QLineEdit::returnPressed, this, [this] { findNext(m_findField->text()); });
    addToolBar(Qt::BottomToolBarArea, m_findBar);
    m_findBar->hide();

    // Whatever the user does in the page sees the whole log.
    m_page->installEventFilter(this);
    m_page->viewport()->installEventFilter(this);
    m_fillTimer.setInterval(0);
    connect(&m_fillTimer, &QTimer::timeout, this, [this] {
        if (!m_filler->fill(kFillStep))
            fillPage();
    });

    statusBar()->addWidget(m_status, 1);
    m_status->setText(QStringLiteral("Open a saved chat log with File > Open, or drop one here."));
    updateTitle();
}

LogReaderWindow::~LogReaderWindow() = default;

void LogReaderWindow::updateTitle()
{
    const QString base = QStringLiteral("Natter Duo Log Reader");
    setWindowTitle(m_currentFile.isEmpty()
                       ? base
                       : QStringLiteral("%1 - %2").arg(QFileInfo(m_currentFile).fileName(), base));
}

bool LogReaderWindow::openFile(const QString &path)
{
    LoadedLog log = loadLog(path);
    if (!log.error.isEmpty()) {
        m_messages.showMessage(log.error);
        return false;
    }
    m_lines = std::move(log.lines);
    // The first pages go into a document the page does not show yet, so
    // they are laid out once; the rest follows while the page is shown.
    // The page frees only the document it made itself; the ones made here
    // belong to the window, and the one shown before goes once replaced.
    auto *document = new QTextDocument(this);
    document->setDefaultFont(m_page->font());
    m_filler =
        std::make_unique<PageFiller>(*document, rtf::Document{m_lines, std::move(log.runs), log.rich, {}});
    // The rest goes in once the first page has been painted, or whenever
    // something needs the whole log.
    if (!m_filler->fill(kFirstFill))
        fillPage();
    m_page->setDocument(document);
    delete std::exchange(m_document, document);
    m_page->moveCursor(QTextCursor::Start);
    m_currentFile = QFileInfo(path).absoluteFilePath();
    m_status->setText(statusText(log));
    updateTitle();
    return true;
}

QString LogReaderWindow::statusText(const LoadedLog &log) const
{
    QString text = QStringLiteral("%1 lines").arg(m_lines.size());
    if (!log.rich)
        text += QStringLiteral(" (not a rich-text log: shown as plain text)");
    if (!log.unknownCodePages.isEmpty()) {
        QStringList pages;
        for (const int page : log.unknownCodePages)
            pages << QString::number(page);
        text += QStringLiteral(" (unknown code page %1: read as Windows-1252)")
                    .arg(pages.join(QStringLiteral(", ")));
    }
    return text;
}

bool LogReaderWindow::saveAsText(const QString &path)
{
    const QString error = saveAsPlainText(path, m_lines);
    if (!error.isEmpty()) {
        m_messages.showMessage(error);
        return false;
    }
    m_status->setText(QStringLiteral("Saved as %1").arg(QFileInfo(path).fileName()));
    return true;
}

void LogReaderWindow::fillPage()
{
    m_fillTimer.stop();
    if (m_filler) {
        while (m_filler->fill(kFillStep)) {
        }
        m_filler.reset();
    }
}

bool LogReaderWindow::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::ShortcutOverride:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        fillPage();
        break;
    case QEvent::Paint:
        if (m_filler && !m_fillTimer.isActive())
            m_fillTimer.start();
        break;
    default:
        break;
    }
    return false;
}

bool LogReaderWindow::find(const QString &text, bool backwards)
{
    fillPage();
    if (text.isEmpty())
        return false;
    QTextCursor found = findText(*m_page->document(), text, m_page->textCursor(), backwards);
    bool wrapped = false;
    if (found.isNull()) { // wrap around once, from the other end
        QTextCursor end(m_page->document());
        end.movePosition(backwards ? QTextCursor::End : QTextCursor::Start);
        found = findText(*m_page->document(), text, end, backwards);
        wrapped = true;
    }
    if (!found.isNull()) {
        m_page->setTextCursor(found);
        m_page->ensureCursorVisible();
        m_status->setText(wrapped ? QStringLiteral("Search wrapped around") : QString());
        return true;
    }
    m_status->setText(QStringLiteral("\"%1\" not found").arg(text));
    return false;
}

bool LogReaderWindow::findNext(const QString &text)
{
    return find(text, false);
}

bool LogReaderWindow::findPrevious(const QString &text)
{
    return find(text, true);
}

void LogReaderWindow::showFindBar()
{
    m_findBar->show();
    m_findField->setFocus();
    m_findField->selectAll();
}

QString LogReaderWindow::openFolder() const
{
    return m_currentFile.isEmpty() ? m_logFolder : QFileInfo(m_currentFile).absolutePath();
}

void LogReaderWindow::chooseAndOpen()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open chat log"), openFolder(),
                                                      QStringLiteral("Natter logs (*.ntl);;All files (*)"));
    if (!path.isEmpty())
        openFile(path);
}

void LogReaderWindow::chooseAndSave()
{
    if (m_currentFile.isEmpty()) {
        m_messages.showMessage(QStringLiteral("There is no log open to save."));
        return;
    }
    QString proposed = m_currentFile;
    proposed = QFileInfo(proposed).path() + QLatin1Char('/') + QFileInfo(proposed).completeBaseName() +
               QStringLiteral(".txt");
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save as text"), proposed,
                                                      QStringLiteral("Text files (*.txt);;All files (*)"));
    if (!path.isEmpty())
        saveAsText(path);
}

void LogReaderWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const QMimeData *mime = event->mimeData();
    if (mime && mime->hasUrls() && !mime->urls().isEmpty() && mime->urls().constFirst().isLocalFile())
        event->acceptProposedAction();
}

void LogReaderWindow::dropEvent(QDropEvent *event)
{
    const QMimeData *mime = event->mimeData();
    if (!mime || !mime->hasUrls() || mime->urls().isEmpty())
        return;
    const QUrl url = mime->urls().constFirst();
    if (!url.isLocalFile())
        return;
    event->acceptProposedAction();
    const QString path = url.toLocalFile();
    guarded([this, path] { openFile(path); });
}

} // namespace natter::logreader
