#pragma once

#include "platform/services.h"

#include <QByteArray>

#include <memory>

class QAudioSink;
class QBuffer;

namespace natter {

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
