#include "ui/aboutunit.h"

#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QPushButton>

namespace natter {

TAboutBox::TAboutBox(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint)
{
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("About Natter Duo"));
    setWindowIcon(QApplication::windowIcon());
    setFixedSize(298, 213);
    setModal(true);
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);

    auto *panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setGeometry(8, 8, 281, 161);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setLineWidth(2);
    QPalette cream = panel->palette();
    cream.setColor(QPalette::Window, QColor(0xFF, 0xFB, 0xF0));
    cream.setColor(QPalette::WindowText, Qt::black);
    panel->setPalette(cream);
    panel->setAutoFillBackground(true);

    m_programIcon = new QLabel(panel);
    m_programIcon->setObjectName(QStringLiteral("ProgramIcon"));
    m_programIcon->setGeometry(13, 19, 32, 32);
    m_programIcon->setPixmap(QApplication::windowIcon().pixmap(32, 32));

    const auto label = [panel](const char *name, int x, int y) {
        auto *l = new QLabel(panel);
        l->setObjectName(QLatin1String(name));
        l->move(x, y);
        return l;
    };
    m_productName = label("ProductName", 88, 16);
    m_version = label("Version", 88, 40);
    m_copyright = label("Copyright", 8, 80);
    m_comments = label("Comments", 8, 104);
    m_comments->setFixedSize(249, 49);
    m_comments->setWordWrap(true);
    m_comments->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont bold = m_productName->font();
    bold.setBold(true);
    m_productName->setFont(bold);

    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_okButton->setObjectName(QStringLiteral("OKButton"));
    m_okButton->setGeometry(111, 180, 75, 25);
    m_okButton->setDefault(true);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
}

QString TAboutBox::productNameText()
{
    return QStringLiteral("Natter Duo");
}

QString TAboutBox::versionText()
{
    return QStringLiteral("Version 1.0.2. Build 13");
}

QString TAboutBox::copyrightText()
{
    return QStringLiteral("Copyright \u00A9 2026 the Natter Duo developers");
}

QString TAboutBox::commentsText()
{
    return QStringLiteral("Made by the Natter Duo developers. Help and support: the manual, in "
                          "Help > Natter help and Help > Web site.");
}

void TAboutBox::FormActivate()
{
    m_productName->setText(productNameText());
    m_productName->adjustSize();
    m_version->setText(versionText());
    m_version->adjustSize();
    m_copyright->setText(copyrightText());
    m_copyright->adjustSize();
    m_comments->setText(commentsText());
}

void TAboutBox::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    FormActivate();
}

void TAboutBox::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

} // namespace natter
