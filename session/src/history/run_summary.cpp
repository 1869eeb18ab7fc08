#include "history/run_summary.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "outputs/output_files.h"

namespace ostrel::session {
namespace {

JsonValue settingsSection(const RunReport& report) {
    const Settings& settings = report.settings;
    const AcquisitionSettings& acquisition = settings.acquisition;
    JsonValue json;
    json["points"] = acquisition.points;
    json["points_reported"] = report.pointsReported;
    json["scans"] = acquisition.scans;
    json["files"] = report.filesRequested;
    json["direction"] = acquisition.direction;
    json["gain"] = acquisition.gain;
    json["skip"] = report.skip;
    json["calibrated"] = report.calibrated;
    const ostrel::spectra::Settings& spectra = settings.spectra;
    json["laser_wavenumber"] = spectra.laserWavenumber;
    json["undersampling"] = spectra.undersampling;
    json["apodization"] = std::string(ostrel::spectra::name(spectra.apodization));
    json["phase"] = std::string(ostrel::spectra::name(spectra.phase));
    json["phase_resolution"] = spectra.phaseResolution;
    json["zero_fill"] = spectra.zeroFill;
    json["range_low"] = spectra.rangeLow;
    json["range_high"] = std::min(spectra.rangeHigh, ostrel::spectra::highestWavenumber(spectra));
    json["format"] = outputFormatsText(settings.outputs.formats);
    json["jcamp_form"] = settings.outputs.jcampForm == JcampForm::Difdup ? "difdup" : "affn";
    json["interval_s"] = report.intervalSeconds;
    json["background"] = report.background;
    json["background_threshold_percent"] = settings.outputs.backgroundThresholdPercent;
    return json;
}

JsonValue timingSection(const RunReport& report) {
    JsonValue json;
    json["connect_s"] = report.connectSeconds;
    json["calibration_s"] = report.calibrationSeconds;
    json["acquisition_s"] = report.acquisitionSeconds;
    json["written_after_acquisition_s"] = report.writtenAfterSeconds;
    json["close_s"] = report.closeSeconds;
    json["total_s"] = report.totalSeconds;
    json["seconds_per_file"] =
        report.filesSignalled > 0
            ? report.acquisitionSeconds / static_cast<double>(report.filesSignalled)
            : 0.0;
    json["cadence_s"] = report.cadenceSeconds;
    json["write_s_per_file"] =
        report.filesSaved == 0 ? 0.0 : report.writeSeconds / static_cast<double>(report.filesSaved);
    return json;
}

JsonValue runSection(const RunIdentity& identity) {
    JsonValue json;
    json["id"] = identity.id;
    json["kind"] = std::string(name(identity.kind));
    json["name"] = identity.name;
    json["started"] = formatTimestamp(identity.startedMs);
    json["started_ms"] = identity.startedMs;
    json["pid"] = static_cast<int64_t>(getpid());
    if (identity.endedMs > 0.0) {
        json["ended"] = formatTimestamp(identity.endedMs);
        json["ended_ms"] = identity.endedMs;
    }
    return json;
}

// Writes the records as the members of a JSON array indented for the summary, one at a time.
bool writeRecords(std::FILE* out, const std::string& recordsPath) {
    std::ifstream records(recordsPath);
    std::string line;
    bool first = true;
    while (std::getline(records, line)) {
        // A record cut short by a killed process does not parse, and is not a completed file.
        JsonValue record = JsonValue::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object()) {
            continue;
        }
        std::string text = jsonText(record, 2);
        std::string indented = "    ";
        for (const char c : text) {
            indented += c;
            if (c == '\n') {
                indented += "    ";
            }
        }
        std::fputs(first ? "\n" : ",\n", out);
        std::fputs(indented.c_str(), out);
        first = false;
    }
    std::fputs(first ? "]" : "\n  ]", out);
    return true;
}

}  // namespace

JsonValue fileRecordJson(const FileSummary& file) {
    JsonValue json;
    json["file"] = file.number;
    json["interferogram"] = file.interferogramName;
    json["spectrum"] = file.spectrumName;
    if (!file.spectrumError.empty()) {
        json["spectrum_error"] = file.spectrumError;
    }
    json["timestamp"] = formatTimestamp(file.timestampMs);
    json["timestamp_ms"] = file.timestampMs;
    json["write_s"] = file.writeSeconds;
    JsonValue halves = JsonValue::array();
    for (const HalfSummary& half : file.halves) {
        JsonValue entry;
        entry["half"] = half.name;
        entry["min"] = half.interferogram.minimum;
        entry["max"] = half.interferogram.maximum;
        entry["mean"] = half.interferogram.mean;
        entry["peak_index"] = half.interferogram.peakIndex;
        entry["zpd_index"] = half.zpdIndex;
        entry["resolution_cm1"] = half.resolution;
        JsonValue bands = JsonValue::array();
        for (const ostrel::spectra::Band& band : half.bands) {
            bands.push_back({{"wavenumber", band.wavenumber}, {"height", band.height}});
        }
        entry["bands"] = std::move(bands);
        if (!half.quality.gates.empty()) {
            entry["quality"] = std::string(ostrel::spectra::name(half.quality.worst));
            JsonValue gates = JsonValue::array();
            for (const ostrel::spectra::Gate& gate : half.quality.gates) {
                gates.push_back({{"name", gate.name},
                                 {"status", std::string(ostrel::spectra::name(gate.status))},
                                 {"value", gate.value},
                                 {"threshold", gate.threshold},
                                 {"reason", gate.reason}});
            }
            entry["gates"] = std::move(gates);
            if (!half.hint.empty()) {
                entry["hint"] = half.hint;
            }
        }
        halves.push_back(std::move(entry));
    }
    json["halves"] = std::move(halves);
    if (file.combined.present) {
        JsonValue combined;
        combined["halves_used"] = file.combined.used;
        combined["disagreement"] = file.combined.disagreement;
        if (!file.combined.note.empty()) {
            combined["note"] = file.combined.note;
        }
        json["combined"] = std::move(combined);
    }
    return json;
}

FileRecords::~FileRecords() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
    }
}

bool FileRecords::open(const std::string& directory, std::string* error) {
    path_ = directory + "/" + kFileRecordsName;
    stream_ = std::fopen(path_.c_str(), "we");
    if (stream_ == nullptr) {
        *error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool FileRecords::append(const FileSummary& file, std::string* error) {
    if (stream_ == nullptr) {
        return true;
    }
    const std::string line = jsonText(fileRecordJson(file)) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), stream_) != line.size() ||
        std::fflush(stream_) != 0) {
        *error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void FileRecords::remove() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
        unlink(path_.c_str());
    }
}

bool writeRunSummary(const std::string& directory, const RunReport& report,
                     const std::string& recordsPath, std::string* error) {
    AtomicFile file(directory, kSummaryName);
    if (!file.open(error)) {
        return false;
    }
    JsonValue json;
    json["program"] = "ostrel-acquire";
    json["status"] = report.status;
    if (!report.error.empty()) {
        json["error"] = report.error;
    }
    json["run"] = runSection(report.identity);
    json["instrument"] = {
        {"address", report.address}, {"simulator", report.simulator}, {"version", report.version}};
    json["settings"] = settingsSection(report);
    json["timing"] = timingSection(report);
    json["files_requested"] = report.filesRequested;
    json["files_signalled"] = report.filesSignalled;
    json["files_saved"] = report.filesSaved;
    json["files_missed"] = report.filesMissed;
    json["files_spilled"] = report.filesSpilled;
    if (!report.fetchPriority.empty()) {
        json["fetch_priority"] = report.fetchPriority;
    }
    if (report.status == "running") {
        // Until the run ends its files are listed there, one line each.
        json["file_records"] = kFileRecordsName;
    }
    std::string text = jsonText(json, 2);
    // The records go in as the last member, streamed rather than held as one document.
    text.pop_back();  // the closing brace
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    std::fputs(text.c_str(), file.stream());
    std::fputs(",\n  \"files\": [", file.stream());
    if (recordsPath.empty()) {
        std::fputs("]", file.stream());
    } else {
        writeRecords(file.stream(), recordsPath);
    }
    std::fputs("\n}\n", file.stream());
    return file.commit(error);
}

}  // namespace ostrel::session
