// The chime's stored form (a 4-byte count and a wave image) read from any
// bytes: a load that fails leaves the wave as it was; one that succeeds
// holds exactly the image and hands the platform that image.
#include "fuzzsupport.h"
#include "sound/chime.h"
#include "sound/wave.h"

#include <QBuffer>
#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

natter::fuzz::QuietServices *services = nullptr;
natter::TWave *chime = nullptr;

void readStoredForm(natter::TWave &wave, const QByteArray &stored)
{
    QBuffer stream;
    stream.setData(stored);
    stream.open(QIODevice::ReadOnly);
    wave.ReadData(stream);
}

void checkLoaded(natter::TWave &wave, const QByteArray &stored)
{
    if (stored.isEmpty()) {
        if (wave.state() != natter::TWave::State::Absent || wave.Play())
            std::abort();
        return;
    }
    const quint32 count = qFromLittleEndian<quint32>(stored.constData());
    const QByteArray image = stored.mid(4, qsizetype(count));
    if (wave.Data()->data() != image || wave.Data()->pos() != 0)
        std::abort();
    if (wave.state() != (count == 0 ? natter::TWave::State::Empty : natter::TWave::State::Loaded))
        std::abort();
    if (count != 0 && !image.startsWith("RIFF"))
        std::abort();
    services->played.clear();
    if (wave.Play() != (count != 0) || services->played != (count != 0 ? image : QByteArray()))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    services = new natter::fuzz::QuietServices(QString());
    natter::setApplicationExceptionReport(services);
    chime = new natter::TWave(*services);
    readStoredForm(*chime, natter::embeddedChimeStoredForm());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray stored(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    natter::TWave wave(*services);
    readStoredForm(wave, natter::embeddedChimeStoredForm());
    try {
        readStoredForm(wave, stored);
    } catch (const natter::Exception &) {
        if (wave.Data()->data() != chime->Data()->data())
            std::abort();
        return 0;
    }
    checkLoaded(wave, stored);

    // The component reports a failure instead of throwing it.
    natter::TWaveComp component(*services);
    component.LoadStoredForm(stored);
    return 0;
}
