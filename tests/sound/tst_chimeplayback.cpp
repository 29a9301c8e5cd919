// test group: system
// The chime played by the real service to a real sound server, recorded
// off its null sink; skipped where there is no such server.
#include "sound/qtsoundservice.h"
#include "tests/sound/wavetest.h"

#include <QProcess>
#include <QtTest>

using namespace natter;

// Records the null sink "nullsink", the server's default sink, while the service plays to it.
class TestChimePlayback : public test::WaveTest {
    Q_OBJECT
    // The recording from its first to its last sample louder than the silent sink.
    static QList<int> heard(const QByteArray &recording)
    {
        QList<int> s = samples(recording);
        auto loud = [](int v) { return std::abs(v) > 300; };
        s.erase(s.begin(), std::find_if(s.begin(), s.end(), loud));
        s.erase(std::find_if(s.rbegin(), s.rend(), loud).base(), s.end());
        return s;
    }
private Q_SLOTS:
    void chimeCutsOffTheSlowChimeStillPlaying() // the chime at a quarter speed: strongest at 130 Hz
    {
        QProcess pactl;
        pactl.startCommand(QStringLiteral("pactl get-default-sink"));
        if (!pactl.waitForFinished(10000) || pactl.readAllStandardOutput().trimmed() != "nullsink")
            QSKIP("No sound server with the null sink \"nullsink\" as its default sink");
        QByteArray recording;
        QProcess recorder;
        connect(&recorder, &QProcess::readyReadStandardOutput, this,
                [&] { recording += recorder.readAllStandardOutput(); });
        recorder.startCommand(QStringLiteral("parecord --device=nullsink.monitor --raw --format=s16le "
                                             "--rate=32000 --channels=1 --latency-msec=10"));
        QTRY_VERIFY_WITH_TIMEOUT(recording.size() > 2 * ms(200), 10000); // the sink's silence arrives
        QtSoundService service;
        QVERIFY(!service.play(chime().left(30)));                 // a header it cannot read
        QVERIFY(service.play(patched(24, le(8000) + le(16000)))); // 781 ms long
        QTRY_VERIFY_WITH_TIMEOUT(!heard(recording).isEmpty(), 5000);
        QVERIFY(service.play(chime()));
        QTRY_VERIFY_WITH_TIMEOUT(recording.size() > 2 * ms(2000), 10000);
        recorder.kill();
        recorder.waitForFinished();
        const QList<int> s = heard(recording);
        const qsizetype tail = s.size() - ms(150);
        const double chimed = strength(s, 520, tail), slow = strength(s, 130, tail);
        QVERIFY2(s.size() > ms(190) && s.size() < ms(500), "slow chime played on, or chime cut short");
        QCOMPARE_GT(chimed, 2000);
        QCOMPARE_GT(chimed, 20 * (slow + strength(s, 1000, tail)));
    }
};

QTEST_MAIN(TestChimePlayback)
#include "tst_chimeplayback.moc"
