#pragma once

#include <QBuffer>
#include <QFile>
#include <QtTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace natter::test {

// Writes `data` to a new file at `path`, failing the test when it cannot.
inline void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), data.size());
}

// A buffer whose reads and writes fail once `failAfter` bytes have gone
// through, as a disk that fills up or a drive pulled out would.
class FailDevice final : public QBuffer {
public:
    explicit FailDevice(qint64 failAfter, const QByteArray &content = {}) : m_failAfter(failAfter)
    {
        setData(content);
    }

protected:
    qint64 readData(char *data, qint64 size) override { return pass(QBuffer::readData(data, room(size))); }
    qint64 writeData(const char *data, qint64 size) override
    {
        return pass(QBuffer::writeData(data, room(size)));
    }

private:
    qint64 room(qint64 size)
    {
        if (size > m_failAfter - m_done)
            setErrorString(QStringLiteral("FAILDEVICE"));
        return std::min(size, m_failAfter - m_done);
    }
    qint64 pass(qint64 done)
    {
        if (done <= 0 && m_done >= m_failAfter)
            return -1;
        m_done += std::max<qint64>(done, 0);
        return done;
    }

    qint64 m_failAfter;
    qint64 m_done = 0;
};

// While alive, this thread sets aside its power to override the permissions
// of files and folders (root has it), so that they hold as for any user.
class PermissionsHold {
public:
    PermissionsHold()
    {
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_lowered = syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~PermissionsHold()
    {
        if (m_lowered)
            syscall(SYS_capset, &m_header, m_saved);
    }
    PermissionsHold(const PermissionsHold &) = delete;
    PermissionsHold &operator=(const PermissionsHold &) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_lowered = false;
};

} // namespace natter::test
