// A finished (or interrupted) run as it lies on disk, read back for reprocessing: its settings
// from summary.json and its interferograms one file at a time, from run.h5 when the run has an
// archive, otherwise from its interferogram CSV files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ostrel_session/settings.h"

namespace ostrel::session {

struct StoredSettings {
    Settings settings;
    int skip = 0;
    std::string address;
    bool simulator = false;
    int version = 0;
    std::string kind = "acquire";
    std::string name;
};

// Reads summary.json's settings. False with *error naming the file when it cannot.
bool readStoredSettings(const std::string& runDirectory, StoredSettings* stored,
                        std::string* error);

struct StoredFile {
    uint64_t number = 0;
    double timestampMs = 0.0;
    std::vector<double> data;  // halves x points
};

class StoredInterferograms {
  public:
    virtual ~StoredInterferograms() = default;
    // The next file; false at the end (with *error empty) or on a fault (with *error naming the
    // file).
    virtual bool next(StoredFile* file, std::string* error) = 0;
    virtual std::string source() const = 0;  // "run.h5" or "interferogram CSV files"
};

// Opens the run's interferograms for halves x points per file. Null with *error when the run
// holds none, or when they do not have that shape.
std::unique_ptr<StoredInterferograms> openStoredInterferograms(const std::string& runDirectory,
                                                               size_t halves, size_t points,
                                                               std::string* error);

}  // namespace ostrel::session
