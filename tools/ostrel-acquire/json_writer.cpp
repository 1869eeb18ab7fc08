#include "json_writer.h"

#include <charconv>
#include <cmath>

namespace ostrel::acquire {

std::string formatNumber(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

void JsonWriter::newline() {
    std::fputc('\n', stream_);
    for (size_t level = 0; level < levels_.size(); ++level) {
        std::fputs("  ", stream_);
    }
}

// Writes the separator that the enclosing container needs before its next element.
void JsonWriter::beforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (levels_.empty()) {
        return;
    }
    Level& level = levels_.back();
    if (!level.empty) {
        std::fputc(',', stream_);
    }
    level.empty = false;
    if (!level.compact) {
        newline();
    }
}

void JsonWriter::beginObject() {
    beforeValue();
    std::fputc('{', stream_);
    levels_.push_back(Level{});
}

void JsonWriter::endObject() {
    const bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
        newline();
    }
    std::fputc('}', stream_);
    if (levels_.empty()) {
        std::fputc('\n', stream_);
    }
}

void JsonWriter::beginArray(bool compact) {
    beforeValue();
    std::fputc('[', stream_);
    levels_.push_back(Level{compact, true});
}

void JsonWriter::endArray() {
    const Level level = levels_.back();
    levels_.pop_back();
    if (!level.empty && !level.compact) {
        newline();
    }
    std::fputc(']', stream_);
}

void JsonWriter::key(std::string_view name) {
    beforeValue();
    writeString(name);
    std::fputs(": ", stream_);
    afterKey_ = true;
}

void JsonWriter::writeString(std::string_view text) {
    std::fputc('"', stream_);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            std::fputc('\\', stream_);
            std::fputc(c, stream_);
        } else if (c == '\n') {
            std::fputs("\\n", stream_);
        } else if (c == '\r') {
            std::fputs("\\r", stream_);
        } else if (c == '\t') {
            std::fputs("\\t", stream_);
        } else if (byte < 0x20) {
            std::fprintf(stream_, "\\u%04x", byte);
        } else {
            std::fputc(c, stream_);
        }
    }
    std::fputc('"', stream_);
}

void JsonWriter::value(std::string_view text) {
    beforeValue();
    writeString(text);
}

void JsonWriter::value(double number) {
    beforeValue();
    if (std::isfinite(number)) {
        std::fputs(formatNumber(number).c_str(), stream_);
    } else {
        std::fputs("null", stream_);
    }
}

void JsonWriter::value(int64_t number) {
    beforeValue();
    std::fprintf(stream_, "%lld", static_cast<long long>(number));
}

void JsonWriter::value(bool flag) {
    beforeValue();
    std::fputs(flag ? "true" : "false", stream_);
}

void JsonWriter::null() {
    beforeValue();
    std::fputs("null", stream_);
}

void JsonWriter::numbers(const double* values, size_t count) {
    beginArray(true);
    for (size_t k = 0; k < count; ++k) {
        value(values[k]);
    }
    endArray();
}

}  // namespace ostrel::acquire
