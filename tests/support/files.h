#pragma once

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

// What the file at `path` holds; null when it cannot be opened.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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
