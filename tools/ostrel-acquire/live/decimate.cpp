#include "decimate.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace ostrel::acquire::live {

std::vector<size_t> decimationIndices(const double* values, size_t count, size_t maxPoints) {
    std::vector<size_t> indices;
    if (maxPoints < 4) {
        maxPoints = 4;
    }
    if (count <= maxPoints) {
        indices.resize(count);
        for (size_t k = 0; k < count; ++k) {
            indices[k] = k;
        }
        return indices;
    }
    // The ends are always drawn: which samples of the first and last bucket are extremes changes
    // with the noise, and a chart would otherwise start and end somewhere else in every file.
    const size_t inner = count - 2;
    const size_t buckets = (maxPoints - 2) / 2;
    indices.reserve(maxPoints);
    indices.push_back(0);
    for (size_t bucket = 0; bucket < buckets; ++bucket) {
        // Bucket edges by integer arithmetic: every inner sample lands in exactly one bucket.
        const size_t begin = 1 + bucket * inner / buckets;
        const size_t end = 1 + (bucket + 1) * inner / buckets;
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
    indices.push_back(count - 1);
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
