// Feeds arbitrary bytes to what the server makes of a request body: the JSON object, the settings
// it changes and a run's request. Whatever comes in, a body is either refused with a reason or
// gives settings that pass every check; refused settings are left exactly as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "request_body.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel::acquire::serve;
    const std::string body(reinterpret_cast<const char*>(data), size);
    JsonValue json;
    std::string error;
    if (!parseJsonObject(body, &json, &error)) {
        check(!error.empty());
        return 0;
    }
    check(json.is_object());
    ostrel::session::Settings settings;
    const std::string before = ostrel::session::jsonText(ostrel::session::settingsJson(settings));
    ostrel::session::FieldErrors errors;
    if (settingsFromBody(json, &settings, &errors)) {
        check(errors.empty());
        check(ostrel::session::checkSettings(settings).empty());
    } else {
        check(!errors.empty());
        check(ostrel::session::jsonText(ostrel::session::settingsJson(settings)) == before);
    }
    ostrel::session::RunRequest request;
    errors.clear();
    if (parseRunRequest(json, &request, &errors)) {
        check(request.kind != ostrel::session::RunKind::Acquire);
        check(request.files >= 0 && request.intervalSeconds >= 0.0);
        check(request.kind != ostrel::session::RunKind::Series || request.intervalSeconds > 0.0);
    } else {
        check(!errors.empty());
    }
    return 0;
}
