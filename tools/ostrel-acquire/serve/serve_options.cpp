#include "serve_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "exit_codes.h"

namespace ostrel::acquire::serve {

bool parseServeOptions(int argc, char** argv, ServeOptions* options, int* exitCode) {
    ServeOptions& serve = *options;
    CLI::App app{
        "Serves the instrument: one session held open, a page that runs the measurement and an "
        "HTTP API, both behind a token. Without --address it uses the built-in simulator.",
        "ostrel-acquire serve"};
    app.get_formatter()->column_width(36);
    std::string listen = "127.0.0.1:" + std::to_string(kDefaultPort);
    app.add_option("--listen", listen,
                   "[HOST:]PORT to listen on; loopback unless a host is named (another host "
                   "needs --tls-cert/--tls-key or --insecure-network)")
        ->capture_default_str();
    app.add_option("--data", serve.dataDirectory, "where runs are kept (created when missing)")
        ->capture_default_str();
    CLI::Option* address =
        app.add_option("--address", serve.address,
                       "the instrument's IPv4 address; without it the built-in simulator is used");
    app.add_option("--token-file", serve.tokenFile,
                   "read the control token from this file instead of making a new one")
        ->check(CLI::ExistingFile);
    CLI::Option* cert = app.add_option("--tls-cert", serve.tlsCert, "TLS certificate (PEM)")
                            ->check(CLI::ExistingFile);
    CLI::Option* key = app.add_option("--tls-key", serve.tlsKey, "TLS private key (PEM)")
                           ->check(CLI::ExistingFile);
    cert->needs(key);
    key->needs(cert);
    app.add_flag("--insecure-network", serve.insecureNetwork,
                 "allow plain HTTP on a non-loopback address: the token and the data cross the "
                 "network unencrypted");
    app.add_option("--library", serve.library,
                   "path of the driver library (default: $OSTRELTCP_LIBRARY, then next to this "
                   "program)");
    app.add_option("--trace", serve.trace, "send the driver's trace to this file (or \"stderr\")");
    app.add_flag("--quiet,-q", serve.quiet, "print only the URL, warnings and errors");
    app.add_flag("--hide-token", serve.hideToken,
                 "print the URL without the token (for a service whose output is logged); the "
                 "token is in DATA/.token");
    app.add_option("--sim-scan-ms", serve.simulator.scanMsAt16k,
                   "built-in simulator: milliseconds per scan at 16384 points")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str()
        ->excludes(address);
    app.add_option("--sim-ready-ms", serve.simulator.readyMs,
                   "built-in simulator: pause before \"ready\" at the end of a file")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str()
        ->excludes(address);
    app.add_option("--sim-noise", serve.simulator.noise,
                   "built-in simulator: standard deviation of its noise per scan")
        ->check(CLI::NonNegativeNumber)
        ->excludes(address);
    app.add_option("--sim-absorber", serve.simulator.absorbers,
                   "built-in simulator: an absorption line CENTRE:HWHM:PEAK_ABSORBANCE always in "
                   "the beam; repeatable")
        ->excludes(address);
    app.add_option("--sim-sample-absorber", serve.sampleAbsorbers,
                   "built-in simulator: an absorption line CENTRE:HWHM:PEAK_ABSORBANCE in the beam "
                   "during sample runs only (a demonstration sample); repeatable")
        ->excludes(address);
    app.add_option("--sim-fault", serve.simulator.faults,
                   "built-in simulator: arm a fault, PHASE:FAULT[:PREFIX[:COUNT]]; repeatable")
        ->excludes(address);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        *exitCode = code == 0 ? ExitOk : ExitUsage;
        return false;
    }
    std::string error;
    if (!live::parseLiveAddress(listen, &serve.listen, &error)) {
        std::fprintf(stderr, "ostrel-acquire serve: --listen: %s\n", error.c_str());
        *exitCode = ExitUsage;
        return false;
    }
    const std::string problem = checkListenSecurity(serve);
    if (!problem.empty()) {
        std::fprintf(stderr, "ostrel-acquire serve: %s\n", problem.c_str());
        *exitCode = ExitUsage;
        return false;
    }
    while (serve.dataDirectory.size() > 1 && serve.dataDirectory.back() == '/') {
        serve.dataDirectory.pop_back();
    }
    return true;
}

std::string checkListenSecurity(const ServeOptions& options) {
    if (live::isLoopbackHost(options.listen.host)) {
        return "";
    }
    if (!options.tlsCert.empty() && !options.tlsKey.empty()) {
        return "";
    }
    if (options.insecureNetwork) {
        return "";
    }
    return "refusing to listen on " + options.listen.host +
           " without TLS: anyone on the network could read the token and the data. Give "
           "--tls-cert and --tls-key, or --insecure-network to accept that";
}

}  // namespace ostrel::acquire::serve
