// summary.json: the settings, timings and per-file statistics of one run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_writer.h"
#include "run_options.h"

namespace ostrel::acquire {

struct RunReport {
    std::string status;  // "complete", "interrupted" or "failed"
    std::string error;   // what ended a failed run
    RunOptions options;
    int pointsReported = 0;  // spectrometer_getPoints: doubles per file
    int skip = 0;            // the skip points in effect (calibrated or given)
    int version = 0;         // spectrometer_version, 0 when the instrument gave none
    double connectSeconds = 0.0;
    double calibrationSeconds = 0.0;
    double acquisitionSeconds = 0.0;
    double closeSeconds = 0.0;
    double totalSeconds = 0.0;
    uint64_t filesSignalled = 0;  // co-add events counted
    uint64_t filesMissed = 0;     // signalled but not saved
    double cadenceSeconds = 0.0;  // mean time between the saved files' time stamps
    std::vector<FileSummary> files;
};

bool writeRunSummary(const std::string& directory, const RunReport& report, std::string* error);

}  // namespace ostrel::acquire
