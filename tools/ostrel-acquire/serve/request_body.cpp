#include "request_body.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace ostrel::acquire::serve {

using ostrel::session::FieldErrors;
using ostrel::session::RunKind;
using ostrel::session::RunRequest;
using ostrel::session::Settings;

namespace {

constexpr size_t kMaxNameLength = 200;
constexpr int64_t kMaxFiles = 1000000;
constexpr double kMaxIntervalSeconds = 86400.0;

}  // namespace

bool isUtf8(const std::string& text) {
    size_t k = 0;
    while (k < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        size_t extra = 0;
        uint32_t code = 0;
        if (c < 0x80) {
            ++k;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (k + extra >= text.size()) {
            return false;
        }
        for (size_t n = 1; n <= extra; ++n) {
            const unsigned char next = static_cast<unsigned char>(text[k + n]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        k += extra + 1;
    }
    return true;
}

bool parseJsonObject(const std::string& body, JsonValue* json, std::string* error) {
    if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
        *json = JsonValue::object();
        return true;
    }
    if (!isUtf8(body)) {
        *error = "the body is not UTF-8 text";
        return false;
    }
    JsonValue parsed = JsonValue::parse(body, nullptr, false);
    if (parsed.is_discarded()) {
        *error = "the body is not valid JSON";
        return false;
    }
    if (!parsed.is_object()) {
        *error = "the body must be a JSON object";
        return false;
    }
    *json = std::move(parsed);
    return true;
}

bool settingsFromBody(const JsonValue& body, Settings* settings, FieldErrors* errors) {
    Settings changed = *settings;
    if (ostrel::session::applySettingsJson(body, &changed, errors)) {
        *errors = ostrel::session::checkSettings(changed);
        if (errors->empty()) {
            *settings = changed;
            return true;
        }
        return false;
    }
    // The members that could be read are checked too, so that the answer names every bad field
    // at once rather than one round at a time.
    JsonValue readable = body;
    for (size_t round = 0; round <= body.size(); ++round) {
        for (const auto& [field, problem] : *errors) {
            readable.erase(field);
        }
        Settings partial = *settings;
        FieldErrors more;
        if (ostrel::session::applySettingsJson(readable, &partial, &more)) {
            for (const auto& [field, problem] : ostrel::session::checkSettings(partial)) {
                errors->emplace(field, problem);
            }
            break;
        }
        errors->insert(more.begin(), more.end());
    }
    return false;
}

bool parseRunRequest(const JsonValue& body, RunRequest* request, FieldErrors* errors) {
    for (const auto& [key, value] : body.items()) {
        if (key != "kind" && key != "files" && key != "name" && key != "interval_s") {
            (*errors)[key] = "unknown field " + key;
        }
    }
    const auto kind = body.find("kind");
    if (kind == body.end()) {
        (*errors)["kind"] = "kind is required: align, background, sample or series";
    } else if (!kind->is_string() ||
               !ostrel::session::parseRunKind(kind->get<std::string>(), &request->kind) ||
               request->kind == RunKind::Acquire) {
        (*errors)["kind"] = "kind must be align, background, sample or series";
    }
    const auto files = body.find("files");
    if (files != body.end()) {
        if (!files->is_number_integer() || files->get<int64_t>() < 0 ||
            files->get<int64_t>() > kMaxFiles) {
            (*errors)["files"] = "files must be a whole number from 0 (until stopped) to " +
                                 std::to_string(kMaxFiles);
        } else {
            request->files = static_cast<int>(files->get<int64_t>());
        }
    }
    const auto name = body.find("name");
    if (name != body.end()) {
        const bool text = name->is_string();
        const std::string value = text ? name->get<std::string>() : "";
        const bool printable = std::none_of(value.begin(), value.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        });
        if (!text || value.size() > kMaxNameLength || !printable) {
            (*errors)["name"] = "name must be text of at most " + std::to_string(kMaxNameLength) +
                                " bytes without control characters";
        } else {
            request->name = value;
        }
    }
    const auto interval = body.find("interval_s");
    if (interval != body.end()) {
        const bool number = interval->is_number();
        const double value = number ? interval->get<double>() : -1.0;
        if (!number || !std::isfinite(value) || value < 0.0 || value > kMaxIntervalSeconds) {
            (*errors)["interval_s"] = "interval_s must be a number of seconds from 0 to 86400";
        } else {
            request->intervalSeconds = value;
        }
    }
    if (errors->empty() && request->kind == RunKind::Series && !(request->intervalSeconds > 0.0)) {
        (*errors)["interval_s"] = "a series needs interval_s of more than 0";
    }
    return errors->empty();
}

}  // namespace ostrel::acquire::serve
