#pragma once

#include "platform/exceptions.h"
#include "platform/services.h"

#include <QBuffer>
#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

class QIODevice;

namespace natter {

// The wave header cannot be read: the image ends inside it.
class EErrorCheckingWave : public Exception {
public:
    using Exception::Exception;
};

// The image's tags are not "RIFF", "WAVE" and "fmt ".
class EInvalidWave : public Exception {
public:
    using Exception::Exception;
};

// What GetWaveData learns from a header; nothing in the chat program reads it.
struct TWaveFormat {
    enum class ChannelMode { Neither, Mono, Stereo };
    quint32 riffSize = 0;
    bool pcm = false;
    ChannelMode channels = ChannelMode::Neither;
    quint32 sampleRate = 0;
    quint16 blockAlign = 0;
};

// A wave sound held in memory as a complete RIFF/WAVE image (the data block),
// played through the platform's sound service straight from that memory.
class TWave {
public:
    enum class State {
        Absent, // no data block
        Empty,  // a block of zero bytes
        Loaded, // a block holding a wave image
    };

    explicit TWave(ISoundService &sound);
    // Stops a sound still playing before the block goes away.
    ~TWave();
    TWave(const TWave &) = delete;
    TWave &operator=(const TWave &) = delete;

    State state() const;
    bool IsEmpty() const;
    // The held block, or null when Absent.
    const QBuffer *Data() const { return m_data.get(); }

    // Reads the stored property: a 4-byte little-endian count N followed by N
    // image bytes. A stream with no bytes at all leaves the wave Absent. Throws
    // Exception when the stream ends early, EErrorCheckingWave/EInvalidWave when
    // the image fails the header check; the wave then keeps what it held.
    void ReadData(QIODevice &stream);
    // Writes the stored property: the count and the image (an Absent wave
    // becomes Empty first and writes a count of 0).
    void WriteData(QIODevice &stream);
    // Loads `size` image bytes from the stream's current position.
    void LoadData(quint32 size, QIODevice &stream);
    // Replaces the data block (null for none): stops any sound first, since
    // the platform may still be reading the old block.
    void SetData(std::unique_ptr<QBuffer> block);
    // Copies another wave's image; a null or Absent source empties this wave.
    void Assign(const TWave *source);

    // Checks the header: "RIFF", the RIFF size, "WAVE", "fmt ", the chunk size,
    // the format fields and the block align. True when the three tags match;
    // the format fields are recorded but not judged. An absent or zero-length
    // block fails. Throws EErrorCheckingWave when the block ends inside the
    // header. The block's position is back at its start afterwards.
    static bool GetWaveData(QBuffer *block, TWaveFormat &format);

    // Plays the image in the background. False when the wave is empty, when
    // there is no output device (asked afresh every time), or when the
    // platform refuses the image.
    bool Play();
    // Stops whatever sound the program is playing.
    void StopSound();

    // Called after each replacement of the block unless suppressed.
    void setOnChange(std::function<void()> callback) { m_onChange = std::move(callback); }
    void setChangeSuppressed(bool suppressed) { m_changeSuppressed = suppressed; }

private:
    ISoundService &m_sound;
    std::unique_ptr<QBuffer> m_data;
    std::function<void()> m_onChange;
    bool m_changeSuppressed = false;
};

// The chime component the main window owns: it creates its wave object with
// itself and destroys it (stopping any sound first) with itself.
class TWaveComp : public QObject {
    Q_OBJECT

public:
    TWaveComp(ISoundService &sound, QObject *parent = nullptr);
    ~TWaveComp() override;

    TWave *Wave() const { return m_wave.get(); }
    // Copies the other wave's image into the owned wave object.
    void SetWave(const TWave *source);

    // Without effect at run time.
    QString About() const { return m_about; }
    void SetAbout(const QString &about) { m_about = about; }

    // Loads a stored property (count + image). A failure goes to the
    // application's exception report; the wave keeps what it held.
    void LoadStoredForm(const QByteArray &stored);
    // Loads the chime carried in the program; called once, as the main window
    // is created.
    void LoadEmbeddedChime();

    // Plays the chime; true when the platform accepted it.
    bool Play();
    // Stops whatever sound the program is playing.
    void StopSound();

private:
    std::unique_ptr<TWave> m_wave;
    QString m_about;
};

} // namespace natter
