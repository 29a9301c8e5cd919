// The real sound service where there is no sound output at all: this test
// runs with PULSE_SERVER naming a server that does not exist.

#include "sound/chime.h"
#include "sound/qtsoundservice.h"
#include "sound/wave.h"
#include "tests/support/fakeservices.h"

#include <QtTest>

#include <memory>

using namespace natter;

class TestSoundNoServer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_fakes = std::make_unique<test::FakeServices>(); }
    void cleanup() { m_fakes.reset(); }

    void noDeviceMeansNoSoundAndNoMessage()
    {
        QtSoundService service;
        QCOMPARE(service.outputDeviceCount(), 0);
        {
            TWaveComp comp(service, nullptr);
            comp.LoadEmbeddedChime();
            QCOMPARE(comp.Wave()->state(), TWave::State::Loaded);
            QVERIFY(!comp.Play());
            QVERIFY(!comp.Play()); // asked afresh, still none
        }
        // Handed the image directly, the service refuses it too.
        QVERIFY(!service.play(embeddedChimeStoredForm().mid(4)));
        service.stop();
        QVERIFY(m_fakes->messages.shown.isEmpty());
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
};

QTEST_MAIN(TestSoundNoServer)
#include "tst_sound_noserver.moc"
