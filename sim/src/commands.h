// The instrument's command table: what each command line does to the settings and what it answers.
#pragma once

#include <string>
#include <string_view>

#include "ostrel_sim/simulator.h"

namespace ostrel::sim {

struct CommandResult {
    bool startsScan = false;  // "scan": the caller runs the scan sequence, nothing is answered now
    std::string reply;        // "OK\r\n", "<value>\r\nOK\r\n" or "ERROR\r\n"
};

// `line` is one command without its line end. Settings change only when the command is valid.
CommandResult answerCommand(std::string_view line, const Config& config, Settings& settings);

}  // namespace ostrel::sim
