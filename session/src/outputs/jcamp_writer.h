// JCAMP-DX 4.24 text of one infrared spectrum on a uniform wavenumber axis: the core labels, the
// run's settings as user labels ("##$NAME=value"), and the ordinates as integers in the
// (X++(Y..Y)) table, either plain (AFFN) or compressed (DIFDUP).
//
// Written by hand: no maintained C++ writer of the format is packaged for Debian, and the format
// is small. The integers carry the precision: YFACTOR puts the largest ordinate near 10^9, so a
// value read back is within YFACTOR / 2 (a few parts in 10^10 of the largest) of the value given.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ostrel_session/formats.h"

namespace ostrel::session {

enum class JcampYUnits { ArbitraryUnits, Transmittance, Absorbance };

const char* jcampYUnitsText(JcampYUnits units);  // "ARBITRARY UNITS", ...

struct JcampLabel {
    std::string name;  // without "##$": "LASER WAVENUMBER"
    std::string value;
};

struct JcampSpectrum {
    std::string title;
    std::string origin;
    std::string owner;
    JcampYUnits yUnits = JcampYUnits::ArbitraryUnits;
    double firstX = 0.0;  // cm-1
    double deltaX = 1.0;  // cm-1 between adjacent points, not 0
    const double* y = nullptr;
    size_t count = 0;
    double resolution = 0.0;  // cm-1; 0 leaves the label out
    std::vector<JcampLabel> userLabels;
};

// The whole file's text in *text. False with *error for what the format cannot hold: no points,
// a value that is not finite, a step of 0, a label or value with a line break, a header line
// longer than 80 characters.
bool formatJcamp(const JcampSpectrum& spectrum, JcampForm form, std::string* text,
                 std::string* error);

// The longest run of finite values [begin, end); the first one among equals. Empty (0, 0) when
// no value is finite. A spectrum divided by a weak background is written over this range.
struct IndexRange {
    size_t begin = 0;
    size_t end = 0;
};
IndexRange widestFiniteRange(const double* values, size_t count);

}  // namespace ostrel::session
