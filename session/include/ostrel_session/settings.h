// What a session measures with: the instrument's acquisition settings, how each half becomes a
// spectrum, and what each run writes. Every front-end fills the same struct (from options, a
// JSON body or Tango attributes) and the session checks all of it before anything reaches the
// instrument, naming each bad field.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "ostrel_session/formats.h"
#include "ostrel_session/json_text.h"
#include "ostrel_spectra/spectra.h"

namespace ostrel::session {

struct AcquisitionSettings {
    int points = 16384;  // per direction, 1 .. 32768
    int scans = 16;      // co-added per file
    int direction = 3;   // 1 forward, 2 reverse, 3 both
    int gain = 1;        // of the high-gain channel
    int skip = 0;        // points skipped at the start of a scan (a calibration sets its own)
};

// Which spectra a two-direction run writes per file: the combined single beam (the mean of the
// halves', as spectroscopy software reports one spectrum per measurement), each half's, or both.
enum class Directions { Both, Combined, Separate };

std::string_view name(Directions directions);
bool parseDirections(std::string_view text, Directions* directions);

struct OutputSettings {
    OutputFormats formats;  // csv,jcamp unless asked otherwise
    JcampForm jcampForm = JcampForm::Affn;
    // Percent of the background's peak below which transmittance and absorbance are NaN.
    double backgroundThresholdPercent = 1.0;
    bool plot = true;
    std::string gnuplot = "gnuplot";  // the program that draws plot.png
    // Files fetched and still waiting to be written may hold this much memory; from half of it on
    // they wait on disk in the run's directory, up to queueDiskMiB (0: never); beyond both the
    // newest files are dropped (and counted as missed).
    int queueMemoryMiB = 512;
    int queueDiskMiB = 8192;
    int writers = 0;  // threads writing files; 0: as many as the machine has cores (2 to 4)
    Directions directions = Directions::Both;
};

struct Settings {
    AcquisitionSettings acquisition;
    ostrel::spectra::Settings spectra;
    OutputSettings outputs;
};

// Field name (as in the JSON form: "points", "zero_fill", ...) to what is wrong with it.
using FieldErrors = std::map<std::string, std::string>;

// Every problem of the settings, one per field; empty when they can be used.
FieldErrors checkSettings(const Settings& settings);

// The JSON form, with the names of the run summary's "settings": points, scans, direction, gain,
// skip, laser_wavenumber, undersampling, apodization, zero_fill, phase, phase_resolution,
// range_low, range_high, format, jcamp_form, background_threshold_percent, plot.
JsonValue settingsJson(const Settings& settings);
// Applies the members present in `json` over *settings. Every unknown member, wrong type or bad
// value lands in *errors (and *settings is then left as it was); members not present keep their
// value.
bool applySettingsJson(const JsonValue& json, Settings* settings, FieldErrors* errors);

// "happ-genzel, zero fill 2, mertz, phase resolution 32 cm-1" style one-line description.
std::string describeSpectralSettings(const ostrel::spectra::Settings& settings);

}  // namespace ostrel::session
