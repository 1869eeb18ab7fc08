#include "serve_command.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "access.h"
#include "api_json.h"
#include "exit_codes.h"
#include "interrupts.h"
#include "live_view.h"
#include "ostrel_session/run_history.h"
#include "serve_api.h"
#include "serve_events.h"
#include "serve_options.h"
#include "serve_server.h"

namespace ostrel::acquire::serve {
namespace {

using ostrel::session::Result;
using ostrel::session::Session;
using ostrel::session::SessionConfig;

// How long a run gets to end when the server is asked to stop.
constexpr int kRunEndLimitMs = 10000;
constexpr std::chrono::milliseconds kLastEventsLimit{1000};

std::vector<std::string> servePageDirectories() {
    const std::string program = live::programDirectory();
    if (program.empty()) {
        return {};
    }
    return {program + "/serve-page", program + "/../share/ostreltcp/serve-page"};
}

bool prepareToken(const ServeOptions& options, std::string* token) {
    std::string error;
    if (!options.tokenFile.empty()) {
        if (!readTokenFile(options.tokenFile, token, &error)) {
            std::fprintf(stderr, "ostrel-acquire serve: %s\n", error.c_str());
            return false;
        }
        return true;
    }
    if (!newToken(token, &error) ||
        !writeTokenFile(options.dataDirectory + "/.token", *token, &error)) {
        std::fprintf(stderr, "ostrel-acquire serve: %s\n", error.c_str());
        return false;
    }
    return true;
}

}  // namespace

int runServeCommand(int argc, char** argv) {
    ServeOptions options;
    int exitCode = ExitOk;
    if (!parseServeOptions(argc, argv, &options, &exitCode)) {
        return exitCode;
    }
    std::string error;
    if (!installInterruptHandlers(&error)) {
        std::fprintf(stderr, "ostrel-acquire serve: %s\n", error.c_str());
        return ExitLibrary;
    }
    if (!options.trace.empty()) {
        setenv("OSTRELTCP_TRACE", options.trace.c_str(), 1);
    }
    std::error_code made;
    std::filesystem::create_directories(options.dataDirectory, made);
    if (made) {
        std::fprintf(stderr, "ostrel-acquire serve: cannot create %s: %s\n",
                     options.dataDirectory.c_str(), made.message().c_str());
        return ExitOutput;
    }
    std::string token;
    if (!prepareToken(options, &token)) {
        return ExitOutput;
    }
    // Runs that a killed server left "running" get their final summary now, as interrupted.
    const int closed = ostrel::session::closeInterruptedRuns(options.dataDirectory);
    if (closed > 0 && !options.quiet) {
        std::printf("%d run(s) left by an earlier server marked interrupted\n", closed);
    }

    SessionConfig config;
    config.libraryPath = options.library;
    config.dataDirectory = options.dataDirectory;
    config.simulator = options.simulator;
    Session session(config);
    const bool simulator = options.address.empty();
    if (simulator) {
        Result started = session.startSimulator();
        if (started.ok() && !options.sampleAbsorbers.empty()) {
            // Checked now, so that a wrong one is a usage error at start, not a failed run.
            std::vector<std::string> all = options.simulator.absorbers;
            all.insert(all.end(), options.sampleAbsorbers.begin(), options.sampleAbsorbers.end());
            started = session.setSimulatorSample(all);
            if (started.ok()) {
                started = session.setSimulatorSample(options.simulator.absorbers);
            }
        }
        if (!started.ok()) {
            std::fprintf(stderr, "ostrel-acquire serve: %s\n", started.message.c_str());
            return exitCodeFor(started.failure);
        }
    }
    const Result loaded = session.loadDriver();
    if (!loaded.ok()) {
        std::fprintf(stderr,
                     "ostrel-acquire serve: %s\n  hint: give its path with --library or in "
                     "OSTRELTCP_LIBRARY\n",
                     loaded.message.c_str());
        return ExitLibrary;
    }

    live::PageFiles page;
    if (!live::loadPageFiles(servePageDirectories(), {"index.html", "serve.js", "serve.css"},
                             live::defaultLibraryDirectory(), &page, &error)) {
        std::fprintf(stderr, "ostrel-acquire serve: %s\n", error.c_str());
        return ExitOutput;
    }
    // A new stream may hold this many events before it is behind and resynchronised.
    live::EventHub hub(kMaxEventStreams, 32);
    auto events = std::make_shared<ServeEvents>(
        hub, [&session] { return ostrel::session::jsonText(stateJson(session.state())); });
    session.addObserver(events);
    events->start();

    ServeApiConfig apiConfig;
    apiConfig.dataDirectory = options.dataDirectory;
    apiConfig.address = options.address;
    apiConfig.baseAbsorbers = options.simulator.absorbers;
    apiConfig.sampleAbsorbers = options.sampleAbsorbers;
    ServeApi api(session, apiConfig, events.get());
    ServeServer server(api, hub, std::move(page), {token, options.tlsCert, options.tlsKey});
    int status = ExitOk;
    if (!server.start(options.listen, &error)) {
        std::fprintf(stderr, "ostrel-acquire serve: %s\n", error.c_str());
        status = ExitOutput;
    } else {
        if (!live::isLoopbackHost(options.listen.host) && !server.tls()) {
            std::fprintf(stderr,
                         "ostrel-acquire serve: WARNING: serving plain HTTP on %s "
                         "(--insecure-network): the token and every measurement cross the "
                         "network unencrypted; anyone who sees the token can drive the "
                         "instrument\n",
                         options.listen.host.c_str());
        }
        const std::string host = options.listen.host.find(':') != std::string::npos
                                     ? "[" + options.listen.host + "]"
                                     : options.listen.host;
        if (!options.quiet) {
            std::printf("%s; runs are kept in %s/\n",
                        simulator ? "instrument: the built-in simulator"
                                  : ("instrument: " + options.address).c_str(),
                        options.dataDirectory.c_str());
            if (options.tokenFile.empty()) {
                std::printf("the token is in %s/.token (readable by you only)\n",
                            options.dataDirectory.c_str());
            }
        }
        // The token goes in the fragment, which a browser never sends to a server or a log.
        if (options.hideToken) {
            std::printf("serving: %s://%s:%d/ (the token is in %s)\n",
                        server.tls() ? "https" : "http", host.c_str(), server.port(),
                        options.tokenFile.empty() ? (options.dataDirectory + "/.token").c_str()
                                                  : options.tokenFile.c_str());
        } else {
            std::printf("serving: %s://%s:%d/#token=%s\n", server.tls() ? "https" : "http",
                        host.c_str(), server.port(), token.c_str());
        }
        std::fflush(stdout);
        while (!waitForInterrupt(250)) {
        }
        if (!options.quiet) {
            std::printf("stopping\n");
            std::fflush(stdout);
        }
    }
    session.stop(true);
    session.waitForRun(kRunEndLimitMs);
    session.close();
    session.flushEvents();
    events->stop();
    hub.close();
    hub.waitForStreamsToEnd(kLastEventsLimit);
    server.stop();
    session.removeObserver(events);
    return status;
}

}  // namespace ostrel::acquire::serve
