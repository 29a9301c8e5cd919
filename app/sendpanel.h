#pragma once

#include <QFrame>

namespace natter {

// The panel that serves as the Send button: raised while up, sunken with a
// red caption while a mouse button holds it down; a press and release of the
// left button over it is a click.
class SendPanel final : public QFrame {
    Q_OBJECT

public:
    explicit SendPanel(const QString &caption, QWidget *parent = nullptr);

    // Pressed look: bevels swapped and the caption red.
    void setPressedLook(bool pressed);
    bool pressedLook() const { return m_pressed; }
    QColor captionColour() const;

Q_SIGNALS:
    void mouseDown();
    void mouseUp();
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_caption;
    bool m_held = false;
    bool m_pressed = false;
};

} // namespace natter
