// A minimal JSON reader for checking the tool's output: it accepts exactly RFC 8259 documents
// (no trailing commas, no NaN), so a malformed file fails the test that reads it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ostrel::acquire::testing {

struct JsonValue {
    using Array = std::vector<JsonValue>;
    using Object = std::map<std::string, JsonValue>;
    std::variant<std::nullptr_t, bool, double, std::string, Array, Object> data;

    bool isNull() const { return std::holds_alternative<std::nullptr_t>(data); }
    double number() const { return std::get<double>(data); }
    const std::string& text() const { return std::get<std::string>(data); }
    bool flag() const { return std::get<bool>(data); }
    const Array& array() const { return std::get<Array>(data); }
    const Object& object() const { return std::get<Object>(data); }
    bool has(const std::string& key) const { return object().count(key) != 0; }
    const JsonValue& operator[](const std::string& key) const { return object().at(key); }
    const JsonValue& operator[](size_t index) const { return array().at(index); }
};

// False (with *error) when text is not one complete JSON document.
bool parseJson(std::string_view text, JsonValue* value, std::string* error);

}  // namespace ostrel::acquire::testing
