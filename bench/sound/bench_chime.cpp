// How long loading the chime and starting it take. Starting must return at
// once: the host's accept handler calls it and does not wait for the sound.
// The playback figures need a sound server (PulseAudio); without one they
// measure the refusal.

#include "sound/chime.h"
#include "sound/qtsoundservice.h"
#include "sound/wave.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

namespace {

class SilentSound final : public natter::ISoundService {
public:
    int outputDeviceCount() override { return 1; }
    bool play(const QByteArray &) override { return true; }
    void stop() override {}
};

void BM_LoadEmbeddedChime(benchmark::State &state)
{
    SilentSound sound;
    for (auto _ : state) {
        natter::TWaveComp comp(sound, nullptr);
        comp.LoadEmbeddedChime();
        benchmark::DoNotOptimize(comp.Wave()->Data());
    }
}
BENCHMARK(BM_LoadEmbeddedChime);

void BM_ParseChimeHeader(benchmark::State &state)
{
    const QByteArray image = natter::embeddedChimeStoredForm().mid(4);
    for (auto _ : state)
        benchmark::DoNotOptimize(natter::parsePcmImage(image));
}
BENCHMARK(BM_ParseChimeHeader);

// Start the chime through the real service (each start cuts off the last).
void BM_QtSoundServicePlay(benchmark::State &state)
{
    natter::QtSoundService service;
    const QByteArray image = natter::embeddedChimeStoredForm().mid(4);
    bool accepted = false;
    for (auto _ : state) {
        accepted = service.play(image);
        QCoreApplication::processEvents();
    }
    service.stop();
    state.counters["accepted"] = accepted ? 1 : 0;
}
BENCHMARK(BM_QtSoundServicePlay)->Unit(benchmark::kMicrosecond)->Iterations(50);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
