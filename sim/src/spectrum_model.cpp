// The simulated instrument's spectrum: source, absorption lines, and the CSV forms of both.
#include "ostrel_sim/spectrum_model.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::sim {
namespace {

constexpr double kSourceTemperature = 1200.0;   // K
constexpr double kSecondRadiation = 1.4387769;  // hc/k in cm K
constexpr double kDetectorLow = 500.0;          // cm^-1
constexpr double kDetectorHigh = 5000.0;        // cm^-1

// Planck's law per unit wavenumber, up to a constant factor.
double blackbody(double wavenumber) {
    if (wavenumber <= 0.0)
        return 0.0;
    double exponent = kSecondRadiation * wavenumber / kSourceTemperature;
    return wavenumber * wavenumber * wavenumber / std::expm1(exponent);
}

// Smooth roll-offs on both sides. The upper one is steep so that the spectrum is negligible at
// the highest wavenumber undersampling by 2 represents (7899 cm^-1), where it would otherwise
// fold back into the band.
double detectorResponse(double wavenumber) {
    if (wavenumber <= 0.0)
        return 0.0;
    double low = std::pow(kDetectorLow / wavenumber, 8.0);
    double high = std::pow(wavenumber / kDetectorHigh, 12.0);
    return 1.0 / ((1.0 + low) * (1.0 + high));
}

// The default source scaled to a peak of about 1, so that dumped values are easy to read.
double defaultSource(double wavenumber) {
    static const double scale = [] {
        double peak = 0.0;
        for (double v = 1.0; v < 8000.0; v += 1.0) {
            peak = std::max(peak, blackbody(v) * detectorResponse(v));
        }
        return 1.0 / peak;
    }();
    return scale * blackbody(wavenumber) * detectorResponse(wavenumber);
}

// A whole-string number: leading and trailing blanks allowed, nothing else.
bool parseNumber(std::string_view text, double* value) {
    std::string copy(text);
    const char* begin = copy.c_str();
    char* end = nullptr;
    errno = 0;
    double parsed = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE || !std::isfinite(parsed))
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
    if (*end != '\0')
        return false;
    *value = parsed;
    return true;
}

}  // namespace

bool parseAbsorber(std::string_view text, Absorber* absorber, std::string* error) {
    double parts[3];
    std::string_view rest = text;
    for (int i = 0; i < 3; ++i) {
        size_t colon = rest.find(':');
        bool last = i == 2;
        if (last != (colon == std::string_view::npos) ||
            !parseNumber(rest.substr(0, colon), &parts[i])) {
            *error = "expected CENTRE:HWHM:PEAK_ABSORBANCE in cm^-1, cm^-1 and absorbance, got '" +
                     std::string(text) + "'";
            return false;
        }
        rest = last ? std::string_view() : rest.substr(colon + 1);
    }
    if (parts[0] < 0.0 || parts[1] <= 0.0 || parts[2] < 0.0) {
        *error = "the centre and peak absorbance must be >= 0 and the half-width > 0, got '" +
                 std::string(text) + "'";
        return false;
    }
    *absorber = {parts[0], parts[1], parts[2]};
    return true;
}

SpectrumModel::SpectrumModel(std::vector<Absorber> absorbers) : absorbers_(std::move(absorbers)) {}

SpectrumModel::SpectrumModel(std::vector<double> wavenumbers, std::vector<double> values,
                             std::vector<Absorber> absorbers)
    : tableWavenumbers_(std::move(wavenumbers)),
      tableValues_(std::move(values)),
      absorbers_(std::move(absorbers)) {}

bool SpectrumModel::fromCsvFile(const std::string& path, std::vector<Absorber> absorbers,
                                SpectrumModel* model, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read the spectrum file '" + path + "'";
        return false;
    }
    std::vector<double> wavenumbers, values;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        size_t comma = line.find(',');
        double wavenumber = 0.0, value = 0.0;
        bool numeric = comma != std::string::npos &&
                       parseNumber(std::string_view(line).substr(0, comma), &wavenumber) &&
                       parseNumber(std::string_view(line).substr(comma + 1), &value);
        std::string where = path + " line " + std::to_string(number);
        if (!numeric) {
            if (wavenumbers.empty() && number == 1)
                continue;  // a header
            *error = where + ": expected 'wavenumber,value', got '" + line + "'";
            return false;
        }
        if (wavenumber < 0.0 || value < 0.0) {
            *error = where + ": wavenumbers and values must be >= 0";
            return false;
        }
        if (!wavenumbers.empty() && wavenumber <= wavenumbers.back()) {
            *error = where + ": wavenumbers must rise from row to row";
            return false;
        }
        wavenumbers.push_back(wavenumber);
        values.push_back(value);
    }
    if (wavenumbers.size() < 2) {
        *error = "the spectrum file '" + path + "' needs at least two rows 'wavenumber,value'";
        return false;
    }
    *model = SpectrumModel(std::move(wavenumbers), std::move(values), std::move(absorbers));
    return true;
}

double SpectrumModel::source(double wavenumber) const {
    if (tableWavenumbers_.empty())
        return defaultSource(wavenumber);
    if (wavenumber < tableWavenumbers_.front() || wavenumber > tableWavenumbers_.back())
        return 0.0;
    auto above = std::upper_bound(tableWavenumbers_.begin(), tableWavenumbers_.end(), wavenumber);
    if (above == tableWavenumbers_.end())
        return tableValues_.back();
    size_t i = static_cast<size_t>(above - tableWavenumbers_.begin());
    double v0 = tableWavenumbers_[i - 1], v1 = tableWavenumbers_[i];
    double t = (wavenumber - v0) / (v1 - v0);
    return tableValues_[i - 1] + t * (tableValues_[i] - tableValues_[i - 1]);
}

double SpectrumModel::transmittance(double wavenumber) const {
    double absorbance = 0.0;
    for (const Absorber& line : absorbers_) {
        double d = wavenumber - line.centre;
        absorbance += line.peakAbsorbance * line.hwhm * line.hwhm / (d * d + line.hwhm * line.hwhm);
    }
    return std::pow(10.0, -absorbance);
}

double SpectrumModel::value(double wavenumber) const {
    return source(wavenumber) * transmittance(wavenumber);
}

bool writeSpectrumCsv(const SpectrumModel& model, double highest, double step,
                      const std::string& path, std::string* error) {
    if (!(step > 0.0) || !(highest >= 0.0)) {
        *error = "the grid needs a positive step and a highest wavenumber >= 0";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        *error = "cannot write '" + path + "'";
        return false;
    }
    bool ok = std::fputs("wavenumber,value\n", file) >= 0;
    // Counted in steps, so that rounding never drops or repeats the last row.
    auto rows = static_cast<long long>(std::floor(highest / step + 1e-9));
    for (long long i = 0; ok && i <= rows; ++i) {
        double wavenumber = static_cast<double>(i) * step;
        ok = std::fprintf(file, "%.10g,%.10g\n", wavenumber, model.value(wavenumber)) > 0;
    }
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        *error = "writing '" + path + "' failed";
    return ok;
}

}  // namespace ostrel::sim
