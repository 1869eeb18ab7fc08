#include "json_text.h"

#include <nlohmann/json.hpp>

namespace ostrel::acquire {

std::string jsonText(const Json& document, int indent) {
    return document.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace ostrel::acquire
