#include "options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "live_address.h"
#include "ostreltcp.h"

namespace ostrel::acquire {

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
    std::string format = "csv";
    app.add_option("--format", format, "format of the data files")
        ->check(CLI::IsMember({"csv", "json"}))
        ->capture_default_str();
    std::string apodization = apodizationName(run.apodization);
    app.add_option("--apodization", apodization, "window applied before the transform")
        ->check(CLI::IsMember({"happ-genzel", "blackman-harris", "boxcar"}))
        ->capture_default_str();
    app.add_flag("--quiet,-q", run.quiet, "print only errors and the final summary line");
    bool noPlot = false;
    app.add_flag("--no-plot", noPlot, "do not draw plot.png");
    app.add_option("--gnuplot", run.gnuplot, "the gnuplot program that draws the plot")
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
    run.plot = !noPlot;
    run.format = format == "json" ? OutputFormat::Json : OutputFormat::Csv;
    parseApodization(apodization, &run.apodization);
    while (run.outputDirectory.size() > 1 && run.outputDirectory.back() == '/') {
        run.outputDirectory.pop_back();
    }
    return true;
}

}  // namespace ostrel::acquire
