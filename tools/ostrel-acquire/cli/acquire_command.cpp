#include "acquire_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "interrupts.h"
#include "live_view.h"
#include "page_files.h"
#include "terminal_observer.h"

namespace ostrel::acquire {
namespace {

using ostrel::session::Failure;
using ostrel::session::Result;
using ostrel::session::RunKind;
using ostrel::session::RunRequest;
using ostrel::session::Session;
using ostrel::session::SessionConfig;

ProgressMode progressMode(const Options& options) {
    if (options.quiet) {
        return ProgressMode::Quiet;
    }
    return isatty(STDOUT_FILENO) != 0 ? ProgressMode::Terminal : ProgressMode::Lines;
}

RunRequest runRequest(const Options& options) {
    RunRequest request;
    request.kind = options.intervalSeconds > 0.0 ? RunKind::Series
                   : options.background.empty()  ? RunKind::Acquire
                                                 : RunKind::Sample;
    request.files = options.files;
    request.intervalSeconds = options.intervalSeconds;
    request.directory = options.outputDirectory;
    return request;
}

// The live view starts before the instrument is touched, so that a page opened at once sees the
// connection and the calibration. Null with *status when it cannot start.
std::unique_ptr<live::LiveView> startLiveView(const Options& options, int* status) {
    *status = ExitOk;
    if (!options.live) {
        return nullptr;
    }
    live::LiveViewSettings settings;
    settings.address.host = options.liveHost;
    settings.address.port = options.livePort;
    settings.pageDirectories = live::pageDirectoryCandidates(live::programDirectory());
    settings.libraryDirectory = live::defaultLibraryDirectory();
    auto view = std::make_unique<live::LiveView>();
    std::string error;
    if (!view->start(settings, &error)) {
        std::fprintf(stderr, "ostrel-acquire: %s\n", error.c_str());
        *status = ExitOutput;
        return nullptr;
    }
    return view;
}

}  // namespace

int runAcquireCommand(Options& options) {
    std::string error;
    if (!installInterruptHandlers(&error)) {
        std::fprintf(stderr, "ostrel-acquire: %s\n", error.c_str());
        return ExitLibrary;
    }
    // The trace channel is chosen when the library starts, so it is set before loading it.
    if (!options.trace.empty()) {
        setenv("OSTRELTCP_TRACE", options.trace.c_str(), 1);
    }
    SessionConfig config;
    config.libraryPath = options.library;
    config.simulator = options.simulator;
    Session session(config);
    const bool simulator = options.address.empty();
    if (simulator) {
        // The simulator samples its spectrum on the axis the spectra are computed on.
        Result settled = session.applySettings(options.settings);
        Result started = settled.ok() ? session.startSimulator() : settled;
        if (!started.ok()) {
            std::fprintf(stderr, "ostrel-acquire: %s\n", started.message.c_str());
            return exitCodeFor(started.failure);
        }
        const std::vector<uint16_t> ports = session.simulatorPorts();
        if (!options.quiet) {
            std::printf(
                "no --address given: using the built-in simulator on 127.0.0.1 (command port %u, "
                "data port %u, reboot port %u)\n",
                ports[0], ports[1], ports[2]);
            std::fflush(stdout);
        }
    }
    const Result loaded = session.loadDriver();
    if (!loaded.ok()) {
        std::fprintf(stderr,
                     "ostrel-acquire: %s\n  hint: give its path with --library or in "
                     "OSTRELTCP_LIBRARY\n",
                     loaded.message.c_str());
        return ExitLibrary;
    }

    int status = ExitOk;
    std::unique_ptr<live::LiveView> view = startLiveView(options, &status);
    if (status != ExitOk) {
        return status;
    }
    TerminalRun where;
    where.address = simulator ? "127.0.0.1" : options.address;
    where.outputDirectory = options.outputDirectory;
    where.simulator = simulator;
    auto terminal = std::make_shared<TerminalObserver>(progressMode(options), view.get(), where);
    session.addObserver(terminal);
    if (view != nullptr) {
        if (!live::isLoopbackHost(options.liveHost)) {
            terminal->warn("the live view listens on " + options.liveHost +
                           ": anyone who can reach this computer over the network can watch the "
                           "run");
        }
        // Printed even when quiet: it is the only way to learn the port when the system chose it.
        std::printf("live view: %s\n", view->url().c_str());
        std::fflush(stdout);
    }

    // Everything that can be checked without the instrument first: the settings, a background
    // that must fit them, and that no earlier run's data would be overwritten.
    const RunRequest request = runRequest(options);
    Result result = session.applySettings(options.settings);
    if (result.ok() && !options.background.empty()) {
        result = session.setBackground(options.background);
    }
    if (result.ok()) {
        result = session.prepareRun(request);
    }
    if (result.ok()) {
        result = session.connect(options.address);
    }
    if (result.ok() && options.calibrate) {
        result = session.calibrate();
    }
    if (result.ok()) {
        result = session.startRun(request);
    }
    bool interruptNoted = false;
    while (result.ok() && !session.waitForRun(0)) {
        if (waitForInterrupt(250) && !interruptNoted) {
            terminal->note(
                "interrupted: stopping the run (files already fetched are still written)");
            session.stop(true);
            interruptNoted = true;
        }
    }
    const bool ran = result.ok();
    session.close();
    session.flushEvents();
    if (!ran) {
        terminal->endWithoutRun("");
        status = exitCodeFor(result.failure);
    } else {
        status = exitCodeFor(session.lastRunEnd().failure);
    }
    if (view != nullptr) {
        // Every stream takes what is queued (the end of the run included), then the server stops.
        view->stop();
    }
    session.removeObserver(terminal);
    return status;
}

}  // namespace ostrel::acquire
