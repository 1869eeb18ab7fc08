// Cost of ostrel-acquire's outputs for one full-size file (16384 points per half, both halves,
// and their single beams of 16385 points, as the default zero filling of 2 gives), against the
// floor of the same doubles written raw to a file: the JCAMP-DX text of both halves' single beams
// (formatting only, in memory) and one append to the run archive (written and flushed to the
// operating system, as a run does).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "outputs/jcamp_writer.h"
#include "outputs/run_archive.h"

namespace {

using namespace ostrel::session;

constexpr size_t kPoints = 16384;
constexpr size_t kBins = kPoints + 1;
constexpr size_t kHalves = 2;

struct FullSizeFile {
    std::vector<double> interferograms = std::vector<double>(kHalves * kPoints);
    std::vector<double> singleBeams = std::vector<double>(kHalves * kBins);

    FullSizeFile() {
        for (size_t index = 0; index < interferograms.size(); ++index) {
            const double offset = static_cast<double>(index % kPoints) - kPoints / 2.0;
            interferograms[index] = std::exp(-offset * offset / 200.0) * std::cos(offset * 0.7) +
                                    1.0e-4 * std::sin(static_cast<double>(index) * 12.9898);
        }
        for (size_t index = 0; index < singleBeams.size(); ++index) {
            const double x = static_cast<double>(index % kBins) / kBins;
            singleBeams[index] = 3.0e3 * std::exp(-(x - 0.3) * (x - 0.3) / 0.02) +
                                 1.0e-3 * std::sin(static_cast<double>(index) * 78.233);
        }
    }

    size_t bytes() const { return (interferograms.size() + singleBeams.size()) * sizeof(double); }
};

std::string scratchPath(const char* name) {
    const char* directory = std::getenv("TMPDIR");
    return std::string(directory != nullptr ? directory : "/tmp") + "/ostrel-bench-" +
           std::to_string(getpid()) + "-" + name;
}

// The floor: the file's doubles written raw and flushed to the operating system.
void BM_RawDoublesBaseline(benchmark::State& state) {
    const FullSizeFile file;
    const std::string path = scratchPath("raw.bin");
    std::FILE* stream = std::fopen(path.c_str(), "wb");
    for (auto _ : state) {
        std::fwrite(file.interferograms.data(), sizeof(double), file.interferograms.size(), stream);
        std::fwrite(file.singleBeams.data(), sizeof(double), file.singleBeams.size(), stream);
        std::fflush(stream);
    }
    std::fclose(stream);
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes()));
}

void BM_JcampBothHalves(benchmark::State& state) {
    const FullSizeFile file;
    const JcampForm form = state.range(0) == 0 ? JcampForm::Affn : JcampForm::Difdup;
    JcampSpectrum spectrum;
    spectrum.title = "file 1 forward single beam";
    spectrum.deltaX = 0.964;
    spectrum.count = kBins;
    spectrum.resolution = 1.93;
    spectrum.userLabels = {{"LASER WAVENUMBER", "15798"}, {"UNDERSAMPLING", "2"}};
    std::string text;
    std::string error;
    size_t characters = 0;
    for (auto _ : state) {
        for (size_t half = 0; half < kHalves; ++half) {
            spectrum.y = file.singleBeams.data() + half * kBins;
            formatJcamp(spectrum, form, &text, &error);
            characters = text.size();
            benchmark::DoNotOptimize(text.data());
        }
    }
    state.counters["bytes_per_half"] = static_cast<double>(characters);
    state.SetLabel(form == JcampForm::Affn ? "AFFN" : "DIFDUP");
}

void BM_ArchiveAppend(benchmark::State& state) {
    const FullSizeFile file;
    const std::string path = scratchPath("run.h5");
    ArchiveLayout layout;
    layout.halves = {"forward", "reverse"};
    layout.points = kPoints;
    for (size_t bin = 0; bin < kBins; ++bin) {
        layout.wavenumbers.push_back(0.964 * static_cast<double>(bin));
    }
    RunArchive archive;
    std::string error;
    if (!archive.create(path, layout, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    ArchiveFile entry;
    entry.interferograms = file.interferograms.data();
    entry.singleBeam = file.singleBeams.data();
    for (auto _ : state) {
        ++entry.number;
        entry.timestampMs += 5.0;
        if (!archive.append(entry, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    archive.close(&error);
    std::FILE* written = std::fopen(path.c_str(), "rb");
    if (written != nullptr && entry.number > 0) {
        std::fseek(written, 0, SEEK_END);
        state.counters["size_per_file_over_raw"] = static_cast<double>(std::ftell(written)) /
                                                   static_cast<double>(entry.number) /
                                                   static_cast<double>(file.bytes());
        std::fclose(written);
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes()));
}

BENCHMARK(BM_RawDoublesBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JcampBothHalves)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ArchiveAppend)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
