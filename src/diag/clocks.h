// The driver's two millisecond clocks. clockMs measures durations and limits; stampMs stamps
// interferograms. Their epochs and time zones differ: never compare a value of one with the other.
#pragma once

namespace ostrel {

// Milliseconds of local wall-clock time since 1601-01-01.
double clockMs();

// Milliseconds of UTC time since 1970-01-01.
double stampMs();

}  // namespace ostrel
