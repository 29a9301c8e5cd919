// The chime's stored form (a 4-byte count and a wave image) read from any
// bytes: a load that fails is reported and leaves the chime as it was; one
// that succeeds holds exactly the image and plays it, unless it is empty.
#include "sound/wave.h"
#include "tests/support/fakeservices.h"

#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

natter::test::FakeServices *fakes = nullptr;
QByteArray chime; // the image of the chime carried in the program

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fakes = new natter::test::FakeServices;
    natter::TWaveComp component(fakes->sound);
    component.LoadEmbeddedChime();
    chime = component.Wave()->Data()->data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray stored(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    natter::TWaveComp component(fakes->sound);
    component.LoadEmbeddedChime();
    fakes->report.shown.clear();
    component.LoadStoredForm(stored);
    const natter::TWave &wave = *component.Wave();
    if (!fakes->report.shown.isEmpty()) {
        if (wave.Data()->data() != chime)
            std::abort();
        return 0;
    }
    // Nothing at all leaves no wave; else the image the count gives.
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
    if (component.Play() != (count != 0) || fakes->sound.plays != plays + (count != 0 ? 1 : 0))
        std::abort();
    return 0;
}
