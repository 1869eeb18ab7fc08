#include "outputs/jcamp_reader.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ostrel::session {
namespace {

// The most points a spectrum file may declare: far more than any spectrum of the instrument
// (32768 points zero-filled 8 times) and small enough that the points of a file always fit.
constexpr double kMaxPoints = 1.0e8;

enum class TokenKind { Value, Difference, Duplicate };

struct Token {
    TokenKind kind;
    double value;
};

// The kind, sign and first digit that a compressed character stands for; false for others.
bool compressedDigit(char c, TokenKind* kind, int* digit) {
    static const struct {
        const char* letters;
        TokenKind kind;
        int sign;
    } kSets[] = {
        {"@ABCDEFGHI", TokenKind::Value, 1},      {"@abcdefghi", TokenKind::Value, -1},
        {"%JKLMNOPQR", TokenKind::Difference, 1}, {"%jklmnopqr", TokenKind::Difference, -1},
        {" STUVWXYZs", TokenKind::Duplicate, 1},
    };
    for (const auto& set : kSets) {
        const char* found = c != ' ' ? std::strchr(set.letters, c) : nullptr;
        if (found != nullptr && *found != '\0') {
            *kind = set.kind;
            *digit = set.sign * static_cast<int>(found - set.letters);
            return true;
        }
    }
    return false;
}

bool tokenize(const std::string& line, std::vector<Token>* tokens) {
    size_t at = 0;
    while (at < line.size()) {
        const char c = line[at];
        if (c == ' ' || c == '\t' || c == ',' || c == '\r') {
            ++at;
            continue;
        }
        TokenKind kind = TokenKind::Value;
        int digit = 0;
        double sign = 1.0;
        std::string digits;
        if (compressedDigit(c, &kind, &digit)) {
            sign = digit < 0 ? -1.0 : 1.0;
            digits = std::to_string(std::abs(digit));
            ++at;
        } else if (c == '+' || c == '-') {
            sign = c == '-' ? -1.0 : 1.0;
            ++at;
        } else if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') {
            return false;
        }
        while (at < line.size() &&
               (std::isdigit(static_cast<unsigned char>(line[at])) || line[at] == '.')) {
            digits += line[at++];
        }
        if (digits.empty()) {
            return false;
        }
        tokens->push_back({kind, sign * std::strtod(digits.c_str(), nullptr)});
    }
    return true;
}

bool number(const JcampData& data, const char* name, double* value, std::string* error) {
    const std::string text = data.label(name);
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(*value)) {
        *error = std::string("the label ") + name + " is missing or not a number";
        return false;
    }
    return true;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

}  // namespace

std::string JcampData::label(const std::string& name) const {
    const auto found = labels.find(name);
    return found == labels.end() ? "" : found->second;
}

bool parseJcamp(const std::string& text, JcampData* data, std::string* error) {
    JcampData parsed;
    std::istringstream stream(text);
    std::vector<std::string> table;
    bool inTable = false;
    bool ended = false;
    size_t tableLine = 0;
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind("##", 0) == 0) {
            const size_t equals = line.find('=');
            if (equals == std::string::npos) {
                *error = "a label line without \"=\": " + line;
                return false;
            }
            const std::string name = trimmed(line.substr(2, equals - 2));
            parsed.labels[name] = trimmed(line.substr(equals + 1));
            inTable = name == "XYDATA";
            if (name == "END") {
                ended = true;
                break;
            }
        } else if (inTable) {
            table.push_back(line);
        }
    }
    if (!ended || parsed.label("XYDATA") != "(X++(Y..Y))") {
        *error = "not a complete JCAMP-DX spectrum with an (X++(Y..Y)) table";
        return false;
    }
    double points = 0.0;
    double yFactor = 1.0;
    double lastX = 0.0;
    if (!number(parsed, "FIRSTX", &parsed.firstX, error) ||
        !number(parsed, "LASTX", &lastX, error) || !number(parsed, "NPOINTS", &points, error) ||
        !number(parsed, "YFACTOR", &yFactor, error)) {
        return false;
    }
    // Range first: converting a double outside size_t's range (a huge or negative NPOINTS from
    // an uploaded file) is undefined behaviour.
    if (!(points >= 1.0 && points <= kMaxPoints) || points != std::floor(points)) {
        *error = "NPOINTS is not a count of points (1 to " +
                 std::to_string(static_cast<long>(kMaxPoints)) + ")";
        return false;
    }
    const size_t count = static_cast<size_t>(points);
    parsed.deltaX = count > 1 ? (lastX - parsed.firstX) / static_cast<double>(count - 1) : 0.0;

    std::vector<double>& y = parsed.y;
    bool lastWasDifference = false;
    double current = 0.0;  // the last ordinate, as the integer in the table
    for (const std::string& line : table) {
        ++tableLine;
        std::vector<Token> tokens;
        if (!tokenize(line, &tokens)) {
            *error = "table line " + std::to_string(tableLine) + " cannot be read: " + line;
            return false;
        }
        if (tokens.empty()) {
            continue;
        }
        size_t next = 1;  // the abscissa at the start is not needed: FIRSTX and DELTAX give it
        // After a difference the line starts again with the last ordinate, as a check.
        if (lastWasDifference && next < tokens.size()) {
            if (tokens[next].kind != TokenKind::Value || tokens[next].value != current) {
                *error = "table line " + std::to_string(tableLine) + " fails the ordinate check";
                return false;
            }
            ++next;
        }
        lastWasDifference = false;
        Token last{TokenKind::Value, 0.0};
        for (; next < tokens.size(); ++next) {
            const Token& token = tokens[next];
            size_t times = 1;
            Token step = token;
            if (token.kind == TokenKind::Duplicate) {
                if (next == 1 || token.value < 2.0 || y.empty()) {
                    *error = "table line " + std::to_string(tableLine) + " repeats nothing";
                    return false;
                }
                // A count is checked before it becomes a size_t (a huge one is undefined
                // behaviour to convert); more repeats than points can never fit.
                if (token.value != std::floor(token.value) ||
                    token.value > static_cast<double>(count) + 1.0) {
                    *error = "table line " + std::to_string(tableLine) +
                             " repeats a value more often than NPOINTS allows";
                    return false;
                }
                times = static_cast<size_t>(token.value) - 1;
                step = last;
            } else if (token.kind == TokenKind::Difference && y.empty()) {
                *error = "table line " + std::to_string(tableLine) + " starts with a difference";
                return false;
            }
            for (size_t repeat = 0; repeat < times && y.size() <= count; ++repeat) {
                current = step.kind == TokenKind::Difference ? current + step.value : step.value;
                y.push_back(current * yFactor);
            }
            lastWasDifference = step.kind == TokenKind::Difference;
            last = step;
        }
        if (y.size() > count) {
            break;
        }
    }
    if (y.size() != count) {
        *error = "the table holds " + std::to_string(y.size()) + " points, NPOINTS says " +
                 std::to_string(count);
        return false;
    }
    *data = std::move(parsed);
    return true;
}

bool readJcampFile(const std::string& path, JcampData* data, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (!parseJcamp(text.str(), data, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

}  // namespace ostrel::session
