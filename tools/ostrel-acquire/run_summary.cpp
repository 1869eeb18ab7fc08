#include "run_summary.h"

#include <algorithm>

#include "json_writer.h"
#include "output_files.h"

namespace ostrel::acquire {
namespace {

void writeSettings(JsonWriter& json, const RunReport& report) {
    const RunOptions& options = report.options;
    json.key("settings");
    json.beginObject();
    json.member("points", options.points);
    json.member("points_reported", report.pointsReported);
    json.member("scans", options.scans);
    json.member("files", options.files);
    json.member("direction", options.direction);
    json.member("gain", options.gain);
    json.member("skip", report.skip);
    json.member("calibrated", options.calibrate);
    const ostrel::spectra::Settings& spectra = options.spectra;
    json.member("laser_wavenumber", spectra.laserWavenumber);
    json.member("undersampling", spectra.undersampling);
    json.member("apodization", std::string(ostrel::spectra::name(spectra.apodization)));
    json.member("phase", std::string(ostrel::spectra::name(spectra.phase)));
    json.member("phase_resolution", spectra.phaseResolution);
    json.member("zero_fill", spectra.zeroFill);
    json.member("range_low", spectra.rangeLow);
    json.member("range_high", std::min(spectra.rangeHigh, ostrel::spectra::highestWavenumber(spectra)));
    json.member("format", outputFormatsText(options.formats));
    json.member("jcamp_form", options.jcampForm == JcampForm::Difdup ? "difdup" : "affn");
    json.member("interval_s", options.intervalSeconds);
    json.key("background");
    json.beginArray();
    for (const std::string& path : options.background) {
        json.value(path);
    }
    json.endArray();
    json.member("background_threshold_percent", options.backgroundThresholdPercent);
    json.endObject();
}

void writeTiming(JsonWriter& json, const RunReport& report) {
    json.key("timing");
    json.beginObject();
    json.member("connect_s", report.connectSeconds);
    json.member("calibration_s", report.calibrationSeconds);
    json.member("acquisition_s", report.acquisitionSeconds);
    json.member("close_s", report.closeSeconds);
    json.member("total_s", report.totalSeconds);
    json.member("seconds_per_file",
                report.filesSignalled > 0
                    ? report.acquisitionSeconds / static_cast<double>(report.filesSignalled)
                    : 0.0);
    json.member("cadence_s", report.cadenceSeconds);
    double writeSeconds = 0.0;
    for (const FileSummary& file : report.files) {
        writeSeconds += file.writeSeconds;
    }
    json.member("write_s_per_file", report.files.empty()
                                        ? 0.0
                                        : writeSeconds / static_cast<double>(report.files.size()));
    json.endObject();
}

void writeFile(JsonWriter& json, const FileSummary& file) {
    json.beginObject();
    json.member("file", static_cast<int64_t>(file.number));
    json.member("interferogram", file.interferogramName);
    json.member("spectrum", file.spectrumName);
    if (!file.spectrumError.empty()) {
        json.member("spectrum_error", file.spectrumError);
    }
    json.member("timestamp", formatTimestamp(file.timestampMs));
    json.member("timestamp_ms", file.timestampMs);
    json.member("write_s", file.writeSeconds);
    json.key("halves");
    json.beginArray();
    for (const HalfSummary& half : file.halves) {
        json.beginObject();
        json.member("half", half.name);
        json.member("min", half.interferogram.minimum);
        json.member("max", half.interferogram.maximum);
        json.member("mean", half.interferogram.mean);
        json.member("peak_index", half.interferogram.peakIndex);
        json.member("zpd_index", half.zpdIndex);
        json.member("resolution_cm1", half.resolution);
        json.key("bands");
        json.beginArray();
        for (const ostrel::spectra::Band& band : half.bands) {
            json.beginObject();
            json.member("wavenumber", band.wavenumber);
            json.member("height", band.height);
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    json.endArray();
    json.endObject();
}

}  // namespace

bool writeRunSummary(const std::string& directory, const RunReport& report, std::string* error) {
    AtomicFile file(directory, "summary.json");
    if (!file.open(error)) {
        return false;
    }
    JsonWriter json(file.stream());
    json.beginObject();
    json.member("program", "ostrel-acquire");
    json.member("status", report.status);
    if (!report.error.empty()) {
        json.member("error", report.error);
    }
    json.key("instrument");
    json.beginObject();
    json.member("address", report.options.address);
    json.member("simulator", report.options.simulator);
    json.member("version", report.version);
    json.endObject();
    writeSettings(json, report);
    writeTiming(json, report);
    json.member("files_requested", report.options.files);
    json.member("files_signalled", static_cast<int64_t>(report.filesSignalled));
    json.member("files_saved", report.files.size());
    json.member("files_missed", static_cast<int64_t>(report.filesMissed));
    json.key("files");
    json.beginArray();
    for (const FileSummary& saved : report.files) {
        writeFile(json, saved);
    }
    json.endArray();
    json.endObject();
    return file.commit(error);
}

}  // namespace ostrel::acquire
