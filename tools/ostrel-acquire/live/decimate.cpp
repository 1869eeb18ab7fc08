#include "decimate.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace ostrel::acquire::live {

std::vector<size_t> decimationIndices(const double* values, size_t count, size_t maxPoints) {
    std::vector<size_t> indices;
    if (maxPoints < 2) {
        maxPoints = 2;
    }
    if (count <= maxPoints) {
        indices.resize(count);
        for (size_t k = 0; k < count; ++k) {
            indices[k] = k;
        }
        return indices;
    }
    const size_t buckets = maxPoints / 2;
    indices.reserve(maxPoints);
    for (size_t bucket = 0; bucket < buckets; ++bucket) {
        // Bucket edges by integer arithmetic: every sample lands in exactly one bucket.
        const size_t begin = bucket * count / buckets;
        const size_t end = (bucket + 1) * count / buckets;
        size_t lowest = begin;
        size_t highest = begin;
        for (size_t k = begin; k < end; ++k) {
            if (std::isnan(values[lowest]) || values[k] < values[lowest]) {
                lowest = std::isnan(values[k]) ? lowest : k;
            }
            if (std::isnan(values[highest]) || values[k] > values[highest]) {
                highest = std::isnan(values[k]) ? highest : k;
            }
        }
        const size_t first = lowest < highest ? lowest : highest;
        const size_t second = lowest < highest ? highest : lowest;
        indices.push_back(first);
        if (second != first) {
            indices.push_back(second);
        }
    }
    return indices;
}

double roundForDisplay(double value, int digits) {
    if (!std::isfinite(value) || value == 0.0) {
        return value;
    }
    char text[32];
    const auto written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits);
    double rounded = value;
    if (written.ec == std::errc()) {
        std::from_chars(text, written.ptr, rounded);
    }
    return rounded;
}

}  // namespace ostrel::acquire::live
