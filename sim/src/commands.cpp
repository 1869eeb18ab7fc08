// The command table. Commands are a word and decimal arguments separated by blanks; anything that
// does not fit a row (unknown word, wrong argument count, a value the instrument cannot take) is
// answered "ERROR\r\n" and changes nothing.
#include "commands.h"

#include <array>
#include <charconv>
#include <string>
#include <string_view>

namespace ostrel::sim {
namespace {

constexpr size_t kMaxArguments = 4;
constexpr char kOk[] = "OK\r\n";
constexpr char kError[] = "ERROR\r\n";

struct ParsedLine {
    std::string_view verb;
    std::array<int, kMaxArguments> arguments{};
    size_t argumentCount = 0;
    bool valid = true;
};

ParsedLine parseLine(std::string_view line) {
    ParsedLine parsed;
    size_t position = 0;
    bool first = true;
    while (parsed.valid) {
        size_t start = line.find_first_not_of(" \t", position);
        if (start == line.npos)
            break;
        size_t end = line.find_first_of(" \t", start);
        std::string_view word = line.substr(start, end == line.npos ? line.npos : end - start);
        position = end == line.npos ? line.size() : end;
        if (first) {
            parsed.verb = word;
            first = false;
            continue;
        }
        int value = 0;
        auto [stop, status] = std::from_chars(word.data(), word.data() + word.size(), value);
        if (status != std::errc() || stop != word.data() + word.size() ||
            parsed.argumentCount == kMaxArguments) {
            parsed.valid = false;
            break;
        }
        parsed.arguments[parsed.argumentCount++] = value;
    }
    return parsed;
}

struct Row {
    std::string_view verb;
    size_t argumentCount;
    int Settings::*setting;  // null for commands that store nothing
    int minimum;
    int maximum;  // 0: Config::maxPoints
};

constexpr int kAny = 1 << 30;

// The setting commands validate their value; the I/O commands pass their numbers through as the
// instrument's own business, except "input", whose number selects one of 16 readings.
constexpr std::array<Row, 12> kRows{{
    {"points", 1, &Settings::points, 1, 0},
    {"numscans", 1, &Settings::scans, 1, 1 << 20},
    {"scandir", 1, &Settings::scanDir, 1, 3},
    {"skip", 1, &Settings::skip, 0, kAny},
    {"gain", 1, &Settings::gain, 0, 8},
    {"init", 0, nullptr, 0, 0},
    {"version", 0, nullptr, 0, 0},
    {"savesafe", 4, nullptr, 0, 0},
    {"valves", 3, nullptr, 0, 0},
    {"valve", 2, nullptr, 0, 0},
    {"input", 1, nullptr, 1, 16},
    {"deliverAll", 1, nullptr, 0, 0},
}};

}  // namespace

CommandResult answerCommand(std::string_view line, const Config& config, Settings& settings) {
    ParsedLine parsed = parseLine(line);
    CommandResult result{false, kError};
    if (!parsed.valid)
        return result;
    if (parsed.verb == "scan" && parsed.argumentCount == 0) {
        result.startsScan = true;
        result.reply.clear();
        return result;
    }
    for (const Row& row : kRows) {
        if (row.verb != parsed.verb || row.argumentCount != parsed.argumentCount)
            continue;
        int value = parsed.arguments[0];
        int maximum = row.maximum == 0 ? config.maxPoints : row.maximum;
        bool ranged = row.setting != nullptr || row.verb == "input";
        if (ranged && (value < row.minimum || value > maximum))
            return result;
        if (row.setting)
            settings.*row.setting = value;
        if (row.verb == "version") {
            result.reply = std::to_string(config.versionNumber) + "\r\n" + kOk;
        } else if (row.verb == "input") {
            result.reply = std::to_string(config.fibreReadings[value - 1]) + "\r\n" + kOk;
        } else {
            result.reply = kOk;
        }
        return result;
    }
    return result;
}

}  // namespace ostrel::sim
