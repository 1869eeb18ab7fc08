// The data of the live view's four events, each one JSON object on one line:
//   progress  file and scan counts, times, the driver's status
//   file      the latest file: per half the interferogram (thinned), a zoom around the centre
//             burst, the spectrum on a wavenumber axis in cm-1 (thinned), the centre-burst
//             height; and the centre-burst trend of the recent files
//   error     what went wrong, the driver's text and the tool's hint
//   end       how the run ended
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ostrel_session/events.h"
#include "ostrel_session/progress.h"

namespace ostrel::acquire::live {

using ostrel::session::ProgressState;

// A curve sent to the page keeps at most this many points (see decimate.h).
inline constexpr size_t kMaxCurvePoints = 2000;
// Samples either side of the centre burst in the zoom, sent as they are.
inline constexpr size_t kZoomHalfWidth = 64;
// Files in the centre-burst trend.
inline constexpr size_t kTrendLength = 600;

// One half's spectrum on a uniform wavenumber axis; no values when it could not be computed.
struct LiveSpectrum {
    const double* values = nullptr;
    size_t count = 0;
    double firstWavenumber = 0.0;  // cm-1 of values[0]
    double wavenumberStep = 0.0;   // cm-1 between values
};

// One half's quality gates as the page shows them next to its plots.
struct LiveGate {
    std::string name;
    std::string status;  // "ok", "warning", "fail"
    std::string reason;
};

struct LiveQuality {
    std::string worst;  // "ok", "warning", "fail"; empty when the half was not judged
    std::vector<LiveGate> gates;
    std::string hint;
};

// One file as the live view receives it, after its spectra are computed.
struct LiveFile {
    uint64_t number = 0;
    double timestampMs = 0.0;   // the driver's stamp, ms since 1970 UTC
    double coaddEventMs = 0.0;  // when the tool saw the file's co-add event, ms since 1970 UTC
    int scans = 0;
    const std::vector<std::string>* halves = nullptr;  // "forward", "reverse" in data order
    const double* data = nullptr;                      // the halves one after the other
    size_t pointsPerHalf = 0;
    std::vector<LiveSpectrum> spectra;  // one per half
    std::vector<LiveQuality> quality;   // one per half, or none
    // A two-direction file's combined spectrum (same kind as the halves'); no values otherwise.
    LiveSpectrum combined;
    std::string combinedUsed;  // "both", "forward", "reverse"
    // "single beam", or "absorbance" once the run has a background to divide by.
    std::string spectrumKind = "single beam";
};

// What the page shows of one of the session's file events: with a background the ratios'
// absorbance (a person compares a sample with its reference), else the single beams; each half's
// quality gates; the combined spectrum of a two-direction file. Points into `event`, which must
// outlive it.
LiveFile liveFileOf(const ostrel::session::FileEvent& event);

// Builds `file` events; keeps the centre-burst trend between them, so one builder serves a run.
class FileEventBuilder {
  public:
    std::string build(const LiveFile& file);

  private:
    struct TrendEntry {
        uint64_t file;
        std::vector<double> heights;  // one per half
    };
    std::deque<TrendEntry> trend_;
};

struct LiveProgress {
    ProgressState state;
    int driverStatus = 0;  // spectrometer_getStatus
    uint64_t filesMissed = 0;
    std::string address;
    bool simulator = false;
};

// The driver's status value as words ("connected", "running a co-add", ...).
const char* driverStatusText(int status);

std::string progressEventData(const LiveProgress& progress);
std::string errorEventData(const std::string& message, const std::string& detail, int code,
                           const std::string& hint);
std::string endEventData(const std::string& status, size_t filesSaved, uint64_t filesMissed,
                         const std::string& text);

}  // namespace ostrel::acquire::live
