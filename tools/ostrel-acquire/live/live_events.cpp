#include "live_events.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "decimate.h"
#include "ostrel_session/curve_statistics.h"
#include "ostrel_session/json_text.h"
#include "ostreltcp.h"

namespace ostrel::acquire::live {

using ostrel::session::CurveStatistics;
using ostrel::session::curveStatistics;
using ostrel::session::formatTimestamp;
using ostrel::session::jsonText;
using ostrel::session::JsonValue;
namespace {

// Significant digits of a curve's values: one part in 10^5 is finer than any screen draws.
constexpr int kCurveDigits = 5;

struct Axis {
    bool given = false;  // false: x is the sample's index
    double first = 0.0;
    double step = 0.0;
};

// x and y of the samples of a curve chosen for display: x is the sample's index, or its value
// on the axis, first + index * step.
JsonValue thinnedCurve(const double* values, size_t count, Axis axis = {}) {
    JsonValue x = JsonValue::array();
    JsonValue y = JsonValue::array();
    for (const size_t index : decimationIndices(values, count, kMaxCurvePoints)) {
        if (!axis.given) {
            x.push_back(index);
        } else {
            // To a thousandth of a cm-1, far finer than a screen draws, in fewer characters.
            const double value = axis.first + static_cast<double>(index) * axis.step;
            x.push_back(std::round(value * 1000.0) / 1000.0);
        }
        y.push_back(roundForDisplay(values[index], kCurveDigits));
    }
    JsonValue curve;
    curve["count"] = count;
    curve["x"] = std::move(x);
    curve["y"] = std::move(y);
    return curve;
}

// The samples around the centre burst, x counted from it, so that both halves line up.
JsonValue zoomCurve(const double* values, size_t count, size_t centre) {
    const size_t begin = centre > kZoomHalfWidth ? centre - kZoomHalfWidth : 0;
    const size_t end = std::min(count, centre + kZoomHalfWidth + 1);
    JsonValue x = JsonValue::array();
    JsonValue y = JsonValue::array();
    for (size_t k = begin; k < end; ++k) {
        x.push_back(static_cast<int64_t>(k) - static_cast<int64_t>(centre));
        y.push_back(roundForDisplay(values[k], kCurveDigits));
    }
    JsonValue curve;
    curve["x"] = std::move(x);
    curve["y"] = std::move(y);
    return curve;
}

}  // namespace

LiveFile liveFileOf(const ostrel::session::FileEvent& event) {
    LiveFile shown;
    shown.number = event.number;
    shown.timestampMs = event.timestampMs;
    shown.coaddEventMs = event.coaddEventMs;
    shown.scans = event.scans;
    shown.halves = &event.halves;
    shown.data = event.data.data();
    shown.pointsPerHalf = event.pointsPerHalf;
    // Absorbance on the single beam's axis (not-a-number where the background is too weak).
    const bool absorbance =
        !event.absorbance.empty() && event.absorbance.size() == event.spectra.size();
    for (size_t half = 0; half < event.spectra.size(); ++half) {
        const ostrel::spectra::Spectrum& spectrum = event.spectra[half];
        const std::vector<double>& values = absorbance ? event.absorbance[half] : spectrum.values;
        shown.spectra.push_back({values.data(), std::min(values.size(), spectrum.values.size()),
                                 spectrum.firstWavenumber, spectrum.wavenumberStep});
    }
    if (absorbance) {
        shown.spectrumKind = "absorbance";
    }
    if (!event.combined.values.empty()) {
        const std::vector<double>& values = absorbance && !event.combinedAbsorbance.empty()
                                                ? event.combinedAbsorbance
                                                : event.combined.values;
        shown.combined = {values.data(), values.size(), event.combined.firstWavenumber,
                          event.combined.wavenumberStep};
        shown.combinedUsed = event.summary.combined.used;
    }
    for (const ostrel::session::HalfSummary& half : event.summary.halves) {
        LiveQuality quality;
        if (!half.quality.gates.empty()) {
            quality.worst = std::string(ostrel::spectra::name(half.quality.worst));
            for (const ostrel::spectra::Gate& gate : half.quality.gates) {
                quality.gates.push_back(
                    {gate.name, std::string(ostrel::spectra::name(gate.status)), gate.reason});
            }
            quality.hint = half.hint;
        }
        shown.quality.push_back(std::move(quality));
    }
    return shown;
}

std::string FileEventBuilder::build(const LiveFile& file) {
    JsonValue halves = JsonValue::array();
    TrendEntry entry{file.number, {}};
    for (size_t half = 0; half < file.halves->size(); ++half) {
        const double* curve = file.data + half * file.pointsPerHalf;
        const CurveStatistics statistics = curveStatistics(curve, file.pointsPerHalf);
        // Peak to peak: what grows as the interferometer comes into alignment, whatever the
        // detector's offset.
        const double height = statistics.maximum - statistics.minimum;
        entry.heights.push_back(height);
        JsonValue json;
        json["name"] = (*file.halves)[half];
        json["centre_burst"] = {{"index", statistics.peakIndex},
                                {"height", height},
                                {"min", statistics.minimum},
                                {"max", statistics.maximum}};
        json["interferogram"] = thinnedCurve(curve, file.pointsPerHalf);
        json["zoom"] = zoomCurve(curve, file.pointsPerHalf, statistics.peakIndex);
        const LiveSpectrum spectrum =
            half < file.spectra.size() ? file.spectra[half] : LiveSpectrum{};
        JsonValue spectrumJson =
            thinnedCurve(spectrum.values, spectrum.count,
                         Axis{true, spectrum.firstWavenumber, spectrum.wavenumberStep});
        spectrumJson["first"] = spectrum.firstWavenumber;
        spectrumJson["step"] = spectrum.wavenumberStep;
        json["spectrum"] = std::move(spectrumJson);
        if (half < file.quality.size() && !file.quality[half].worst.empty()) {
            const LiveQuality& quality = file.quality[half];
            JsonValue gates = JsonValue::array();
            for (const LiveGate& gate : quality.gates) {
                gates.push_back(
                    {{"name", gate.name}, {"status", gate.status}, {"reason", gate.reason}});
            }
            json["quality"] = {
                {"worst", quality.worst}, {"gates", std::move(gates)}, {"hint", quality.hint}};
        }
        halves.push_back(std::move(json));
    }
    trend_.push_back(std::move(entry));
    while (trend_.size() > kTrendLength) {
        trend_.pop_front();
    }
    JsonValue trend;
    JsonValue files = JsonValue::array();
    for (const TrendEntry& recent : trend_) {
        files.push_back(recent.file);
    }
    trend["file"] = std::move(files);
    for (size_t half = 0; half < file.halves->size(); ++half) {
        JsonValue heights = JsonValue::array();
        for (const TrendEntry& recent : trend_) {
            heights.push_back(half < recent.heights.size() ? roundForDisplay(recent.heights[half])
                                                           : 0.0);
        }
        trend[(*file.halves)[half]] = std::move(heights);
    }

    JsonValue event;
    event["file"] = file.number;
    event["timestamp"] = formatTimestamp(file.timestampMs);
    event["timestamp_ms"] = file.timestampMs;
    event["coadd_event_ms"] = file.coaddEventMs;
    event["points"] = file.pointsPerHalf;
    event["scans"] = file.scans;
    event["spectrum_kind"] = file.spectrumKind;
    if (file.combined.values != nullptr && file.combined.count > 0) {
        JsonValue combined =
            thinnedCurve(file.combined.values, file.combined.count,
                         Axis{true, file.combined.firstWavenumber, file.combined.wavenumberStep});
        combined["halves_used"] = file.combinedUsed;
        event["combined"] = std::move(combined);
    }
    event["spectrum_unit"] = "cm-1";
    event["halves"] = std::move(halves);
    event["trend"] = std::move(trend);
    return jsonText(event);
}

const char* driverStatusText(int status) {
    switch (status) {
        case OSTRELTCP_STATUS_INITIAL:
            return "not connected";
        case OSTRELTCP_STATUS_CONNECTED:
            return "connected";
        case OSTRELTCP_STATUS_THREAD_RUNNING:
            return "acquiring";
        case OSTRELTCP_STATUS_OPEN_FAILED:
            return "connection failed";
        case OSTRELTCP_STATUS_COADD_STARTED:
            return "starting the run";
        default:
            return "unknown";
    }
}

std::string progressEventData(const LiveProgress& progress) {
    const ProgressState& state = progress.state;
    const double remaining = estimateRemainingSeconds(state);
    JsonValue json;
    json["files_done"] = state.filesDone;
    json["files"] = state.files;
    json["scan"] = state.scan;
    json["scans"] = state.scans;
    json["elapsed_s"] = state.elapsedSeconds;
    json["remaining_s"] = remaining < 0.0 ? JsonValue(nullptr) : JsonValue(remaining);
    json["files_missed"] = progress.filesMissed;
    json["files_waiting"] = state.filesWaiting;
    json["text"] = progressText(state);
    json["status"] = {{"code", progress.driverStatus},
                      {"text", driverStatusText(progress.driverStatus)}};
    json["address"] = progress.address;
    json["simulator"] = progress.simulator;
    return jsonText(json);
}

std::string errorEventData(const std::string& message, const std::string& detail, int code,
                           const std::string& hint) {
    JsonValue json;
    json["message"] = message;
    json["detail"] = detail;
    json["code"] = code;
    json["hint"] = hint;
    return jsonText(json);
}

std::string endEventData(const std::string& status, size_t filesSaved, uint64_t filesMissed,
                         const std::string& text) {
    JsonValue json;
    json["status"] = status;
    json["files_saved"] = filesSaved;
    json["files_missed"] = filesMissed;
    json["text"] = text;
    return jsonText(json);
}

}  // namespace ostrel::acquire::live
