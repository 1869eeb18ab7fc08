// A second look at a measurement without measuring again: a run's stored interferograms (run.h5,
// or the interferogram CSV files when it has no archive) go through the same per-file pipeline
// as a live run with other spectral settings or another background, and the outputs land in a
// new directory exactly as a run with those settings would have written them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ostrel_session/session.h"

namespace ostrel::session {

struct ReprocessRequest {
    std::string runDirectory;
    std::string outputDirectory;
    // Each setting left empty is the run's own, from its summary.
    std::optional<double> laserWavenumber;
    std::optional<int> undersampling;
    std::optional<ostrel::spectra::Apodization> apodization;
    std::optional<int> zeroFill;
    std::optional<ostrel::spectra::PhaseMode> phase;
    std::optional<double> phaseResolution;
    std::optional<double> rangeLow;
    std::optional<double> rangeHigh;
    std::vector<std::string> background;  // empty: none
    bool plot = true;
};

// Runs on the calling thread; observer (may be null) receives the same events as a live run's
// observers, on the calling thread.
Result reprocessRun(const ReprocessRequest& request, SessionObserver* observer = nullptr);

}  // namespace ostrel::session
