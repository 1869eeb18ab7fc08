#include "options.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ostreltcp.h"

namespace ostrel::acquire {
namespace {

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

}  // namespace

bool parseOptions(int argc, char** argv, Options* options, int* exitCode) {
    RunOptions& run = options->run;
    CLI::App app{
        "Acquires interferograms from the spectrometer through the OstrelTCP driver, saves each "
        "file with its spectrum, a summary and a plot. Without --address it starts a built-in "
        "simulator on loopback and acquires from that.",
        "ostrel-acquire"};
    app.get_formatter()->column_width(34);

    CLI::Option* address =
        app.add_option("--address", run.address,
                       "the instrument's IPv4 address; without it the built-in simulator is used");
    app.add_option("--points", run.points, "points per scan and direction")
        ->check(CLI::Range(1, OSTRELTCP_MAX_POINTS))
        ->capture_default_str();
    app.add_option("--scans", run.scans, "scans co-added per file")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--files", run.files, "files to acquire; 0 runs until Ctrl-C")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--direction", run.direction, "1 forward, 2 reverse, 3 both")
        ->check(CLI::IsMember({1, 2, 3}))
        ->capture_default_str();
    app.add_option("--gain", run.gain, "gain of the high-gain channel")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    CLI::Option* skip = app.add_option("--skip", run.skip, "points skipped at the start of a scan")
                            ->check(CLI::NonNegativeNumber)
                            ->capture_default_str();
    app.add_flag("--calibrate", run.calibrate,
                 "run a calibration scan first; it sets the skip points")
        ->excludes(skip);
    app.add_option("--out", run.outputDirectory, "output directory (created when missing)")
        ->capture_default_str();
    std::string formats = outputFormatsText(run.formats);
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
    app.add_option("--background-threshold", run.backgroundThresholdPercent,
                   "percent of the background's peak below which transmittance and absorbance "
                   "are not-a-number")
        ->check(CLI::Range(0.0, 100.0))
        ->capture_default_str();
    app.add_option("--interval", run.intervalSeconds,
                   "a time series: start one file every SECONDS (each its own co-add run)")
        ->check(CLI::NonNegativeNumber);
    ostrel::spectra::Settings& spectra = run.spectra;
    app.add_option("--laser-wavenumber", spectra.laserWavenumber,
                   "reference laser wavenumber in cm^-1 (sets the wavenumber axis)")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--undersampling", spectra.undersampling,
                   "undersampling ratio: points are this many laser half-fringes apart")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    std::string apodization(ostrel::spectra::name(spectra.apodization));
    std::vector<std::string> apodizations;
    for (const ostrel::spectra::Apodization each : ostrel::spectra::allApodizations()) {
        apodizations.emplace_back(ostrel::spectra::name(each));
    }
    apodizations.emplace_back("blackman-harris");
    app.add_option("--apodization", apodization,
                   "window from ZPD to the longest path difference (blackman-harris is the "
                   "4-term window)")
        ->check(CLI::IsMember(apodizations))
        ->capture_default_str();
    app.add_option("--zero-fill", spectra.zeroFill,
                   "zero-fill factor: the transform is this many times the next power of two")
        ->check(CLI::IsMember({1, 2, 4, 8}))
        ->capture_default_str();
    std::string phase(ostrel::spectra::name(spectra.phase));
    app.add_option("--phase", phase,
                   "mertz: phase-corrected single beam; magnitude or power: no phase needed")
        ->check(CLI::IsMember({"mertz", "magnitude", "power"}))
        ->capture_default_str();
    app.add_option("--phase-resolution", spectra.phaseResolution,
                   "resolution in cm^-1 of the section around ZPD the phase is taken from")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    std::string range;
    app.add_option("--range", range,
                   "LOW:HIGH, the cm^-1 kept in the spectrum files (default: all)");
    app.add_flag("--quiet,-q", run.quiet, "print only errors and the final summary line");
    bool noPlot = false;
    app.add_flag("--no-plot", noPlot, "do not draw plot.png");
    app.add_option("--gnuplot", run.gnuplot, "the gnuplot program that draws the plot")
        ->capture_default_str();
    app.add_option("--trace", options->trace,
                   "send the driver's trace to this file (or \"stderr\")");
    app.add_option("--library", options->library,
                   "path of the driver library (default: $OSTRELTCP_LIBRARY, then next to this "
                   "program)");
    app.add_option("--sim-scan-ms", options->simulatorScanMs,
                   "built-in simulator: milliseconds per scan at 16384 points (scales with "
                   "--points)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str()
        ->excludes(address);
    app.add_option("--sim-ready-ms", options->simulatorReadyMs,
                   "built-in simulator: pause before \"ready\" at the end of a file")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str()
        ->excludes(address);
    app.add_option("--sim-absorber", options->simulatorAbsorbers,
                   "built-in simulator: an absorption line CENTRE:HWHM:PEAK_ABSORBANCE (cm^-1, "
                   "cm^-1, absorbance), Lorentzian in absorbance; repeatable")
        ->excludes(address);
    app.add_option("--sim-fault", options->simulatorFaults,
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
    run.plot = !noPlot;
    std::string error;
    parseOutputFormats(formats, &run.formats, &error);  // checked above
    run.jcampForm = jcampForm == "difdup" ? JcampForm::Difdup : JcampForm::Affn;
    ostrel::spectra::parseApodization(apodization, &spectra.apodization);
    ostrel::spectra::parsePhaseMode(phase, &spectra.phase);
    std::string problem = range.empty() ? "" : parseRange(range, &spectra);
    if (problem.empty()) {
        problem = ostrel::spectra::checkSettings(spectra);
    }
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
