#include "sound/wave.h"

#include "sound/chime.h"

#include <QIODevice>
#include <QtEndian>

#include <array>

namespace natter {

namespace {

const QString kReadError = QStringLiteral("Stream read error");

// Reads exactly `n` bytes or throws: the header ends too early.
QByteArray readHeaderBytes(QBuffer &block, qint64 n)
{
    QByteArray bytes = block.read(n);
    if (bytes.size() != n)
        throw EErrorCheckingWave(QStringLiteral("Error checking wave header: the image ends inside it"));
    return bytes;
}

quint32 le32(const QByteArray &bytes, qsizetype at = 0)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

quint16 le16(const QByteArray &bytes, qsizetype at = 0)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
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
        // What WriteData writes for an Empty wave reads back as an Empty wave.
        SetData(std::move(block));
        return;
    }
    TWaveFormat format;
    if (!GetWaveData(block.get(), format))
        throw EInvalidWave(QStringLiteral("Invalid wave data: not a RIFF/WAVE image"));
    SetData(std::move(block));
}

void TWave::WriteData(QIODevice &stream)
{
    if (!m_data) {
        auto empty = std::make_unique<QBuffer>();
        empty->open(QIODevice::ReadOnly);
        SetData(std::move(empty));
    }
    const QByteArray &bytes = m_data->data();
    std::array<char, 4> count{};
    qToLittleEndian<quint32>(quint32(bytes.size()), count.data());
    if (stream.write(count.data(), 4) != 4)
        throw Exception(QStringLiteral("Stream write error"));
    if (!bytes.isEmpty() && stream.write(bytes) != bytes.size())
        throw Exception(QStringLiteral("Stream write error"));
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

void TWave::Assign(const TWave *source)
{
    if (!source || !source->m_data) {
        SetData(nullptr);
        return;
    }
    auto block = std::make_unique<QBuffer>();
    block->setData(source->m_data->data());
    block->open(QIODevice::ReadOnly);
    SetData(std::move(block));
}

bool TWave::GetWaveData(QBuffer *block, TWaveFormat &format)
{
    if (!block || block->size() == 0)
        return false;
    if (!block->isOpen())
        block->open(QIODevice::ReadOnly);
    block->seek(0);
    struct Rewind {
        QBuffer *b;
        ~Rewind() { b->seek(0); }
    } rewind{block};

    if (readHeaderBytes(*block, 4) != "RIFF")
        return false;
    format.riffSize = le32(readHeaderBytes(*block, 4));
    if (readHeaderBytes(*block, 4) != "WAVE")
        return false;
    if (readHeaderBytes(*block, 4) != "fmt ")
        return false;
    readHeaderBytes(*block, 4); // chunk size: not used
    const QByteArray fields = readHeaderBytes(*block, 12);
    const quint16 formatTag = le16(fields, 0);
    const quint16 channels = le16(fields, 2);
    format.pcm = formatTag == 1;
    format.channels = channels == 1   ? TWaveFormat::ChannelMode::Mono
                      : channels == 2 ? TWaveFormat::ChannelMode::Stereo
                                      : TWaveFormat::ChannelMode::Neither;
    format.sampleRate = le32(fields, 4);
    format.blockAlign = le16(readHeaderBytes(*block, 2));
    return true;
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

void TWaveComp::SetWave(const TWave *source)
{
    m_wave->Assign(source);
}

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
