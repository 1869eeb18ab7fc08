// The command line of ostrel-acquire: a run (the default) or `reprocess RUN_DIR`.
#pragma once

#include <string>
#include <vector>

#include "exit_codes.h"
#include "ostrel_session/reprocess.h"
#include "ostrel_session/session.h"

namespace ostrel::acquire {

struct Options {
    std::string address;  // empty: the built-in simulator
    ostrel::session::Settings settings;
    int files = 4;  // 0: until interrupted
    bool calibrate = false;
    std::string outputDirectory = "acquire-out";
    std::vector<std::string> background;  // JCAMP-DX single beams or earlier runs' directories
    double intervalSeconds = 0.0;         // 0: files follow one another in one co-add run
    bool quiet = false;
    bool live = false;     // serve the live view (--live)
    std::string liveHost;  // where it listens
    int livePort = 0;      // 0: any free port
    std::string library;   // empty: the default search
    std::string trace;     // OSTRELTCP_TRACE for the driver: "stderr" or a file name
    ostrel::session::SimulatorOptions simulator;
};

// Parses the command line of a run. False when the program should end now (help, or an error
// already printed) with *exitCode.
bool parseOptions(int argc, char** argv, Options* options, int* exitCode);

struct ReprocessOptions {
    ostrel::session::ReprocessRequest request;
    bool quiet = false;
};

// Parses `reprocess RUN_DIR --out DIR [spectral options] [--background PATH]` (argv[0] is
// "reprocess").
bool parseReprocessOptions(int argc, char** argv, ReprocessOptions* options, int* exitCode);

}  // namespace ostrel::acquire
