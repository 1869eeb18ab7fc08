// The command conversation: a command line is logged and answered from the command table, and the
// reply goes out spoilt by whatever fault rule matches it. The fault rules are kept here too; the
// greeting, the scan sequence and the data transfer take theirs the same way.
#include <string>
#include <string_view>

#include "commands.h"
#include "service.h"

namespace ostrel::sim {

void Simulator::Impl::handleCommand(const std::string& line) {
    log(commandLog, line);
    std::string_view text = withoutLineEnd(line);
    CommandResult result = answerCommand(text, config, settings);
    if (result.startsScan) {
        startScan(Clock::now());
        return;
    }
    emit(command, textBytes(result.reply), takeFault(Phase::Command, text));
}

Fault Simulator::Impl::takeFault(Phase phase, std::string_view text) {
    for (auto rule = faults.begin(); rule != faults.end(); ++rule) {
        if (rule->phase != phase || !text.starts_with(rule->prefix))
            continue;
        Fault fault = rule->fault;
        if (rule->remaining > 0 && --rule->remaining == 0)
            faults.erase(rule);
        return fault;
    }
    return Fault::None;
}

}  // namespace ostrel::sim
