// Curves thinned for display. A browser redrawing several curves of 16384 or more points a few
// times a second falls behind, so a curve sent to the page keeps at most a few thousand points.
// Plain subsampling would drop the centre burst or a narrow line between two kept samples; here
// every bucket of neighbouring samples keeps its smallest and its largest value, so the outline
// and every peak survive.
#pragma once

#include <cstddef>
#include <vector>

namespace ostrel::acquire::live {

// The indices (ascending) of the samples to draw: all of them when there are at most maxPoints,
// otherwise the first and the last sample, so that a chart's axis spans the whole curve in every
// file, and the minimum and maximum of each of (maxPoints - 2) / 2 equal buckets of the samples
// between them. NaN samples are never chosen while a bucket holds a number. maxPoints below 4
// counts as 4.
std::vector<size_t> decimationIndices(const double* values, size_t count, size_t maxPoints);

// A value rounded to `digits` significant digits, so that its JSON text is short: a display needs
// no more, and the full values are in the files.
double roundForDisplay(double value, int digits = 6);

}  // namespace ostrel::acquire::live
