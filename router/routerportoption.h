#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace natter {

class PortMapper;
struct PortMappingOutcome;

// The My IP address window's "Open the port on my router while listening":
// unchecked at every start, kept for the run. While it is checked and the
// host listens, the listening port is mapped on the home router; nothing is
// sent to the router otherwise.
class RouterPortOption : public QObject {
    Q_OBJECT

public:
    explicit RouterPortOption(std::unique_ptr<PortMapper> mapper, QObject *parent = nullptr);
    ~RouterPortOption() override;

    static QString caption() { return QStringLiteral("Open the port on my router while listening"); }

    bool checked() const { return m_checked; }
    void setChecked(bool checked);
    // The port the host listens on, or 0 when it does not listen.
    void setListeningPort(quint16 port);
    // What became of the mapping, for the window's label.
    QString status() const;

Q_SIGNALS:
    void statusChanged(const QString &status);
    // An outcome worth a line in the transcript: the router's answer, or
    // that none came. Once per outcome.
    void outcome(const QString &text);

private:
    void follow();
    void mapperChanged(const PortMappingOutcome &outcome);

    std::unique_ptr<PortMapper> m_mapper;
    bool m_checked = false;
    quint16 m_port = 0;
    quint16 m_mappedPort = 0;
};

} // namespace natter
