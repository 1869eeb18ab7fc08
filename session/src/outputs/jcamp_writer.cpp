#include "outputs/jcamp_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ostrel::session {
namespace {

constexpr size_t kMaxLine = 80;
// The largest ordinate's integer: nine to ten digits keep a part in 10^9 and stay within a signed
// 32-bit integer, which older readers use for the table.
constexpr double kOrdinateScale = 1.0e9;

std::string shortest(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// A power of ten a thousand times finer than the step, written without an exponent.
std::string abscissaFactorText(double deltaX) {
    const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(deltaX)))) - 3;
    char text[64];
    if (exponent < -15 || exponent > 15) {
        std::snprintf(text, sizeof text, "1E%d", exponent);  // steps no spectrum here has
    } else if (exponent >= 0) {
        std::snprintf(text, sizeof text, "%.0f", std::pow(10.0, exponent));
    } else {
        std::snprintf(text, sizeof text, "%.*f", -exponent, std::pow(10.0, exponent));
    }
    return text;
}

// The factor is written with ten digits and then read back, so the integers are scaled by exactly
// the number a reader multiplies them with.
double ordinateFactor(const double* y, size_t count, std::string* text) {
    double largest = 0.0;
    for (size_t index = 0; index < count; ++index) {
        largest = std::max(largest, std::fabs(y[index]));
    }
    if (!std::isnormal(largest / kOrdinateScale)) {
        *text = "1";  // all zeros (or values too small to scale): the integers are the values
        return 1.0;
    }
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.10g", largest / kOrdinateScale);
    *text = buffer;
    return std::strtod(buffer, nullptr);
}

// Compressed digits: the first digit (with the sign) becomes a letter from the given set, the
// rest stay digits. `positive` holds the letters for 1..9, `negative` those for -1..-9.
void appendCompressed(std::string* line, int64_t value, char zero, const char* positive,
                      const char* negative) {
    if (value == 0) {
        line->push_back(zero);
        return;
    }
    const std::string digits = std::to_string(value < 0 ? -value : value);
    const int first = digits[0] - '0';
    line->push_back(value < 0 ? negative[first - 1] : positive[first - 1]);
    line->append(digits, 1, std::string::npos);
}

void appendSqueezed(std::string* line, int64_t value) {
    appendCompressed(line, value, '@', "ABCDEFGHI", "abcdefghi");
}

void appendDifference(std::string* line, int64_t value) {
    appendCompressed(line, value, '%', "JKLMNOPQR", "jklmnopqr");
}

// A repeat count (the number of times in all, at least 2).
void appendDuplicate(std::string* line, size_t count) {
    appendCompressed(line, static_cast<int64_t>(count), '\0', "STUVWXYZs", "");
}

class TableWriter {
  public:
    TableWriter(const JcampSpectrum& spectrum, double xFactor, std::string* out)
        : spectrum_(spectrum), xFactor_(xFactor), out_(out) {}

    std::string lineStart(size_t index) const {
        char text[kIntegerText];
        return std::string(text, lineStart(index, text));
    }

    // Each line is built in a fixed array and appended once: a string per value cost more than
    // the digits themselves.
    void affn(const std::vector<int64_t>& y) {
        size_t index = 0;
        while (index < y.size()) {
            char line[kMaxLine + kIntegerText];
            char* end = lineStart(index, line);
            do {
                char value[kIntegerText];
                const char* valueEnd = std::to_chars(value, value + sizeof value, y[index]).ptr;
                const auto length = static_cast<size_t>(valueEnd - value);
                if (static_cast<size_t>(end - line) + 1 + length > kMaxLine) {
                    break;
                }
                *end++ = ' ';
                std::memcpy(end, value, length);
                end += length;
                ++index;
            } while (index < y.size());
            out_->append(line, static_cast<size_t>(end - line));
            out_->push_back('\n');
        }
    }

    // A line that ends on a difference is followed by one that starts with the same point again
    // (the ordinate check of the format), and the table ends with such a check line.
    void difdup(const std::vector<int64_t>& y) {
        size_t first = 0;
        for (;;) {
            std::string line = lineStart(first);
            appendSqueezed(&line, y[first]);
            size_t last = first;
            bool endsOnDifference = false;
            while (last + 1 < y.size()) {
                const int64_t difference = y[last + 1] - y[last];
                size_t repeats = 1;
                while (last + 1 + repeats < y.size() &&
                       y[last + 1 + repeats] - y[last + repeats] == difference) {
                    ++repeats;
                }
                std::string token;
                appendDifference(&token, difference);
                if (repeats > 1) {
                    appendDuplicate(&token, repeats);
                }
                if (line.size() + token.size() > kMaxLine) {
                    break;
                }
                line += token;
                last += repeats;
                endsOnDifference = true;
            }
            finish(line);
            if (last + 1 >= y.size()) {
                if (endsOnDifference) {
                    std::string check = lineStart(last);
                    appendSqueezed(&check, y[last]);
                    finish(check);
                }
                return;
            }
            first = endsOnDifference ? last : last + 1;
        }
    }

  private:
    static constexpr size_t kIntegerText = 24;  // any int64_t with its sign

    // The abscissa of a line's first point in units of XFACTOR, written at `text`.
    char* lineStart(size_t index, char* text) const {
        const double x = spectrum_.firstX + static_cast<double>(index) * spectrum_.deltaX;
        return std::to_chars(text, text + kIntegerText,
                             static_cast<long long>(std::llround(x / xFactor_)))
            .ptr;
    }

    void finish(const std::string& line) {
        out_->append(line);
        out_->push_back('\n');
    }

    const JcampSpectrum& spectrum_;
    const double xFactor_;
    std::string* out_;
};

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

const char* jcampYUnitsText(JcampYUnits units) {
    switch (units) {
        case JcampYUnits::Transmittance:
            return "TRANSMITTANCE";
        case JcampYUnits::Absorbance:
            return "ABSORBANCE";
        default:
            return "ARBITRARY UNITS";
    }
}

bool formatJcamp(const JcampSpectrum& spectrum, JcampForm form, std::string* text,
                 std::string* error) {
    if (spectrum.count == 0 || spectrum.y == nullptr) {
        *error = "a JCAMP-DX spectrum needs at least one point";
        return false;
    }
    if (!std::isfinite(spectrum.deltaX) || spectrum.deltaX == 0.0 ||
        !std::isfinite(spectrum.firstX)) {
        *error = "a JCAMP-DX spectrum needs a finite first wavenumber and a step other than 0";
        return false;
    }
    for (size_t index = 0; index < spectrum.count; ++index) {
        if (!std::isfinite(spectrum.y[index])) {
            *error = "point " + std::to_string(index) +
                     " of the spectrum is not a finite number; JCAMP-DX cannot hold it";
            return false;
        }
    }

    std::vector<std::pair<std::string, std::string>> labels;
    labels.emplace_back("TITLE", spectrum.title);
    labels.emplace_back("JCAMP-DX", "4.24");
    labels.emplace_back("DATA TYPE", "INFRARED SPECTRUM");
    labels.emplace_back("ORIGIN", spectrum.origin);
    labels.emplace_back("OWNER", spectrum.owner);
    for (const JcampLabel& label : spectrum.userLabels) {
        if (label.name.empty() || label.name.find('=') != std::string::npos) {
            *error = "\"" + label.name + "\" cannot be a JCAMP-DX label name";
            return false;
        }
        labels.emplace_back("$" + label.name, label.value);
    }

    const std::string xFactorText = abscissaFactorText(spectrum.deltaX);
    const double xFactor = std::strtod(xFactorText.c_str(), nullptr);
    std::string yFactorText;
    const double yFactor = ordinateFactor(spectrum.y, spectrum.count, &yFactorText);
    std::vector<int64_t> ordinates(spectrum.count);
    for (size_t index = 0; index < spectrum.count; ++index) {
        ordinates[index] = std::llround(spectrum.y[index] / yFactor);
    }
    const auto [minimum, maximum] = std::minmax_element(spectrum.y, spectrum.y + spectrum.count);
    const double lastX =
        spectrum.firstX + static_cast<double>(spectrum.count - 1) * spectrum.deltaX;

    labels.emplace_back("XUNITS", "1/CM");
    labels.emplace_back("YUNITS", jcampYUnitsText(spectrum.yUnits));
    if (spectrum.resolution > 0.0) {
        labels.emplace_back("RESOLUTION", shortest(spectrum.resolution));
    }
    labels.emplace_back("FIRSTX", shortest(spectrum.firstX));
    labels.emplace_back("LASTX", shortest(lastX));
    labels.emplace_back("DELTAX", shortest(spectrum.deltaX));
    labels.emplace_back("MAXY", shortest(*maximum));
    labels.emplace_back("MINY", shortest(*minimum));
    labels.emplace_back("XFACTOR", xFactorText);
    labels.emplace_back("YFACTOR", yFactorText);
    labels.emplace_back("FIRSTY", shortest(static_cast<double>(ordinates[0]) * yFactor));
    labels.emplace_back("NPOINTS", std::to_string(spectrum.count));
    labels.emplace_back("XYDATA", "(X++(Y..Y))");

    std::string out;
    out.reserve(spectrum.count * (form == JcampForm::Affn ? 12 : 8) + 2048);
    for (const auto& [name, value] : labels) {
        const std::string line = "##" + name + "=" + value;
        if (hasLineBreak(line)) {
            *error = "the JCAMP-DX label " + name + " cannot hold a line break";
            return false;
        }
        if (line.size() > kMaxLine) {
            *error = "the JCAMP-DX label " + name + " is longer than " + std::to_string(kMaxLine) +
                     " characters";
            return false;
        }
        out += line;
        out += '\n';
    }
    TableWriter table(spectrum, xFactor, &out);
    if (form == JcampForm::Affn) {
        table.affn(ordinates);
    } else {
        table.difdup(ordinates);
    }
    out += "##END=\n";
    *text = std::move(out);
    return true;
}

IndexRange widestFiniteRange(const double* values, size_t count) {
    IndexRange widest;
    size_t begin = 0;
    for (size_t index = 0; index <= count; ++index) {
        if (index < count && std::isfinite(values[index])) {
            continue;
        }
        if (index - begin > widest.end - widest.begin) {
            widest = {begin, index};
        }
        begin = index + 1;
    }
    return widest;
}

}  // namespace ostrel::session
