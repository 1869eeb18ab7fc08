// ostrel-acquire: acquisition from the spectrometer (or the built-in simulator) through the
// driver library, loaded at run time by its export names exactly as a host application loads it;
// `ostrel-acquire reprocess` computes an earlier run's spectra again; `ostrel-acquire serve` serves
// the instrument to a browser and to scripts.
#include <cstring>

#include "acquire_command.h"
#include "options.h"
#include "reprocess_command.h"
#include "serve_command.h"

int main(int argc, char** argv) {
    using namespace ostrel::acquire;
    int exitCode = ExitOk;
    if (argc > 1 && std::strcmp(argv[1], "reprocess") == 0) {
        ReprocessOptions options;
        if (!parseReprocessOptions(argc - 1, argv + 1, &options, &exitCode)) {
            return exitCode;
        }
        return runReprocessCommand(options);
    }
    if (argc > 1 && std::strcmp(argv[1], "serve") == 0) {
        return serve::runServeCommand(argc - 1, argv + 1);
    }
    Options options;
    if (!parseOptions(argc, argv, &options, &exitCode)) {
        return exitCode;
    }
    return runAcquireCommand(options);
}
