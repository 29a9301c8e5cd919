// The real sound service's reading of a wave image, and what it refuses.

#include "sound/chime.h"
#include "sound/qtsoundservice.h"
#include "tests/support/fakeservices.h"

#include <QtEndian>
#include <QtTest>

using namespace natter;

namespace {

struct Fmt {
    quint16 tag = 1;
    quint16 channels = 1;
    quint32 rate = 32000;
    quint16 bits = 16;
    int blockAlign = -1; // -1: channels * bits / 8
    quint32 size = 16;
};

class ImageBuilder {
public:
    ImageBuilder &chunk(const char *tag, const QByteArray &body, qint64 claimedSize = -1)
    {
        m_chunks.append(tag, 4);
        put32(m_chunks, quint32(claimedSize >= 0 ? claimedSize : body.size()));
        m_chunks.append(body);
        if (body.size() % 2 && claimedSize < 0)
            m_chunks.append('\0');
        return *this;
    }
    ImageBuilder &fmt(const Fmt &f)
    {
        QByteArray b;
        put16(b, f.tag);
        put16(b, f.channels);
        put32(b, f.rate);
        const quint16 align = f.blockAlign >= 0 ? quint16(f.blockAlign) : quint16(f.channels * f.bits / 8);
        put32(b, f.rate * align);
        put16(b, align);
        put16(b, f.bits);
        b.append(QByteArray(qsizetype(f.size) - 16, '\0'));
        return chunk("fmt ", b);
    }
    QByteArray image(const char *riff = "RIFF", const char *wave = "WAVE") const
    {
        QByteArray out(riff, 4);
        put32(out, quint32(4 + m_chunks.size()));
        out.append(wave, 4);
        return out + m_chunks;
    }

private:
    static void put16(QByteArray &b, quint16 v)
    {
        char c[2];
        qToLittleEndian(v, c);
        b.append(c, 2);
    }
    static void put32(QByteArray &b, quint32 v)
    {
        char c[4];
        qToLittleEndian(v, c);
        b.append(c, 4);
    }
    QByteArray m_chunks;
};

} // namespace

class TestSoundService : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_fakes = std::make_unique<test::FakeServices>(); }
    void cleanup() { m_fakes.reset(); }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<bool>("playable");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("sampleFormat");
        QTest::addColumn<int>("dataOffset");
        QTest::addColumn<int>("dataSize");

        const QByteArray samples(400, '\x11');
        QTest::newRow("the chime") << embeddedChimeStoredForm().mid(4) << true << 1 << 32000
                                   << int(QAudioFormat::Int16) << 44 << 12502;
        QTest::newRow("stereo 8-bit") << ImageBuilder().fmt({1, 2, 11025, 8}).chunk("data", samples).image()
                                      << true << 2 << 11025 << int(QAudioFormat::UInt8) << 44 << 400;
        QTest::newRow("float") << ImageBuilder().fmt({3, 1, 48000, 32}).chunk("data", samples).image() << true
                               << 1 << 48000 << int(QAudioFormat::Float) << 44 << 400;
        QTest::newRow("fmt chunk with extra bytes")
            << ImageBuilder().fmt({1, 1, 8000, 16, -1, 18}).chunk("data", samples).image() << true << 1
            << 8000 << int(QAudioFormat::Int16) << 46 << 400;
        // An odd-sized chunk is padded to an even length before the next one.
        QTest::newRow("odd chunk before data")
            << ImageBuilder().fmt({}).chunk("LIST", "abc").chunk("data", samples).image() << true << 1
            << 32000 << int(QAudioFormat::Int16) << 56 << 400;
        QTest::newRow("data chunk longer than the image: cut to whole frames")
            << ImageBuilder().fmt({1, 2, 8000, 16}).chunk("data", samples.left(202), 100000).image() << true
            << 2 << 8000 << int(QAudioFormat::Int16) << 44 << 200;

        auto refused = [](const char *name, const QByteArray &image) {
            QTest::newRow(name) << image << false << 0 << 0 << 0 << 0 << 0;
        };
        refused("empty", QByteArray());
        refused("not RIFF", ImageBuilder().fmt({}).chunk("data", samples).image("RIFX"));
        refused("not WAVE", ImageBuilder().fmt({}).chunk("data", samples).image("RIFF", "AVI "));
        refused("no data chunk", ImageBuilder().fmt({}).image());
        refused("no fmt chunk", ImageBuilder().chunk("data", samples).image());
        refused("data before fmt", ImageBuilder().chunk("data", samples).fmt({}).image());
        refused("empty data", ImageBuilder().fmt({}).chunk("data", QByteArray()).image());
        refused("less than one frame", ImageBuilder().fmt({1, 2, 8000, 16}).chunk("data", "abc").image());
        refused("ADPCM", ImageBuilder().fmt({2, 1, 8000, 4}).chunk("data", samples).image());
        refused("24-bit", ImageBuilder().fmt({1, 1, 8000, 24}).chunk("data", samples).image());
        refused("no channels", ImageBuilder().fmt({1, 0, 8000, 16}).chunk("data", samples).image());
        refused("zero rate", ImageBuilder().fmt({1, 1, 0, 16}).chunk("data", samples).image());
        refused("block align disagrees",
                ImageBuilder().fmt({1, 1, 8000, 16, 3}).chunk("data", samples).image());
        refused("fmt chunk too short", ImageBuilder().chunk("fmt ", QByteArray(14, '\1')).image());
        refused("header cut inside fmt", ImageBuilder().fmt({}).chunk("data", samples).image().left(30));
        refused("chunk size past the end", ImageBuilder()
                                               .chunk("junk", QByteArray(8, 'j'), 0xFFFFFFF0u)
                                               .fmt({})
                                               .chunk("data", samples)
                                               .image());
    }
    void parse()
    {
        QFETCH(QByteArray, image);
        QFETCH(bool, playable);
        const std::optional<PcmImage> pcm = parsePcmImage(image);
        QCOMPARE(pcm.has_value(), playable);
        if (!pcm)
            return;
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, sampleFormat);
        QFETCH(int, dataOffset);
        QFETCH(int, dataSize);
        QCOMPARE(pcm->format.channelCount(), channels);
        QCOMPARE(pcm->format.sampleRate(), rate);
        QCOMPARE(int(pcm->format.sampleFormat()), sampleFormat);
        QCOMPARE(pcm->dataOffset, dataOffset);
        QCOMPARE(pcm->dataSize, dataSize);
    }

    void refusesWhatItCannotPlay()
    {
        QtSoundService service;
        QVERIFY(!service.play(QByteArray("RIFF....WAVEjunk")));
        QVERIFY(
            !service.play(ImageBuilder().fmt({1, 1, 8000, 24}).chunk("data", QByteArray(30, 'x')).image()));
        service.stop(); // harmless with nothing playing
        QVERIFY(m_fakes->messages.shown.isEmpty());
        QVERIFY(m_fakes->report.shown.isEmpty());
    }

private:
    std::unique_ptr<test::FakeServices> m_fakes;
};

QTEST_MAIN(TestSoundService)
#include "tst_soundservice.moc"
