// ostrel-sim: runs the instrument simulator until SIGINT or SIGTERM. It prints the bound ports,
// one per line, then one "ready" line that scripts can wait for and parse. With --dump-spectrum
// it writes the spectrum its interferograms are made from and exits.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "ostrel_sim/simulator.h"
#include "ostrel_sim/spectrum_model.h"

namespace {

using ostrel::sim::Config;
using ostrel::sim::FaultSetting;
using ostrel::sim::Simulator;

std::string visible(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

// Prints the log entries that arrived since the last call.
void printNew(const char* label, const std::vector<std::string>& log, size_t* printed) {
    for (; *printed < log.size(); ++*printed) {
        std::printf("%s %s\n", label, visible(log[*printed]).c_str());
    }
}

bool parseFibre(const std::string& text, Config* config, std::string* error) {
    unsigned input = 0;
    unsigned long value = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u=%lu%c", &input, &value, &tail) != 2 || input < 1 ||
        input > 16) {
        *error = "--fibre expects INPUT=VALUE with INPUT 1..16, got '" + text + "'";
        return false;
    }
    config->fibreReadings[input - 1] = static_cast<uint32_t>(value);
    return true;
}

int dumpSpectrum(const Config& config, const std::string& path, double step) {
    ostrel::sim::SpectrumModel model(config.absorbers);
    std::string error;
    if (!config.spectrumFile.empty() &&
        !ostrel::sim::SpectrumModel::fromCsvFile(config.spectrumFile, config.absorbers, &model,
                                                 &error)) {
        std::fprintf(stderr, "ostrel-sim: %s\n", error.c_str());
        return 2;
    }
    double highest = config.laserWavenumber / config.undersampling;
    if (!ostrel::sim::writeSpectrumCsv(model, highest, step, path, &error)) {
        std::fprintf(stderr, "ostrel-sim: --dump-spectrum: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    std::vector<std::string> faultTexts;
    std::vector<std::string> fibreTexts;
    std::vector<std::string> absorberTexts;
    std::string dumpFile;
    double dumpStep = 0.125;
    bool logTraffic = false;

    CLI::App app{
        "Simulated network spectrometer: serves the command, data and reboot ports on "
        "one address. Runs until SIGINT or SIGTERM."};
    app.option_defaults()->always_capture_default();
    app.add_option("--address", config.address, "IPv4 address to listen on");
    app.add_option("--command-port", config.commandPort,
                   "TCP port of the command connection (0: any free port)");
    app.add_option("--data-port", config.dataPort,
                   "TCP port of the data connection (0: any free port)");
    app.add_option("--reboot-port", config.rebootPort,
                   "UDP port of the reboot datagram (0: any free port)");
    app.add_option("--scan-ms", config.scanMsAt16k,
                   "Duration of one scan at 16384 points in ms; scales with points; 0: instant");
    app.add_option("--ready-delay-ms", config.readyDelayMs,
                   "Pause between the last progress line and \"ready\" in ms");
    app.add_option("--reboot-ms", config.rebootDownMs,
                   "Time after \"REBOOT\" during which connections are refused, in ms");
    app.add_option("--seed", config.seed, "Seed of the noise");
    app.add_option("--burst", config.burstCentre,
                   "Point nearest zero path difference (the centre burst) at skip 0");
    app.add_option("--amplitude", config.amplitude,
                   "Per-scan peak of the burst on the low-gain channel");
    app.add_option("--laser-wavenumber", config.laserWavenumber,
                   "Reference laser wavenumber in cm^-1")
        ->check(CLI::PositiveNumber);
    app.add_option("--undersampling", config.undersampling,
                   "Undersampling ratio u: points are u / (2 x laser wavenumber) cm apart and "
                   "the spectrum is kept up to laser wavenumber / u")
        ->check(CLI::Range(1, 64));
    app.add_option("--absorber", absorberTexts,
                   "Absorption line CENTRE:HWHM:PEAK_ABSORBANCE in cm^-1, cm^-1 and absorbance, "
                   "Lorentzian in absorbance (repeatable)");
    app.add_option("--spectrum", config.spectrumFile,
                   "Source spectrum as CSV rows wavenumber,value (cm^-1, >= 0; a header line is "
                   "allowed) instead of the 1200 K source behind a 500 .. 5000 cm^-1 detector");
    app.add_option("--zpd-offset", config.zpdOffset,
                   "Fraction of a point by which zero path difference follows the burst's point")
        ->check(CLI::Range(-0.999, 0.999));
    app.add_option("--dispersion", config.dispersion,
                   "Instrument phase in rad at laser wavenumber / u, quadratic in wavenumber");
    app.add_option("--dump-spectrum", dumpFile,
                   "Write the spectrum (source x transmittance) as CSV wavenumber,value from 0 to "
                   "laser wavenumber / u to FILE and exit");
    app.add_option("--dump-step", dumpStep, "Wavenumber step of --dump-spectrum, in cm^-1")
        ->check(CLI::PositiveNumber);
    app.add_option("--gain-factor", config.gainFactor,
                   "High-gain/low-gain ratio at gain 1 (x2 per gain step, /2 at gain 0)");
    app.add_option("--saturation", config.saturation,
                   "Per-scan clip level of the high-gain channel");
    app.add_option("--low-offset", config.lowOffset, "Per-scan offset of the low-gain channel");
    app.add_option("--noise", config.noise, "Per-scan noise deviation in low-gain units; 0: none")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--version-number", config.versionNumber, "Number answered to \"version\"");
    app.add_option("--fibre", fibreTexts,
                   "Reading of a fibre input, INPUT=VALUE (repeatable; default 100 x input)");
    app.add_option("--trickle-bytes", config.trickleBytes, "Bytes per chunk of the trickle fault");
    app.add_option("--trickle-ms", config.trickleIntervalMs,
                   "Pause between chunks of the trickle fault, in ms");
    app.add_option("--max-points", config.maxPoints, "Largest points setting accepted");
    app.add_option("--fault", faultTexts,
                   "PHASE:FAULT[:PREFIX[:COUNT]] (repeatable). PHASE: command-greeting, "
                   "data-greeting, command, scan, data. FAULT: error, lower-error, no-greeting, "
                   "no-ready, silence, stall, short, close, trickle, reset. COUNT: occurrences, "
                   "-1 (default) until the program ends");
    app.add_flag("--log", logTraffic, "Print every command, data request and datagram received");
    CLI11_PARSE(app, argc, argv);

    std::vector<FaultSetting> faults;
    for (const std::string& text : faultTexts) {
        FaultSetting rule;
        std::string error;
        if (!ostrel::sim::parseFaultSetting(text, &rule, &error)) {
            std::fprintf(stderr, "ostrel-sim: --fault %s: %s\n", text.c_str(), error.c_str());
            return 2;
        }
        faults.push_back(rule);
    }
    for (const std::string& text : fibreTexts) {
        std::string error;
        if (!parseFibre(text, &config, &error)) {
            std::fprintf(stderr, "ostrel-sim: %s\n", error.c_str());
            return 2;
        }
    }

    for (const std::string& text : absorberTexts) {
        ostrel::sim::Absorber absorber;
        std::string error;
        if (!ostrel::sim::parseAbsorber(text, &absorber, &error)) {
            std::fprintf(stderr, "ostrel-sim: --absorber: %s\n", error.c_str());
            return 2;
        }
        config.absorbers.push_back(absorber);
    }
    if (!dumpFile.empty())
        return dumpSpectrum(config, dumpFile, dumpStep);

    // Blocked before the service thread starts, so that only sigtimedwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Simulator simulator(config);
    for (const FaultSetting& rule : faults) {
        simulator.setFault(rule.phase, rule.fault, rule.prefix, rule.count);
    }
    std::string error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "ostrel-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("command port %u\ndata port %u\nreboot port %u\n", simulator.commandPort(),
                simulator.dataPort(), simulator.rebootPort());
    std::printf("ostrel-sim ready on %s: command %u data %u reboot %u\n", config.address.c_str(),
                simulator.commandPort(), simulator.dataPort(), simulator.rebootPort());
    std::fflush(stdout);

    size_t commandsPrinted = 0, requestsPrinted = 0, datagramsPrinted = 0;
    timespec pollInterval{0, 100 * 1000 * 1000};
    int received = -1;
    while (received < 0) {
        received = sigtimedwait(&stopSignals, nullptr, &pollInterval);
        if (logTraffic) {
            printNew("command", simulator.commandLog(), &commandsPrinted);
            printNew("data", simulator.dataRequestLog(), &requestsPrinted);
            printNew("datagram", simulator.datagramLog(), &datagramsPrinted);
            std::fflush(stdout);
        }
    }
    simulator.stop();
    std::printf("ostrel-sim stopped\n");
    return 0;
}
