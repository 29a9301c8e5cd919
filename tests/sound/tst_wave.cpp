// TWave and TWaveComp: loading the stored property, the header check, playing
// through the sound service and stopping before a block goes away.

#include "sound/chime.h"
#include "sound/wave.h"
#include "tests/support/fakeservices.h"

#include <QtEndian>
#include <QtTest>

#include <memory>

using namespace natter;

namespace {

QByteArray chimeImage()
{
    return embeddedChimeStoredForm().mid(4);
}

QByteArray storedForm(const QByteArray &image)
{
    QByteArray count(4, '\0');
    qToLittleEndian<quint32>(quint32(image.size()), count.data());
    return count + image;
}

// A minimal header with chosen format fields (nothing after the block align).
QByteArray header(const char *riff, const char *wave, const char *fmt, quint16 formatTag, quint16 channels,
                  quint32 rate)
{
    QByteArray h;
    auto put = [&h](auto v) {
        char b[sizeof v];
        qToLittleEndian(v, b);
        h.append(b, qsizetype(sizeof v));
    };
    h.append(riff, 4);
    put(quint32(1234));
    h.append(wave, 4);
    h.append(fmt, 4);
    put(quint32(16));
    put(formatTag);
    put(channels);
    put(rate);
    put(quint32(rate * 2));
    put(quint16(0x0403)); // block align
    return h;
}

// Checks, whenever the sound is stopped, that the wave still holds the block
// whose bytes the platform was given: stop must come before release.
class WatchingSound final : public ISoundService {
public:
    const TWave *wave = nullptr;
    const char *playing = nullptr; // the bytes handed over, not kept alive
    QStringList log;

    int outputDeviceCount() override
    {
        log.append(QStringLiteral("devices"));
        return 1;
    }
    bool play(const QByteArray &image) override
    {
        playing = image.constData();
        log.append(QStringLiteral("play"));
        return true;
    }
    void stop() override
    {
        const bool held = wave && wave->Data() && wave->Data()->data().constData() == playing;
        log.append(playing && !held ? QStringLiteral("stop after release") : QStringLiteral("stop"));
        playing = nullptr;
    }
};

std::unique_ptr<QBuffer> blockOf(const QByteArray &bytes)
{
    auto b = std::make_unique<QBuffer>();
    b->setData(bytes);
    b->open(QIODevice::ReadOnly);
    return b;
}

} // namespace

class TestWave : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_fakes = std::make_unique<test::FakeServices>(); }
    void cleanup() { m_fakes.reset(); }

    void getWaveData_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<bool>("valid");
        QTest::newRow("chime") << chimeImage() << true;
        QTest::newRow("header only") << header("RIFF", "WAVE", "fmt ", 1, 1, 32000) << true;
        // The format is not judged: any tag, channel count or rate passes.
        QTest::newRow("odd format") << header("RIFF", "WAVE", "fmt ", 85, 7, 0) << true;
        QTest::newRow("empty block") << QByteArray() << false;
        QTest::newRow("wrong RIFF tag") << header("RIFX", "WAVE", "fmt ", 1, 1, 32000) << false;
        QTest::newRow("wrong form type") << header("RIFF", "AVI ", "fmt ", 1, 1, 32000) << false;
        QTest::newRow("fmt not first") << header("RIFF", "WAVE", "LIST", 1, 1, 32000) << false;
        QTest::newRow("wrong tag, short block") << QByteArray("RIFX") << false;
    }
    void getWaveData()
    {
        QFETCH(QByteArray, block);
        QFETCH(bool, valid);
        QBuffer buffer;
        buffer.setData(block);
        buffer.open(QIODevice::ReadOnly);
        if (!block.isEmpty())
            buffer.seek(block.size() / 2);
        TWaveFormat format;
        QCOMPARE(TWave::GetWaveData(&buffer, format), valid);
        QCOMPARE(buffer.pos(), 0);
    }

    void getWaveDataRecordsTheFormat()
    {
        QBuffer buffer;
        buffer.setData(chimeImage());
        TWaveFormat format;
        QVERIFY(TWave::GetWaveData(&buffer, format));
        QCOMPARE(format.riffSize, 12538u);
        QVERIFY(format.pcm);
        QCOMPARE(format.channels, TWaveFormat::ChannelMode::Mono);
        QCOMPARE(format.sampleRate, 32000u);
        QCOMPARE(format.blockAlign, quint16(2));

        buffer.close();
        buffer.setData(header("RIFF", "WAVE", "fmt ", 3, 2, 44100));
        QVERIFY(TWave::GetWaveData(&buffer, format));
        QVERIFY(!format.pcm);
        QCOMPARE(format.channels, TWaveFormat::ChannelMode::Stereo);
        QCOMPARE(format.sampleRate, 44100u);
        QCOMPARE(format.blockAlign, quint16(0x0403));

        TWaveFormat none;
        QVERIFY(!TWave::GetWaveData(nullptr, none));
    }

    void getWaveDataOnTruncatedHeader_data()
    {
        QTest::addColumn<int>("length");
        for (int length : {3, 4, 7, 11, 15, 19, 31, 33})
            QTest::addRow("%d bytes", length) << length;
    }
    void getWaveDataOnTruncatedHeader()
    {
        QFETCH(int, length);
        QBuffer buffer;
        buffer.setData(chimeImage().left(length));
        buffer.open(QIODevice::ReadOnly);
        TWaveFormat format;
        QVERIFY_THROWS_EXCEPTION(EErrorCheckingWave, TWave::GetWaveData(&buffer, format));
        QCOMPARE(buffer.pos(), 0);
    }

    void zeroLengthPropertyLeavesTheWaveAbsent()
    {
        TWaveComp comp(m_fakes->sound, nullptr);
        comp.LoadStoredForm(QByteArray());
        QCOMPARE(comp.Wave()->state(), TWave::State::Absent);
        QVERIFY(comp.Wave()->IsEmpty());
        QVERIFY(!comp.Play());
        QVERIFY(m_fakes->sound.log.isEmpty()); // not even the device count is asked
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

    void zeroCountGivesAnEmptyWave()
    {
        TWaveComp comp(m_fakes->sound, nullptr);
        comp.LoadStoredForm(QByteArray(4, '\0'));
        QCOMPARE(comp.Wave()->state(), TWave::State::Empty);
        QVERIFY(comp.Wave()->IsEmpty());
        QVERIFY(!comp.Play());
        QCOMPARE(m_fakes->sound.plays, 0);
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

    // Every bad stored property is reported and leaves the chime in place.
    void badStoredPropertyKeepsThePreviousBlock_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("report");
        const QByteArray image = chimeImage();
        QTest::newRow("count cut short") << QByteArray("\x02\x31", 2) << QStringLiteral("Stream read error");
        QTest::newRow("image shorter than its count")
            << storedForm(image).left(5000) << QStringLiteral("Stream read error");
        QTest::newRow("huge count") << (QByteArray("\xff\xff\xff\xff", 4) + image)
                                    << QStringLiteral("Stream read error");
        QTest::newRow("wrong tag") << storedForm("RIFX" + image.mid(4))
                                   << QStringLiteral("Invalid wave data: not a RIFF/WAVE image");
        QTest::newRow("header cut short")
            << storedForm(image.left(30))
            << QStringLiteral("Error checking wave header: the image ends inside it");
    }
    void badStoredPropertyKeepsThePreviousBlock()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, report);
        TWaveComp comp(m_fakes->sound, nullptr);
        comp.LoadEmbeddedChime();
        const QBuffer *before = comp.Wave()->Data();
        comp.LoadStoredForm(stored);
        // The report shows each message with its closing period.
        QCOMPARE(m_fakes->report.shown, QStringList{report + QLatin1Char('.')});
        QCOMPARE(comp.Wave()->Data(), before);
        QCOMPARE(comp.Wave()->Data()->data(), chimeImage());
        QCOMPARE(m_fakes->sound.stops, 0); // nothing was replaced
    }

    void loadErrorsAreTyped()
    {
        TWave wave(m_fakes->sound);
        QBuffer stream;
        stream.setData(storedForm("RIFX" + chimeImage().mid(4)));
        stream.open(QIODevice::ReadOnly);
        QVERIFY_THROWS_EXCEPTION(EInvalidWave, wave.ReadData(stream));
        stream.close();
        stream.setData(storedForm(chimeImage().left(16)));
        stream.open(QIODevice::ReadOnly);
        QVERIFY_THROWS_EXCEPTION(EErrorCheckingWave, wave.ReadData(stream));
        QCOMPARE(wave.state(), TWave::State::Absent);
    }

    void playHandsOverTheImageNotTheCount()
    {
        TWaveComp comp(m_fakes->sound, nullptr);
        comp.LoadEmbeddedChime();
        QVERIFY(comp.Play());
        QCOMPARE(m_fakes->sound.log,
                 (QStringList{QStringLiteral("devices"), QStringLiteral("play:12546:RIFF")}));
        QCOMPARE(m_fakes->sound.lastImage, chimeImage());
        // The same bytes the wave holds: no copy is made for playing.
        QCOMPARE(m_fakes->sound.lastImage.constData(), comp.Wave()->Data()->data().constData());
    }

    void playResult_data()
    {
        QTest::addColumn<int>("devices");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("plays");
        QTest::newRow("accepted") << 1 << true << true << 1;
        QTest::newRow("refused by the platform") << 2 << false << false << 1;
        QTest::newRow("no output device") << 0 << true << false << 0;
    }
    void playResult()
    {
        QFETCH(int, devices);
        QFETCH(bool, accept);
        QFETCH(bool, result);
        QFETCH(int, plays);
        TWaveComp comp(m_fakes->sound, nullptr);
        comp.LoadEmbeddedChime();
        m_fakes->sound.devices = devices;
        m_fakes->sound.accept = accept;
        QCOMPARE(comp.Play(), result);
        QCOMPARE(m_fakes->sound.plays, plays);
        // No message of any kind follows a failed play.
        QVERIFY(m_fakes->messages.shown.isEmpty());
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

    void deviceCountIsAskedAtEveryPlay()
    {
        TWaveComp comp(m_fakes->sound, nullptr);
        comp.LoadEmbeddedChime();
        m_fakes->sound.devices = 0;
        QVERIFY(!comp.Play());
        m_fakes->sound.devices = 1;
        QVERIFY(comp.Play());
        m_fakes->sound.devices = 0;
        QVERIFY(!comp.Play());
        QCOMPARE(m_fakes->sound.log,
                 (QStringList{QStringLiteral("devices"), QStringLiteral("devices"),
                              QStringLiteral("play:12546:RIFF"), QStringLiteral("devices")}));
    }

    void playWhilePlayingStartsAgain()
    {
        // The wave hands the whole image over again; cutting off the sound
        // still playing is the service's part (see the playback test).
        TWaveComp comp(m_fakes->sound, nullptr);
        comp.LoadEmbeddedChime();
        QVERIFY(comp.Play());
        QVERIFY(comp.Play());
        QCOMPARE(m_fakes->sound.plays, 2);
        QCOMPARE(m_fakes->sound.lastImage, chimeImage());
        QCOMPARE(m_fakes->sound.stops, 0);
    }

    void stopComesBeforeTheBlockIsReplaced()
    {
        WatchingSound sound;
        TWave wave(sound);
        sound.wave = &wave;
        wave.SetData(blockOf(chimeImage()));
        QVERIFY(wave.Play());
        wave.SetData(blockOf(chimeImage()));
        QVERIFY(wave.Play());
        wave.SetData(nullptr);
        QCOMPARE(sound.log,
                 (QStringList{QStringLiteral("devices"), QStringLiteral("play"), QStringLiteral("stop"),
                              QStringLiteral("devices"), QStringLiteral("play"), QStringLiteral("stop")}));
        QCOMPARE(wave.state(), TWave::State::Absent);
    }

    void destructionStopsTheChimeBeforeRelease()
    {
        WatchingSound sound;
        {
            TWaveComp comp(sound, nullptr);
            sound.wave = comp.Wave();
            comp.LoadEmbeddedChime();
            QVERIFY(comp.Play());
        }
        QCOMPARE(sound.log.last(), QStringLiteral("stop"));
        QVERIFY(!sound.log.contains(QStringLiteral("stop after release")));

        // An Absent wave holds nothing the platform could be reading.
        m_fakes->sound.log.clear();
        {
            TWaveComp absent(m_fakes->sound, nullptr);
        }
        QVERIFY(m_fakes->sound.log.isEmpty());
    }

    void componentOwnedByItsParent()
    {
        auto parent = std::make_unique<QObject>();
        auto *comp = new TWaveComp(m_fakes->sound, parent.get());
        comp->LoadEmbeddedChime();
        QVERIFY(comp->Play());
        parent.reset();
        QCOMPARE(m_fakes->sound.log.last(), QStringLiteral("stop"));
    }

    void assignCopiesTheImage()
    {
        TWaveComp source(m_fakes->sound, nullptr);
        source.LoadEmbeddedChime();
        TWaveComp target(m_fakes->sound, nullptr);
        TWave *owned = target.Wave();
        target.SetWave(source.Wave());
        QCOMPARE(target.Wave(), owned); // never exchanged for another object
        QCOMPARE(target.Wave()->Data()->data(), chimeImage());
        QCOMPARE(target.Wave()->Data()->pos(), 0);

        target.SetWave(nullptr);
        QCOMPARE(target.Wave()->state(), TWave::State::Absent);
        QCOMPARE(source.Wave()->state(), TWave::State::Loaded);
    }

    void writeDataOfAnAbsentWave()
    {
        TWave wave(m_fakes->sound);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        wave.WriteData(out);
        QCOMPARE(out.data(), QByteArray(4, '\0'));
        QCOMPARE(wave.state(), TWave::State::Empty);
    }

    void changeCallbackFollowsEachReplacement()
    {
        TWave wave(m_fakes->sound);
        int changes = 0;
        wave.setOnChange([&changes] { ++changes; });
        wave.SetData(blockOf(chimeImage()));
        wave.SetData(nullptr);
        QCOMPARE(changes, 2);
        wave.setChangeSuppressed(true);
        wave.SetData(blockOf(chimeImage()));
        QCOMPARE(changes, 2);
        // A failed load replaces nothing and calls nothing.
        wave.setChangeSuppressed(false);
        QBuffer bad;
        bad.setData(storedForm("RIFX" + chimeImage().mid(4)));
        bad.open(QIODevice::ReadOnly);
        QVERIFY_THROWS_EXCEPTION(EInvalidWave, wave.ReadData(bad));
        QCOMPARE(changes, 2);
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
};

QTEST_GUILESS_MAIN(TestWave)
#include "tst_wave.moc"
