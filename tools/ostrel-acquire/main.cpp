// ostrel-acquire: acquisition from the spectrometer (or the built-in simulator) through the
// driver library, loaded at run time by its export names exactly as a host application loads it.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "acquisition.h"
#include "driver_library.h"
#include "host_events.h"
#include "options.h"
#include "ostrel_sim/simulator.h"
#include "ostrel_sim/spectrum_model.h"

namespace {

using namespace ostrel::acquire;

// The driver reads the instrument's ports from the environment at open; pointing them at the
// simulator's free ports lets it run without root and beside any other simulator.
void pointDriverAt(const ostrel::sim::Simulator& simulator) {
    setenv("OSTRELTCP_COMMAND_PORT", std::to_string(simulator.commandPort()).c_str(), 1);
    setenv("OSTRELTCP_DATA_PORT", std::to_string(simulator.dataPort()).c_str(), 1);
    setenv("OSTRELTCP_REBOOT_PORT", std::to_string(simulator.rebootPort()).c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int exitCode = ExitOk;
    if (!parseOptions(argc, argv, &options, &exitCode)) {
        return exitCode;
    }
    std::string error;
    if (!installInterruptHandlers(&error)) {
        std::fprintf(stderr, "ostrel-acquire: %s\n", error.c_str());
        return ExitLibrary;
    }
    // The trace channel is chosen when the library starts, so it is set before loading it.
    if (!options.trace.empty()) {
        setenv("OSTRELTCP_TRACE", options.trace.c_str(), 1);
    }

    // Declared before the library so that it outlives the driver's connections to it.
    std::unique_ptr<ostrel::sim::Simulator> simulator;
    if (options.run.address.empty()) {
        ostrel::sim::Config config;
        config.scanMsAt16k = options.simulatorScanMs;
        config.readyDelayMs = options.simulatorReadyMs;
        // The simulator samples its spectrum on the same axis the spectra are computed on.
        config.laserWavenumber = options.run.spectra.laserWavenumber;
        config.undersampling = options.run.spectra.undersampling;
        for (const std::string& text : options.simulatorAbsorbers) {
            ostrel::sim::Absorber absorber;
            if (!ostrel::sim::parseAbsorber(text, &absorber, &error)) {
                std::fprintf(stderr, "ostrel-acquire: --sim-absorber %s: %s\n", text.c_str(),
                             error.c_str());
                return ExitUsage;
            }
            config.absorbers.push_back(absorber);
        }
        simulator = std::make_unique<ostrel::sim::Simulator>(config);
        if (!simulator->start(&error)) {
            std::fprintf(stderr, "ostrel-acquire: cannot start the built-in simulator: %s\n",
                         error.c_str());
            return ExitLibrary;
        }
        for (const std::string& text : options.simulatorFaults) {
            ostrel::sim::FaultSetting fault;
            if (!ostrel::sim::parseFaultSetting(text, &fault, &error)) {
                std::fprintf(stderr, "ostrel-acquire: --sim-fault %s: %s\n", text.c_str(),
                             error.c_str());
                return ExitUsage;
            }
            simulator->setFault(fault.phase, fault.fault, fault.prefix, fault.count);
        }
        pointDriverAt(*simulator);
        options.run.address = config.address;
        options.run.simulator = true;
        if (!options.run.quiet) {
            std::printf(
                "no --address given: using the built-in simulator on %s (command port %u, data "
                "port %u, reboot port %u)\n",
                config.address.c_str(), simulator->commandPort(), simulator->dataPort(),
                simulator->rebootPort());
            std::fflush(stdout);
        }
    }

    ostrel::host::DriverLibrary library;
    const std::string path =
        options.library.empty() ? ostrel::host::DriverLibrary::defaultPath() : options.library;
    if (!library.load(path, &error)) {
        std::fprintf(stderr,
                     "ostrel-acquire: %s\n  hint: give its path with --library or in "
                     "OSTRELTCP_LIBRARY\n",
                     error.c_str());
        return ExitLibrary;
    }
    library.keepLoaded();
    return runAcquisition(library.api(), options.run);
}
