// The plain statistics that the run summary reports per interferogram half.
#pragma once

#include <cstddef>

namespace ostrel::session {

struct CurveStatistics {
    double minimum = 0.0;
    double maximum = 0.0;
    double mean = 0.0;
    // The sample farthest from the mean: the centre burst of an interferogram. The lowest index
    // wins among equals.
    size_t peakIndex = 0;
};

CurveStatistics curveStatistics(const double* values, size_t count);

}  // namespace ostrel::session
