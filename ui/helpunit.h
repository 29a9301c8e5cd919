#pragma once

#include "platform/files.h"
#include "platform/services.h"

#include <QStringList>
#include <QWidget>

class QTextEdit;

namespace natter {

// The help window: the program's manual in a read-only rich-text page. It
// starts with the built-in manual; every time it is shown it loads the help
// data file from the program directory instead, or, when that file is
// missing, appends a note saying so.
class Thelpform : public QWidget {
    Q_OBJECT
public:
    explicit Thelpform(const ISystemFacts &system, QWidget *parent = nullptr);

    QTextEdit *Helpage() const { return m_helpage; }

    // Loads the help data file (see above). When the file is there but
    // cannot be opened or read, the application's exception report says so
    // and the page keeps what it held before.
    void FormShow();
    // Shows the window modeless, restored when minimised, and brings it to
    // the front.
    void showHelp();

    static QStringList builtInManual();
    static constexpr const char *kHelpFileName = "127982071.dat";
    // A larger help file is refused.
    static constexpr qint64 kMaxHelpFileSize = 16 * 1024 * 1024;
    static QString missingFileNote();
    // What the report shows when the help file at `path` cannot be loaded.
    static QString loadError(const QString &path, const FileResult &result);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void scrollToTop();

    const ISystemFacts &m_system;
    QTextEdit *m_helpage;
};

} // namespace natter
