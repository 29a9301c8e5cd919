// The chime, its wave, and the real service with no server to talk to.

#include "sound/chime.h"
#include "sound/qtsoundservice.h"
#include "sound/wave.h"
#include "tests/sound/wavetest.h"
#include "tests/support/fakeservices.h"

#include <QtTest>

using namespace natter;

// Notes at every stop whether the wave still holds the very bytes last handed to play.
struct WatchingSound final : ISoundService {
    const TWave *wave = nullptr;
    QByteArray image; // kept alive, so a block released too early cannot share its address
    QList<bool> held;
    int outputDeviceCount() override { return 1; }
    bool play(const QByteArray &bytes) override { return !(image = bytes).isNull(); }
    void stop() override { held << (wave->Data() && wave->Data()->data().constData() == image.constData()); }
};

class TestSound : public test::WaveTest {
    Q_OBJECT
private Q_SLOTS:
    void image_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<WaveHeader::Check>("check");
        QTest::addColumn<int>("dataSize"); // what the service would play, -1 refused
        using enum WaveHeader::Check;
        QTest::newRow("chime") << chime() << Passed << 12502;
        QTest::newRow("data past the end: whole frames")
            << patched(40, le(99999)).left(44 + 201) << Passed << 200;
        QTest::newRow("24-bit") << patched(32, le(3, 2) + le(24, 2)) << Passed << -1;
        QTest::newRow("odd chunk before the data")
            << chime().insert(36, "LIST" + le(3) + "ab" + '\0' + '\0') << Passed << 12502;
        QTest::newRow("block align not the frame's") << patched(32, le(4, 2)) << Passed << -1;
        QTest::newRow("fmt size past the end") << patched(16, le(0xfffffff0)) << Passed << -1;
        QTest::newRow("no data chunk") << chime().left(44) << Passed << -1;
        QTest::newRow("RIFX") << patched(0, "RIFX") << WrongTags << -1;
        QTest::newRow("fmt not first") << patched(12, "LIST") << WrongTags << -1;
        QTest::newRow("cut at 33") << chime().left(33) << Cut << -1;
        QTest::newRow("cut inside the tags") << chime().left(10) << Cut << -1;
    }
    void image()
    {
        QFETCH(QByteArray, image);
        const WaveHeader header = TWave::GetWaveData(image);
        QTEST(header.check, "check");
        QTEST(header.pcm ? int(header.pcm->dataSize) : -1, "dataSize");
    }

    // A stored form loaded over the playing chime, played, and the component destroyed.
    void loadAndPlay_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<TWave::State>("state");
        QTest::addColumn<QStringList>("reports");
        using enum TWave::State;
        const QStringList none, read{QStringLiteral("Stream read error.")},
            invalid{QStringLiteral("Invalid wave data: not a RIFF/WAVE image.")},
            cut{QStringLiteral("Error checking wave header: the image ends inside it.")};
        QTest::newRow("chime") << embeddedChimeStoredForm() << Loaded << none;
        QTest::newRow("zero length") << QByteArray() << Absent << none;
        QTest::newRow("huge count") << le(0xffffffff) + chime() << Loaded << read;
        QTest::newRow("RIFX") << le(12546) + patched(0, "RIFX") << Loaded << invalid;
        QTest::newRow("header cut") << le(30) + chime().left(30) << Loaded << cut;
    }
    void loadAndPlay()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QStringList, reports);
        test::FakeServices fakes;
        WatchingSound sound;
        auto comp = std::make_unique<TWaveComp>(sound);
        sound.wave = comp->Wave();
        comp->LoadEmbeddedChime();
        QVERIFY(comp->Play());
        comp->LoadStoredForm(stored);
        QCOMPARE(fakes.report.shown, reports);
        QTEST(comp->Wave()->state(), "state");
        QCOMPARE(sound.held, QList<bool>(reports.isEmpty(), true)); // stopped before the old block went
        sound.image.clear();
        const bool playable = comp->Wave()->state() == TWave::State::Loaded;
        QCOMPARE(comp->Play(), playable);
        QCOMPARE(sound.image, playable ? chime() : QByteArray()); // from "RIFF", never the count
        comp.reset(); // and stopped before the component lets go of what it played
        QCOMPARE(sound.held, QList<bool>(reports.isEmpty() + playable, true));
    }

    void noDeviceMeansNoSoundAndNoMessage()
    {
        test::FakeServices fakes;
        QtSoundService service; // with no server to talk to
        TWaveComp comp(service);
        comp.LoadEmbeddedChime();

        QCOMPARE(service.outputDeviceCount(), 0);
        QVERIFY(!comp.Play());
        QVERIFY(fakes.messages.shown.isEmpty() && fakes.report.shown.isEmpty());
    }
};

QTEST_MAIN(TestSound)
#include "tst_sound.moc"
