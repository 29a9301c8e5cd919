// The chime carried in the program: its stored form, its header, its level
// over time and its spectrum.

#include "sound/chime.h"
#include "sound/wave.h"
#include "tests/sound/waveanalysis.h"
#include "tests/support/fakeservices.h"

#include <QtEndian>
#include <QtTest>

#include <memory>

using namespace natter;

namespace {

constexpr int kRate = 32000;

qsizetype ms(double milliseconds)
{
    return qsizetype(milliseconds * kRate / 1000.0);
}

QByteArray chimeImage()
{
    return embeddedChimeStoredForm().mid(4);
}

QList<int> chimeSamples()
{
    return test::pcm16Samples(chimeImage().mid(44));
}

} // namespace

class TestChime : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_fakes = std::make_unique<test::FakeServices>(); }
    void cleanup() { m_fakes.reset(); }

    void storedFormCountAndLength()
    {
        const QByteArray stored = embeddedChimeStoredForm();
        QCOMPARE(stored.size(), 12550);
        QCOMPARE(qFromLittleEndian<quint32>(stored.constData()), 12546u);
        QCOMPARE(stored.mid(4, 4), QByteArray("RIFF"));
    }

    void headerField_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("tag"); // expected bytes for tags
        QTest::addColumn<quint32>("value");  // expected number otherwise
        QTest::newRow("RIFF tag") << 0 << 4 << QByteArray("RIFF") << 0u;
        QTest::newRow("RIFF size") << 4 << 4 << QByteArray() << 12538u;
        QTest::newRow("form type") << 8 << 4 << QByteArray("WAVE") << 0u;
        QTest::newRow("fmt tag") << 12 << 4 << QByteArray("fmt ") << 0u;
        QTest::newRow("fmt size") << 16 << 4 << QByteArray() << 16u;
        QTest::newRow("format tag PCM") << 20 << 2 << QByteArray() << 1u;
        QTest::newRow("channels") << 22 << 2 << QByteArray() << 1u;
        QTest::newRow("samples per second") << 24 << 4 << QByteArray() << 32000u;
        QTest::newRow("bytes per second") << 28 << 4 << QByteArray() << 64000u;
        QTest::newRow("block align") << 32 << 2 << QByteArray() << 2u;
        QTest::newRow("bits per sample") << 34 << 2 << QByteArray() << 16u;
        QTest::newRow("data tag") << 36 << 4 << QByteArray("data") << 0u;
        QTest::newRow("data size") << 40 << 4 << QByteArray() << 12502u;
    }
    void headerField()
    {
        QFETCH(int, offset);
        QFETCH(int, size);
        QFETCH(QByteArray, tag);
        QFETCH(quint32, value);
        const QByteArray image = chimeImage();
        if (!tag.isEmpty()) {
            QCOMPARE(image.mid(offset, size), tag);
        } else if (size == 4) {
            QCOMPARE(qFromLittleEndian<quint32>(image.constData() + offset), value);
        } else {
            QCOMPARE(quint32(qFromLittleEndian<quint16>(image.constData() + offset)), value);
        }
    }

    void imageEndsWithTheDataChunk()
    {
        const QByteArray image = chimeImage();
        QCOMPARE(image.size(), 12546);
        // 44 header bytes and exactly the data chunk's bytes: nothing follows.
        QCOMPARE(image.size(), 44 + int(qFromLittleEndian<quint32>(image.constData() + 40)));
        QCOMPARE(chimeSamples().size(), 6251);
    }

    void levelProfile()
    {
        const QList<int> s = chimeSamples();
        const int top = *std::max_element(s.cbegin(), s.cend());
        const int bottom = *std::min_element(s.cbegin(), s.cend());
        QCOMPARE(top, 29491);
        QCOMPARE(bottom, -29492);
        // Both extremes lie in the full stretch.
        const qsizetype topAt = s.indexOf(top);
        const qsizetype bottomAt = s.indexOf(bottom);
        QVERIFY2(topAt >= ms(35) && topAt <= ms(150), qPrintable(QString::number(topAt)));
        QVERIFY2(bottomAt >= ms(35) && bottomAt <= ms(150), qPrintable(QString::number(bottomAt)));

        QVERIFY(test::peakLevel(s, 0, ms(20)) <= 2016);
        QVERIFY(test::peakLevel(s, 0, ms(20)) > 500); // quiet, not silent
        // Full level held from about 40 to about 150 ms: every 10 ms stretch peaks
        // above 80 % of the chime's peak.
        for (int start = 40; start < 150; start += 10)
            QVERIFY2(test::peakLevel(s, ms(start), ms(start + 10)) > 0.8 * top,
                     qPrintable(QStringLiteral("stretch at %1 ms").arg(start)));
        QVERIFY(test::peakLevel(s, ms(160), s.size()) < 4800);
        const int endLevel = test::peakLevel(s, s.size() - ms(5), s.size());
        QVERIFY2(endLevel >= 1000 && endLevel <= 1800, qPrintable(QString::number(endLevel)));
    }

    void spectrumPeaks()
    {
        const QList<int> s = chimeSamples();
        auto strength = [&](double hz) { return test::toneStrength(s, kRate, hz, 0, s.size()); };
        // Scan 100 Hz to 6 kHz in 10 Hz steps.
        QList<double> scan;
        for (int hz = 100; hz <= 6000; hz += 10)
            scan.append(strength(hz));
        auto strongestBetween = [&](int lo, int hi) {
            int best = lo;
            for (int hz = lo; hz <= hi; hz += 10)
                if (scan[(hz - 100) / 10] > scan[(best - 100) / 10])
                    best = hz;
            return best;
        };
        const int strongest = strongestBetween(100, 6000);
        QVERIFY2(strongest >= 500 && strongest <= 540, qPrintable(QString::number(strongest)));

        const std::array<std::pair<int, int>, 2> bands{{{1450, 1750}, {3650, 3950}}};
        const double floor = strength(1000) + strength(2500) + strength(5000);
        for (const auto &[lo, hi] : bands) {
            const int peak = strongestBetween(lo, hi);
            // A real peak: well inside the band and far above the quiet regions.
            QVERIFY2(peak > lo && peak < hi,
                     qPrintable(QStringLiteral("%1..%2: %3").arg(lo).arg(hi).arg(peak)));
            QVERIFY(strength(peak) > 20 * floor);
            QVERIFY(strength(peak) < strength(strongest));
        }
    }

    void componentLoadsTheEmbeddedChime()
    {
        TWaveComp comp(m_fakes->sound, nullptr);
        QCOMPARE(comp.Wave()->state(), TWave::State::Absent);
        comp.LoadEmbeddedChime();
        QCOMPARE(comp.Wave()->state(), TWave::State::Loaded);
        QCOMPARE(comp.Wave()->Data()->data(), chimeImage());
        QVERIFY(m_fakes->report.shown.isEmpty());

        // Written back, the wave gives exactly the stored form it was read from.
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        comp.Wave()->WriteData(out);
        QCOMPARE(out.data(), embeddedChimeStoredForm());
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
};

QTEST_GUILESS_MAIN(TestChime)
#include "tst_chime.moc"
