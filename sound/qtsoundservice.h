#pragma once

#include "platform/services.h"

#include <QAudioFormat>
#include <QByteArray>

#include <memory>
#include <optional>

class QAudioSink;
class QBuffer;

namespace natter {

// Where the samples of a PCM RIFF/WAVE image lie and how to play them.
struct PcmImage {
    QAudioFormat format;
    qsizetype dataOffset = 0; // first sample byte within the image
    qsizetype dataSize = 0;   // whole frames only, never past the image's end
};

// Reads the image's own header: "RIFF"/"WAVE", then its chunks in order to the
// "fmt " and "data" chunks. Accepts integer PCM (format 1: 8, 16 or 32 bits)
// and 32-bit float (format 3), 1 to 8 channels. A data chunk that claims more
// than the image holds is cut to what is there. Empty when the image cannot
// be played.
std::optional<PcmImage> parsePcmImage(const QByteArray &image);

// Plays RIFF/WAVE PCM images from memory in the background through the
// default audio output. One sound at a time: a new play cuts off the one still
// sounding. The audio sink is kept until the next play or stop, because the
// sink reports Idle when it has handed the last bytes to the sound server, not
// when they have been heard; stopping it then would cut the sound short.
// Lives on the thread that runs the event loop.
class QtSoundService final : public ISoundService {
public:
    QtSoundService();
    ~QtSoundService() override;
    QtSoundService(const QtSoundService &) = delete;
    QtSoundService &operator=(const QtSoundService &) = delete;

    int outputDeviceCount() override;
    bool play(const QByteArray &riffImage) override;
    void stop() override;

private:
    std::unique_ptr<QAudioSink> m_sink;
    std::unique_ptr<QBuffer> m_samples;
    QByteArray m_image; // shares the caller's bytes while they are played
};

} // namespace natter
