#include "run_summary.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "json_text.h"
#include "output_files.h"

namespace ostrel::acquire {
namespace {

JsonValue settings(const RunReport& report) {
    const RunOptions& options = report.options;
    JsonValue json;
    json["points"] = options.points;
    json["points_reported"] = report.pointsReported;
    json["scans"] = options.scans;
    json["files"] = options.files;
    json["direction"] = options.direction;
    json["gain"] = options.gain;
    json["skip"] = report.skip;
    json["calibrated"] = options.calibrate;
    const ostrel::spectra::Settings& spectra = options.spectra;
    json["laser_wavenumber"] = spectra.laserWavenumber;
    json["undersampling"] = spectra.undersampling;
    json["apodization"] = std::string(ostrel::spectra::name(spectra.apodization));
    json["phase"] = std::string(ostrel::spectra::name(spectra.phase));
    json["phase_resolution"] = spectra.phaseResolution;
    json["zero_fill"] = spectra.zeroFill;
    json["range_low"] = spectra.rangeLow;
    json["range_high"] = std::min(spectra.rangeHigh, ostrel::spectra::highestWavenumber(spectra));
    json["format"] = outputFormatsText(options.formats);
    json["jcamp_form"] = options.jcampForm == JcampForm::Difdup ? "difdup" : "affn";
    json["interval_s"] = options.intervalSeconds;
    json["background"] = options.background;
    json["background_threshold_percent"] = options.backgroundThresholdPercent;
    return json;
}

JsonValue timing(const RunReport& report) {
    JsonValue json;
    json["connect_s"] = report.connectSeconds;
    json["calibration_s"] = report.calibrationSeconds;
    json["acquisition_s"] = report.acquisitionSeconds;
    json["close_s"] = report.closeSeconds;
    json["total_s"] = report.totalSeconds;
    json["seconds_per_file"] =
        report.filesSignalled > 0
            ? report.acquisitionSeconds / static_cast<double>(report.filesSignalled)
            : 0.0;
    json["cadence_s"] = report.cadenceSeconds;
    double writeSeconds = 0.0;
    for (const FileSummary& file : report.files) {
        writeSeconds += file.writeSeconds;
    }
    json["write_s_per_file"] =
        report.files.empty() ? 0.0 : writeSeconds / static_cast<double>(report.files.size());
    return json;
}

JsonValue fileEntry(const FileSummary& file) {
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
        halves.push_back(std::move(entry));
    }
    json["halves"] = std::move(halves);
    return json;
}

}  // namespace

bool writeRunSummary(const std::string& directory, const RunReport& report, std::string* error) {
    AtomicFile file(directory, "summary.json");
    if (!file.open(error)) {
        return false;
    }
    JsonValue json;
    json["program"] = "ostrel-acquire";
    json["status"] = report.status;
    if (!report.error.empty()) {
        json["error"] = report.error;
    }
    json["instrument"] = {{"address", report.options.address},
                          {"simulator", report.options.simulator},
                          {"version", report.version}};
    json["settings"] = settings(report);
    json["timing"] = timing(report);
    json["files_requested"] = report.options.files;
    json["files_signalled"] = report.filesSignalled;
    json["files_saved"] = report.files.size();
    json["files_missed"] = report.filesMissed;
    JsonValue files = JsonValue::array();
    for (const FileSummary& saved : report.files) {
        files.push_back(fileEntry(saved));
    }
    json["files"] = std::move(files);
    const std::string text = jsonText(json, 2) + "\n";
    std::fwrite(text.data(), 1, text.size(), file.stream());
    return file.commit(error);
}

}  // namespace ostrel::acquire
