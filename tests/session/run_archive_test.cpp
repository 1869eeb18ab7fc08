#include "outputs/run_archive.h"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "tool_harness.h"

namespace ostrel::session {
namespace {

using ostrel::acquire::testing::ArchiveReader;
using ostrel::acquire::testing::ScratchDirectory;

struct SyntheticRun {
    ArchiveLayout layout;
    std::vector<std::vector<double>> interferograms;
    std::vector<std::vector<double>> singleBeams;
};

SyntheticRun makeRun(size_t files, size_t points, size_t bins, bool ratios) {
    SyntheticRun run;
    run.layout.halves = {"forward", "reverse"};
    run.layout.points = points;
    for (size_t bin = 0; bin < bins; ++bin) {
        run.layout.wavenumbers.push_back(0.5 * static_cast<double>(bin));
    }
    run.layout.ratios = ratios;
    if (ratios) {
        run.layout.background.assign(2 * bins, 2.0);
    }
    run.layout.attributes = {{"laser_wavenumber", 15798.0},
                             {"undersampling", int64_t{2}},
                             {"apodization", std::string("happ-genzel")}};
    for (size_t file = 0; file < files; ++file) {
        std::vector<double> interferogram(2 * points);
        std::vector<double> beam(2 * bins);
        for (size_t index = 0; index < interferogram.size(); ++index) {
            interferogram[index] = std::sin(0.01 * static_cast<double>(index + 7 * file));
        }
        for (size_t index = 0; index < beam.size(); ++index) {
            beam[index] = 1.0 + static_cast<double>(file) + 1.0e-3 * static_cast<double>(index);
        }
        run.interferograms.push_back(interferogram);
        run.singleBeams.push_back(beam);
    }
    return run;
}

bool appendAll(RunArchive& archive, const SyntheticRun& run, size_t count, std::string* error) {
    for (size_t file = 0; file < count; ++file) {
        std::vector<double> transmittance(run.singleBeams[file].size(), 0.5);
        std::vector<double> absorbance(run.singleBeams[file].size(), 0.30103);
        ArchiveFile entry;
        entry.number = file + 1;
        entry.timestampMs = 1.7e12 + 250.0 * static_cast<double>(file);
        entry.interferograms = run.interferograms[file].data();
        entry.singleBeam = run.singleBeams[file].data();
        entry.transmittance = transmittance.data();
        entry.absorbance = absorbance.data();
        if (!archive.append(entry, error)) {
            return false;
        }
    }
    return true;
}

TEST(RunArchive, HoldsEveryFileTheAxisAndTheSettingsExactly) {
    ScratchDirectory scratch;
    const std::string path = scratch.path() + "/run.h5";
    const SyntheticRun run = makeRun(3, 64, 33, true);
    {
        RunArchive archive;
        std::string error;
        ASSERT_TRUE(archive.create(path, run.layout, &error)) << error;
        ASSERT_TRUE(appendAll(archive, run, 3, &error)) << error;
        std::vector<double> mean(2 * 33, 3.0);
        ASSERT_TRUE(archive.writeMeanSingleBeam(mean.data(), &error)) << error;
        ASSERT_TRUE(archive.close(&error)) << error;
        EXPECT_EQ(archive.files(), 3u);
    }
    ArchiveReader reader(path);
    ASSERT_TRUE(reader.opened());
    EXPECT_EQ(reader.shape("interferograms"), (std::vector<hsize_t>{3, 2, 64}));
    EXPECT_EQ(reader.shape("single_beam"), (std::vector<hsize_t>{3, 2, 33}));
    EXPECT_EQ(reader.shape("absorbance"), (std::vector<hsize_t>{3, 2, 33}));
    const std::vector<double> interferograms = reader.doubles("interferograms");
    const std::vector<double> beams = reader.doubles("single_beam");
    for (size_t file = 0; file < 3; ++file) {
        EXPECT_TRUE(std::equal(run.interferograms[file].begin(), run.interferograms[file].end(),
                               interferograms.begin() + file * 128));
        EXPECT_TRUE(std::equal(run.singleBeams[file].begin(), run.singleBeams[file].end(),
                               beams.begin() + file * 66));
    }
    EXPECT_EQ(reader.read<uint64_t>("file_numbers", H5T_NATIVE_UINT64),
              (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(reader.doubles("timestamps"),
              (std::vector<double>{1.7e12, 1.7e12 + 250, 1.7e12 + 500}));
    EXPECT_EQ(reader.doubles("wavenumber"), run.layout.wavenumbers);
    EXPECT_EQ(reader.doubles("background"), run.layout.background);
    EXPECT_EQ(reader.doubles("mean_single_beam"), std::vector<double>(66, 3.0));
    EXPECT_EQ(reader.numberAttribute("laser_wavenumber"), 15798.0);
    EXPECT_EQ(reader.textAttribute("apodization"), "happ-genzel");
}

TEST(RunArchive, WithoutSpectraOnlyInterferogramsAndStampsAreStored) {
    ScratchDirectory scratch;
    const std::string path = scratch.path() + "/run.h5";
    SyntheticRun run = makeRun(2, 16, 0, false);
    {
        RunArchive archive;
        std::string error;
        ASSERT_TRUE(archive.create(path, run.layout, &error)) << error;
        ASSERT_TRUE(appendAll(archive, run, 2, &error)) << error;
    }
    ArchiveReader reader(path);
    ASSERT_TRUE(reader.opened());
    EXPECT_EQ(reader.shape("interferograms"), (std::vector<hsize_t>{2, 2, 16}));
    for (const char* absent : {"single_beam", "absorbance", "wavenumber", "mean_single_beam"}) {
        EXPECT_FALSE(reader.has(absent)) << absent;
    }
}

TEST(RunArchive, FailuresAreReportedWithThePathNotCrashed) {
    const SyntheticRun run = makeRun(1, 8, 4, false);
    std::string error;
    RunArchive missingDirectory;
    EXPECT_FALSE(missingDirectory.create("/nonexistent/dir/run.h5", run.layout, &error));
    EXPECT_NE(error.find("/nonexistent/dir/run.h5"), std::string::npos) << error;

    RunArchive notOpen;
    ArchiveFile entry;
    EXPECT_FALSE(notOpen.append(entry, &error));

    ScratchDirectory scratch;
    RunArchive archive;
    ASSERT_TRUE(archive.create(scratch.path() + "/run.h5", run.layout, &error)) << error;
    entry.interferograms = run.interferograms[0].data();  // the single beam is missing
    EXPECT_FALSE(archive.append(entry, &error));
    EXPECT_NE(error.find("single_beam"), std::string::npos) << error;
    EXPECT_EQ(archive.files(), 0u);

    SyntheticRun badBackground = makeRun(1, 8, 4, true);
    badBackground.layout.background.pop_back();
    RunArchive refused;
    EXPECT_FALSE(refused.create(scratch.path() + "/other.h5", badBackground.layout, &error));
    EXPECT_NE(error.find("background"), std::string::npos) << error;
}

// A writer that dies without closing (as under SIGKILL) leaves a file that opens and holds
// every file appended before the end.
TEST(RunArchive, AWriterThatDiesWithoutClosingLeavesEveryAppendedFile) {
    ScratchDirectory scratch;
    const std::string path = scratch.path() + "/run.h5";
    const SyntheticRun run = makeRun(5, 512, 257, true);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RunArchive archive;
        std::string error;
        const bool written =
            archive.create(path, run.layout, &error) && appendAll(archive, run, 5, &error);
        _exit(written ? 0 : 1);  // no close, no destructors
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ArchiveReader reader(path);
    ASSERT_TRUE(reader.opened());
    EXPECT_EQ(reader.read<uint64_t>("file_numbers", H5T_NATIVE_UINT64),
              (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    const std::vector<double> beams = reader.doubles("single_beam");
    ASSERT_EQ(beams.size(), 5u * 2 * 257);
    EXPECT_TRUE(std::equal(run.singleBeams[4].begin(), run.singleBeams[4].end(),
                           beams.begin() + 4 * 2 * 257));
}

}  // namespace
}  // namespace ostrel::session
