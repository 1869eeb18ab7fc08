#include "ostrel_session/curve_statistics.h"

#include <cmath>

namespace ostrel::session {

CurveStatistics curveStatistics(const double* values, size_t count) {
    CurveStatistics statistics;
    if (count == 0) {
        return statistics;
    }
    statistics.minimum = values[0];
    statistics.maximum = values[0];
    double sum = 0.0;
    for (size_t k = 0; k < count; ++k) {
        statistics.minimum = std::fmin(statistics.minimum, values[k]);
        statistics.maximum = std::fmax(statistics.maximum, values[k]);
        sum += values[k];
    }
    statistics.mean = sum / static_cast<double>(count);
    double farthest = -1.0;
    for (size_t k = 0; k < count; ++k) {
        const double distance = std::fabs(values[k] - statistics.mean);
        if (distance > farthest) {
            farthest = distance;
            statistics.peakIndex = k;
        }
    }
    return statistics;
}

}  // namespace ostrel::session
