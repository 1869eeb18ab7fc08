// The runs kept on disk. Each run is a directory holding its summary.json:
//   - written when the run starts, with "status": "running" and a "run" object (id, kind, name,
//     started, started_ms, pid) beside the settings;
//   - files.jsonl beside it gets one JSON line per completed file, as each completes;
//   - when the run ends, summary.json is written again with its final status and every file's
//     record, and files.jsonl is removed.
// So a run is listed from its directory alone, whatever process wrote it, and a run that a killed
// process left says "running" with its completed files in files.jsonl: it is listed as
// "interrupted" with those files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ostrel_session/events.h"

namespace ostrel::session {

struct FileRecord {
    uint64_t number = 0;
    std::string interferogram;  // file names in the run's directory
    std::string spectrum;
    double timestampMs = 0.0;
};

struct RunRecord {
    std::string id;  // the directory's name
    RunKind kind = RunKind::Acquire;
    std::string name;
    // "running", "complete", "stopped", "interrupted", "failed"; "unreadable" for a summary
    // that cannot be parsed.
    std::string state;
    std::string started;  // ISO 8601 UTC
    double startedMs = 0.0;
    std::string directory;
    std::string error;
    std::vector<FileRecord> files;
};

// Reads one run's directory. False when it holds no summary.json (not a run).
bool readRunRecord(const std::string& directory, RunRecord* record);

// The runs under dataDirectory, newest first. A "running" run whose id is not activeRunId was
// left by a process that ended without finishing it: it is listed as "interrupted".
std::vector<RunRecord> listRuns(const std::string& dataDirectory,
                                const std::string& activeRunId = "");

// Writes the final summary of every run under dataDirectory that a killed process left running
// (status "interrupted", its completed files folded in), except activeRunId. Returns how many.
int closeInterruptedRuns(const std::string& dataDirectory, const std::string& activeRunId = "");

}  // namespace ostrel::session
