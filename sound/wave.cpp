#include "sound/wave.h"

#include "sound/chime.h"

#include <QIODevice>
#include <QtEndian>

namespace natter {

namespace {

const QString kReadError = QStringLiteral("Stream read error");

constexpr quint16 kFormatPcm = 1;
constexpr quint16 kFormatFloat = 3;
// "RIFF", size, "WAVE", "fmt ", chunk size, then format tag, channels, rate,
// byte rate and block align.
constexpr qsizetype kHeaderSize = 34;

quint32 le32(QByteArrayView bytes, qsizetype at = 0)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

quint16 le16(QByteArrayView bytes, qsizetype at = 0)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
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

// The chunks from the first after "WAVE", each padded to an even length, up
// to the "data" chunk.
std::optional<PcmImage> findSamples(QByteArrayView image)
{
    const qsizetype size = image.size();
    std::optional<QAudioFormat> format;
    int frameBytes = 0;
    for (qsizetype at = 12; at + 8 <= size;) {
        const QByteArrayView tag = image.sliced(at, 4);
        const qint64 chunkSize = le32(image, at + 4);
        const qsizetype body = at + 8;
        if (tag == "fmt ") {
            if (chunkSize < 16 || body + 16 > size)
                return std::nullopt;
            const quint16 channels = le16(image, body + 2);
            const quint32 rate = le32(image, body + 4);
            const quint16 bits = le16(image, body + 14);
            const auto sample = sampleFormat(le16(image, body), bits);
            if (!sample || channels < 1 || channels > 8 || rate < 1 || rate > 384000)
                return std::nullopt;
            frameBytes = channels * bits / 8;
            if (le16(image, body + 12) != frameBytes) // block align
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
        if (chunkSize > size) // also keeps `at` from overflowing
            break;
        at = body + qsizetype(chunkSize) + qsizetype(chunkSize & 1);
    }
    return std::nullopt;
}

// Reads `size` bytes from the stream's current position without trusting the
// count for an allocation: a count larger than what the stream holds fails
// before any memory is taken for it.
QByteArray readExactly(QIODevice &stream, quint32 size)
{
    if (!stream.isSequential() && qint64(size) > stream.size() - stream.pos())
        throw Exception(kReadError);
    QByteArray bytes;
    constexpr qint64 kChunk = 64 * 1024;
    while (bytes.size() < qint64(size)) {
        const QByteArray part = stream.read(std::min<qint64>(kChunk, qint64(size) - bytes.size()));
        if (part.isEmpty())
            throw Exception(kReadError);
        bytes.append(part);
    }
    return bytes;
}

} // namespace

TWave::TWave(ISoundService &sound) : m_sound(sound) {}

TWave::~TWave()
{
    if (m_data)
        StopSound();
    m_data.reset();
}

TWave::State TWave::state() const
{
    if (!m_data)
        return State::Absent;
    return m_data->size() == 0 ? State::Empty : State::Loaded;
}

bool TWave::IsEmpty() const
{
    return !m_data || m_data->size() == 0;
}

void TWave::ReadData(QIODevice &stream)
{
    const QByteArray count = stream.read(4);
    if (count.isEmpty()) {
        // No bytes at all: the property holds nothing.
        SetData(nullptr);
        return;
    }
    if (count.size() != 4)
        throw Exception(kReadError);
    LoadData(le32(count), stream);
}

void TWave::LoadData(quint32 size, QIODevice &stream)
{
    if (stream.size() == 0 && !stream.isSequential()) {
        SetData(nullptr);
        return;
    }
    auto block = std::make_unique<QBuffer>();
    block->setData(readExactly(stream, size));
    block->open(QIODevice::ReadOnly);
    if (size == 0) {
        // A count of 0 holds an Empty wave.
        SetData(std::move(block));
        return;
    }
    switch (GetWaveData(block->data()).check) {
    case WaveHeader::Check::Cut:
        throw EErrorCheckingWave(QStringLiteral("Error checking wave header: the image ends inside it"));
    case WaveHeader::Check::WrongTags:
        throw EInvalidWave(QStringLiteral("Invalid wave data: not a RIFF/WAVE image"));
    case WaveHeader::Check::Passed:
        break;
    }
    SetData(std::move(block));
}

void TWave::SetData(std::unique_ptr<QBuffer> block)
{
    // The platform may still be reading the old block.
    if (m_data)
        StopSound();
    m_data = std::move(block);
    if (m_data) {
        if (!m_data->isOpen())
            m_data->open(QIODevice::ReadOnly);
        m_data->seek(0);
    }
    if (m_onChange && !m_changeSuppressed)
        m_onChange();
}

WaveHeader TWave::GetWaveData(QByteArrayView image)
{
    // The three tags in turn: "fmt " must follow "WAVE" directly.
    for (const auto &[at, tag] : {std::pair{0, "RIFF"}, std::pair{8, "WAVE"}, std::pair{12, "fmt "}}) {
        if (image.size() < at + 4)
            return {WaveHeader::Check::Cut, std::nullopt};
        if (image.sliced(at, 4) != tag)
            return {WaveHeader::Check::WrongTags, std::nullopt};
    }
    if (image.size() < kHeaderSize)
        return {WaveHeader::Check::Cut, std::nullopt};
    return {WaveHeader::Check::Passed, findSamples(image)};
}

bool TWave::Play()
{
    if (IsEmpty())
        return false;
    if (m_sound.outputDeviceCount() <= 0)
        return false;
    // The block holds the image alone, starting with "RIFF"; the stored count
    // never reaches the platform.
    return m_sound.play(m_data->data());
}

void TWave::StopSound()
{
    m_sound.stop();
}

TWaveComp::TWaveComp(ISoundService &sound, QObject *parent)
    : QObject(parent), m_wave(std::make_unique<TWave>(sound))
{
}

TWaveComp::~TWaveComp() = default;

void TWaveComp::LoadStoredForm(const QByteArray &stored)
{
    guarded([&] {
        QBuffer stream;
        stream.setData(stored);
        stream.open(QIODevice::ReadOnly);
        m_wave->ReadData(stream);
    });
}

void TWaveComp::LoadEmbeddedChime()
{
    LoadStoredForm(embeddedChimeStoredForm());
}

bool TWaveComp::Play()
{
    return m_wave->Play();
}

void TWaveComp::StopSound()
{
    m_wave->StopSound();
}

} // namespace natter
