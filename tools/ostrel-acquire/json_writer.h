// A small streaming JSON writer: objects are indented one member per line, arrays of numbers are
// written on one line so that a data file stays readable. Numbers use the shortest text that
// reads back to the same double; non-finite numbers, which JSON cannot hold, become null.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::acquire {

// The shortest decimal text that reads back as exactly this double ("nan", "inf" for those).
std::string formatNumber(double value);

class JsonWriter {
  public:
    explicit JsonWriter(std::FILE* stream) : stream_(stream) {}

    void beginObject();
    void endObject();
    // A compact array puts its elements on one line (for numbers); otherwise one per line.
    void beginArray(bool compact = false);
    void endArray();

    // The name of the next member of the enclosing object.
    void key(std::string_view name);

    void value(std::string_view text);
    void value(const char* text) { value(std::string_view(text)); }
    void value(double number);
    void value(int64_t number);
    void value(int number) { value(static_cast<int64_t>(number)); }
    void value(size_t number) { value(static_cast<int64_t>(number)); }
    void value(bool flag);
    void null();

    // Convenience: key(name) and value(v).
    template <typename T>
    void member(std::string_view name, T v) {
        key(name);
        value(v);
    }

    // Numbers as one compact array.
    void numbers(const double* values, size_t count);

  private:
    struct Level {
        bool compact = false;
        bool empty = true;
    };
    void beforeValue();
    void newline();
    void writeString(std::string_view text);

    std::FILE* stream_;
    std::vector<Level> levels_;
    bool afterKey_ = false;
};

}  // namespace ostrel::acquire
