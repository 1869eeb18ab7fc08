#include "json_text.h"

#include <nlohmann/json.hpp>

namespace ostrel::acquire {

std::string jsonText(const JsonValue& document, int indent) {
    return document.dump(indent, ' ', false, JsonValue::error_handler_t::replace);
}

}  // namespace ostrel::acquire
