#include "ostrel_session/json_text.h"

#include <nlohmann/json.hpp>

namespace ostrel::session {

std::string jsonText(const JsonValue& document, int indent) {
    return document.dump(indent, ' ', false, JsonValue::error_handler_t::replace);
}

}  // namespace ostrel::session
