#include "api_json.h"

#include <nlohmann/json.hpp>

#include "live_events.h"

namespace ostrel::acquire::serve {

JsonValue stateJson(const ostrel::session::SessionState& state) {
    JsonValue json;
    json["connection"] = {{"connected", state.connection.connected},
                          {"simulator", state.connection.simulator},
                          {"address", state.connection.address},
                          {"instrument_version", state.connection.instrumentVersion},
                          {"calibrated_skip", state.connection.calibratedSkip}};
    json["driver_status"] = {{"code", state.driverStatus},
                             {"text", live::driverStatusText(state.driverStatus)}};
    json["running"] = state.running;
    json["active_run"] = state.running ? runJson(state.activeRun) : JsonValue(nullptr);
    json["settings"] = ostrel::session::settingsJson(state.settings);
    // The background's sources are paths on the server; a client only needs to know whether
    // there is one and which run it came from.
    JsonValue background = JsonValue::array();
    for (const std::string& source : state.background) {
        const size_t slash = source.find_last_of('/');
        background.push_back(slash == std::string::npos ? source : source.substr(slash + 1));
    }
    json["background"] = std::move(background);
    if (state.lastError.message.empty()) {
        json["last_error"] = nullptr;
    } else {
        json["last_error"] = {{"message", state.lastError.message},
                              {"detail", state.lastError.detail},
                              {"code", state.lastError.code},
                              {"hint", state.lastError.hint}};
    }
    return json;
}

JsonValue runJson(const ostrel::session::RunRecord& run) {
    JsonValue json;
    json["id"] = run.id;
    json["kind"] = std::string(ostrel::session::name(run.kind));
    json["name"] = run.name;
    json["state"] = run.state;
    json["started"] = run.started;
    json["started_ms"] = run.startedMs;
    json["error"] = run.error;
    JsonValue files = JsonValue::array();
    for (const ostrel::session::FileRecord& file : run.files) {
        files.push_back({{"number", file.number},
                         {"interferogram", file.interferogram},
                         {"spectrum", file.spectrum},
                         {"timestamp_ms", file.timestampMs}});
    }
    json["files"] = std::move(files);
    return json;
}

JsonValue errorJson(const std::string& message, const ostrel::session::FieldErrors& fields) {
    JsonValue json;
    json["error"] = message;
    if (!fields.empty()) {
        JsonValue named = JsonValue::object();
        for (const auto& [field, problem] : fields) {
            named[field] = problem;
        }
        json["fields"] = std::move(named);
    }
    return json;
}

}  // namespace ostrel::acquire::serve
