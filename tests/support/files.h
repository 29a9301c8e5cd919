#pragma once

#include <QFile>
#include <QtTest>

namespace natter::test {

// Writes `data` to a new file at `path`, failing the test when it cannot.
inline void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), data.size());
}

} // namespace natter::test
