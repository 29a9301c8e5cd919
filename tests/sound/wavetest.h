#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QtEndian>

#include "sound/chime.h"

#include <complex>
#include <numbers>

namespace natter::test {

// Wave images, and measuring 16-bit mono samples at 32000 per second.
struct WaveTest : QObject {
    static QByteArray chime() { return embeddedChimeStoredForm().mid(4); }
    static QByteArray patched(qsizetype at, const QByteArray &b) { return chime().replace(at, b.size(), b); }
    static QByteArray le(quint32 value, int size = 4)
    {
        const quint32 bytes = qToLittleEndian(value);
        return QByteArray(reinterpret_cast<const char *>(&bytes), size);
    }
    static qsizetype ms(int milliseconds) { return qsizetype(milliseconds) * 32; }
    static QList<int> samples(const QByteArray &pcm)
    {
        QList<int> s;
        for (qsizetype i = 0; i + 1 < pcm.size(); i += 2)
            s << qFromLittleEndian<qint16>(pcm.constData() + i);
        return s;
    }
    // One DFT bin from `from` to the end: a pure tone of amplitude A measures about A / 2.
    static double strength(const QList<int> &s, double hz, qsizetype from = 0)
    {
        std::complex<double> sum;
        for (qsizetype i = from; i < s.size(); ++i)
            sum += double(s[i]) * std::polar(1.0, 2 * std::numbers::pi * hz * double(i - from) / 32000);
        return std::abs(sum) / double(s.size() - from);
    }
};

} // namespace natter::test
