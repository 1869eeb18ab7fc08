#include "json_reader.h"

#include <cctype>
#include <cstdlib>

namespace ostrel::acquire::testing {
namespace {

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    bool document(JsonValue* value, std::string* error) {
        const bool parsed = parseValue(value) && (skipSpace(), position_ == text_.size());
        if (!parsed) {
            *error = "invalid JSON at offset " + std::to_string(position_);
        }
        return parsed;
    }

  private:
    void skipSpace() {
        while (position_ < text_.size() &&
               std::isspace(static_cast<unsigned char>(text_[position_]))) {
            ++position_;
        }
    }

    bool consume(char expected) {
        skipSpace();
        if (position_ < text_.size() && text_[position_] == expected) {
            ++position_;
            return true;
        }
        return false;
    }

    bool literal(std::string_view word) {
        if (text_.substr(position_, word.size()) != word) {
            return false;
        }
        position_ += word.size();
        return true;
    }

    bool parseString(std::string* out) {
        if (!consume('"')) {
            return false;
        }
        while (position_ < text_.size()) {
            const char c = text_[position_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (position_ >= text_.size()) {
                return false;
            }
            const char escaped = text_[position_++];
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meaning = "\"\\/\b\f\n\r\t";
            if (const size_t at = simple.find(escaped); at != std::string_view::npos) {
                out->push_back(meaning[at]);
            } else if (escaped == 'u' && position_ + 4 <= text_.size()) {
                const std::string hex(text_.substr(position_, 4));
                position_ += 4;
                out->push_back(static_cast<char>(std::strtol(hex.c_str(), nullptr, 16)));
            } else {
                return false;
            }
        }
        return false;
    }

    bool parseNumber(double* out) {
        const size_t start = position_;
        if (position_ < text_.size() && text_[position_] == '-') {
            ++position_;
        }
        const std::string_view allowed = "0123456789.eE+-";
        while (position_ < text_.size() &&
               allowed.find(text_[position_]) != std::string_view::npos) {
            ++position_;
        }
        const std::string number(text_.substr(start, position_ - start));
        if (number.empty() || number == "-" ||
            !std::isdigit(static_cast<unsigned char>(number.back()))) {
            return false;
        }
        char* end = nullptr;
        *out = std::strtod(number.c_str(), &end);
        return *end == '\0';
    }

    bool parseValue(JsonValue* value) {
        skipSpace();
        if (position_ >= text_.size()) {
            return false;
        }
        const char c = text_[position_];
        if (c == '{') {
            return parseObject(value);
        }
        if (c == '[') {
            return parseArray(value);
        }
        if (c == '"') {
            std::string text;
            const bool parsed = parseString(&text);
            value->data = std::move(text);
            return parsed;
        }
        if (literal("true")) {
            value->data = true;
            return true;
        }
        if (literal("false")) {
            value->data = false;
            return true;
        }
        if (literal("null")) {
            value->data = nullptr;
            return true;
        }
        double number = 0.0;
        const bool parsed = parseNumber(&number);
        value->data = number;
        return parsed;
    }

    bool parseArray(JsonValue* value) {
        consume('[');
        JsonValue::Array array;
        if (!consume(']')) {
            do {
                array.emplace_back();
                if (!parseValue(&array.back())) {
                    return false;
                }
            } while (consume(','));
            if (!consume(']')) {
                return false;
            }
        }
        value->data = std::move(array);
        return true;
    }

    bool parseObject(JsonValue* value) {
        consume('{');
        JsonValue::Object object;
        if (!consume('}')) {
            do {
                std::string key;
                skipSpace();
                if (!parseString(&key) || !consume(':') || !parseValue(&object[key])) {
                    return false;
                }
            } while (consume(','));
            if (!consume('}')) {
                return false;
            }
        }
        value->data = std::move(object);
        return true;
    }

    std::string_view text_;
    size_t position_ = 0;
};

}  // namespace

bool parseJson(std::string_view text, JsonValue* value, std::string* error) {
    return Parser(text).document(value, error);
}

}  // namespace ostrel::acquire::testing
