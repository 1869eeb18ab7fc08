// Cost of the live view per file, against what the file writer already does with every file:
// the spectra of both halves with the default settings (the floor). The live view adds the file
// event (thinning, centre burst, trend, JSON text) and its hand-over to the open event streams.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "event_hub.h"
#include "live_events.h"
#include "ostrel_spectra/spectra.h"

namespace {

using namespace ostrel::acquire;

struct SyntheticFile {
    std::vector<std::string> halves = {"forward", "reverse"};
    std::vector<double> data;
    std::vector<ostrel::spectra::Spectrum> spectra;
    size_t points = 0;
};

// Two halves of a damped centre burst on an offset, with a little deterministic ripple.
SyntheticFile makeFile(size_t points) {
    SyntheticFile file;
    file.points = points;
    file.data.resize(2 * points);
    for (size_t half = 0; half < 2; ++half) {
        const double centre = static_cast<double>(points) * (half == 0 ? 0.25 : 0.75);
        for (size_t k = 0; k < points; ++k) {
            const double x = static_cast<double>(k) - centre;
            file.data[half * points + k] = 1000.0 +
                                           30000.0 * std::exp(-x * x / 200.0) * std::cos(0.4 * x) +
                                           3.0 * std::sin(0.013 * static_cast<double>(k));
        }
    }
    ostrel::spectra::Processor processor;
    file.spectra.resize(2);
    std::string error;
    for (size_t half = 0; half < 2; ++half) {
        processor.process(file.data.data() + half * points, points, &file.spectra[half], &error);
    }
    return file;
}

void BM_SpectraOfFileFloor(benchmark::State& state) {
    const SyntheticFile file = makeFile(static_cast<size_t>(state.range(0)));
    ostrel::spectra::Processor processor;
    ostrel::spectra::Spectrum spectrum;
    std::string error;
    for (auto _ : state) {
        for (size_t half = 0; half < 2; ++half) {
            processor.process(file.data.data() + half * file.points, file.points, &spectrum,
                              &error);
            benchmark::DoNotOptimize(spectrum.values.data());
        }
    }
}

void BM_FileEvent(benchmark::State& state) {
    const SyntheticFile file = makeFile(static_cast<size_t>(state.range(0)));
    live::LiveFile shown;
    shown.halves = &file.halves;
    shown.data = file.data.data();
    shown.pointsPerHalf = file.points;
    for (const ostrel::spectra::Spectrum& spectrum : file.spectra) {
        shown.spectra.push_back({spectrum.values.data(), spectrum.values.size(),
                                 spectrum.firstWavenumber, spectrum.wavenumberStep});
    }
    live::FileEventBuilder builder;
    size_t bytes = 0;
    for (auto _ : state) {
        ++shown.number;
        const std::string event = builder.build(shown);
        bytes = event.size();
        benchmark::DoNotOptimize(event.data());
    }
    state.counters["event_bytes"] = static_cast<double>(bytes);
}

// One file event handed to eight open streams that each take it at once.
void BM_PublishToEightStreams(benchmark::State& state) {
    live::EventHub hub(8, 16);
    std::vector<std::shared_ptr<live::EventStream>> streams;
    for (int k = 0; k < 8; ++k) {
        streams.push_back(hub.subscribe());
    }
    const std::string data(110000, 'x');
    std::string text;
    for (auto _ : state) {
        hub.publish(live::LiveEvent::File, data);
        for (const auto& stream : streams) {
            text.clear();
            stream->next(&text, std::chrono::milliseconds(0));
            benchmark::DoNotOptimize(text.data());
        }
    }
}

}  // namespace

BENCHMARK(BM_SpectraOfFileFloor)->Arg(16384)->Arg(32768)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FileEvent)->Arg(16384)->Arg(32768)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublishToEightStreams)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
