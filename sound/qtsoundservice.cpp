#include "sound/qtsoundservice.h"

#include "sound/wave.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>

namespace natter {

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

    const std::optional<PcmImage> pcm = TWave::GetWaveData(riffImage).pcm;
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
