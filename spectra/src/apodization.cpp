// The windows and the names of the options.
#include <array>
#include <cmath>
#include <numbers>

#include "ostrel_spectra/spectra.h"

namespace ostrel::spectra {
namespace {

struct ApodizationName {
    Apodization apodization;
    std::string_view text;
};

constexpr std::array kApodizationNames = {
    ApodizationName{Apodization::Boxcar, "boxcar"},
    ApodizationName{Apodization::Triangular, "triangular"},
    ApodizationName{Apodization::HappGenzel, "happ-genzel"},
    ApodizationName{Apodization::BlackmanHarris3, "blackman-harris-3"},
    ApodizationName{Apodization::BlackmanHarris4, "blackman-harris-4"},
    ApodizationName{Apodization::NortonBeerWeak, "norton-beer-weak"},
    ApodizationName{Apodization::NortonBeerMedium, "norton-beer-medium"},
    ApodizationName{Apodization::NortonBeerStrong, "norton-beer-strong"},
};

// Norton-Beer windows are polynomials in (1 - d^2); the coefficients of the weak, medium and
// strong members sum to 1 so that the weight at ZPD is 1.
double nortonBeer(const std::array<double, 5>& coefficients, double distance) {
    const double base = 1.0 - distance * distance;
    double power = 1.0;
    double weight = 0.0;
    for (const double coefficient : coefficients) {
        weight += coefficient * power;
        power *= base;
    }
    return weight;
}

}  // namespace

std::string_view name(Apodization apodization) {
    for (const ApodizationName& entry : kApodizationNames) {
        if (entry.apodization == apodization) {
            return entry.text;
        }
    }
    return "happ-genzel";
}

std::string_view name(PhaseMode mode) {
    switch (mode) {
        case PhaseMode::Magnitude:
            return "magnitude";
        case PhaseMode::Power:
            return "power";
        case PhaseMode::Mertz:
            break;
    }
    return "mertz";
}

bool parseApodization(std::string_view text, Apodization* apodization) {
    if (text == "blackman-harris") {
        *apodization = Apodization::BlackmanHarris4;
        return true;
    }
    for (const ApodizationName& entry : kApodizationNames) {
        if (entry.text == text) {
            *apodization = entry.apodization;
            return true;
        }
    }
    return false;
}

bool parsePhaseMode(std::string_view text, PhaseMode* mode) {
    for (const PhaseMode candidate : {PhaseMode::Mertz, PhaseMode::Magnitude, PhaseMode::Power}) {
        if (text == name(candidate)) {
            *mode = candidate;
            return true;
        }
    }
    return false;
}

const std::vector<Apodization>& allApodizations() {
    static const std::vector<Apodization> all = [] {
        std::vector<Apodization> list;
        for (const ApodizationName& entry : kApodizationNames) {
            list.push_back(entry.apodization);
        }
        return list;
    }();
    return all;
}

double apodizationWeight(Apodization apodization, double distance) {
    distance = std::fabs(distance);
    if (distance > 1.0) {
        return 0.0;
    }
    const double angle = std::numbers::pi * distance;
    switch (apodization) {
        case Apodization::Boxcar:
            return 1.0;
        case Apodization::Triangular:
            return 1.0 - distance;
        case Apodization::HappGenzel:
            return 0.54 + 0.46 * std::cos(angle);
        case Apodization::BlackmanHarris3:
            return 0.42323 + 0.49755 * std::cos(angle) + 0.07922 * std::cos(2.0 * angle);
        case Apodization::BlackmanHarris4:
            return 0.35875 + 0.48829 * std::cos(angle) + 0.14128 * std::cos(2.0 * angle) +
                   0.01168 * std::cos(3.0 * angle);
        case Apodization::NortonBeerWeak:
            return nortonBeer({0.384093, -0.087577, 0.703484, 0.0, 0.0}, distance);
        case Apodization::NortonBeerMedium:
            return nortonBeer({0.152442, -0.136176, 0.983734, 0.0, 0.0}, distance);
        case Apodization::NortonBeerStrong:
            return nortonBeer({0.045335, 0.0, 0.554883, 0.0, 0.399782}, distance);
    }
    return 1.0;
}

}  // namespace ostrel::spectra
