#include "sound/qtsoundservice.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>
#include <QtEndian>

namespace natter {

namespace {

constexpr quint16 kFormatPcm = 1;
constexpr quint16 kFormatFloat = 3;

quint32 le32(const QByteArray &b, qsizetype at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}

quint16 le16(const QByteArray &b, qsizetype at)
{
    return qFromLittleEndian<quint16>(b.constData() + at);
}

std::optional<QAudioFormat::SampleFormat> sampleFormat(quint16 tag, quint16 bits)
{
    if (tag == kFormatPcm) {
        switch (bits) {
        case 8:
            return QAudioFormat::UInt8;
        case 16:
            return QAudioFormat::Int16;
        case 32:
            return QAudioFormat::Int32;
        default:
            return std::nullopt;
        }
    }
    if (tag == kFormatFloat && bits == 32)
        return QAudioFormat::Float;
    return std::nullopt;
}

} // namespace

std::optional<PcmImage> parsePcmImage(const QByteArray &image)
{
    const qsizetype size = image.size();
    if (size < 12 || !image.startsWith("RIFF") || image.mid(8, 4) != "WAVE")
        return std::nullopt;

    std::optional<QAudioFormat> format;
    int frameBytes = 0;
    // Chunks follow one another, each padded to an even length.
    for (qsizetype at = 12; at + 8 <= size;) {
        const QByteArray tag = image.mid(at, 4);
        const qint64 chunkSize = le32(image, at + 4);
        const qsizetype body = at + 8;
        if (tag == "fmt ") {
            if (chunkSize < 16 || body + 16 > size)
                return std::nullopt;
            const quint16 formatTag = le16(image, body);
            const quint16 channels = le16(image, body + 2);
            const quint32 rate = le32(image, body + 4);
            const quint16 blockAlign = le16(image, body + 12);
            const quint16 bits = le16(image, body + 14);
            const auto sample = sampleFormat(formatTag, bits);
            if (!sample || channels < 1 || channels > 8 || rate < 1 || rate > 384000)
                return std::nullopt;
            frameBytes = channels * bits / 8;
            if (blockAlign != frameBytes)
                return std::nullopt;
            QAudioFormat f;
            f.setSampleFormat(*sample);
            f.setChannelCount(channels);
            f.setSampleRate(int(rate));
            format = f;
        } else if (tag == "data") {
            if (!format) // samples before their format: nothing to play them with
                return std::nullopt;
            const qint64 available = std::min<qint64>(chunkSize, size - body);
            const qint64 whole = available - available % frameBytes;
            if (whole <= 0)
                return std::nullopt;
            return PcmImage{*format, body, qsizetype(whole)};
        }
        at = body + qsizetype(chunkSize) + qsizetype(chunkSize & 1);
        if (chunkSize > size) // also keeps `at` from overflowing
            break;
    }
    return std::nullopt;
}

QtSoundService::QtSoundService() = default;

QtSoundService::~QtSoundService()
{
    stop();
}

int QtSoundService::outputDeviceCount()
{
    return int(QMediaDevices::audioOutputs().size());
}

bool QtSoundService::play(const QByteArray &riffImage)
{
    // Two sounds never overlap: the one still sounding is cut off first.
    stop();

    const std::optional<PcmImage> pcm = parsePcmImage(riffImage);
    if (!pcm)
        return false;
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull() || !device.isFormatSupported(pcm->format))
        return false;

    // The samples are read in place: the buffer refers into the image, which
    // this service keeps (shared, not copied) while the sink may read it.
    m_image = riffImage;
    m_samples = std::make_unique<QBuffer>();
    m_samples->setData(QByteArray::fromRawData(m_image.constData() + pcm->dataOffset, pcm->dataSize));
    m_samples->open(QIODevice::ReadOnly);

    m_sink = std::make_unique<QAudioSink>(device, pcm->format);
    m_sink->start(m_samples.get());
    if (m_sink->error() != QAudio::NoError || m_sink->state() == QAudio::StoppedState) {
        stop();
        return false;
    }
    return true;
}

void QtSoundService::stop()
{
    if (m_sink) {
        m_sink->stop();
        m_sink.reset();
    }
    m_samples.reset();
    m_image = QByteArray();
}

} // namespace natter
