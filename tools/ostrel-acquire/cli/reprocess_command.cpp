#include "reprocess_command.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include "terminal_observer.h"

namespace ostrel::acquire {

int runReprocessCommand(const ReprocessOptions& options) {
    TerminalRun where;
    where.outputDirectory = options.request.outputDirectory;
    where.completeVerb = "reprocessed";
    const ProgressMode mode = options.quiet                ? ProgressMode::Quiet
                              : isatty(STDOUT_FILENO) != 0 ? ProgressMode::Terminal
                                                           : ProgressMode::Lines;
    TerminalObserver terminal(mode, nullptr, where);
    const ostrel::session::Result result =
        ostrel::session::reprocessRun(options.request, &terminal);
    return exitCodeFor(result.failure);
}

}  // namespace ostrel::acquire
