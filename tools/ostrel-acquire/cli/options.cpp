#include "options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "live_address.h"
#include "ostrel_session/formats.h"
#include "ostreltcp.h"

namespace ostrel::acquire {
namespace {

using ostrel::session::JcampForm;
using ostrel::session::OutputFormats;
using ostrel::session::outputFormatsText;
using ostrel::session::parseOutputFormats;

// "LOW:HIGH" in cm^-1; either side may be left out for no limit there ("1000:" or ":4000").
std::string parseRange(const std::string& text, ostrel::spectra::Settings* settings) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return "--range takes LOW:HIGH in cm^-1, e.g. 400:4000";
    }
    auto number = [](const std::string& part, double* value) {
        if (part.empty()) {
            return true;
        }
        char* end = nullptr;
        *value = std::strtod(part.c_str(), &end);
        return end == part.c_str() + part.size() && std::isfinite(*value);
    };
    double low = 0.0;
    double high = settings->rangeHigh;
    if (!number(text.substr(0, colon), &low) || !number(text.substr(colon + 1), &high)) {
        return "--range takes two numbers of cm^-1, LOW:HIGH, e.g. 400:4000";
    }
    settings->rangeLow = low;
    settings->rangeHigh = high;
    return "";
}

// The options that say how each half becomes a spectrum; a run and a reprocessing take the same.
struct SpectralOptions {
    std::string apodization;
    std::string phase;
    std::string range;
    CLI::Option* laserWavenumber = nullptr;
    CLI::Option* undersampling = nullptr;
    CLI::Option* apodizationOption = nullptr;
    CLI::Option* zeroFill = nullptr;
    CLI::Option* phaseOption = nullptr;
    CLI::Option* phaseResolution = nullptr;
    CLI::Option* rangeOption = nullptr;
};

SpectralOptions addSpectralOptions(CLI::App& app, ostrel::spectra::Settings* settings) {
    ostrel::spectra::Settings& spectra = *settings;
    SpectralOptions options;
    options.laserWavenumber =
        app.add_option("--laser-wavenumber", spectra.laserWavenumber,
                       "reference laser wavenumber in cm^-1 (sets the wavenumber axis)")
            ->check(CLI::PositiveNumber)
            ->capture_default_str();
    options.undersampling =
        app.add_option("--undersampling", spectra.undersampling,
                       "undersampling ratio: points are this many laser half-fringes apart")
            ->check(CLI::Range(1, 64))
            ->capture_default_str();
    options.apodization = std::string(ostrel::spectra::name(spectra.apodization));
    std::vector<std::string> apodizations;
    for (const ostrel::spectra::Apodization each : ostrel::spectra::allApodizations()) {
        apodizations.emplace_back(ostrel::spectra::name(each));
    }
    apodizations.emplace_back("blackman-harris");
    options.apodizationOption =
        app.add_option("--apodization", options.apodization,
                       "window from ZPD to the longest path difference (blackman-harris is the "
                       "4-term window)")
            ->check(CLI::IsMember(apodizations))
            ->capture_default_str();
    options.zeroFill =
        app.add_option("--zero-fill", spectra.zeroFill,
                       "zero-fill factor: the transform is this many times the next power of two")
            ->check(CLI::IsMember({1, 2, 4, 8}))
            ->capture_default_str();
    options.phase = std::string(ostrel::spectra::name(spectra.phase));
    options.phaseOption =
        app.add_option("--phase", options.phase,
                       "mertz: phase-corrected single beam; magnitude or power: no phase needed")
            ->check(CLI::IsMember({"mertz", "magnitude", "power"}))
            ->capture_default_str();
    options.phaseResolution =
        app.add_option("--phase-resolution", spectra.phaseResolution,
                       "resolution in cm^-1 of the section around ZPD the phase is taken from")
            ->check(CLI::PositiveNumber)
            ->capture_default_str();
    options.rangeOption = app.add_option(
        "--range", options.range, "LOW:HIGH, the cm^-1 kept in the spectrum files (default: all)");
    return options;
}

// Turns the texts into settings; empty, or what is wrong.
std::string finishSpectralOptions(const SpectralOptions& options,
                                  ostrel::spectra::Settings* spectra) {
    ostrel::spectra::parseApodization(options.apodization, &spectra->apodization);
    ostrel::spectra::parsePhaseMode(options.phase, &spectra->phase);
    std::string problem = options.range.empty() ? "" : parseRange(options.range, spectra);
    if (problem.empty()) {
        problem = ostrel::spectra::checkSettings(*spectra);
    }
    return problem;
}

}  // namespace

bool parseOptions(int argc, char** argv, Options* options, int* exitCode) {
    Options& run = *options;
    ostrel::session::AcquisitionSettings& acquisition = run.settings.acquisition;
    ostrel::session::OutputSettings& outputs = run.settings.outputs;
    CLI::App app{
        "Acquires interferograms from the spectrometer through the OstrelTCP driver, saves each "
        "file with its spectrum, a summary and a plot. Without --address it starts a built-in "
        "simulator on loopback and acquires from that.",
        "ostrel-acquire"};
    app.get_formatter()->column_width(34);
    app.footer(
        "To compute the spectra of an earlier run again with other spectral settings or another "
        "background: ostrel-acquire reprocess RUN_DIR --out DIR [options] (see reprocess --help).");

    CLI::Option* address =
        app.add_option("--address", run.address,
                       "the instrument's IPv4 address; without it the built-in simulator is used");
    app.add_option("--points", acquisition.points, "points per scan and direction")
        ->check(CLI::Range(1, OSTRELTCP_MAX_POINTS))
        ->capture_default_str();
    app.add_option("--scans", acquisition.scans, "scans co-added per file")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--files", run.files, "files to acquire; 0 runs until Ctrl-C")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--direction", acquisition.direction, "1 forward, 2 reverse, 3 both")
        ->check(CLI::IsMember({1, 2, 3}))
        ->capture_default_str();
    app.add_option("--gain", acquisition.gain, "gain of the high-gain channel")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    CLI::Option* skip =
        app.add_option("--skip", acquisition.skip, "points skipped at the start of a scan")
            ->check(CLI::NonNegativeNumber)
            ->capture_default_str();
    app.add_flag("--calibrate", run.calibrate,
                 "run a calibration scan first; it sets the skip points")
        ->excludes(skip);
    app.add_option("--out", run.outputDirectory, "output directory (created when missing)")
        ->capture_default_str();
    std::string formats = outputFormatsText(outputs.formats);
    app.add_option("--format", formats,
                   "what to write, a comma-separated list of csv, json (tables of each file), "
                   "jcamp (JCAMP-DX spectra) and hdf5 (run.h5 with the whole run)")
        ->check([](const std::string& text) {
            OutputFormats parsed;
            std::string error;
            return parseOutputFormats(text, &parsed, &error) ? std::string() : error;
        })
        ->capture_default_str();
    std::string jcampForm = "affn";
    app.add_option("--jcamp-form", jcampForm,
                   "JCAMP-DX ordinates: affn (plain numbers) or difdup (compressed)")
        ->check(CLI::IsMember({"affn", "difdup"}))
        ->capture_default_str();
    app.add_option("--background", run.background,
                   "divide each single beam by this background and write transmittance and "
                   "absorbance: a single-beam JCAMP-DX file of an earlier run, or an earlier "
                   "run's output directory (its mean single beam); repeatable")
        ->check(CLI::ExistingPath);
    app.add_option("--background-threshold", outputs.backgroundThresholdPercent,
                   "percent of the background's peak below which transmittance and absorbance "
                   "are not-a-number")
        ->check(CLI::Range(0.0, 100.0))
        ->capture_default_str();
    std::string directions = "both";
    app.add_option("--directions", directions,
                   "a two-direction run's spectra per file: combined (the mean of the halves' "
                   "single beams), separate (each half's) or both")
        ->check(CLI::IsMember({"combined", "separate", "both"}))
        ->capture_default_str();
    app.add_option("--queue-memory", outputs.queueMemoryMiB,
                   "MiB of memory that files fetched and still waiting to be written may hold; "
                   "from half of it on they wait on disk (--queue-disk)")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    app.add_option("--queue-disk", outputs.queueDiskMiB,
                   "MiB that files waiting to be written may take on disk, in the run's "
                   "directory (0: none); beyond both shares files are dropped and counted as "
                   "missed")
        ->check(CLI::Range(0, INT32_MAX))
        ->capture_default_str();
    app.add_option("--writers", outputs.writers,
                   "threads that compute spectra and write files (0: one per core, 2 to 4)")
        ->check(CLI::Range(0, 64))
        ->capture_default_str();
    app.add_option("--interval", run.intervalSeconds,
                   "a time series: start one file every SECONDS (each its own co-add run)")
        ->check(CLI::NonNegativeNumber);
    ostrel::spectra::Settings& spectra = run.settings.spectra;
    SpectralOptions spectralOptions = addSpectralOptions(app, &spectra);
    app.add_flag("--quiet,-q", run.quiet, "print only errors and the final summary line");
    bool noPlot = false;
    app.add_flag("--no-plot", noPlot, "do not draw plot.png");
    app.add_option("--gnuplot", outputs.gnuplot, "the gnuplot program that draws the plot")
        ->capture_default_str();
    std::string live;
    app.add_option("--live", live,
                   "serve a live view of the run in the browser at [HOST:]PORT (HOST "
                   "127.0.0.1 unless given; PORT 0 picks a free one); with --files 0 it is "
                   "the alignment view")
        ->type_name("[HOST:]PORT");
    app.add_option("--trace", options->trace,
                   "send the driver's trace to this file (or \"stderr\")");
    app.add_option("--library", options->library,
                   "path of the driver library (default: $OSTRELTCP_LIBRARY, then next to this "
                   "program)");
    app.add_option("--sim-scan-ms", options->simulator.scanMsAt16k,
                   "built-in simulator: milliseconds per scan at 16384 points (scales with "
                   "--points)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str()
        ->excludes(address);
    app.add_option("--sim-ready-ms", options->simulator.readyMs,
                   "built-in simulator: pause before \"ready\" at the end of a file")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str()
        ->excludes(address);
    app.add_option("--sim-noise", options->simulator.noise,
                   "built-in simulator: standard deviation of its noise per scan (0: none; "
                   "default: the simulator's own)")
        ->check(CLI::NonNegativeNumber)
        ->excludes(address);
    app.add_option("--sim-absorber", options->simulator.absorbers,
                   "built-in simulator: an absorption line CENTRE:HWHM:PEAK_ABSORBANCE (cm^-1, "
                   "cm^-1, absorbance), Lorentzian in absorbance; repeatable")
        ->excludes(address);
    app.add_option("--sim-fault", options->simulator.faults,
                   "built-in simulator: arm a fault, PHASE:FAULT[:PREFIX[:COUNT]] (e.g. "
                   "scan:error:_2 answers the second progress line with ERROR); repeatable")
        ->excludes(address);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        *exitCode = code == 0 ? ExitOk : ExitUsage;
        return false;
    }
    if (!live.empty()) {
        live::LiveAddress where;
        std::string error;
        if (!live::parseLiveAddress(live, &where, &error)) {
            std::fprintf(stderr, "--live: %s\nRun with --help for more information.\n",
                         error.c_str());
            *exitCode = ExitUsage;
            return false;
        }
        run.live = true;
        run.liveHost = where.host;
        run.livePort = where.port;
    }
    outputs.plot = !noPlot;
    std::string error;
    parseOutputFormats(formats, &outputs.formats, &error);  // checked above
    outputs.jcampForm = jcampForm == "difdup" ? JcampForm::Difdup : JcampForm::Affn;
    ostrel::session::parseDirections(directions, &outputs.directions);
    const std::string problem = finishSpectralOptions(spectralOptions, &spectra);
    if (!problem.empty()) {
        std::fprintf(stderr, "ostrel-acquire: %s\n", problem.c_str());
        *exitCode = ExitUsage;
        return false;
    }
    while (run.outputDirectory.size() > 1 && run.outputDirectory.back() == '/') {
        run.outputDirectory.pop_back();
    }
    return true;
}

}  // namespace ostrel::acquire

namespace ostrel::acquire {

bool parseReprocessOptions(int argc, char** argv, ReprocessOptions* options, int* exitCode) {
    ostrel::session::ReprocessRequest& request = options->request;
    CLI::App app{
        "Computes the spectra of an earlier run again from its stored interferograms (run.h5, or "
        "its interferogram CSV files) and writes the outputs that a run with these settings would "
        "have written. A setting not given is the run's own.",
        "ostrel-acquire reprocess"};
    app.get_formatter()->column_width(34);
    app.add_option("RUN_DIR", request.runDirectory, "the earlier run's output directory")
        ->required()
        ->check(CLI::ExistingDirectory);
    app.add_option("--out", request.outputDirectory, "where the new outputs go (created)")
        ->required();
    ostrel::spectra::Settings spectra;
    SpectralOptions spectral = addSpectralOptions(app, &spectra);
    app.add_option("--background", request.background,
                   "divide each single beam by this background: a single-beam JCAMP-DX file or "
                   "an earlier run's output directory; repeatable")
        ->check(CLI::ExistingPath);
    bool noPlot = false;
    app.add_flag("--no-plot", noPlot, "do not draw plot.png");
    app.add_flag("--quiet,-q", options->quiet, "print only errors and the final summary line");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        *exitCode = code == 0 ? ExitOk : ExitUsage;
        return false;
    }
    const std::string problem = finishSpectralOptions(spectral, &spectra);
    if (!problem.empty()) {
        std::fprintf(stderr, "ostrel-acquire reprocess: %s\n", problem.c_str());
        *exitCode = ExitUsage;
        return false;
    }
    // Only what was given replaces the run's own settings.
    if (spectral.laserWavenumber->count() > 0) {
        request.laserWavenumber = spectra.laserWavenumber;
    }
    if (spectral.undersampling->count() > 0) {
        request.undersampling = spectra.undersampling;
    }
    if (spectral.apodizationOption->count() > 0) {
        request.apodization = spectra.apodization;
    }
    if (spectral.zeroFill->count() > 0) {
        request.zeroFill = spectra.zeroFill;
    }
    if (spectral.phaseOption->count() > 0) {
        request.phase = spectra.phase;
    }
    if (spectral.phaseResolution->count() > 0) {
        request.phaseResolution = spectra.phaseResolution;
    }
    if (spectral.rangeOption->count() > 0) {
        request.rangeLow = spectra.rangeLow;
        request.rangeHigh = spectra.rangeHigh;
    }
    request.plot = !noPlot;
    while (request.outputDirectory.size() > 1 && request.outputDirectory.back() == '/') {
        request.outputDirectory.pop_back();
    }
    return true;
}

}  // namespace ostrel::acquire
