#pragma once

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <numbers>

// Small measuring tools for 16-bit mono PCM: level over a stretch of samples
// and the strength of one frequency (a single DFT bin).

namespace natter::test {

inline QList<int> pcm16Samples(const QByteArray &bytes)
{
    QList<int> samples;
    samples.reserve(bytes.size() / 2);
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        samples.append(qFromLittleEndian<qint16>(bytes.constData() + i));
    return samples;
}

// Largest absolute sample in [begin, end).
inline int peakLevel(const QList<int> &s, qsizetype begin, qsizetype end)
{
    int peak = 0;
    for (qsizetype i = std::max<qsizetype>(begin, 0); i < std::min(end, s.size()); ++i)
        peak = std::max(peak, std::abs(s[i]));
    return peak;
}

// Mean amplitude of the component at `hz` over [begin, end): a pure tone of
// amplitude A measures about A / 2.
inline double toneStrength(const QList<int> &s, int rate, double hz, qsizetype begin, qsizetype end)
{
    begin = std::max<qsizetype>(begin, 0);
    end = std::min(end, s.size());
    if (end <= begin)
        return 0;
    double re = 0;
    double im = 0;
    const double w = 2 * std::numbers::pi * hz / rate;
    for (qsizetype i = begin; i < end; ++i) {
        re += s[i] * std::cos(w * double(i - begin));
        im += s[i] * std::sin(w * double(i - begin));
    }
    return std::hypot(re, im) / double(end - begin);
}

// Indices of the first and last sample whose level exceeds `threshold`
// (-1, -1 when none does).
inline std::pair<qsizetype, qsizetype> activeSpan(const QList<int> &s, int threshold)
{
    qsizetype first = -1;
    qsizetype last = -1;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (std::abs(s[i]) > threshold) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    return {first, last};
}

} // namespace natter::test
