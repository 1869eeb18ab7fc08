// Cost of ostrel-acquire's outputs for one full-size file (16384 points per half, both halves,
// and their single beams of 16385 points, as the default zero filling of 2 gives), against the
// floor of the same doubles written raw to a file: the JCAMP-DX text of both halves' single beams
// (formatting only, in memory) and one append to the run archive (written and flushed to the
// operating system, as a run does).
//
// The line-rate cases (BM_LineRate*) take one file of 32768 points per half, both halves, as a
// saturated gigabit link delivers about 220 of them per second (4.5 ms each): the tables (an
// interferogram and a spectrum file per format) and the JCAMP-DX files written as a run writes
// them, through AtomicFile with its fsync and rename, against the same doubles written raw in one
// fwrite (the floor of any format) and through AtomicFile (the floor of a crash-safe file). They
// run in wall time: syncing to the disk takes little CPU but all of a file's time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "ostrel_spectra/spectra.h"
#include "outputs/jcamp_writer.h"
#include "outputs/output_files.h"
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

constexpr size_t kLinePoints = 32768;
constexpr size_t kLineBins = kLinePoints + 1;

// One acquired file at line rate, shaped like the tool's: co-added interferograms in steps of
// half a count around a centre burst, and spectra and wavenumbers of full double precision.
struct LineRateFile {
    std::vector<double> interferograms = std::vector<double>(kHalves * kLinePoints);
    std::vector<double> spectra = std::vector<double>(kHalves * kLineBins);
    std::vector<double> wavenumbers = std::vector<double>(kLineBins);
    std::vector<HeaderEntry> header = {
        {"file", int64_t{1234}},
        {"timestamp", std::string("2026-12-09T16:38:49.337Z")},
        {"timestamp_ms", 1796834329337.0},
        {"address", std::string("127.0.0.1")},
        {"points", int64_t{kLinePoints}},
        {"scans", int64_t{1}},
        {"direction", int64_t{3}},
        {"gain", int64_t{1}},
        {"skip", int64_t{0}},
    };
    Table interferogram{"ostrel-acquire interferogram", header, "index", {}, kLinePoints};
    Table spectrum{"ostrel-acquire spectrum", header, "wavenumber", {}, kLineBins};

    LineRateFile() {
        for (size_t index = 0; index < interferograms.size(); ++index) {
            const double offset = static_cast<double>(index % kLinePoints) - kLinePoints / 2.0;
            const double value =
                500.0 + 3.0e4 * std::exp(-offset * offset / 200.0) * std::cos(offset * 0.7) +
                3.0 * std::sin(static_cast<double>(index) * 12.9898);
            interferograms[index] = std::round(value * 2.0) / 2.0;
        }
        for (size_t index = 0; index < spectra.size(); ++index) {
            const double x = static_cast<double>(index % kLineBins) / kLineBins;
            spectra[index] = 3.0e3 * std::exp(-(x - 0.3) * (x - 0.3) / 0.02) +
                             1.0e-3 * std::sin(static_cast<double>(index) * 78.233);
        }
        for (size_t index = 0; index < kLineBins; ++index) {
            wavenumbers[index] = 0.24107666015625 * static_cast<double>(index);
        }
        const char* halves[kHalves] = {"forward", "reverse"};
        spectrum.indexValues = wavenumbers.data();
        spectrum.header.push_back({"wavenumber_unit", std::string("cm^-1")});
        spectrum.header.push_back({"laser_wavenumber", 15798.0});
        spectrum.header.push_back({"undersampling", int64_t{2}});
        spectrum.header.push_back({"apodization", std::string("happ-genzel")});
        spectrum.header.push_back({"phase", std::string("mertz")});
        spectrum.header.push_back({"phase_resolution", 32.0});
        spectrum.header.push_back({"zero_fill", int64_t{2}});
        spectrum.header.push_back({"transform_length", int64_t{65536}});
        for (size_t half = 0; half < kHalves; ++half) {
            interferogram.columns.push_back({halves[half], &interferograms[half * kLinePoints]});
            spectrum.columns.push_back({halves[half], &spectra[half * kLineBins]});
        }
    }

    size_t bytes() const {
        return (interferograms.size() + spectra.size() + wavenumbers.size()) * sizeof(double);
    }
};

std::string scratchDirectory() {
    const std::string path = scratchPath("dir");
    bool created = false;
    std::string error;
    makeDirectories(path, &created, &error);
    return path;
}

void removeDirectory(const std::string& path, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        std::remove((path + "/" + name).c_str());
    }
    rmdir(path.c_str());
}

// The floor: the file's doubles in one fwrite each, flushed to the operating system.
void BM_LineRateRawBaseline(benchmark::State& state) {
    const LineRateFile file;
    const std::string path = scratchPath("raw.bin");
    std::FILE* stream = std::fopen(path.c_str(), "wb");
    for (auto _ : state) {
        std::rewind(stream);
        std::fwrite(file.interferograms.data(), sizeof(double), file.interferograms.size(), stream);
        std::fwrite(file.wavenumbers.data(), sizeof(double), file.wavenumbers.size(), stream);
        std::fwrite(file.spectra.data(), sizeof(double), file.spectra.size(), stream);
        std::fflush(stream);
    }
    std::fclose(stream);
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes()));
}

// The floor of a crash-safe file: the same doubles raw, as two files through AtomicFile (create,
// write, fsync, rename), as a table format writes its two files.
void BM_LineRateRawSynced(benchmark::State& state) {
    const LineRateFile file;
    const std::string directory = scratchDirectory();
    std::string error;
    for (auto _ : state) {
        AtomicFile interferogram(directory, "interferogram.bin");
        AtomicFile spectrum(directory, "spectrum.bin");
        if (!interferogram.open(&error) || !spectrum.open(&error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        std::fwrite(file.interferograms.data(), sizeof(double), file.interferograms.size(),
                    interferogram.stream());
        std::fwrite(file.wavenumbers.data(), sizeof(double), file.wavenumbers.size(),
                    spectrum.stream());
        std::fwrite(file.spectra.data(), sizeof(double), file.spectra.size(), spectrum.stream());
        if (!interferogram.commit(&error) || !spectrum.commit(&error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    removeDirectory(directory, {"interferogram.bin", "spectrum.bin"});
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes()));
}

// BM_LineRateRawSynced without the fsync: create, write, close and rename only, to tell the
// sync's share of a crash-safe file from the rest.
void BM_LineRateRawUnsynced(benchmark::State& state) {
    const LineRateFile file;
    const std::string directory = scratchDirectory();
    const std::vector<std::string> names = {"interferogram.bin", "spectrum.bin"};
    for (auto _ : state) {
        for (const std::string& name : names) {
            const std::string temporary = directory + "/." + name + ".tmp";
            std::FILE* stream = std::fopen(temporary.c_str(), "wb");
            if (stream == nullptr) {
                state.SkipWithError("cannot create a file");
                break;
            }
            if (name == names[0]) {
                std::fwrite(file.interferograms.data(), sizeof(double), file.interferograms.size(),
                            stream);
            } else {
                std::fwrite(file.wavenumbers.data(), sizeof(double), file.wavenumbers.size(),
                            stream);
                std::fwrite(file.spectra.data(), sizeof(double), file.spectra.size(), stream);
            }
            std::fclose(stream);
            std::rename(temporary.c_str(), (directory + "/" + name).c_str());
        }
    }
    removeDirectory(directory, names);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes()));
}

// A table format's files of one acquired file, as the tool writes them.
void BM_LineRateTables(benchmark::State& state) {
    const LineRateFile file;
    const OutputFormat format = state.range(0) == 0 ? OutputFormat::Csv : OutputFormat::Json;
    const std::string extension = formatExtension(format);
    const std::vector<std::string> names = {"interferogram-1234." + extension,
                                            "spectrum-1234." + extension};
    const std::string directory = scratchDirectory();
    std::string error;
    for (auto _ : state) {
        if (!writeTable(directory, names[0], format, file.interferogram, &error) ||
            !writeTable(directory, names[1], format, file.spectrum, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    removeDirectory(directory, names);
    state.SetLabel(extension);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes()));
}

JcampSpectrum lineRateSpectrum(const LineRateFile& file, size_t half) {
    JcampSpectrum spectrum;
    spectrum.title = "file 1234 forward single beam";
    spectrum.origin = "ostrel-acquire, instrument at 127.0.0.1";
    spectrum.firstX = file.wavenumbers[0];
    spectrum.deltaX = file.wavenumbers[1] - file.wavenumbers[0];
    spectrum.y = file.spectra.data() + half * kLineBins;
    spectrum.count = kLineBins;
    spectrum.resolution = 0.48215332031;
    spectrum.userLabels = {{"LASER WAVENUMBER", "15798"},
                           {"UNDERSAMPLING", "2"},
                           {"POINTS", "32768"},
                           {"APODIZATION", "happ-genzel"},
                           {"ZERO FILLING", "2"},
                           {"PHASE CORRECTION", "mertz"},
                           {"SCAN DIRECTION", "forward"},
                           {"SCANS", "1"},
                           {"TIMESTAMP", "2026-12-09T16:38:49.337Z"}};
    return spectrum;
}

// Both halves' single-beam JCAMP-DX files: formatting only (range 0), or formatted and written
// through AtomicFile as a run writes them (range 1).
void BM_LineRateJcamp(benchmark::State& state) {
    const LineRateFile file;
    const bool write = state.range(0) == 1;
    const std::vector<std::string> names = {"single-beam-1234-forward.jdx",
                                            "single-beam-1234-reverse.jdx"};
    const std::string directory = scratchDirectory();
    std::string text;
    std::string error;
    for (auto _ : state) {
        for (size_t half = 0; half < kHalves; ++half) {
            if (!formatJcamp(lineRateSpectrum(file, half), JcampForm::Affn, &text, &error)) {
                state.SkipWithError(error.c_str());
                break;
            }
            if (!write) {
                benchmark::DoNotOptimize(text.data());
                continue;
            }
            AtomicFile out(directory, names[half]);
            if (!out.open(&error)) {
                state.SkipWithError(error.c_str());
                break;
            }
            std::fwrite(text.data(), 1, text.size(), out.stream());
            if (!out.commit(&error)) {
                state.SkipWithError(error.c_str());
                break;
            }
        }
    }
    removeDirectory(directory, names);
    state.SetLabel(write ? "formatted and written" : "formatted only");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes()));
}

// The spectra the writer computes for each file before writing it (both halves, with the bands
// the summary reports): not a writer's cost, but spent on the same thread.
void BM_LineRateSpectra(benchmark::State& state) {
    const LineRateFile file;
    ostrel::spectra::Processor processor{ostrel::spectra::Settings{}};
    ostrel::spectra::Spectrum spectrum;
    std::string error;
    for (auto _ : state) {
        for (size_t half = 0; half < kHalves; ++half) {
            if (!processor.process(file.interferograms.data() + half * kLinePoints, kLinePoints,
                                   &spectrum, &error)) {
                state.SkipWithError(error.c_str());
                break;
            }
            benchmark::DoNotOptimize(
                ostrel::spectra::strongestBands(spectrum, 5, 2.0 * spectrum.resolution));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes()));
}

BENCHMARK(BM_RawDoublesBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LineRateRawBaseline)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LineRateRawSynced)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LineRateRawUnsynced)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LineRateTables)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LineRateJcamp)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LineRateSpectra)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_JcampBothHalves)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ArchiveAppend)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
