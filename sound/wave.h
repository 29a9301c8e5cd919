#pragma once

#include "platform/exceptions.h"
#include "platform/services.h"

#include <QAudioFormat>
#include <QBuffer>
#include <QByteArray>
#include <QByteArrayView>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

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

// Where the samples of a PCM RIFF/WAVE image lie and how to play them.
struct PcmImage {
    QAudioFormat format;
    qsizetype dataOffset = 0; // first sample byte within the image
    qsizetype dataSize = 0;   // whole frames only, never past the image's end
};

// What the header of a RIFF/WAVE image says.
struct WaveHeader {
    enum class Check {
        Passed,    // "RIFF", the RIFF size, "WAVE", then "fmt " and its fixed fields
        Cut,       // the image ends inside that part
        WrongTags, // one of the three tags does not match
    };
    Check check = Check::Cut;
    // How to play the image: its chunks read in order to the "fmt " and
    // "data" chunks. Integer PCM (8, 16 or 32 bits) or 32-bit float, 1 to 8
    // channels; a data chunk that claims more than the image holds is cut to
    // the whole frames there. Empty when the image cannot be played.
    std::optional<PcmImage> pcm;
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
    // Loads `size` image bytes from the stream's current position.
    void LoadData(quint32 size, QIODevice &stream);
    // Replaces the data block (null for none): stops any sound first, since
    // the platform may still be reading the old block.
    void SetData(std::unique_ptr<QBuffer> block);

    // Reads a wave image's header, for the loader's check and for playing.
    static WaveHeader GetWaveData(QByteArrayView image);

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
};

} // namespace natter
