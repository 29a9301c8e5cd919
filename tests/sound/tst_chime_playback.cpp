// The chime through a real sound server: the real service plays to a
// PulseAudio null sink while parecord records the sink's monitor, and the
// recording is measured.
//
// The test uses the server named by XDG_RUNTIME_DIR when its default sink is
// the null sink "nullsink" (the test suite starts one); otherwise it starts a
// private daemon of its own in a temporary folder and stops it afterwards. It
// skips only when no server can be started.

#include "sound/chime.h"
#include "sound/qtsoundservice.h"
#include "tests/sound/waveanalysis.h"
#include "tests/support/fakeservices.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <memory>
#include <numbers>

using namespace natter;

namespace {

constexpr int kRate = 32000;
constexpr int kSilence = 300; // recording level below which nothing sounds

qsizetype ms(double milliseconds)
{
    return qsizetype(milliseconds * kRate / 1000.0);
}

QString runTool(const QString &program, const QStringList &args, bool *ok = nullptr)
{
    QProcess p;
    p.start(program, args);
    const bool finished = p.waitForFinished(10000);
    if (ok)
        *ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

bool nullSinkIsDefault()
{
    bool ok = false;
    const QString sink = runTool(QStringLiteral("pactl"), {QStringLiteral("get-default-sink")}, &ok);
    return ok && sink == QStringLiteral("nullsink");
}

// A sine tone as a 16-bit mono RIFF/WAVE image.
QByteArray toneImage(double hz, int samples, int amplitude)
{
    QByteArray image = embeddedChimeStoredForm().mid(4, 44);
    QByteArray data(qsizetype(samples) * 2, '\0');
    for (int n = 0; n < samples; ++n)
        qToLittleEndian(qint16(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * n / kRate))),
                        data.data() + 2 * n);
    qToLittleEndian(quint32(36 + data.size()), image.data() + 4);
    qToLittleEndian(quint32(data.size()), image.data() + 40);
    return image + data;
}

// Records the null sink's monitor as 16-bit mono at 32000 samples per second.
class Recorder {
public:
    Recorder()
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { m_bytes.append(m_process.readAllStandardOutput()); });
    }
    ~Recorder()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    void start()
    {
        m_process.start(QStringLiteral("parecord"),
                        {QStringLiteral("--device=nullsink.monitor"), QStringLiteral("--raw"),
                         QStringLiteral("--format=s16le"), QStringLiteral("--rate=32000"),
                         QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=10")});
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    qsizetype sampleCount() const { return m_bytes.size() / 2; }
    QList<int> samples() const { return test::pcm16Samples(m_bytes); }
    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

private:
    QProcess m_process;
    QByteArray m_bytes;
};

} // namespace

class TestChimePlayback : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("parecord")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("pactl")).isEmpty())
            QSKIP("No sound server can be started here: pulseaudio, pactl or parecord is missing");
        if (!nullSinkIsDefault())
            startPrivateServer();
        if (!nullSinkIsDefault())
            QSKIP("No sound server with a null sink could be started (pulseaudio did not come up)");
    }

    void cleanupTestCase()
    {
        if (m_ownServer) {
            runTool(QStringLiteral("pulseaudio"), {QStringLiteral("--kill")});
            m_ownServer.reset();
        }
    }

    void init()
    {
        m_fakes = std::make_unique<test::FakeServices>();
        m_recorder = std::make_unique<Recorder>();
        m_recorder->start();
        // Recording has begun once the monitor delivers its silence.
        QTRY_VERIFY2_WITH_TIMEOUT(m_recorder->sampleCount() > ms(200), qPrintable(m_recorder->errors()),
                                  10000);
    }

    void cleanup()
    {
        m_recorder.reset();
        m_fakes.reset();
    }

    void chimeIsHeardInTheRecording()
    {
        QtSoundService service;
        QVERIFY(service.outputDeviceCount() >= 1);
        const QByteArray image = embeddedChimeStoredForm().mid(4);
        const qsizetype before = m_recorder->sampleCount();
        QVERIFY(service.play(image));
        QTRY_VERIFY_WITH_TIMEOUT(m_recorder->sampleCount() > before + ms(1200), 10000);
        service.stop();

        const QList<int> s = m_recorder->samples();
        const auto [first, last] = test::activeSpan(s, kSilence);
        QVERIFY2(first >= 0, "the recording stayed silent");
        const double heardMs = double(last - first) * 1000.0 / kRate;
        const int peak = test::peakLevel(s, first, last + 1);
        const double at520 = test::toneStrength(s, kRate, 520, first, last);
        const double at1000 = test::toneStrength(s, kRate, 1000, first, last);
        const double at2500 = test::toneStrength(s, kRate, 2500, first, last);
        qInfo("chime heard for %.1f ms, peak %d, strength at 520 Hz %.0f, at 1000 Hz %.0f, at 2500 Hz %.0f",
              heardMs, peak, at520, at1000, at2500);
        // The whole chime, not cut short when the sink went idle.
        QVERIFY2(heardMs > 150 && heardMs < 260, qPrintable(QString::number(heardMs)));
        QVERIFY(peak > 20000);
        QVERIFY(at520 > 5000);
        QVERIFY(at520 > 20 * (at1000 + at2500));
    }

    void playWhilePlayingStartsAgain()
    {
        QtSoundService service;
        const QByteArray image = embeddedChimeStoredForm().mid(4);
        QVERIFY(service.play(image));
        // Play again once the first chime is being heard.
        QTRY_VERIFY_WITH_TIMEOUT(test::activeSpan(m_recorder->samples(), kSilence).first >= 0, 5000);
        QVERIFY(service.play(image));
        const qsizetype second = m_recorder->sampleCount();
        QTRY_VERIFY_WITH_TIMEOUT(m_recorder->sampleCount() > second + ms(1000), 10000);

        const QList<int> s = m_recorder->samples();
        const auto [first, last] = test::activeSpan(s, kSilence);
        const double heardMs = double(last - first) * 1000.0 / kRate;
        const int peak = test::peakLevel(s, first, last + 1);
        qInfo("two plays heard for %.1f ms in all, peak %d", heardMs, peak);
        // The second chime runs from its beginning to its end: longer than one
        // chime, far shorter than two in a row.
        QVERIFY2(heardMs > 200 && heardMs < 400, qPrintable(QString::number(heardMs)));
    }

    void newSoundCutsOffTheOneStillPlaying()
    {
        QtSoundService service;
        QVERIFY(service.play(toneImage(700, kRate * 2, 16000))); // two seconds
        QTRY_VERIFY_WITH_TIMEOUT(test::activeSpan(m_recorder->samples(), kSilence).first >= 0, 5000);
        QVERIFY(service.play(embeddedChimeStoredForm().mid(4)));
        const qsizetype second = m_recorder->sampleCount();
        QTRY_VERIFY_WITH_TIMEOUT(m_recorder->sampleCount() > second + ms(2500), 10000);

        const QList<int> s = m_recorder->samples();
        const auto [first, last] = test::activeSpan(s, kSilence);
        const double heardMs = double(last - first) * 1000.0 / kRate;
        const double chime = test::toneStrength(s, kRate, 520, last - ms(150), last);
        const double tone = test::toneStrength(s, kRate, 700, last - ms(150), last);
        qInfo("tone then chime heard for %.1f ms; at the end 520 Hz %.0f, 700 Hz %.0f", heardMs, chime, tone);
        // The tone stops when the chime starts, and the chime is what ends the sound.
        QVERIFY2(heardMs < 700, qPrintable(QString::number(heardMs)));
        QVERIFY(chime > 2000);
        QVERIFY(tone < chime / 20);
    }

    void stopCutsTheSoundOff()
    {
        QtSoundService service;
        const QByteArray tone = toneImage(520, kRate * 2, 16000); // two seconds
        QVERIFY(service.play(tone));
        QTRY_VERIFY_WITH_TIMEOUT(test::activeSpan(m_recorder->samples(), kSilence).first >= 0, 5000);
        service.stop();
        const qsizetype stopped = m_recorder->sampleCount();
        QTRY_VERIFY_WITH_TIMEOUT(m_recorder->sampleCount() > stopped + ms(2500), 10000);

        const auto [first, last] = test::activeSpan(m_recorder->samples(), kSilence);
        const double heardMs = double(last - first) * 1000.0 / kRate;
        qInfo("a 2000 ms tone stopped on first hearing sounded for %.1f ms", heardMs);
        QVERIFY2(heardMs < 1000, qPrintable(QString::number(heardMs)));
    }

private:
    void startPrivateServer()
    {
        m_ownServer = std::make_unique<QTemporaryDir>();
        if (!m_ownServer->isValid())
            return;
        QFile::setPermissions(m_ownServer->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // Before anything in this process talks to a sound server.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_ownServer->path()));
        bool ok = false;
        runTool(QStringLiteral("pulseaudio"),
                {QStringLiteral("-D"), QStringLiteral("-n"), QStringLiteral("--exit-idle-time=-1"),
                 QStringLiteral("--load=module-native-protocol-unix"),
                 QStringLiteral("--load=module-null-sink sink_name=nullsink")},
                &ok);
        if (!ok)
            return;
        // Its only sink, the null sink, becomes the default once it is up.
        if (!QTest::qWaitFor(nullSinkIsDefault, 10000))
            qWarning("the private sound server did not come up");
    }

    std::unique_ptr<QTemporaryDir> m_ownServer;
    std::unique_ptr<test::FakeServices> m_fakes;
    std::unique_ptr<Recorder> m_recorder;
};

QTEST_MAIN(TestChimePlayback)
#include "tst_chime_playback.moc"
