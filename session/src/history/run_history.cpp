#include "ostrel_session/run_history.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "history/run_summary.h"

namespace ostrel::session {
namespace {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool readText(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    *text = content.str();
    return true;
}

FileRecord fileRecordFrom(const JsonValue& json) {
    FileRecord record;
    record.number = json.value("file", uint64_t{0});
    record.interferogram = json.value("interferogram", std::string());
    record.spectrum = json.value("spectrum", std::string());
    record.timestampMs = json.value("timestamp_ms", 0.0);
    return record;
}

// The records of a run still going or left by a killed process; a line cut short is skipped.
std::vector<FileRecord> readFileRecords(const std::string& path) {
    std::vector<FileRecord> files;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const JsonValue json = JsonValue::parse(line, nullptr, false);
        if (!json.is_discarded() && json.is_object()) {
            files.push_back(fileRecordFrom(json));
        }
    }
    return files;
}

std::string lastPart(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool readRunRecord(const std::string& directory, RunRecord* record) {
    std::string text;
    if (!readText(directory + "/" + kSummaryName, &text)) {
        return false;
    }
    *record = RunRecord{};
    record->id = lastPart(directory);
    record->directory = directory;
    const JsonValue summary = JsonValue::parse(text, nullptr, false);
    if (summary.is_discarded() || !summary.is_object() || !summary.contains("status") ||
        !summary["status"].is_string()) {
        record->state = "unreadable";
        return true;
    }
    record->state = summary["status"].get<std::string>();
    record->error = summary.value("error", std::string());
    if (summary.contains("run") && summary["run"].is_object()) {
        const JsonValue& run = summary["run"];
        parseRunKind(run.value("kind", std::string("acquire")), &record->kind);
        record->name = run.value("name", std::string());
        record->started = run.value("started", std::string());
        record->startedMs = run.value("started_ms", 0.0);
    }
    if (record->state == "running") {
        record->files = readFileRecords(directory + "/" + kFileRecordsName);
    } else if (summary.contains("files") && summary["files"].is_array()) {
        for (const JsonValue& file : summary["files"]) {
            if (file.is_object()) {
                record->files.push_back(fileRecordFrom(file));
            }
        }
    }
    return true;
}

std::vector<RunRecord> listRuns(const std::string& dataDirectory, const std::string& activeRunId) {
    std::vector<RunRecord> runs;
    DIR* listing = opendir(dataDirectory.c_str());
    if (listing == nullptr) {
        return runs;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        const std::string path = dataDirectory + "/" + name;
        if (name.empty() || name[0] == '.' || !isDirectory(path)) {
            continue;
        }
        RunRecord record;
        if (!readRunRecord(path, &record)) {
            continue;
        }
        if (record.state == "running" && record.id != activeRunId) {
            record.state = "interrupted";
        }
        runs.push_back(std::move(record));
    }
    closedir(listing);
    std::sort(runs.begin(), runs.end(), [](const RunRecord& a, const RunRecord& b) {
        return a.startedMs != b.startedMs ? a.startedMs > b.startedMs : a.id > b.id;
    });
    return runs;
}

int closeInterruptedRuns(const std::string& dataDirectory, const std::string& activeRunId) {
    int closed = 0;
    for (const RunRecord& run : listRuns(dataDirectory, activeRunId)) {
        if (run.state != "interrupted") {
            continue;
        }
        std::string text;
        if (!readText(run.directory + "/" + kSummaryName, &text)) {
            continue;
        }
        JsonValue summary = JsonValue::parse(text, nullptr, false);
        if (summary.is_discarded() || summary.value("status", std::string()) != "running") {
            continue;
        }
        // The summary written at the start holds the settings; the files come from the records.
        const std::string records = run.directory + "/" + kFileRecordsName;
        summary["status"] = "interrupted";
        summary["error"] = "the process running it ended before the run did";
        summary["files_saved"] = run.files.size();
        summary.erase("file_records");
        summary.erase("files");
        summary["files"] = JsonValue::array();
        std::ifstream in(records);
        std::string line;
        while (std::getline(in, line)) {
            JsonValue file = JsonValue::parse(line, nullptr, false);
            if (!file.is_discarded() && file.is_object()) {
                summary["files"].push_back(std::move(file));
            }
        }
        std::ofstream out(run.directory + "/." + kSummaryName + ".closing");
        out << jsonText(summary, 2) << "\n";
        out.close();
        if (out && std::rename((run.directory + "/." + kSummaryName + ".closing").c_str(),
                               (run.directory + "/" + kSummaryName).c_str()) == 0) {
            std::remove(records.c_str());
            ++closed;
        }
    }
    return closed;
}

}  // namespace ostrel::session
