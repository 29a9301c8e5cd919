// test group: system
#pragma once

// Network namespaces of the test's own, for cases that need more than this
// machine's loopback: made with "ip netns", joined by veth pairs, and
// removed again, with their /etc/netns files, when the rig goes. Needs root
// and iproute2; unavailable() says why a test must skip.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace natter::test {

// Runs `command` (stdin fed from `input`): its exit code, -1 when it did not
// end normally in time. What it printed goes into `output`, when given.
inline int runCommand(const QStringList &command, QByteArray *output = nullptr, const QByteArray &input = {},
                      int timeoutMs = 20000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    if (!input.isEmpty()) {
        process.write(input);
        process.closeWriteChannel();
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(2000);
        return -1;
    }
    if (output != nullptr)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// Moves the calling thread into the named namespace; its sockets, and the
// threads it starts, are made there from then on.
inline bool enterNamespace(const QString &name)
{
    const int fd = ::open(qPrintable(QStringLiteral("/var/run/netns/") + name), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0)
        ::close(fd);
    return entered;
}

// Runs fn with the calling thread inside the named namespace, then brings
// it back. True when fn ran and the thread is back.
template <typename Fn> bool inNamespace(const QString &name, Fn fn)
{
    const int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const bool entered = home >= 0 && enterNamespace(name);
    if (entered)
        fn();
    const bool back = home >= 0 && ::setns(home, CLONE_NEWNET) == 0;
    if (home >= 0)
        ::close(home);
    return entered && back;
}

class NamespaceRig {
public:
    // Namespaces are named "<prefix>-<pid>-<role>".
    explicit NamespaceRig(const QString &prefix)
        : m_prefix(prefix + QLatin1Char('-') + QString::number(::getpid()))
    {
    }
    ~NamespaceRig()
    {
        for (const QString &name : std::as_const(m_made)) {
            runCommand({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("del"), name});
            QDir(QStringLiteral("/etc/netns/") + name).removeRecursively();
        }
        if (m_madeNetnsFolder)
            QDir().rmdir(QStringLiteral("/etc/netns"));
    }
    NamespaceRig(const NamespaceRig &) = delete;
    NamespaceRig &operator=(const NamespaceRig &) = delete;

    // Empty when namespaces can be made here and the tools are installed;
    // else why not.
    static QString unavailable(const QStringList &tools = {})
    {
        if (::geteuid() != 0)
            return QStringLiteral("network namespaces need root");
        for (const QString &tool : QStringList{QStringLiteral("ip")} + tools) {
            if (QStandardPaths::findExecutable(tool, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                                      QStringLiteral("/usr/bin"), QStringLiteral("/bin")})
                    .isEmpty())
                return tool + QStringLiteral(" is not installed");
        }
        return {};
    }

    QString name(const QString &role) const { return m_prefix + QLatin1Char('-') + role; }

    // A new namespace with its loopback up.
    bool add(const QString &role)
    {
        const QString ns = name(role);
        if (runCommand({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("add"), ns}) != 0)
            return false;
        m_made << ns;
        return ip(role, QStringLiteral("link set lo up"));
    }

    // Runs "ip -n <namespace> <arguments>".
    bool ip(const QString &role, const QString &arguments) const
    {
        return runCommand(QStringList{QStringLiteral("ip"), QStringLiteral("-n"), name(role)} +
                          arguments.split(QLatin1Char(' '))) == 0;
    }

    // Runs a command inside a namespace: its exit code.
    int exec(const QString &role, const QStringList &command, QByteArray *output = nullptr,
             const QByteArray &input = {}) const
    {
        return runCommand(
            QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), name(role)} +
                command,
            output, input);
    }

    // A veth pair between two namespaces, each end with its address
    // ("10.0.0.1/24"), both up. The ends are named after the pair's number
    // unless named here; each name lives in its own namespace only.
    bool link(const QString &roleA, const QString &addressA, const QString &roleB, const QString &addressB,
              QString a = {}, QString b = {})
    {
        a = a.isEmpty() ? QStringLiteral("v%1a").arg(m_links) : a;
        b = b.isEmpty() ? QStringLiteral("v%1b").arg(m_links++) : b;
        return ip(roleA,
                  QStringLiteral("link add %1 type veth peer name %2 netns %3").arg(a, b, name(roleB))) &&
               ip(roleA, QStringLiteral("addr add %1 dev %2").arg(addressA, a)) &&
               ip(roleB, QStringLiteral("addr add %1 dev %2").arg(addressB, b)) &&
               ip(roleA, QStringLiteral("link set %1 up").arg(a)) &&
               ip(roleB, QStringLiteral("link set %1 up").arg(b));
    }

    // The namespace's own /etc/hosts, for programs run inside it.
    bool hostsFile(const QString &role, const QByteArray &text)
    {
        const QString etc = QStringLiteral("/etc/netns/") + name(role);
        if (!QDir(QStringLiteral("/etc/netns")).exists())
            m_madeNetnsFolder = true;
        QFile hosts(etc + QStringLiteral("/hosts"));
        return QDir().mkpath(etc) && hosts.open(QIODevice::WriteOnly) && hosts.write(text) == text.size();
    }

    template <typename Fn> bool inside(const QString &role, Fn fn) { return inNamespace(name(role), fn); }

private:
    QString m_prefix;
    QStringList m_made;
    int m_links = 0;
    bool m_madeNetnsFolder = false;
};

} // namespace natter::test
