// A run's directory on disk (see ostrel_session/run_history.h): summary.json, written when the
// run starts and again when it ends, and files.jsonl, one record per completed file while it
// goes on. The records are written as files complete and not kept in memory, so a run of any
// length holds the same memory; the final summary folds them in, one at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ostrel_session/events.h"
#include "ostrel_session/json_text.h"
#include "ostrel_session/settings.h"

namespace ostrel::session {

inline constexpr const char* kSummaryName = "summary.json";
inline constexpr const char* kFileRecordsName = "files.jsonl";

struct RunIdentity {
    std::string id;
    RunKind kind = RunKind::Acquire;
    std::string name;
    double startedMs = 0.0;  // ms since 1970 UTC
    double endedMs = 0.0;    // 0 while running
};

struct RunReport {
    std::string status;  // "running", "complete", "stopped", "interrupted" or "failed"
    std::string error;   // what ended a failed run
    RunIdentity identity;
    Settings settings;
    int filesRequested = 0;
    double intervalSeconds = 0.0;
    bool calibrated = false;
    std::vector<std::string> background;  // where the background came from
    std::string address;
    bool simulator = false;
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
    uint64_t filesSaved = 0;
    double writeSeconds = 0.0;  // the pipeline's time, summed over the saved files
    // From the end of the acquisition until its last file was written: files that waited.
    double writtenAfterSeconds = 0.0;
    uint64_t filesSpilled = 0;    // files that waited on disk to be written
    double cadenceSeconds = 0.0;  // mean time between the saved files' time stamps
    // How the thread that fetches the files was scheduled: "real-time", "short slice" or
    // "ordinary" (see platform/threads.h); empty before the acquisition.
    std::string fetchPriority;
};

// One file's record, as in files.jsonl and the summary's "files".
JsonValue fileRecordJson(const FileSummary& file);

// Appends records to files.jsonl, each line flushed to the operating system as it is written, so
// a killed process leaves every completed file's record behind.
class FileRecords {
  public:
    FileRecords() = default;
    ~FileRecords();
    FileRecords(const FileRecords&) = delete;
    FileRecords& operator=(const FileRecords&) = delete;

    // Starts an empty files.jsonl in the directory.
    bool open(const std::string& directory, std::string* error);
    bool append(const FileSummary& file, std::string* error);
    // Closes and removes the file (its records are in the final summary by then).
    void remove();
    const std::string& path() const { return path_; }

  private:
    std::FILE* stream_ = nullptr;
    std::string path_;
};

// Writes summary.json through a temporary file. With a records path, its records become the
// summary's "files" (read back one line at a time; a line cut short by a kill is left out).
bool writeRunSummary(const std::string& directory, const RunReport& report,
                     const std::string& recordsPath, std::string* error);

}  // namespace ostrel::session
