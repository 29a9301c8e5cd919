#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace natter {

// The About box: product name, version, copyright and a credit line, set
// afresh every time the box becomes active.
class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget *parent = nullptr);

    QLabel *ProgramIcon() const { return m_programIcon; }
    QLabel *ProductName() const { return m_productName; }
    QLabel *Version() const { return m_version; }
    QLabel *Copyright() const { return m_copyright; }
    QLabel *Comments() const { return m_comments; }
    QPushButton *OKButton() const { return m_okButton; }

    void FormActivate();

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    static QString productNameText();
    static QString versionText();
    static QString copyrightText();
    static QString commentsText();

    QLabel *m_programIcon;
    QLabel *m_productName;
    QLabel *m_version;
    QLabel *m_copyright;
    QLabel *m_comments;
    QPushButton *m_okButton;
};

} // namespace natter
