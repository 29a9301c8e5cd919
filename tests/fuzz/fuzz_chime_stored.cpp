// The chime's stored form (a 4-byte count and a wave image) read from any
// bytes: a load that fails leaves the wave as it was; one that succeeds
// holds exactly the image and plays it, unless it is empty.
#include "sound/chime.h"
#include "sound/wave.h"
#include "tests/support/fakeservices.h"

#include <QBuffer>
#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

natter::test::FakeServices *fakes = nullptr;
natter::TWave *chime = nullptr; // the program's own chime

void readStoredForm(natter::TWave &wave, const QByteArray &stored)
{
    QBuffer stream;
    stream.setData(stored);
    stream.open(QIODevice::ReadOnly);
    wave.ReadData(stream);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fakes = new natter::test::FakeServices;
    chime = new natter::TWave(fakes->sound);
    readStoredForm(*chime, natter::embeddedChimeStoredForm());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray stored(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    natter::TWave wave(fakes->sound);
    readStoredForm(wave, natter::embeddedChimeStoredForm());
    try {
        readStoredForm(wave, stored);
    } catch (const natter::Exception &) {
        if (wave.Data()->data() != chime->Data()->data())
            std::abort();
        return 0;
    }
    // Loaded: nothing at all leaves no wave; else exactly the image the count
    // gives, played unless it is empty.
    using State = natter::TWave::State;
    const quint32 count = stored.isEmpty() ? 0 : qFromLittleEndian<quint32>(stored.constData());
    const QByteArray image = stored.mid(4, qsizetype(count));
    if (wave.state() != (stored.isEmpty() ? State::Absent : count == 0 ? State::Empty : State::Loaded))
        std::abort();
    if (!stored.isEmpty() && (wave.Data()->data() != image || wave.Data()->pos() != 0))
        std::abort();
    if (count != 0 && !image.startsWith("RIFF"))
        std::abort();
    const int plays = fakes->sound.plays;
    if (wave.Play() != (count != 0) || fakes->sound.plays != plays + (count != 0 ? 1 : 0))
        std::abort();

    // The component reports a failure instead of throwing it.
    natter::TWaveComp component(fakes->sound);
    component.LoadStoredForm(stored);
    fakes->report.shown.clear();
    return 0;
}
