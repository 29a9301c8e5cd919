#include "app/sendpanel.h"

#include <QMouseEvent>
#include <QPainter>

namespace natter {

SendPanel::SendPanel(const QString &caption, QWidget *parent) : QFrame(parent), m_caption(caption)
{
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Raised);
    setLineWidth(2);
    setAutoFillBackground(true);
    setCursor(Qt::PointingHandCursor);
}

QColor SendPanel::captionColour() const
{
    return m_pressed ? QColor(0xFF, 0x00, 0x00) : palette().color(QPalette::ButtonText);
}

void SendPanel::setPressedLook(bool pressed)
{
    m_pressed = pressed;
    setFrameShadow(pressed ? QFrame::Sunken : QFrame::Raised);
    update();
}

void SendPanel::mousePressEvent(QMouseEvent *event)
{
    m_held = true;
    Q_EMIT mouseDown();
    event->accept();
}

void SendPanel::mouseReleaseEvent(QMouseEvent *event)
{
    const bool wasHeld = m_held;
    m_held = false;
    Q_EMIT mouseUp();
    event->accept();
    if (wasHeld && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT clicked();
}

void SendPanel::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setPen(captionColour());
    painter.drawText(contentsRect(), Qt::AlignCenter, m_caption);
}

} // namespace natter
