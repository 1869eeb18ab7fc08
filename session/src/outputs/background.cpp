#include "outputs/background.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

#include "outputs/jcamp_reader.h"

namespace ostrel::session {
namespace {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool sameNumber(double a, double b) {
    return std::fabs(a - b) <= 1.0e-9 * std::max(std::fabs(a), std::fabs(b));
}

// The first setting in which the file differs from the run, as a sentence; empty when none.
std::string difference(const JcampData& file, const SpectrumAxis& axis, const std::string& half) {
    const std::string units = file.label("YUNITS");
    if (units != jcampYUnitsText(JcampYUnits::ArbitraryUnits)) {
        return "in its units: " + units + " there, a single beam (ARBITRARY UNITS) needed";
    }
    for (const JcampLabel& label : axisLabels(axis, half)) {
        const std::string theirs = file.label("$" + label.name);
        if (theirs != label.value) {
            return "in its " + lowerCase(label.name) + ": " +
                   (theirs.empty() ? "not given" : theirs) + " there, " + label.value +
                   " in this run";
        }
    }
    const double lastX = axis.wavenumber(axis.count - 1);
    if (file.y.size() != axis.count || !sameNumber(file.firstX, axis.firstWavenumber) ||
        !sameNumber(file.firstX + file.deltaX * static_cast<double>(file.y.size() - 1), lastX)) {
        return "in its range: " + numberText(file.firstX) + " to " +
               numberText(file.firstX + file.deltaX * static_cast<double>(file.y.size() - 1)) +
               " cm-1 in " + std::to_string(file.y.size()) + " points there, " +
               numberText(axis.firstWavenumber) + " to " + numberText(lastX) + " cm-1 in " +
               std::to_string(axis.count) + " points in this run";
    }
    return "";
}

}  // namespace

std::string meanSingleBeamName(const std::string& half) {
    return "mean-single-beam-" + half + ".jdx";
}

bool loadBackground(const std::vector<std::string>& paths, const std::vector<std::string>& halves,
                    const SpectrumAxis& axis, Background* background, std::string* error) {
    Background loaded;
    loaded.sources.resize(halves.size());
    loaded.halves.resize(halves.size());
    for (const std::string& path : paths) {
        std::vector<std::string> files;
        if (isDirectory(path)) {
            for (const std::string& half : halves) {
                files.push_back(path + "/" + meanSingleBeamName(half));
            }
        } else {
            files.push_back(path);
        }
        for (const std::string& file : files) {
            JcampData data;
            if (!readJcampFile(file, &data, error)) {
                *error = "cannot use the background: " + *error;
                return false;
            }
            const std::string half = data.label("$SCAN DIRECTION");
            const auto found = std::find(halves.begin(), halves.end(), half);
            if (found == halves.end()) {
                *error = "the background " + file + " is of the " +
                         (half.empty() ? "unknown" : half) +
                         " half, which this run does not record";
                return false;
            }
            const std::string differs = difference(data, axis, half);
            if (!differs.empty()) {
                *error = "the background " + file + " does not match this run " + differs;
                return false;
            }
            const size_t index = static_cast<size_t>(found - halves.begin());
            loaded.sources[index] = file;
            loaded.halves[index] = std::move(data.y);
        }
    }
    for (size_t index = 0; index < halves.size(); ++index) {
        if (loaded.halves[index].empty()) {
            *error = "no background for the " + halves[index] +
                     " half: give a single beam of it, or an earlier run's directory";
            return false;
        }
    }
    *background = std::move(loaded);
    return true;
}

void divideByBackground(const double* sample, const double* background, size_t count,
                        double threshold, double* transmittance, double* absorbance) {
    double peak = 0.0;
    for (size_t index = 0; index < count; ++index) {
        if (std::isfinite(background[index])) {
            peak = std::max(peak, background[index]);
        }
    }
    const double floor = threshold * peak;
    const double notANumber = std::numeric_limits<double>::quiet_NaN();
    for (size_t index = 0; index < count; ++index) {
        const bool usable = peak > 0.0 && background[index] >= floor && background[index] > 0.0;
        const double ratio = usable ? sample[index] / background[index] : notANumber;
        transmittance[index] = ratio;
        absorbance[index] = ratio > 0.0 ? -std::log10(ratio) : notANumber;
    }
}

}  // namespace ostrel::session
